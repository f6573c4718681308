#include "platform/Clock.h"

#include <climits>
#include <cstdlib>

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

namespace {

// A decimal number of 1 to max, digits only; 0 for anything else.
long PositiveNumber(const char* text, long max)
{
    if (!*text) return 0;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        // Checked before it grows: long has only 32 bits on some systems.
        if (value > (max - (*p - '0')) / 10) return 0;
        value = value * 10 + (*p - '0');
    }
    return value;
}

}  // namespace

int TimeLimit(int defaultSeconds)
{
    const char* text = std::getenv("QUILLEX_TIMEOUT");
    const long seconds = text ? PositiveNumber(text, INT_MAX) : 0;
    return seconds > 0 ? static_cast<int>(seconds) : defaultSeconds;
}

}  // namespace platform
