#pragma once

#include <string>

// Small rules on bytes of text that every layer shares.
namespace core {

// ASCII letters in lower case; every other byte stays.
std::string Lower(std::string text);
// Without the blanks and tabs (or the given bytes) at either end.
std::string Trimmed(const std::string& text, const char* blanks = " \t");
// True when a byte is above 0x7F: the text is not plain ASCII.
bool HoldsHighByte(const std::string& text);

}  // namespace core
