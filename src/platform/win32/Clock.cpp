#include "platform/Clock.h"

#include <windows.h>

#include <process.h>
#include <time.h>

namespace platform {

std::uint32_t SystemTickCount()
{
    return GetTickCount();
}

int SystemProcessId()
{
    return _getpid();
}

void RefreshTimeZone()
{
    _tzset();
}

}  // namespace platform
