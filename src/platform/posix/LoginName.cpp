#include "platform/LoginName.h"

#include <pwd.h>
#include <unistd.h>

namespace platform {

std::string LoginName()
{
    const passwd* user = getpwuid(geteuid());
    return user && user->pw_name ? user->pw_name : std::string();
}

}  // namespace platform
