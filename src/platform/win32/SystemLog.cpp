#include "platform/SystemLog.h"

namespace platform {

bool HasSystemLog()
{
    return false;
}

void WriteSystemLog(const char*, bool, const std::string&) {}

}  // namespace platform
