#include "core/SmtpError.h"

const char* const SmtpErrorText[SMTP_ERROR_COUNT] = {
#define SMTP_ERROR(name, text) text,
#include "core/SmtpErrors.def"
#undef SMTP_ERROR
};

const char* const SmtpErrorName[SMTP_ERROR_COUNT] = {
#define SMTP_ERROR(name, text) #name,
#include "core/SmtpErrors.def"
#undef SMTP_ERROR
};

const char* ErrorText(int code)
{
    if (code < 0 || code >= SMTP_ERROR_COUNT) code = UNKNOWN_ERROR;
    return SmtpErrorText[code];
}
