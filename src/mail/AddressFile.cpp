#include "mail/AddressFile.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/CSMTPException.h"
#include "mail/Globals.h"
#include "mail/LineReader.h"

namespace {

bool IsAllowed(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr(".-_@<> '\"+", c) != nullptr;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// The console line names the entry in single quotes, the exception in double quotes.
[[noreturn]] void RefuseFile(const char* before, const char* entry, const char* after)
{
    if (g_Verbose || g_Debug) std::fprintf(stderr, "%s '%s'%s Aborting.\n", before, entry, after);
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << before << " \"" << entry << "\"" << after << " Aborting.";
    throw error;
}

}  // namespace

namespace {

void ReadInto(std::vector<std::string>& entries, const char* entry, int depth)
{
    if (depth > kMaxAddressFileDepth)
        RefuseFile("Address file", entry, " is nested too deep (more than 16 levels).");
    const char* fileName = entry + 1;
    std::unique_ptr<FILE, FileCloser> file(*fileName ? std::fopen(fileName, "r") : nullptr);
    if (!file) RefuseFile("Failed to open address file", entry, ".");

    std::string line;
    while (ReadWholeLine(file.get(), line)) {
        std::size_t keep = 0;
        while (keep < line.size() && IsAllowed(static_cast<unsigned char>(line[keep]))) ++keep;
        line.resize(keep);
        if (line[0] == '@')
            ReadInto(entries, line.c_str(), depth + 1);
        else
            entries.push_back(line);
    }
    // A directory opens but cannot be read: never take it as an empty list.
    if (std::ferror(file.get())) RefuseFile("Failed to read address file", entry, ".");
}

}  // namespace

std::vector<std::string> ReadAddressFile(const char* entry, int depth)
{
    std::vector<std::string> entries;
    ReadInto(entries, entry, depth);
    return entries;
}
