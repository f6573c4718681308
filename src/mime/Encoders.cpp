#include "mime/Encoders.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";

// The value of a base64 character; -1 for "=" and any other byte.
int SextetOf(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

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

// How quoted-printable treats a byte: plain bytes are written as they are;
// a blank or TAB depends on what follows it; CR and LF make line breaks.
constexpr unsigned char kPlainByte = 0, kWhiteByte = 1, kEncodedByte = 2, kBreakByte = 3;

struct ClassTable {
    unsigned char kind[256];
};

constexpr ClassTable MakeClassTable()
{
    ClassTable table{};
    for (int c = 0; c < 256; ++c) table.kind[c] = kEncodedByte;
    for (int c = 0x21; c <= 0x7E; ++c) table.kind[c] = kPlainByte;
    table.kind[int('=')] = kEncodedByte;
    table.kind[int(' ')] = kWhiteByte;
    table.kind[int('\t')] = kWhiteByte;
    table.kind[int('\r')] = kBreakByte;
    table.kind[int('\n')] = kBreakByte;
    return table;
}

constexpr ClassTable kClass = MakeClassTable();

// True when each of the eight bytes is printable ASCII or a blank, and no
// "=": eight bytes tested at once instead of one by one.
inline bool EightLiterals(const unsigned char* bytes)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    std::uint64_t x;
    std::memcpy(&x, bytes, 8);
    const std::uint64_t control = (x - kOnes * 0x20) & ~x & kHighs;
    const std::uint64_t high = ((x + kOnes) | x) & kHighs;  // 0x7F and above
    const std::uint64_t e = x ^ (kOnes * '=');
    const std::uint64_t equals = (e - kOnes) & ~e & kHighs;
    return (control | high | equals) == 0;
}

constexpr int kSoftLimit = 72;  // a line is broken once it holds more than this
constexpr std::size_t kStreamBlock = Base64Encoder::kLineInput * 1024;
constexpr std::size_t kTextSlice = 64 * 1024;
constexpr std::size_t kQpPiece = 4096;

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
    // Each piece is encoded into a buffer with room for its worst case: three
    // characters per byte and a soft break after every 24 encoded bytes.
    char buffer[4 * kQpPiece + 16];
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = in + length;
    while (in < end) {
        const unsigned char* pieceEnd = in + std::min(std::size_t(end - in), kQpPiece);
        char* p = buffer;
        while (in < pieceEnd) {
            if (!m_PendingCR && !m_PendingWhite) {
                p = PutLiteralRun(in, pieceEnd, end, p);
                if (in == pieceEnd) break;
            }
            p = Put(*in++, p);
        }
        out.append(buffer, static_cast<std::size_t>(p - buffer));
    }
}

// The fast path: copies the bytes up to the line limit that need no
// encoding and no decision about what follows them. A blank or TAB may join
// the run when the byte after it (looked at up to end) is no line break.
char* QuotedPrintableEncoder::PutLiteralRun(const unsigned char*& data,
                                            const unsigned char* pieceEnd, const unsigned char* end,
                                            char* p)
{
    if (m_Column == 0 && m_AfterSoftBreak && *data == '.') return p;
    const unsigned char* stop =
        data + std::min(std::size_t(pieceEnd - data), std::size_t(kSoftLimit + 1 - m_Column));
    const unsigned char* q = data;
    for (;;) {
        while (q + 8 <= stop && q + 8 < end && EightLiterals(q) &&
               (q[7] != ' ' || kClass.kind[q[8]] != kBreakByte))
            q += 8;
        while (q < stop && kClass.kind[*q] == kPlainByte) ++q;
        if (q < stop && kClass.kind[*q] == kWhiteByte && q + 1 < end &&
            kClass.kind[q[1]] != kBreakByte) {
            ++q;
            continue;
        }
        break;
    }
    const std::size_t n = static_cast<std::size_t>(q - data);
    if (n == 0) return p;
    std::memcpy(p, data, n);
    data = q;
    m_Column += static_cast<int>(n);
    m_AfterSoftBreak = false;
    return LimitLine(p + n);
}

char* QuotedPrintableEncoder::Put(unsigned char c, char* p)
{
    if (m_PendingCR) {
        m_PendingCR = false;
        if (c == '\n') return HardBreak(FlushWhite(true, p));
        p = Encoded('\r', FlushWhite(false, p));
    }
    switch (c) {
    case '\r': m_PendingCR = true; return p;
    case '\n': return HardBreak(FlushWhite(true, p));
    case ' ':
    case '\t':
        p = FlushWhite(false, p);
        m_PendingWhite = c;
        return p;
    default:
        p = FlushWhite(false, p);
        if (kClass.kind[c] == kPlainByte && !(c == '.' && m_Column == 0 && m_AfterSoftBreak))
            return Literal(c, p);
        return Encoded(c, p);
    }
}

char* QuotedPrintableEncoder::FlushWhite(bool beforeBreak, char* p)
{
    if (!m_PendingWhite) return p;
    const unsigned char c = m_PendingWhite;
    m_PendingWhite = 0;
    return beforeBreak ? Encoded(c, p) : Literal(c, p);
}

char* QuotedPrintableEncoder::Literal(unsigned char c, char* p)
{
    *p++ = static_cast<char>(c);
    ++m_Column;
    m_AfterSoftBreak = false;
    return LimitLine(p);
}

char* QuotedPrintableEncoder::Encoded(unsigned char c, char* p)
{
    *p++ = '=';
    *p++ = kHex[c >> 4];
    *p++ = kHex[c & 15];
    m_Column += 3;
    m_AfterSoftBreak = false;
    return LimitLine(p);
}

char* QuotedPrintableEncoder::LimitLine(char* p)
{
    if (m_Column <= kSoftLimit) return p;
    *p++ = '=';
    *p++ = '\r';
    *p++ = '\n';
    m_Column = 0;
    m_AfterSoftBreak = true;
    return p;
}

char* QuotedPrintableEncoder::HardBreak(char* p)
{
    *p++ = '\r';
    *p++ = '\n';
    m_Column = 0;
    m_AfterSoftBreak = false;
    return p;
}

void QuotedPrintableEncoder::Finish(std::string& out)
{
    char buffer[16];
    char* p = buffer;
    if (m_PendingCR) {
        m_PendingCR = false;
        p = Encoded('\r', FlushWhite(false, p));
    }
    p = FlushWhite(false, p);
    if (m_Column != 0) {
        *p++ = '=';
        *p++ = '\r';
        *p++ = '\n';
    }
    out.append(buffer, static_cast<std::size_t>(p - buffer));
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

std::string EncodeBase64Line(const void* data, std::size_t length)
{
    const unsigned char* in = static_cast<const unsigned char*>(data);
    std::string out((length + 2) / 3 * 4, '\0');
    char* p = &out[0];
    for (; length >= 3; in += 3, length -= 3) p = PutFullGroup(in, p);
    if (length > 0) {
        const unsigned char last[3] = {in[0], static_cast<unsigned char>(length == 2 ? in[1] : 0),
                                       0};
        PutFullGroup(last, p);
        p[3] = '=';
        if (length == 1) p[2] = '=';
    }
    return out;
}

std::string EncodeBase64Url(const void* data, std::size_t length)
{
    std::string text = EncodeBase64Line(data, length);
    for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!text.empty() && text.back() == '=') text.pop_back();
    return text;
}

bool DecodeBase64(const std::string& text, std::string* bytes)
{
    bytes->clear();
    if (text.size() % 4 != 0) return false;
    bytes->reserve(text.size() / 4 * 3);
    for (std::size_t group = 0; group < text.size(); group += 4) {
        const bool last = group + 4 == text.size();
        const int pads = !last ? 0 : text[group + 3] != '=' ? 0 : text[group + 2] != '=' ? 1 : 2;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int sextet = i < std::size_t(4 - pads) ? SextetOf(text[group + i]) : 0;
            if (sextet < 0) {
                bytes->clear();
                return false;
            }
            bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
        }
        if ((pads == 1 && (bits & 0xFF) != 0) || (pads == 2 && (bits & 0xFFFF) != 0)) {
            bytes->clear();
            return false;
        }
        *bytes += static_cast<char>(bits >> 16);
        if (pads < 2) *bytes += static_cast<char>((bits >> 8) & 0xFF);
        if (pads < 1) *bytes += static_cast<char>(bits & 0xFF);
    }
    return true;
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
