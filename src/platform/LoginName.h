#pragma once

#include <string>

namespace platform {

// The name the user of this process logs in with; empty when the system
// does not know it.
std::string LoginName();

}  // namespace platform
