#include "oauth/OAuthHttp.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "core/Text.h"
#include "mail/Globals.h"
#include "oauth/OAuthJson.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"

namespace oauth {
namespace {

constexpr int kRequestTimeLimit = 60;

bool IsSecretField(const std::string& name)
{
    return name == "refresh_token" || name == "device_code" || name == "code" ||
           name == "code_verifier" || name == "client_secret";
}

using core::Lower;

// The host of "scheme://[user@]host[:port][/...]", brackets kept.
std::string HostOf(const std::string& url)
{
    const std::size_t start = url.find("://") + 3;
    std::size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[')
        return authority.substr(0, authority.find(']') + 1);
    return authority.substr(0, authority.find(':'));
}

std::string CaFile()
{
    const char* file = std::getenv("QUILLEX_CA_FILE");
    return file && *file ? file : g_TlsCaFile;
}

}  // namespace

void RefuseInsecureUrl(const std::string& url, const char* what)
{
    const std::string lower = Lower(url);
    if (lower.rfind("https://", 0) == 0 && !HostOf(url).empty()) return;
    if (lower.rfind("http://", 0) == 0) {
        const std::string host = Lower(HostOf(url));
        if (host == "127.0.0.1" || host == "[::1]" || host == "localhost") return;
    }
    CSMTPException error(AUTH_FAILED);
    error << "The OAuth " << what << " \"" << url
          << "\" is not an https:// address (plain http:// is taken only on this machine: "
             "127.0.0.1, [::1], localhost).";
    throw error;
}

std::string PercentEncode(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", byte);
            out += hex;
        }
    }
    return out;
}

std::string PercentDecode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string EncodeForm(const Form& form)
{
    std::string text;
    for (const auto& [name, value] : form) {
        if (!text.empty()) text += '&';
        text += PercentEncode(name) + "=" + PercentEncode(value);
    }
    return text;
}

std::string QueryValue(const std::string& query, const std::string& name)
{
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string part = query.substr(start, end - start);
        const std::size_t equals = part.find('=');
        if (PercentDecode(part.substr(0, equals)) == name)
            return equals == std::string::npos ? std::string()
                                               : PercentDecode(part.substr(equals + 1));
        start = end + 1;
    }
    return std::string();
}

platform::HttpResponse Request(const std::string& url, const Form& form, const char* what)
{
    RefuseInsecureUrl(url, what);
    platform::HttpRequest request;
    request.url = url;
    request.form = EncodeForm(form);
    const platform::SecretGuard wipeForm(&request.form);
    request.caFile = CaFile();
    request.timeLimit = platform::TimeLimit(kRequestTimeLimit);
    if (g_Debug) {
        std::fprintf(stderr, "OAuth: %s %s\n", form.empty() ? "GET" : "POST", url.c_str());
        std::string shown;
        for (const auto& [name, value] : form)
            shown += (shown.empty() ? "" : "&") + PercentEncode(name) + "=" +
                     (IsSecretField(name) ? "<hidden>" : PercentEncode(value));
        if (!form.empty()) std::fprintf(stderr, "OAuth: > %s\n", shown.c_str());
    }
    platform::HttpResponse response;
    std::string why;
    if (!platform::SendHttpRequest(request, &response, &why)) {
        if (g_Debug) std::fprintf(stderr, "OAuth: no answer: %s\n", why.c_str());
        CSMTPException error(response.certificateRefused ? CERTIFICATE_REFUSED : AUTH_FAILED);
        error << "The OAuth " << what << " \"" << core::PrintablePeerText(url)
              << "\" gave no answer: " << why << ".";
        // Timed out or not reached: the endpoint may answer a later try.
        if (!response.certificateRefused) MarkTemporary(error);
        throw error;
    }
    if (g_Debug)
        std::fprintf(stderr, "OAuth: < HTTP %ld %s\n", response.status,
                     ShownBody(response.body).c_str());
    return response;
}

}  // namespace oauth
