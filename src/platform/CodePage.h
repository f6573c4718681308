#pragma once

#include <cstddef>

// Code page conversion of message text.
namespace platform {

// Converts text from the console's OEM code page to the system's ANSI code
// page, in place and byte for byte (the length does not change).
void OemToAnsi(char* text, std::size_t length);

}  // namespace platform
