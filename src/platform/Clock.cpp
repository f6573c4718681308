#include "platform/Clock.h"

namespace platform {

namespace {

ClockSource& Current()
{
    static ClockSource clock = SystemClock();
    return clock;
}

}  // namespace

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
