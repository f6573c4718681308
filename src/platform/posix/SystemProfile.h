#pragma once

#include <string>

namespace platform {

// The first file of that name in the directories of $XDG_CONFIG_DIRS
// (/etc/xdg when unset or empty); relative directories are skipped. Empty
// when none exists.
std::string SystemProfilePath(const char* fileName);

}  // namespace platform
