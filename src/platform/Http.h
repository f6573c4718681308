#pragma once

#include <cstddef>
#include <string>

// One HTTP request and its response, for the OAuth endpoints. TLS is
// verified as for mail (the system store or one CA file, TLS 1.2 at least,
// never switched off); redirects are not followed.
namespace platform {

constexpr std::size_t kHttpBodyLimit = 1024 * 1024;

struct HttpRequest {
    std::string url;
    std::string form;    // application/x-www-form-urlencoded; empty: a GET
    std::string caFile;  // PEM file trusted instead of the system store; empty: the store
    int timeLimit = 60;  // seconds for the whole request
};

// The body may hold tokens: it is wiped when the response goes.
struct HttpResponse {
    long status = 0;
    std::string body;
    bool certificateRefused = false;  // no response: the server's certificate failed the checks
    HttpResponse() = default;
    HttpResponse(const HttpResponse&) = default;
    HttpResponse& operator=(const HttpResponse&) = default;
    ~HttpResponse();
};

// False, with *why in words (a lower-case phrase), when no response came:
// the connection or TLS failed, the time ran out, the body passed
// kHttpBodyLimit, or the system's HTTP library, loaded at the first
// request, cannot be loaded (the phrase names it).
bool SendHttpRequest(const HttpRequest& request, HttpResponse* response, std::string* why);

}  // namespace platform
