#include "platform/Tls.h"

#include "core/PeerText.h"
#include "platform/TlsCommon.h"

namespace platform {
namespace {

constexpr std::size_t kListedNames = 10;

bool IsDottedQuad(const std::string& host)
{
    int parts = 0;
    std::size_t at = 0;
    while (at <= host.size()) {
        std::size_t end = at;
        int value = 0;
        while (end < host.size() && host[end] >= '0' && host[end] <= '9' && end - at < 3)
            value = value * 10 + (host[end++] - '0');
        if (end == at || value > 255) return false;
        ++parts;
        if (end == host.size()) break;
        if (host[end] != '.') return false;
        at = end + 1;
    }
    return parts == 4;
}

}  // namespace

const char kClosedDuringHandshake[] = "the server closed the connection during the TLS handshake";
const char kClosedWithoutCloseNotify[] = "the server closed the connection without close_notify";
const char kHandshakeTimedOut[] = "the TLS handshake did not finish within the time limit";

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

bool ReadPin(const std::string& text, std::string* pin)
{
    pin->clear();
    return text.empty() || ParseFingerprint(text, pin);
}

bool CheckTlsPeer(const TlsPeer& peer, std::string* pin, std::string* why)
{
    if (!ReadPin(peer.fingerprint, pin)) {
        *why = "the fingerprint \"" + core::PrintablePeerText(peer.fingerprint) +
               "\" is not \"SHA256:\" followed by 64 hex digits";
        return false;
    }
    if (peer.host.empty()) {
        *why = "there is no host name to verify the certificate against";
        return false;
    }
    return true;
}

bool IsAddressLiteral(const std::string& host)
{
    return host.find(':') != std::string::npos || IsDottedQuad(host);
}

bool PinMatches(const std::string& pin, const std::string& found)
{
    if (pin.size() != found.size() || pin.empty()) return false;
    unsigned char differs = 0;
    for (std::size_t i = 0; i < pin.size(); ++i)
        differs |= static_cast<unsigned char>(pin[i] ^ found[i]);
    return differs == 0;
}

std::string PinRefusal(const std::string& pin, const std::string& found)
{
    return "the pinned fingerprint " + ShownFingerprint(pin) + " does not match the server's " +
           ShownFingerprint(found);
}

std::string NameMismatch(const std::vector<std::string>& names, const std::string& host)
{
    std::string listed;
    for (std::size_t i = 0; i < names.size() && i < kListedNames; ++i)
        listed += (i > 0 ? ", " : "") + core::PrintablePeerText(names[i]);
    if (names.size() > kListedNames)
        listed += " and " + std::to_string(names.size() - kListedNames) + " more";
    if (names.empty()) listed = "?";
    return "certificate name mismatch: the certificate is for " + listed + "; expected " +
           core::PrintablePeerText(host);
}

std::string CertificateFault(const std::string& reason, const std::string& subject,
                             const std::string& issuer)
{
    return reason + " (subject " + core::PrintablePeerText(subject) + ", issuer " +
           core::PrintablePeerText(issuer) + ")";
}

std::string PlainTextLine(const std::string& firstBytes)
{
    if (firstBytes.empty() || firstBytes[0] < 0x20 || firstBytes[0] > 0x7E) return "";
    return core::PrintablePeerText(firstBytes.substr(0, firstBytes.find_first_of("\r\n")));
}

std::string PlainTextAnswer(const std::string& line)
{
    return "the server did not answer in TLS (it sent plain text: \"" + line + "\")";
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
