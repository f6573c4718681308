// Quoted-printable encoder: whatever the text, the output decodes back to it
// (line ends as CR LF), keeps to 76 characters a line, has no bare CR or LF,
// no blank before a line break, and never opens a line with a dot that the
// text did not put there. Text prepared by the front end (leading dots
// doubled) never gives a line that starts with a lone dot.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "frontend/Body.h"
#include "mime/Encoders.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& output)
{
    std::fprintf(stderr, "quoted-printable property broken: %s\noutput: ", what);
    std::fwrite(output.data(), 1, output.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // RFC 2045 output uses upper-case digits only
}

// A strict decoder written from RFC 2045, not from the encoder. Returns the
// decoded text; checks the line rules on the way.
std::string Decode(const std::string& encoded)
{
    std::string text;
    std::size_t at = 0;
    bool afterSoftBreak = false;
    while (at < encoded.size()) {
        const std::size_t end = encoded.find("\r\n", at);
        if (end == std::string::npos) Fail("last line without CR LF", encoded);
        const std::string line = encoded.substr(at, end - at);
        at = end + 2;
        if (line.size() > 76) Fail("line over 76 characters", encoded);
        if (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            Fail("blank before a line break", encoded);
        if (afterSoftBreak && !line.empty() && line[0] == '.')
            Fail("dot opens a line after a soft break", encoded);
        bool soft = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(line[i]);
            if (c == '=') {
                if (i + 1 == line.size()) {
                    soft = true;
                    break;
                }
                if (i + 2 >= line.size()) Fail("cut escape", encoded);
                const int high = HexValue(line[i + 1]);
                const int low = HexValue(line[i + 2]);
                if (high < 0 || low < 0) Fail("bad escape", encoded);
                text += static_cast<char>(high * 16 + low);
                i += 2;
            } else if (c == '\t' || (c >= 0x20 && c <= 0x7E)) {
                text += static_cast<char>(c);
            } else {
                Fail("byte that must be encoded", encoded);
            }
        }
        if (!soft) text += "\r\n";
        afterSoftBreak = soft;
    }
    return text;
}

// The text as the message carries it: every LF not after a CR becomes CR LF.
std::string WithCrLf(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

void CheckRoundTrip(const std::string& text, const std::string& encoded)
{
    if (Decode(encoded) != WithCrLf(text)) Fail("decoding does not give the text back", encoded);
}

std::string EncodeInPieces(const std::string& text, FuzzedDataProvider& cuts)
{
    QuotedPrintableEncoder encoder;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t piece = cuts.ConsumeIntegralInRange<std::size_t>(1, text.size() - at);
        encoder.Encode(text.data() + at, piece, out);
        at += piece;
    }
    encoder.Finish(out);
    return out;
}

std::string EncodeToStream(const char* text)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    if (!stream) std::abort();
    if (!EncodeQuotedPrintableText(text, stream)) std::abort();
    std::fclose(stream);
    std::string out(buffer, size);
    std::free(buffer);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string text = provider.ConsumeRandomLengthString(size);

    const std::string whole = EncodeQuotedPrintable(text.data(), text.size());
    CheckRoundTrip(text, whole);
    if (EncodeInPieces(text, provider) != whole) Fail("pieces encode differently", whole);

    // The message file gets the text up to its first zero byte.
    const std::string upToZero(text.c_str());
    if (EncodeToStream(upToZero.c_str()) != EncodeQuotedPrintable(upToZero.data(), upToZero.size()))
        Fail("stream output differs", whole);

    std::string body;
    MergeText(body, upToZero);
    const std::string prepared = EncodeQuotedPrintable(body.data(), body.size());
    CheckRoundTrip(body, prepared);
    for (std::size_t at = 0; at < prepared.size();) {
        if (prepared[at] == '.' && (at + 1 >= prepared.size() || prepared[at + 1] != '.'))
            Fail("line starts with a lone dot", prepared);
        const std::size_t end = prepared.find("\r\n", at);
        at = end == std::string::npos ? prepared.size() : end + 2;
    }
    return 0;
}
