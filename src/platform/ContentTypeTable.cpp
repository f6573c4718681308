#include "platform/ContentTypes.h"

#include <cctype>
#include <vector>

namespace platform {

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string> Words(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

bool ReadLine(FILE* file, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
    return c != EOF || !line.empty();
}

}  // namespace

std::string ContentTypeFromTable(FILE* table, const std::string& extension)
{
    if (extension.empty()) return "";
    std::string line;
    while (ReadLine(table, line)) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        const std::vector<std::string> words = Words(line);
        for (std::size_t i = 1; i < words.size(); ++i)
            if (SameIgnoringCase(words[i], extension)) return words[0];
    }
    return "";
}

}  // namespace platform
