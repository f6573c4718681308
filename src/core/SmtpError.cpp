#include "core/SmtpError.h"

// Printed as they stand, mixed style included: scripts may match on them.
const char* const SmtpErrorText[SMTP_ERROR_COUNT] = {
    "Success",
    "Bad arguments from form",
    "Unable to open temporary mailfile for read",
    "FAILED_TO_START_SOCKETS",
    "FAILED_TO_RESOLVE_HOST",
    "FAILED_TO_OBTAIN_SOCKET_HANDLE",
    "FAILED_TO_CONNECT",
    "FAILED_TO_SEND",
    "FAILED_TO_RECEIVE",
    "SERVER_ERROR",
    "Failed to resolve the host IP name",
    "Out of memory",
    "Failed to open temporary file",
    "Unknown error",
    "TLS_FAILED",
    "CERTIFICATE_REFUSED",
    "AUTH_FAILED",
};

const char* const SmtpErrorName[SMTP_ERROR_COUNT] = {
    "SUCCESS",
    "BAD_ARGUMENTS_FROM_FORM",
    "UNABLE_TO_OPEN_MAILFILE",
    "FAILED_TO_START_SOCKETS",
    "FAILED_TO_RESOLVE_HOST",
    "FAILED_TO_OBTAIN_SOCKET_HANDLE",
    "FAILED_TO_CONNECT",
    "FAILED_TO_SEND",
    "FAILED_TO_RECEIVE",
    "SERVER_ERROR",
    "FAILED_TO_RESOLVE_HOST_IP_NAME",
    "OUT_OF_MEMORY",
    "FAILED_TO_OPEN_TEMPFILE",
    "UNKNOWN_ERROR",
    "TLS_FAILED",
    "CERTIFICATE_REFUSED",
    "AUTH_FAILED",
};
