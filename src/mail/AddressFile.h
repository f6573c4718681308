#pragma once

class CSMTPEmail;

// Address files nest at most this deep; a deeper one (a file that names
// itself, say) is refused like a file that cannot be opened.
constexpr int kMaxAddressFileDepth = 16;

// Reads the address file named by entry ("@" and the file name) and hands
// each line, cut at its first character outside the allowed set, back to
// _AddAddress under the same header name. depth is this file's nesting level,
// 1 for a file named on the command line or at a prompt.
// Throws BAD_ARGUMENTS_FROM_FORM when the file cannot be opened or nests too deep.
void ReadAddressFile(CSMTPEmail& mail, const char* headerName, const char* entry, int depth);
