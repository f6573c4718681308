#include "platform/Idn.h"

#include <iconv.h>
#include <idn2.h>
#include <strings.h>

namespace platform {

bool ToUtf8(const std::string& text, const std::string& charset, std::string& utf8)
{
    if (strcasecmp(charset.c_str(), "utf-8") == 0 || strcasecmp(charset.c_str(), "utf8") == 0) {
        utf8 = text;
        return true;
    }
    iconv_t converter = iconv_open("UTF-8", charset.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in(text);
    std::string out(text.size() * 4 + 4, '\0');
    char* inAt = &in[0];
    std::size_t inLeft = in.size();
    char* outAt = &out[0];
    std::size_t outLeft = out.size();
    const std::size_t done = iconv(converter, &inAt, &inLeft, &outAt, &outLeft);
    iconv_close(converter);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) return false;
    out.resize(out.size() - outLeft);
    utf8 = out;
    return true;
}

bool DomainToAscii(const std::string& domain, const std::string& charset, std::string& ascii,
                   std::string& reason)
{
    std::string utf8;
    if (!ToUtf8(domain, charset, utf8)) {
        reason = "it is not valid " + charset;
        return false;
    }
    char* out = nullptr;
    const int status = idn2_to_ascii_8z(utf8.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (status != IDN2_OK) {
        reason = idn2_strerror(status);
        return false;
    }
    ascii = out;
    idn2_free(out);
    return true;
}

}  // namespace platform
