#include "core/Text.h"

namespace core {

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trimmed(const std::string& text, const char* blanks)
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool HoldsHighByte(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) > 0x7F) return true;
    return false;
}

}  // namespace core
