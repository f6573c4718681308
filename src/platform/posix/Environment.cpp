#include "platform/Environment.h"

#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <strings.h>

#include <string>

namespace platform {

namespace {

bool IsUtf8Name(const char* codeset)
{
    return strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0;
}

// When the named locale is not installed, its name still tells what the
// user's terminal speaks: "xx_YY.UTF-8@modifier".
bool NameSaysUtf8()
{
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(variable);
        if (!value || !*value) continue;
        std::string name(value);
        const std::size_t dot = name.find('.');
        if (dot == std::string::npos) return false;
        std::string codeset = name.substr(dot + 1);
        const std::size_t at = codeset.find('@');
        if (at != std::string::npos) codeset.erase(at);
        return IsUtf8Name(codeset.c_str());
    }
    return false;
}

bool LoadedLocaleIsUtf8()
{
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (!locale) return NameSaysUtf8();
    const bool utf8 = IsUtf8Name(nl_langinfo_l(CODESET, locale));
    freelocale(locale);
    return utf8;
}

std::string LocaleVariables()
{
    std::string names;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(variable);
        names += value ? value : "";
        names += '\n';
    }
    return names;
}

}  // namespace

// Loading a locale reads and maps its files: a flush asks once per message.
bool LocaleCharsetIsUtf8()
{
    static std::string variables;  // never what LocaleVariables gives
    static bool utf8 = false;
    std::string now = LocaleVariables();
    if (now != variables) {
        utf8 = LoadedLocaleIsUtf8();
        variables = std::move(now);
    }
    return utf8;
}

std::string LocaleCharsetName()
{
    return LocaleCharsetIsUtf8() ? "utf-8" : "iso-8859-1";
}

void SetEnvironmentValue(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

}  // namespace platform
