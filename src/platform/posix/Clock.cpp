#include "platform/Clock.h"

#include <time.h>
#include <unistd.h>

namespace platform {

std::uint32_t SystemTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms =
        std::uint64_t(now.tv_sec) * 1000u + std::uint64_t(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

int SystemProcessId()
{
    return static_cast<int>(getpid());
}

void RefreshTimeZone()
{
    tzset();
}

}  // namespace platform
