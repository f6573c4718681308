#pragma once

#include <string>

// The process environment and locale.
namespace platform {

// True when the character set of the locale that the C library resolves from
// LC_ALL, LC_CTYPE and LANG is UTF-8.
bool LocaleCharsetIsUtf8();

// The name of the charset that 8-bit text of this process is in when nothing
// says otherwise: POSIX "utf-8" for a UTF-8 locale, else "iso-8859-1";
// Windows the name of the ANSI code page ("windows-1252").
std::string LocaleCharsetName();

// Sets (value not null) or removes (value null) an environment variable of
// this process.
void SetEnvironmentValue(const char* name, const char* value);

}  // namespace platform
