#include "mime/HeaderWords.h"

#include <cstring>

namespace {

const char kHex[] = "0123456789ABCDEF";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kFold[] = "\r\n\t";

bool IsAsciiAlnum(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The characters that RFC 2047 lets a Q word carry as they are even inside a
// phrase; a blank is written "_".
bool IsQLiteral(unsigned char c)
{
    return IsAsciiAlnum(c) || c == ' ' || (c != 0 && std::strchr("!*+-/", c) != nullptr);
}

std::size_t QCost(unsigned char c)
{
    return IsQLiteral(c) ? 1 : 3;
}

std::size_t BCost(std::size_t bytes)
{
    return (bytes + 2) / 3 * 4;
}

// RFC 2231 attribute-char: everything else is percent-encoded.
bool IsAttributeChar(unsigned char c)
{
    return IsAsciiAlnum(c) || (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
}

std::size_t PercentCost(unsigned char c)
{
    return IsAttributeChar(c) ? 1 : 3;
}

// One character: a UTF-8 lead byte with the continuation bytes it announces,
// or a single byte (any byte of another charset, or malformed UTF-8).
std::size_t UnitEnd(const std::string& text, std::size_t at, bool utf8)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (utf8 && lead >= 0xC0) length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    std::size_t end = at + 1;
    while (end < text.size() && end - at < length &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        ++end;
    return end;
}

struct Word {
    std::size_t end;
    bool base64;
};

// The longest run of whole characters from at whose encoded word, overhead
// included, holds at most room characters. Both forms only grow with the run.
Word LongestWord(const std::string& text, std::size_t at, bool utf8, std::size_t overhead,
                 std::size_t room, WordForm form)
{
    Word best{at, form == WORDS_B_ONLY};
    std::size_t q = 0;
    for (std::size_t pos = at; pos < text.size();) {
        const std::size_t end = UnitEnd(text, pos, utf8);
        for (std::size_t i = pos; i < end; ++i) q += QCost(static_cast<unsigned char>(text[i]));
        const std::size_t b = BCost(end - at);
        const bool base64 = form == WORDS_B_ONLY || b < q;
        if (overhead + (base64 ? b : q) > room) break;
        best = Word{end, base64};
        pos = end;
    }
    return best;
}

std::string QText(const std::string& bytes)
{
    std::string out;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u == ' ') {
            out += '_';
        } else if (IsQLiteral(u)) {
            out += c;
        } else {
            out += '=';
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
}

std::string BText(const std::string& bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        unsigned long group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? kBase64[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

std::string RenderWord(const std::string& bytes, const std::string& charset, bool base64)
{
    return "=?" + charset + (base64 ? "?B?" : "?Q?") + (base64 ? BText(bytes) : QText(bytes)) +
           "?=";
}

std::size_t Room(std::size_t column, std::size_t lineLimit)
{
    if (column >= lineLimit) return 0;
    const std::size_t room = lineLimit - column;
    return room < kMaxEncodedWord ? room : kMaxEncodedWord;
}

std::string PercentText(const std::string& bytes)
{
    std::string out;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (IsAttributeChar(u)) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
}

// The longest run of whole characters from at whose percent-encoding takes
// at most room characters.
std::size_t LongestSection(const std::string& text, std::size_t at, bool utf8, std::size_t room)
{
    std::size_t best = at;
    std::size_t cost = 0;
    for (std::size_t pos = at; pos < text.size();) {
        const std::size_t end = UnitEnd(text, pos, utf8);
        for (std::size_t i = pos; i < end; ++i)
            cost += PercentCost(static_cast<unsigned char>(text[i]));
        if (cost > room) break;
        best = pos = end;
    }
    return best;
}

}  // namespace

bool IsUtf8Charset(const std::string& charset)
{
    std::string lower;
    for (char c : charset)
        if (c != '-') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "utf8";
}

std::string EncodeWords(const std::string& text, const std::string& charset, std::size_t column,
                        std::size_t lineLimit, WordForm form, std::size_t* endColumn)
{
    const bool utf8 = IsUtf8Charset(charset);
    const std::size_t overhead = charset.size() + 7;  // "=?" charset "?Q?" "?="
    std::string out;
    std::size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        // A word shares the line only when the rest of the text fits there
        // (the first word: when anything fits); else a fresh line, which
        // gives the longest word.
        const std::size_t separator = first ? 0 : 1;
        Word word =
            LongestWord(text, at, utf8, overhead, Room(column + separator, lineLimit), form);
        const bool fits = first ? word.end > at : word.end == text.size();
        if (fits) {
            if (!first) out += ' ';
            column += separator;
        } else {
            if (!first || column > 1) {
                out += kFold;
                column = 1;
            }
            word = LongestWord(text, at, utf8, overhead, Room(column, lineLimit), form);
            // Only a charset name too long for any word leaves no room: one
            // character then goes alone, over the limit.
            if (word.end == at) word = Word{UnitEnd(text, at, utf8), form == WORDS_B_ONLY};
        }
        const std::string rendered =
            RenderWord(text.substr(at, word.end - at), charset, word.base64);
        out += rendered;
        column += rendered.size();
        at = word.end;
        first = false;
    }
    if (endColumn) *endColumn = column;
    return out;
}

std::string EncodeUnstructured(const char* name, const std::string& value,
                               const std::string& charset)
{
    if (!HoldsHighByte(value)) return value;
    return EncodeWords(value, charset, std::strlen(name) + 2);
}

std::string EncodeExtendedParameter(const std::string& attribute, const std::string& value,
                                    const std::string& charset)
{
    const bool utf8 = IsUtf8Charset(charset);
    const std::string prefix = charset + "''";
    // Each line is TAB, the section and room for the ";" that may follow it.
    const std::string whole = attribute + "*=" + prefix + PercentText(value);
    if (whole.size() + 2 <= kMaxHeaderLine) return whole;

    std::string out;
    std::size_t at = 0;
    for (unsigned section = 0; at < value.size() || section == 0; ++section) {
        std::string head = attribute + "*" + std::to_string(section) + "*=";
        if (section == 0) head += prefix;
        const std::size_t used = head.size() + 2;
        std::size_t end =
            LongestSection(value, at, utf8, used < kMaxHeaderLine ? kMaxHeaderLine - used : 0);
        if (end == at && at < value.size()) end = UnitEnd(value, at, utf8);
        if (section > 0) out += ";\r\n\t";
        out += head + PercentText(value.substr(at, end - at));
        at = end;
    }
    return out;
}
