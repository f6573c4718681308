#pragma once

#include <cstdint>

// What the file system says about a path.
namespace platform {

// The size in bytes of the file at path; false when it cannot be read.
bool FileSize(const char* path, std::uint64_t& size);

// True for the characters that separate directories in a path.
bool IsPathSeparator(char c);

// The file name of a path: the text after its last separator.
const char* FileNamePart(const char* path);

}  // namespace platform
