#pragma once

#include <cstdio>
#include <string>

#include "mail/LineReader.h"

class CSMTPEmail;

// Asks "name (hint): ", "name: " or nothing, then reads one whole line into
// answer, cut at its first CR or LF. Returns false at end of input.
bool PromptLine(const char* name, const char* hint, std::string& answer, FILE* stream);

// Asks for receivers and the subject on the console; the message text is then
// read from standard input unless text files were given. Sets g_Verbose.
// Throws what the mail object's AddTo, AddCc and AddBcc throw.
void RunInteractive(CSMTPEmail& mail, FILE*& input);
