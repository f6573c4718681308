#include <cstdio>

#include "core/CSMTPException.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {

char s_LocalHostName[kLocalHostNameSize];

void FillLocalHostName(const std::string& serverHost)
{
    if (s_LocalHostName[0] != '\0') return;
    if (platform::GetLocalHostName(s_LocalHostName, sizeof s_LocalHostName)) return;
    const int code = platform::LastSocketError();
    if (g_Debug)
        std::fprintf(stderr,
                     "CSMTPEmail::_SendIt() - gethostname() failed. Winsock error code is %d\n",
                     code);
    CSMTPException error(FAILED_TO_CONNECT);
    error << "Failed to resolve the host name \"" << serverHost
          << "\" The error code was: " << code;
    throw error;
}

}  // namespace transport
