#pragma once

#include <string>
#include <vector>

// The command line of the sendmail personality.
struct SendmailOptions {
    bool headerReceivers = false;  // -t
    bool dotEnds = true;           // cleared by -i and -oi
    bool verbose = false;          // -v
    bool senderGiven = false;      // -f or -r
    bool smtpSession = false;      // -bs
    std::string sender;
    std::string fullName;                // -F
    std::string notify;                  // -N, upper case
    std::string ret;                     // -R, upper case
    std::string envid;                   // -V
    std::string body;                    // -B, upper case
    std::vector<std::string> receivers;  // the arguments that name receivers
};

// Fills options from the arguments after argument 0. Returns 0, or 64 after
// one line on standard error for an option that is unknown, refused, or
// lacks or has a wrong value.
int ReadSendmailOptions(int argc, char** argv, SendmailOptions& options);
