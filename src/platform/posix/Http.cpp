#include "platform/Http.h"

#include <curl/curl.h>

#include <memory>

namespace platform {
namespace {

struct Sink {
    std::string* body;
    bool overflow = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user)
{
    Sink* sink = static_cast<Sink*>(user);
    const std::size_t length = size * count;
    if (sink->body->size() + length > kHttpBodyLimit) {
        sink->overflow = true;
        return 0;  // curl stops with a write error
    }
    sink->body->append(data, length);
    return length;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

bool GlobalInit()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

}  // namespace

bool SendHttpRequest(const HttpRequest& request, HttpResponse* response, std::string* why)
{
    response->status = 0;
    response->body.clear();
    response->certificateRefused = false;
    std::unique_ptr<CURL, CurlDeleter> curl(GlobalInit() ? curl_easy_init() : nullptr);
    if (!curl) {
        *why = "the HTTP library could not be started";
        return false;
    }
    CURL* handle = curl.get();
    char error[CURL_ERROR_SIZE] = {};
    Sink sink{&response->body};
    std::unique_ptr<curl_slist, ListDeleter> headers(
        curl_slist_append(nullptr, "Accept: application/json"));
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(request.timeLimit));
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // A CA file is trusted instead of the system's certificates: libcurl's
    // built-in folder of them goes too. Proxies come from https_proxy,
    // HTTPS_PROXY, all_proxy and no_proxy, as libcurl reads them.
    if (!request.caFile.empty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, request.caFile.c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "Quillex");
    if (!request.form.empty()) {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.form.c_str());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.form.size()));
    }
    const CURLcode result = curl_easy_perform(handle);
    if (sink.overflow) {
        *why = "the response is longer than 1 MiB";
        return false;
    }
    if (result != CURLE_OK) {
        response->certificateRefused = result == CURLE_PEER_FAILED_VERIFICATION;
        *why = error[0] ? error : curl_easy_strerror(result);
        return false;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response->status);
    return true;
}

}  // namespace platform
