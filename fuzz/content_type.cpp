// Content-type writer and quoted-value writer. A quoted value always comes
// out as one well-formed quoted string; a content type made from any file
// name never breaks the header block (no CR or LF but the folds the writer
// puts before each parameter), and its name parameter gives the file name
// back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "mail/CSMTPEmail.h"
#include "mime/CSMTPPart.h"
#include "platform/FileStatus.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& output)
{
    std::fprintf(stderr, "content-type property broken: %s\noutput: ", what);
    std::fwrite(output.data(), 1, output.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

template <typename Write>
std::string Capture(Write write)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    if (!stream) std::abort();
    write(stream);
    std::fclose(stream);
    std::string out(buffer, size);
    std::free(buffer);
    return out;
}

// Reads the quoted string (RFC 5322 quoted-string without folding) at text[at];
// returns its contents and moves at past the closing quote. Fails on anything
// that is not one complete quoted string.
std::string ParseQuoted(const std::string& text, std::size_t& at, const std::string& whole)
{
    if (at >= text.size() || text[at] != '"') Fail("value does not open with a quote", whole);
    std::string contents;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return contents;
        }
        if (c == '\r' || c == '\n') Fail("line break inside a quoted value", whole);
        if (c == '\\') {
            if (++at >= text.size()) break;
            if (text[at] == '\r' || text[at] == '\n') Fail("escaped line break", whole);
        }
        contents += text[at];
    }
    Fail("quoted value never closes", whole);
}

void CheckQuotedValue(const std::string& value)
{
    const std::string out = Capture([&](FILE* f) { CSMTPPart::WriteQuotedValue(value, f); });
    std::size_t at = 0;
    const std::string contents = ParseQuoted(out, at, out);
    if (at != out.size()) Fail("bytes after the quoted value", out);
    // A value that is not quoted already is carried unchanged.
    if ((value.empty() || value[0] != '"') && contents != value) Fail("quoted value changed", out);
}

void CheckContentType(CSMTPPart& part, const std::string& type)
{
    const std::string out = Capture([&](FILE* f) { part.WriteContentType(f, type); });
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)
        Fail("content type does not end in CR LF", out);
    for (std::size_t i = 0; i + 2 < out.size(); ++i) {
        if (out[i] != '\r' && out[i] != '\n') continue;
        if (out.compare(i, 3, "\r\n\t") != 0 || i == 0 || out[i - 1] != ';')
            Fail("line break that is not a parameter fold", out);
        i += 2;
    }
}

// The name parameter of a content type made from a file name.
void CheckNameParameter(CSMTPPart& part, const std::string& path)
{
    const std::string type = ContentTypeFromFileName(path.c_str());
    CheckContentType(part, type);
    const std::string out = Capture([&](FILE* f) { part.WriteContentType(f, type); });
    const std::size_t name = out.rfind(";\r\n\tname=\"");
    if (name == std::string::npos) return;  // an odd extension may hide it; checked above
    std::size_t at = name + 9;
    std::string expected = platform::FileNamePart(path.c_str());
    for (char& c : expected)
        if (c == '\r' || c == '\n') c = ' ';
    if (ParseQuoted(out, at, out) != expected) Fail("name parameter lost the file name", out);
}

std::string WithoutLineBreaks(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    // Content types and values are zero-terminated texts in the program.
    const std::string first = provider.ConsumeRandomLengthString(256).c_str();
    const std::string second = provider.ConsumeRemainingBytesAsString().c_str();

    static CSMTPEmail mail;
    static CSMTPPart part(&mail);
    CheckNameParameter(part, first);
    // The writers are given types made from file names, whose line breaks are
    // blanks by then, or fixed texts.
    CheckQuotedValue(WithoutLineBreaks(first));
    CheckContentType(part, WithoutLineBreaks(first + second));
    return 0;
}
