#include "platform/Http.h"

#include <curl/curl.h>

#include <memory>

#include "platform/CurlLibrary.h"
#include "platform/posix/SharedLibrary.h"

namespace platform {
namespace {

// The library's functions, resolved when the first request loads it: a run
// that only sends mail never maps libcurl and what it brings in.
decltype(&::curl_global_init) curl_global_init = nullptr;
decltype(&::curl_easy_init) curl_easy_init = nullptr;
decltype(&::curl_easy_cleanup) curl_easy_cleanup = nullptr;
decltype(&::curl_easy_setopt) curl_easy_setopt = nullptr;
decltype(&::curl_easy_perform) curl_easy_perform = nullptr;
decltype(&::curl_easy_getinfo) curl_easy_getinfo = nullptr;
decltype(&::curl_easy_strerror) curl_easy_strerror = nullptr;
decltype(&::curl_slist_append) curl_slist_append = nullptr;
decltype(&::curl_slist_free_all) curl_slist_free_all = nullptr;

// Empty once the library is loaded and started, else why not.
std::string LoadCurl()
{
    const std::string named = std::string("the HTTP library ") + kCurlLibrary;
    void* library = nullptr;
    if (std::string failure = OpenSharedLibrary(named, kCurlLibrary, &library); !failure.empty())
        return failure;
    std::string missing;
    Resolve(library, "curl_global_init", &curl_global_init, &missing);
    Resolve(library, "curl_easy_init", &curl_easy_init, &missing);
    Resolve(library, "curl_easy_cleanup", &curl_easy_cleanup, &missing);
    Resolve(library, "curl_easy_setopt", &curl_easy_setopt, &missing);
    Resolve(library, "curl_easy_perform", &curl_easy_perform, &missing);
    Resolve(library, "curl_easy_getinfo", &curl_easy_getinfo, &missing);
    Resolve(library, "curl_easy_strerror", &curl_easy_strerror, &missing);
    Resolve(library, "curl_slist_append", &curl_slist_append, &missing);
    Resolve(library, "curl_slist_free_all", &curl_slist_free_all, &missing);
    if (!missing.empty()) return named + " lacks " + missing;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return named + " could not be started";
    return std::string();
}

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

const std::string& LoadFailure()
{
    static const std::string failure = LoadCurl();
    return failure;
}

}  // namespace

bool SendHttpRequest(const HttpRequest& request, HttpResponse* response, std::string* why)
{
    response->status = 0;
    response->body.clear();
    response->certificateRefused = false;
    if (!LoadFailure().empty()) {
        *why = LoadFailure();
        return false;
    }
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
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
