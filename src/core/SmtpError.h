#pragma once

// Error codes of the mail library; the front end prints SmtpErrorText[code].
enum SmtpError {
    SUCCESS = 0,
    BAD_ARGUMENTS_FROM_FORM = 1,
    UNABLE_TO_OPEN_MAILFILE = 2,
    FAILED_TO_START_SOCKETS = 3,
    FAILED_TO_RESOLVE_HOST = 4,
    FAILED_TO_OBTAIN_SOCKET_HANDLE = 5,
    FAILED_TO_CONNECT = 6,
    FAILED_TO_SEND = 7,
    FAILED_TO_RECEIVE = 8,
    SERVER_ERROR = 9,
    FAILED_TO_RESOLVE_HOST_IP_NAME = 10,
    OUT_OF_MEMORY = 11,
    FAILED_TO_OPEN_TEMPFILE = 12,
    UNKNOWN_ERROR = 13,
    TLS_FAILED = 14,
    CERTIFICATE_REFUSED = 15,
    AUTH_FAILED = 16
};

constexpr int SMTP_ERROR_COUNT = 17;
extern const char* const SmtpErrorText[SMTP_ERROR_COUNT];
// The names of the codes as they stand in the enumeration, for logs.
extern const char* const SmtpErrorName[SMTP_ERROR_COUNT];
