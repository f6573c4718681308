#include "mail/ArpaDate.h"

#include <cstdio>
#include <ctime>

#include "mail/CSMTPEmail.h"
#include "platform/Clock.h"

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Local time minus UTC in minutes; seconds are not compared, and a
// different calendar day counts as a whole day.
int ZoneOffset(const std::tm& local, const std::tm& utc)
{
    int offset = (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    if (local.tm_year != utc.tm_year)
        offset += local.tm_year < utc.tm_year ? -1440 : 1440;
    else if (local.tm_yday != utc.tm_yday)
        offset += local.tm_yday < utc.tm_yday ? -1440 : 1440;
    return offset;
}

int FormatZone(char* out, std::size_t size, int offset)
{
    if (offset == 0) return std::snprintf(out, size, "GMT");
    const char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    if (offset >= 1440) offset = 1439;
    return std::snprintf(out, size, "%c%02d%02d", sign, offset / 60, offset % 60);
}

}  // namespace

char* arpadate(char* buffer)
{
    platform::RefreshTimeZone();
    const std::time_t now = platform::CurrentTime();
    const std::tm* utcFields = std::gmtime(&now);
    const std::tm utc = utcFields ? *utcFields : std::tm{};
    const std::tm* localFields = std::localtime(&now);
    const std::tm local = localFields ? *localFields : utc;

    const int length =
        std::snprintf(buffer, kArpaDateCapacity, "%s, %d %s %04d %02d:%02d:%02d ",
                      kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
                      local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    if (length > 0 && length < kArpaDateCapacity)
        FormatZone(buffer + length, kArpaDateCapacity - length, ZoneOffset(local, utc));
    return buffer;
}

void CSMTPEmail::SetDate()
{
    if (GetHeader("Date", nullptr)) return;
    char text[96];
    SetHeader("Date", arpadate(text), 0);
}
