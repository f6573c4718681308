#pragma once

#include <cstdio>

class CSMTPEmail;

// The option loop: applies argv[1..argc-1] from left to right to mail and to
// the front-end state. input becomes standard input with "--". Returns 0 when
// every argument was read, -1 when the run ends here ("-h", a value that does
// not fit its buffer). Mail-object refusals leave as CSMTPException.
int ReadOptions(int argc, char** argv, CSMTPEmail& mail, FILE*& input);

// Like atoi, but defined for every text: no digits give 0, values beyond int saturate.
int ReadNumber(const char* text);
