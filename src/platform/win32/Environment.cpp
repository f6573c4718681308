#include "platform/Environment.h"

#include <windows.h>

#include <stdlib.h>

namespace platform {

// The system's ANSI code page decides what the 8-bit text of a console
// program means.
bool LocaleCharsetIsUtf8()
{
    return GetACP() == CP_UTF8;
}

void SetEnvironmentValue(const char* name, const char* value)
{
    // An empty value removes the variable from the runtime's environment.
    _putenv_s(name, value ? value : "");
}

}  // namespace platform
