#pragma once

// The process environment and locale.
namespace platform {

// True when the character set of the locale that the C library resolves from
// LC_ALL, LC_CTYPE and LANG is UTF-8.
bool LocaleCharsetIsUtf8();

// Sets (value not null) or removes (value null) an environment variable of
// this process.
void SetEnvironmentValue(const char* name, const char* value);

}  // namespace platform
