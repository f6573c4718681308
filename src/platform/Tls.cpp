#include "platform/Tls.h"

namespace platform {

bool ParseFingerprint(const std::string& text, std::string* normalisedHex)
{
    static const char kPrefix[] = "sha256:";
    const std::size_t prefixLength = sizeof kPrefix - 1;
    if (text.size() < prefixLength) return false;
    for (std::size_t i = 0; i < prefixLength; ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] | 0x20) : text[i];
        if (c != kPrefix[i]) return false;
    }
    std::string hex;
    for (std::size_t i = prefixLength; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':') continue;
        if (c >= '0' && c <= '9')
            hex += c;
        else if (c >= 'a' && c <= 'f')
            hex += static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'F')
            hex += c;
        else
            return false;
    }
    if (hex.size() != 64) return false;
    *normalisedHex = hex;
    return true;
}

}  // namespace platform
