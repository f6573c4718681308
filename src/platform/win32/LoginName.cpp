#include "platform/LoginName.h"

#include <windows.h>

namespace platform {

std::string LoginName()
{
    char name[257];
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) ? std::string(name) : std::string();
}

}  // namespace platform
