#include "platform/Clock.h"

#include <windows.h>

#include <process.h>
#include <time.h>

namespace platform {

namespace {

std::uint32_t SystemTickCount()
{
    return GetTickCount();
}

int SystemProcessId()
{
    return _getpid();
}

std::time_t SystemNow()
{
    return std::time(nullptr);
}

}  // namespace

const ClockSource& SystemClock()
{
    static const ClockSource clock = {SystemTickCount, SystemProcessId, SystemNow};
    return clock;
}

void RefreshTimeZone()
{
    _tzset();
}

}  // namespace platform
