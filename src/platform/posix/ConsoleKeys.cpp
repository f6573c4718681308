#include "platform/ConsoleKeys.h"

namespace platform {

const char* const kEndOfInputKey = "^D";

}  // namespace platform
