#pragma once

class CSMTPEmail;

enum class SendOutcome { SENT, QUEUED };

// Sends the message. With an outbox it goes there instead: at once under
// Queue Mode always, else after a temporary failure, and -v says so. Any
// other failure leaves as CSMTPException, as from _SendIt.
SendOutcome SendOrQueue(CSMTPEmail& mail);

// "-flush", "-flush now" and "-queue", each alone or with -v or -d: the
// exit status, or -1 when the arguments are none of these.
int RunOutboxCommand(int argc, char** argv);

// Under the sendmail name: "-q" sends every entry, "-bp" lists them, each
// alone or with -v. -1 when the arguments are neither or no outbox is set.
int RunSendmailOutboxCommand(int argc, char** argv);
