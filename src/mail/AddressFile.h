#pragma once

#include <string>
#include <vector>

// Address files nest at most this deep; a deeper one (a file that names
// itself, say) is refused like a file that cannot be opened.
constexpr int kMaxAddressFileDepth = 16;

// Reads the address file named by entry ("@" and the file name) and returns
// its receivers in file order: each line cut at its first character outside
// the allowed set, with the lines of nested "@" files in their place. depth
// is this file's nesting level, 1 for a file named on the command line or at
// a prompt.
// Throws BAD_ARGUMENTS_FROM_FORM when a file cannot be opened or read, or
// nests too deep.
std::vector<std::string> ReadAddressFile(const char* entry, int depth);
