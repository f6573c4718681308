// The answers of an authorization server: a token or device answer, a
// discovery document, and the text -d shows of them. Whatever comes in, a
// token or code field that was read shows only as "<hidden>".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "oauth/OAuthJson.h"

namespace {

void Check(bool holds, const char* what, const std::string& text)
{
    if (holds) return;
    std::fprintf(stderr, "oauth_json property broken: %s\ntext: %s\n", what, text.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string why;
    oauth::ServerAnswer answer;
    const bool parsed = oauth::ParseServerAnswer(body, &answer, &why);
    Check(parsed || !why.empty(), "a refusal without a reason", body);
    oauth::Endpoints endpoints;
    oauth::ParseDiscovery(body, &endpoints, &why);
    const std::string shown = oauth::ShownBody(body);
    const std::pair<const char*, const std::string*> secrets[] = {
        {"access_token", &answer.accessToken},
        {"refresh_token", &answer.refreshToken},
        {"device_code", &answer.deviceCode}};
    for (const auto& [name, value] : secrets)
        if (parsed && !value->empty())
            Check(shown.find("\"" + std::string(name) + "\":\"<hidden>\"") != std::string::npos,
                  "a token shown", body);
    return 0;
}
