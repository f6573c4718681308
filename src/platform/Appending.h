#pragma once

#include <string>

// Byte-exact standard input, and lines appended to a file shared by runs.
namespace platform {

// Standard input as bytes: on Windows it leaves text mode, so that CR LF and
// Ctrl-Z arrive as they were sent. Nothing to do on POSIX.
void UseBinaryInput();

// Standard output as bytes, for a protocol spoken on it: on Windows it leaves
// text mode, so that CR LF is not sent as CR CR LF. Nothing to do on POSIX.
void UseBinaryOutput();

// Appends text to the file at path with one write on a file opened for
// appending (created owner-only when missing), so that the lines of runs at
// the same moment never mix. False, with the reason, when the file cannot be
// opened or the write is short.
bool AppendToFile(const char* path, const std::string& text, std::string* why);

}  // namespace platform
