#include "core/PeerText.h"

#include <cstddef>

namespace core {
namespace {

// The length of the valid UTF-8 sequence that starts at text[at], or 0.
// Overlong forms, surrogates and code points past U+10FFFF are not valid.
std::size_t Utf8Length(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned long point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        point = point << 6 | (byte(i) & 0x3Fu);
    }
    const unsigned long least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    // C1 controls move a terminal's cursor as the C0 ones do.
    if (point >= 0x80 && point <= 0x9F) return 0;
    return length;
}

void AppendEscaped(std::string* out, unsigned char byte)
{
    static const char kDigits[] = "0123456789ABCDEF";
    *out += "\\x";
    *out += kDigits[byte >> 4];
    *out += kDigits[byte & 15];
}

}  // namespace

std::string PrintablePeerText(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += bytes[at++];
            continue;
        }
        const std::size_t length = byte < 0x80 ? 0 : Utf8Length(bytes, at);
        if (length == 0) {
            AppendEscaped(&out, byte);
            ++at;
            continue;
        }
        out.append(bytes, at, length);
        at += length;
    }
    return out;
}

}  // namespace core
