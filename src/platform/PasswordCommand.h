#pragma once

#include <string>

namespace platform {

// Runs a command that prints a secret, e.g. "pass show mail", and puts the
// first line of its standard output, without the line break (LF or CR LF),
// in *secret. On POSIX the command runs without a shell: it is split into
// words at blanks and tabs, and '...' or "..." keep a piece together as it
// is (no other escapes). On Windows it runs through "cmd /s /c".
//
// The command reads nothing (its standard input is the null device) and its
// standard error goes to ours. Its output is read to the end and only the
// first line kept, so a secret has no length limit and a chatty command
// does no harm; a command that never ends is waited for.
//
// False, with *why saying what went wrong and naming the program but never
// showing the output: an empty command or an unclosed quote, a program that
// cannot be run, an exit status other than 0, death by a signal, an empty
// first line. *secret is then empty.
bool RunPasswordCommand(const std::string& command, std::string* secret, std::string* why);

}  // namespace platform
