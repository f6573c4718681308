#pragma once

#include <string>

class CSMTPEmail;

// What the run itself knows beyond the mail object, for its log line.
struct RunFacts {
    bool sendmailNames = false;  // the exit status is a sendmail one
    std::string messageId;       // the Message-ID of a finished message
    bool logWritten = false;     // the run's lines are written already
};

extern RunFacts g_RunFacts;

// Appends the run's line to the log named by QUILLEX_LOG, else by the
// setting "Log File"; without either nothing is written. A log that cannot
// be written never changes the run's outcome; -v says so.
void WriteRunLog(const CSMTPEmail& mail, int status);

// Counts the receivers into the record while the list is whole.
void NoteReceivers(CSMTPEmail& mail);

// The line itself: time (RFC 3339, UTC), host, tls, auth, from, rcpts,
// bytes, msgid, reply (quoted) and exit (status and name), ending in LF.
// Never a secret, a subject or a receiver's address.
std::string RunLogLine(const CSMTPEmail& mail, int status, long long when);
