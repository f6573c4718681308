#include "platform/Clock.h"

namespace platform {

namespace {

std::time_t SystemNow()
{
    return std::time(nullptr);
}

ClockSource& Current()
{
    static ClockSource clock = SystemClock();
    return clock;
}

}  // namespace

const ClockSource& SystemClock()
{
    static const ClockSource clock = {SystemTickCount, SystemProcessId, SystemNow};
    return clock;
}

void SetClockSource(const ClockSource& source)
{
    Current() = source;
}

std::uint32_t TickCount()
{
    return Current().tickCount();
}

int ProcessId()
{
    return Current().processId();
}

std::time_t CurrentTime()
{
    return Current().now();
}

}  // namespace platform
