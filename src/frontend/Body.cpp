#include "frontend/Body.h"

#include <cerrno>
#include <cstring>

#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"
#include "platform/ConsoleKeys.h"

namespace {

// "." followed by a line end, or by nothing at all.
bool IsSingleDotLine(const std::string& line)
{
    const char next = line.c_str()[1];
    return next == '\n' || next == '\r' || next == '\0';
}

// SMTP forbids a bare LF in the message, and a console line ends in one.
void EndWithCrLf(std::string& line)
{
    const std::size_t size = line.size();
    if (line[size - 1] == '\n' && (size < 2 || line[size - 2] != '\r'))
        line.insert(size - 1, 1, '\r');
}

enum class TextFile { Read, Missing, Unreadable };

TextFile ReadTextFile(const char* path, std::string& content)
{
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return (errno == ENOENT || errno == ENOTDIR) ? TextFile::Missing : TextFile::Unreadable;
    content.clear();
    char chunk[8192];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, count);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return TextFile::Unreadable;
    content.resize(std::strlen(content.c_str()));
    return TextFile::Read;
}

}  // namespace

void ReadBody(FILE* input, StringList& lines)
{
    if (g_Verbose) {
        if (g_SingleDotEnd)
            std::fputs("Enter message text. End with . (period) on a single line\n", stderr);
        else
            std::fprintf(stderr, "Enter message text. End with %s\n", platform::kEndOfInputKey);
    }
    std::string line;
    while (ReadWholeLine(input, line)) {
        if (line[0] == '.') {
            if (g_SingleDotEnd && IsSingleDotLine(line)) break;
            line.insert(0, 1, '.');
        }
        EndWithCrLf(line);
        AppendString(line, lines);
    }
}

std::string AssembleBody(const StringList& lines)
{
    std::string body;
    for (const StringNode* node = lines.First(); node; node = node->next.get()) body += node->text;
    body += "\r\n";
    return body;
}

void MergeText(std::string& body, const std::string& content)
{
    char previous = body.empty() ? '\n' : body.back();  // an empty body is the start of a line
    for (const char c : content) {
        if (c == '\0') break;
        if (c == '\n' && previous != '\r') body += '\r';
        if (c == '.' && previous == '\n') body += '.';
        body += c;
        previous = c;
    }
}

int MergeTextFiles(std::string& body, const StringList& paths)
{
    std::string content;
    for (const StringNode* node = paths.First(); node; node = node->next.get()) {
        const char* path = node->text.c_str();
        switch (ReadTextFile(path, content)) {
        case TextFile::Missing:
            if (g_Verbose || g_Debug)
                std::fprintf(stderr, "%s: Text attachment file '%s' was not found. Aborting.\n",
                             g_ProgramName, path);
            return -1;
        case TextFile::Unreadable: return -1;
        case TextFile::Read: MergeText(body, content); break;
        }
    }
    return 0;
}
