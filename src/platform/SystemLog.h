#pragma once

#include <string>

// The system's own log, where daemons and mail programs leave their lines.
namespace platform {

// False where there is none to hand lines to (Windows).
bool HasSystemLog();

// Hands one line to the system log under ident, with the mail facility, at
// error priority for a failure and informational priority otherwise.
void WriteSystemLog(const char* ident, bool failure, const std::string& line);

}  // namespace platform
