#pragma once

#include <cstdint>
#include <ctime>

// Time and process identity. Every reading goes through a replaceable
// source, so that tests can fix the MIME boundary and the Date header.
namespace platform {

struct ClockSource {
    std::uint32_t (*tickCount)();  // milliseconds since start, monotonic, wraps
    int (*processId)();
    std::time_t (*now)();  // seconds since 1970-01-01 UTC
};

// The operating system's services behind the system clock.
std::uint32_t SystemTickCount();
int SystemProcessId();

// The operating system's clock.
const ClockSource& SystemClock();
// Replaces the source until the next call; SetClockSource(SystemClock()) restores it.
void SetClockSource(const ClockSource& source);

std::uint32_t TickCount();
int ProcessId();
std::time_t CurrentTime();

// The limit in seconds for a step of a run; QUILLEX_TIMEOUT (seconds)
// overrides every one.
int TimeLimit(int defaultSeconds);

// Makes the C library read the local time zone again (TZ may have changed).
void RefreshTimeZone();

}  // namespace platform
