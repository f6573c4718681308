#pragma once

#include <cstdio>

class CSMTPEmail;

// One run of the program: 0 when the message was sent or posted, -1 when
// the run ended without sending, else the SmtpError code of the failed
// delivery. Mail-object failures outside the delivery leave as CSMTPException.
int Run(int argc, char** argv);

// Everything after the option loop: settings, questions, body, parts, delivery.
int ComposeAndSend(CSMTPEmail& mail, FILE* input);

// Argument 0 after its last path separator; the whole path when it has none.
const char* ProgramNameOf(const char* path);
