#pragma once

#include <cstdio>
#include <string>

class CSMTPEmail;

// The sendmail personality: a finished message on standard input, the
// receivers on the command line or in its headers, and sendmail's exit
// statuses (sysexits, SendmailStatus.h).

// True when argument 0, without its directory and a ".exe", is "sendmail"
// in any letter case.
bool IsSendmailName(const char* argument0);

// One run under that name; returns its exit status.
int RunSendmail(int argc, char** argv);

struct SendmailOptions;

// Delivers the message that input holds as the options say; the exit status
// of a run, after one line on standard error for a failure.
int DeliverMessage(const SendmailOptions& options, CSMTPEmail& mail, FILE* input);

// The words of the last failure DeliverMessage reported.
const std::string& LastSendmailFailure();
