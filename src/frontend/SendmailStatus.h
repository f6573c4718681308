#pragma once

// The exit statuses of a run under the sendmail name (sysexits).
enum SendmailStatus {
    kOk = 0,
    kUsage = 64,
    kDataError = 65,
    kNoUser = 67,
    kNoHost = 68,
    kUnavailable = 69,
    kIoError = 74,
    kTempFail = 75,
    kProtocol = 76,
    kNoPermission = 77,
    kConfig = 78,
};

// "EX_OK", "EX_USAGE" and so on; "EX_SOFTWARE" for any other status.
const char* SendmailStatusName(int status);
