#include "platform/Tls.h"

#include "platform/TlsCommon.h"

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

bool CheckTlsPeer(const TlsPeer& peer, std::string* pin, std::string* why)
{
    pin->clear();
    if (!peer.fingerprint.empty() && !ParseFingerprint(peer.fingerprint, pin)) {
        *why = "the fingerprint \"" + peer.fingerprint +
               "\" is not \"SHA256:\" followed by 64 hex digits";
        return false;
    }
    if (peer.host.empty()) {
        *why = "there is no host name to verify the certificate against";
        return false;
    }
    return true;
}

std::string HexText(const unsigned char* bytes, std::size_t length)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string ShownFingerprint(const std::string& hex)
{
    std::string text = "SHA256:";
    for (std::size_t i = 0; i < hex.size(); i += 2) text += (i > 0 ? ":" : "") + hex.substr(i, 2);
    return text;
}

}  // namespace platform
