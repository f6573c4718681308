#pragma once

#include <cstdio>
#include <string>

// Reads one whole line, whatever its length, with its line end as read (the
// last line may have none). False at end of input when nothing was read.
bool ReadWholeLine(FILE* stream, std::string& line);
