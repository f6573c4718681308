#pragma once

// The sendmail personality: a finished message on standard input, the
// receivers on the command line or in its headers, and sendmail's exit
// statuses (sysexits, SendmailStatus.h).

// True when argument 0, without its directory and a ".exe", is "sendmail"
// in any letter case.
bool IsSendmailName(const char* argument0);

// One run under that name; returns its exit status.
int RunSendmail(int argc, char** argv);
