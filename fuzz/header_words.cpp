// Encoded words and extended parameters: whatever the text, the output is
// 7-bit, no word passes 75 characters and no line 78, and decoding the words
// (or the sections) gives the text back. Words of valid UTF-8 text are valid
// UTF-8 each: a character is never split.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "mime/Encoders.h"
#include "mime/HeaderWords.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& output)
{
    std::fprintf(stderr, "header word property broken: %s\noutput: ", what);
    std::fwrite(output.data(), 1, output.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ValidUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC0 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                                 : 4;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// Decodes "%XX" escapes; anything else is taken as it is.
std::string Unpercent(const std::string& text, const std::string& output)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
            Fail("bad percent escape", output);
        out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    return out;
}

std::string DecodeWordText(char form, const std::string& text, const std::string& output)
{
    std::string out;
    if (form == 'Q') {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '_') {
                out += ' ';
            } else if (text[i] == '=') {
                if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0)
                    Fail("bad Q escape", output);
                out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
                i += 2;
            } else if (text[i] == '?' || text[i] == ' ') {
                Fail("Q text holds a character it must encode", output);
            } else {
                out += text[i];
            }
        }
        return out;
    }
    // The strict decoder refuses anything but canonical base64.
    if (!DecodeBase64(text, &out)) Fail("B text is not base64", output);
    return out;
}

// Splits at folds and blanks and decodes each word; checks the lengths.
std::vector<std::string> DecodeWords(const std::string& output, const std::string& charset,
                                     std::size_t column)
{
    std::vector<std::string> words;
    std::size_t lineStart = 0;
    std::size_t lineColumn = column;
    std::size_t at = 0;
    while (at <= output.size()) {
        std::size_t end = output.find_first_of(" \r", at);
        if (end == std::string::npos) end = output.size();
        if (end > at) {
            const std::string word = output.substr(at, end - at);
            const std::string head = "=?" + charset + "?";
            if (word.size() > kMaxEncodedWord) Fail("word over 75 characters", output);
            if (word.compare(0, head.size(), head) != 0 || word.size() < head.size() + 4 ||
                word.compare(word.size() - 2, 2, "?=") != 0 || word[head.size() + 1] != '?')
                Fail("not an encoded word", output);
            const char form = word[head.size()];
            if (form != 'Q' && form != 'B') Fail("unknown word form", output);
            words.push_back(DecodeWordText(
                form, word.substr(head.size() + 2, word.size() - head.size() - 4), output));
        }
        if (lineColumn + (end - lineStart) > kMaxHeaderLine)
            Fail("line over 78 characters", output);
        if (end == output.size()) break;
        if (output[end] == '\r') {
            if (output.compare(end, 3, "\r\n\t") != 0) Fail("fold other than CR LF TAB", output);
            lineStart = end + 2;
            lineColumn = 0;
            at = end + 3;
        } else {
            at = end + 1;
        }
    }
    return words;
}

void CheckWords(const std::string& text, const std::string& charset, std::size_t column,
                WordForm form)
{
    const std::string output = EncodeWords(text, charset, column, kMaxHeaderLine, form);
    for (char c : output) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u > 0x7E || (u < 0x20 && c != '\r' && c != '\n' && c != '\t'))
            Fail("byte not printable ASCII", output);
    }
    std::string decoded;
    const bool utf8 = IsUtf8Charset(charset) && ValidUtf8(text);
    for (const std::string& word : DecodeWords(output, charset, column)) {
        if (utf8 && !ValidUtf8(word)) Fail("a character split across words", output);
        decoded += word;
    }
    if (decoded != text) Fail("words do not decode to the text", output);
}

void CheckParameter(const std::string& text, const std::string& charset)
{
    const std::string output = EncodeExtendedParameter("filename", text, charset);
    std::string decoded;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t end = output.find(";\r\n\t", at);
        if (end == std::string::npos) end = output.size();
        const std::string section = output.substr(at, end - at);
        if (section.size() + 2 > kMaxHeaderLine) Fail("section line over 78 characters", output);
        std::string value = section.substr(section.find('=') + 1);
        if (at == 0) {
            if (value.compare(0, charset.size() + 2, charset + "''") != 0)
                Fail("no charset", output);
            value.erase(0, charset.size() + 2);
        }
        for (char c : value)
            if (static_cast<unsigned char>(c) > 0x7E || c == ' ' || c == '"' || c == ';' ||
                c == '\'')
                Fail("section holds a character it must encode", output);
        decoded += Unpercent(value, output);
        at = end == output.size() ? end : end + 4;
    }
    if (decoded != text) Fail("sections do not decode to the text", output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string charset = provider.ConsumeBool() ? "utf-8" : "iso-8859-1";
    const std::size_t column = provider.ConsumeIntegralInRange<std::size_t>(0, kMaxHeaderLine - 1);
    const WordForm form = provider.ConsumeBool() ? WORDS_B_ONLY : WORDS_Q_OR_B;
    const std::string text = provider.ConsumeRemainingBytesAsString();
    CheckWords(text, charset, column, form);
    CheckParameter(text, charset);
    return 0;
}
