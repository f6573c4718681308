// Base64 encoder: the output decodes back to the input, every line but the
// last holds exactly 76 characters, every line ends in CR LF, padding occurs
// only at the very end, and pieces of any size or the stream encoder give the
// same bytes as the whole input at once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "mime/Encoders.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& output)
{
    std::fprintf(stderr, "base64 property broken: %s\noutput: %s\n", what, output.c_str());
    std::abort();
}

int SextetOf(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes and checks the layout, from RFC 2045 rather than from the encoder.
std::string Decode(const std::string& encoded)
{
    std::string chars;
    for (std::size_t at = 0; at < encoded.size();) {
        const std::size_t end = encoded.find("\r\n", at);
        if (end == std::string::npos) Fail("last line without CR LF", encoded);
        const std::size_t length = end - at;
        const bool last = end + 2 == encoded.size();
        if (length == 0 || length > 76 || (!last && length != 76) || length % 4 != 0)
            Fail("bad line length", encoded);
        chars.append(encoded, at, length);
        at = end + 2;
    }
    std::string bytes;
    for (std::size_t group = 0; group < chars.size(); group += 4) {
        const bool final = group + 4 == chars.size();
        int pads = 0;
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = chars[group + i];
            if (c == '=') {
                if (!final || i < 2) Fail("padding before the end", encoded);
                ++pads;
                bits <<= 6;
                continue;
            }
            if (pads > 0) Fail("data after padding", encoded);
            const int sextet = SextetOf(c);
            if (sextet < 0) Fail("character outside the alphabet", encoded);
            bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
        }
        bytes += static_cast<char>(bits >> 16);
        if (pads < 2) bytes += static_cast<char>((bits >> 8) & 0xFF);
        if (pads < 1) bytes += static_cast<char>(bits & 0xFF);
        // Bits below the last byte must be zero in canonical output.
        if ((pads == 1 && (bits & 0xFF) != 0) || (pads == 2 && (bits & 0xFFFF) != 0))
            Fail("stray bits in the last group", encoded);
    }
    return bytes;
}

std::string EncodeInPieces(const std::string& input, FuzzedDataProvider& cuts)
{
    Base64Encoder encoder;
    std::string out;
    std::size_t at = 0;
    while (at < input.size()) {
        const std::size_t piece = cuts.ConsumeIntegralInRange<std::size_t>(1, input.size() - at);
        encoder.Encode(reinterpret_cast<const unsigned char*>(input.data()) + at, piece, out);
        at += piece;
    }
    encoder.Finish(out);
    return out;
}

std::string EncodeThroughStreams(const std::string& input)
{
    FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "rb");
    if (input.empty()) in = std::tmpfile();  // fmemopen refuses a size of 0
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    if (!in || !out) std::abort();
    if (EncodeBase64Stream(in, out) != ENCODE_OK) std::abort();
    std::fclose(in);
    std::fclose(out);
    std::string encoded(buffer, size);
    std::free(buffer);
    return encoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string input = provider.ConsumeRandomLengthString(size);

    const std::string whole = EncodeBase64(input.data(), input.size());
    if (input.empty() != whole.empty()) Fail("empty input must give empty output", whole);
    if (Decode(whole) != input) Fail("decoding does not give the input back", whole);
    if (EncodeInPieces(input, provider) != whole) Fail("pieces encode differently", whole);
    if (EncodeThroughStreams(input) != whole) Fail("stream output differs", whole);
    return 0;
}
