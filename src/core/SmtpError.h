#pragma once

// Error codes of the mail library (SmtpErrors.def), numbered from 0.
enum SmtpError {
#define SMTP_ERROR(name, text) name,
#include "core/SmtpErrors.def"
#undef SMTP_ERROR
};

constexpr int SMTP_ERROR_COUNT = AUTH_FAILED + 1;
// The texts the front end prints for the codes.
extern const char* const SmtpErrorText[SMTP_ERROR_COUNT];
// The names of the codes as they stand in the enumeration, for logs.
extern const char* const SmtpErrorName[SMTP_ERROR_COUNT];

// The fixed text of an SmtpError code, also for a code out of range.
const char* ErrorText(int code);
