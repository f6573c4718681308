#include "core/PeerText.h"

#include <cstddef>

namespace core {
namespace {

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at the start of text (shortest
// form, no surrogates, at most U+10FFFF), or 0.
std::size_t Utf8SequenceLength(const unsigned char* text, std::size_t left)
{
    const unsigned char lead = text[0];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || left < length) return 0;
    if (text[1] < low || text[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!IsContinuation(text[i])) return 0;
    // U+0080 to U+009F are controls too.
    if (lead == 0xC2 && text[1] <= 0x9F) return 0;
    return length;
}

void AppendEscaped(std::string& out, unsigned char c)
{
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

}  // namespace

std::string PrintablePeerText(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = text[i];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = c < 0x80 ? 0 : Utf8SequenceLength(text + i, bytes.size() - i);
        if (length == 0) {
            AppendEscaped(out, c);
            ++i;
            continue;
        }
        out.append(bytes, i, length);
        i += length;
    }
    return out;
}

}  // namespace core
