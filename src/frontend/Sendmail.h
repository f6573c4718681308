#pragma once

// The sendmail personality: a finished message on standard input, the
// receivers on the command line or in its headers, and sendmail's exit
// statuses (sysexits).

// True when argument 0, without its directory and a ".exe", is "sendmail"
// in any letter case.
bool IsSendmailName(const char* argument0);

// One run under that name; returns its exit status.
int RunSendmail(int argc, char** argv);

// "EX_OK", "EX_USAGE" and so on: the name of a status RunSendmail returns.
const char* SendmailStatusName(int status);
