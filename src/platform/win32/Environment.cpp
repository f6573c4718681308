#include "platform/Environment.h"

#include <windows.h>

#include <stdlib.h>

#include <string>

namespace platform {

// The system's ANSI code page decides what the 8-bit text of a console
// program means.
bool LocaleCharsetIsUtf8()
{
    return GetACP() == CP_UTF8;
}

std::string LocaleCharsetName()
{
    const UINT codePage = GetACP();
    switch (codePage) {
    case CP_UTF8: return "utf-8";
    case 874: return "windows-874";
    case 932: return "shift_jis";
    case 936: return "gb2312";
    case 949: return "ks_c_5601-1987";
    case 950: return "big5";
    default: break;
    }
    if (codePage >= 1250 && codePage <= 1258) return "windows-" + std::to_string(codePage);
    if (codePage > 28590 && codePage <= 28605)
        return "iso-8859-" + std::to_string(codePage - 28590);
    return "cp" + std::to_string(codePage);
}

void SetEnvironmentValue(const char* name, const char* value)
{
    // An empty value removes the variable from the runtime's environment.
    _putenv_s(name, value ? value : "");
}

}  // namespace platform
