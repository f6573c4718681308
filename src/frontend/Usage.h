#pragma once

#include "core/Version.h"

// The program's fixed name, shown before the program banner in interactive mode.
constexpr const char* kProgramFixedName = "Quillex";

// The program banner: the X-Mailer value and the greeting of interactive mode.
constexpr const char* kProgramBanner =
    "Quillex v." QUILLEX_VERSION " command-line mailer\r\n\tfor SMTP mail and NNTP news";

// Without a parameter: the banner line and the full usage. With one: the
// banner line and "<parameter>: Unknown parameter", only when verbose.
// Always returns -1.
int PrintUsage(const char* parameter = nullptr);
