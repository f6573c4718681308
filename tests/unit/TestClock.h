#pragma once

#include <cstdint>
#include <ctime>

#include "platform/Clock.h"

// Fixes the process id, the tick count and the time for one test.
class FixedClock {
public:
    FixedClock(std::time_t now, std::uint32_t tick = 0, int pid = 0)
    {
        s_Now = now;
        s_Tick = tick;
        s_Pid = pid;
        platform::SetClockSource(
            {[] { return s_Tick; }, [] { return s_Pid; }, [] { return s_Now; }});
    }
    ~FixedClock() { platform::SetClockSource(platform::SystemClock()); }

private:
    static inline std::time_t s_Now = 0;
    static inline std::uint32_t s_Tick = 0;
    static inline int s_Pid = 0;
};
