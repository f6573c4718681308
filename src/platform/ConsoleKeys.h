#pragma once

// Keys of the console the program reads typed text from.
namespace platform {

// The key that ends typed input, as the prompt names it: "^D" at a POSIX
// terminal (where ^Z suspends the program), "^Z" at a Windows console.
extern const char* const kEndOfInputKey;

}  // namespace platform
