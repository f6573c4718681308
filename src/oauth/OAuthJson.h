#pragma once

#include <string>

// The JSON answers of an authorization server, read into plain fields.
// Nothing here throws; a body that is not a JSON object, or a field of the
// wrong type, returns false with *why in words.
namespace oauth {

// A token endpoint's answer (RFC 6749 sections 5.1 and 5.2) or a device
// endpoint's (RFC 8628 section 3.2). Absent numbers stay -1.
struct ServerAnswer {
    std::string accessToken;
    std::string refreshToken;
    std::string tokenType;
    long expiresIn = -1;
    std::string error;
    std::string errorDescription;
    std::string deviceCode;
    std::string userCode;
    std::string verificationUri;
    std::string verificationUriComplete;
    long interval = -1;
    ServerAnswer() = default;
    ServerAnswer(const ServerAnswer&) = delete;
    ServerAnswer& operator=(const ServerAnswer&) = delete;
    ~ServerAnswer();
};
bool ParseServerAnswer(const std::string& body, ServerAnswer* answer, std::string* why);

// The endpoints of a discovery document (OpenID Connect or RFC 8414).
struct Endpoints {
    std::string issuer;
    std::string device;
    std::string token;
    std::string authorize;
};
bool ParseDiscovery(const std::string& body, Endpoints* endpoints, std::string* why);

// The body as -d shows it: tokens, codes and secrets as "<hidden>"; a body
// that is not JSON only by its length.
std::string ShownBody(const std::string& body);

}  // namespace oauth
