#include "platform/SystemLog.h"

#include <syslog.h>

namespace platform {

bool HasSystemLog()
{
    return true;
}

void WriteSystemLog(const char* ident, bool failure, const std::string& line)
{
    openlog(ident, LOG_PID, LOG_MAIL);
    syslog(failure ? LOG_ERR : LOG_INFO, "%s", line.c_str());
    closelog();
}

}  // namespace platform
