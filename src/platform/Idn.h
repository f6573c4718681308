#pragma once

#include <string>

// Text in a named charset, and international domain names.
namespace platform {

// Converts text in charset to UTF-8. False when the charset is unknown or the
// text is not valid in it.
bool ToUtf8(const std::string& text, const std::string& charset, std::string& utf8);

// The ASCII form of a domain given in charset ("bücher.example" gives
// "xn--bcher-kva.example"). False, with the reason in words, when the name
// has no such form.
bool DomainToAscii(const std::string& domain, const std::string& charset, std::string& ascii,
                   std::string& reason);

}  // namespace platform
