#include "platform/ConsoleKeys.h"

namespace platform {

const char* const kEndOfInputKey = "^Z";

}  // namespace platform
