#pragma once

#include <cstdint>

// What the file system says about a path.
namespace platform {

// The size in bytes of the file at path; false when it cannot be read.
bool FileSize(const char* path, std::uint64_t& size);

// The permission bits of the file at path (0644, say); false when the file
// cannot be read, and on Windows, whose files carry no such bits.
bool FilePermissions(const char* path, unsigned& mode);

// True for the characters that separate directories in a path: "/" on
// POSIX; "\\" and "/" on Windows, which accepts both.
bool IsPathSeparator(char c);

// True for the character that ends the directory part of the program's own
// path in argument 0: "/" on POSIX, only "\\" on Windows.
bool IsProgramPathSeparator(char c);

// The file name of a path: the text after its last separator. A directory
// never leaks into the name of an attachment.
const char* FileNamePart(const char* path);

// The program's name in argument 0: the text after its last program path separator.
const char* ProgramNamePart(const char* path);

}  // namespace platform
