#include "mime/Encoders.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

// Two output characters per 12 input bits: half the lookups of a 6-bit table.
struct PairTable {
    char pairs[4096][2];
};

constexpr PairTable MakePairTable()
{
    PairTable table{};
    for (int i = 0; i < 4096; ++i) {
        table.pairs[i][0] = kAlphabet[i >> 6];
        table.pairs[i][1] = kAlphabet[i & 63];
    }
    return table;
}

constexpr PairTable kPairs = MakePairTable();

inline char* PutFullGroup(const unsigned char* in, char* out)
{
    const unsigned bits = (unsigned(in[0]) << 16) | (unsigned(in[1]) << 8) | in[2];
    std::memcpy(out, kPairs.pairs[bits >> 12], 2);
    std::memcpy(out + 2, kPairs.pairs[bits & 0xFFF], 2);
    return out + 4;
}

// Bytes that quoted-printable writes as they are, without looking further.
struct PlainTable {
    bool plain[256];
};

constexpr PlainTable MakePlainTable()
{
    PlainTable table{};
    for (int c = 0x21; c <= 0x7E; ++c) table.plain[c] = c != '=';
    return table;
}

constexpr PlainTable kPlain = MakePlainTable();

constexpr int kSoftLimit = 72;  // a line is broken once it holds more than this
constexpr std::size_t kStreamBlock = Base64Encoder::kLineInput * 1024;
constexpr std::size_t kTextSlice = 64 * 1024;

bool WriteAll(const std::string& bytes, FILE* output)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
}

}  // namespace

void Base64Encoder::PutGroup(const unsigned char* group, std::string& out)
{
    char chars[4];
    PutFullGroup(group, chars);
    out.append(chars, 4);
    m_Column += 4;
    if (m_Column >= kLineChars) {
        out += "\r\n";
        m_Column = 0;
    }
}

void Base64Encoder::Encode(const unsigned char* data, std::size_t length, std::string& out)
{
    if (m_PendingCount > 0) {
        unsigned char group[3] = {m_Pending[0], m_Pending[1], 0};
        int have = m_PendingCount;
        while (have < 3 && length > 0) {
            group[have++] = *data++;
            --length;
        }
        if (have < 3) {
            std::memcpy(m_Pending, group, 2);
            m_PendingCount = have;
            return;
        }
        m_PendingCount = 0;
        PutGroup(group, out);
    }
    for (; m_Column != 0 && length >= 3; data += 3, length -= 3) PutGroup(data, out);

    const std::size_t lines = length / kLineInput;
    if (lines > 0) {
        const std::size_t start = out.size();
        out.resize(start + lines * (kLineChars + 2));
        char* p = &out[start];
        for (std::size_t line = 0; line < lines; ++line) {
            for (std::size_t g = 0; g < kLineInput / 3; ++g, data += 3) p = PutFullGroup(data, p);
            *p++ = '\r';
            *p++ = '\n';
        }
        length -= lines * kLineInput;
    }
    for (; length >= 3; data += 3, length -= 3) PutGroup(data, out);

    std::memcpy(m_Pending, data, length);
    m_PendingCount = static_cast<int>(length);
}

void Base64Encoder::Finish(std::string& out)
{
    if (m_PendingCount > 0) {
        const unsigned bits = (unsigned(m_Pending[0]) << 16) |
                              (m_PendingCount == 2 ? unsigned(m_Pending[1]) << 8 : 0u);
        out += kAlphabet[(bits >> 18) & 63];
        out += kAlphabet[(bits >> 12) & 63];
        out += m_PendingCount == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
        out += '=';
        m_Column += 4;
    }
    if (m_Column != 0) out += "\r\n";
    m_PendingCount = 0;
    m_Column = 0;
}

void QuotedPrintableEncoder::Encode(const char* data, std::size_t length, std::string& out)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = p + length;
    while (p < end) {
        if (!m_PendingCR && !m_PendingWhite) {
            p += PutLiteralRun(p, static_cast<std::size_t>(end - p), out);
            if (p == end) break;
        }
        Put(*p++, out);
    }
}

// The fast path: copies the bytes up to the line limit that need no
// encoding and no decision about what follows them.
std::size_t QuotedPrintableEncoder::PutLiteralRun(const unsigned char* data, std::size_t length,
                                                  std::string& out)
{
    if (m_Column == 0 && m_AfterSoftBreak && data[0] == '.') return 0;
    const std::size_t limit = std::min(length, std::size_t(kSoftLimit + 1 - m_Column));
    std::size_t i = 0;
    while (i < limit) {
        const unsigned char c = data[i];
        if (kPlain.plain[c]) {
            ++i;
        } else if ((c == ' ' || c == '\t') && i + 1 < length && data[i + 1] != '\r' &&
                   data[i + 1] != '\n') {
            ++i;
        } else {
            break;
        }
    }
    if (i == 0) return 0;
    out.append(reinterpret_cast<const char*>(data), i);
    m_Column += static_cast<int>(i);
    m_AfterSoftBreak = false;
    LimitLine(out);
    return i;
}

void QuotedPrintableEncoder::Put(unsigned char c, std::string& out)
{
    if (m_PendingCR) {
        m_PendingCR = false;
        if (c == '\n') {
            FlushWhite(true, out);
            HardBreak(out);
            return;
        }
        FlushWhite(false, out);
        Encoded('\r', out);
    }
    switch (c) {
    case '\r':
        m_PendingCR = true;
        return;
    case '\n':
        FlushWhite(true, out);
        HardBreak(out);
        return;
    case ' ':
    case '\t':
        FlushWhite(false, out);
        m_PendingWhite = c;
        return;
    default:
        FlushWhite(false, out);
        if (kPlain.plain[c] && !(c == '.' && m_Column == 0 && m_AfterSoftBreak))
            Literal(c, out);
        else
            Encoded(c, out);
    }
}

void QuotedPrintableEncoder::FlushWhite(bool beforeBreak, std::string& out)
{
    if (!m_PendingWhite) return;
    const unsigned char c = m_PendingWhite;
    m_PendingWhite = 0;
    if (beforeBreak)
        Encoded(c, out);
    else
        Literal(c, out);
}

void QuotedPrintableEncoder::Literal(unsigned char c, std::string& out)
{
    out += static_cast<char>(c);
    ++m_Column;
    m_AfterSoftBreak = false;
    LimitLine(out);
}

void QuotedPrintableEncoder::Encoded(unsigned char c, std::string& out)
{
    const char triplet[3] = {'=', kHex[c >> 4], kHex[c & 15]};
    out.append(triplet, 3);
    m_Column += 3;
    m_AfterSoftBreak = false;
    LimitLine(out);
}

void QuotedPrintableEncoder::LimitLine(std::string& out)
{
    if (m_Column <= kSoftLimit) return;
    out += "=\r\n";
    m_Column = 0;
    m_AfterSoftBreak = true;
}

void QuotedPrintableEncoder::HardBreak(std::string& out)
{
    out += "\r\n";
    m_Column = 0;
    m_AfterSoftBreak = false;
}

void QuotedPrintableEncoder::Finish(std::string& out)
{
    if (m_PendingCR) {
        m_PendingCR = false;
        FlushWhite(false, out);
        Encoded('\r', out);
    }
    FlushWhite(false, out);
    if (m_Column != 0) out += "=\r\n";
    m_Column = 0;
    m_AfterSoftBreak = false;
}

std::string EncodeBase64(const void* data, std::size_t length)
{
    std::string out;
    Base64Encoder encoder;
    encoder.Encode(static_cast<const unsigned char*>(data), length, out);
    encoder.Finish(out);
    return out;
}

std::string EncodeQuotedPrintable(const char* data, std::size_t length)
{
    std::string out;
    QuotedPrintableEncoder encoder;
    encoder.Encode(data, length, out);
    encoder.Finish(out);
    return out;
}

EncodeStatus EncodeBase64Stream(FILE* input, FILE* output)
{
    std::vector<unsigned char> block(kStreamBlock);
    std::string out;
    out.reserve(kStreamBlock / Base64Encoder::kLineInput * (Base64Encoder::kLineChars + 2) + 8);
    Base64Encoder encoder;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), input);
        if (got > 0) {
            out.clear();
            encoder.Encode(block.data(), got, out);
            if (!WriteAll(out, output)) return ENCODE_WRITE_FAILED;
        }
        if (got < block.size()) {
            if (std::ferror(input)) return ENCODE_READ_FAILED;
            break;
        }
    }
    out.clear();
    encoder.Finish(out);
    if (!WriteAll(out, output) || std::fflush(output) != 0) return ENCODE_WRITE_FAILED;
    return ENCODE_OK;
}

bool EncodeQuotedPrintableText(const char* text, FILE* output)
{
    QuotedPrintableEncoder encoder;
    std::string out;
    std::size_t remaining = std::strlen(text);
    while (remaining > 0) {
        const std::size_t slice = std::min(remaining, kTextSlice);
        out.clear();
        encoder.Encode(text, slice, out);
        if (!WriteAll(out, output)) return false;
        text += slice;
        remaining -= slice;
    }
    out.clear();
    encoder.Finish(out);
    return WriteAll(out, output);
}
