#pragma once

struct SendmailOptions;

// "-bs": the server side of an SMTP session with the caller on standard
// input and output. Every message is delivered at the end of its data,
// before the reply says how it went. Returns the run's exit status.
int ServeSmtpSession(const SendmailOptions& options);
