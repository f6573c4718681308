#include "transport/Capabilities.h"

#include <cctype>
#include <cstring>

namespace transport {
namespace {

std::vector<std::string> Lines(const char* text, std::size_t length)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < length) {
        const void* found = std::memchr(text + start, '\n', length - start);
        const std::size_t end =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - text) : length;
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        lines.emplace_back(text + start, stop - start);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) return words;
        const std::size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
}

std::string Upper(std::string word)
{
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

}  // namespace

Capabilities Capabilities::FromEhlo(const char* text, std::size_t length)
{
    Capabilities found;
    const std::vector<std::string> lines = Lines(text, length);
    // "250-mail.example.test greets you", then "250-PIPELINING", ..., "250 SMTPUTF8"
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i].size() > 4) found.Add(lines[i].substr(4));
    return found;
}

Capabilities Capabilities::FromList(const char* text, std::size_t length)
{
    Capabilities found;
    const std::vector<std::string> lines = Lines(text, length);
    // "101 Capability list:", then one capability a line, then "."
    for (std::size_t i = 1; i < lines.size() && lines[i] != "."; ++i) found.Add(lines[i]);
    return found;
}

void Capabilities::Add(const std::string& line)
{
    std::vector<std::string> words = Words(line);
    if (words.empty()) return;
    Entry entry{Upper(words[0]), {}};
    entry.parameters.assign(words.begin() + 1, words.end());
    m_Entries.push_back(std::move(entry));
}

const Capabilities::Entry* Capabilities::Find(const char* keyword) const
{
    for (const Entry& entry : m_Entries)
        if (entry.keyword == keyword) return &entry;
    return nullptr;
}

bool Capabilities::Has(const char* keyword) const
{
    return Find(keyword) != nullptr;
}

std::vector<std::string> Capabilities::Parameters(const char* keyword) const
{
    const Entry* entry = Find(keyword);
    return entry ? entry->parameters : std::vector<std::string>();
}

}  // namespace transport
