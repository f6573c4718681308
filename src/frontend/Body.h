#pragma once

#include <cstdio>
#include <string>

#include "frontend/StringList.h"

// Reads the message text from input until its end, or with g_SingleDotEnd
// until a line holding only ".". A line starting with "." gets one more in
// front; a line ending in a bare LF is stored ending in CR LF.
void ReadBody(FILE* input, StringList& lines);

// All lines in order, followed by CR LF.
std::string AssembleBody(const StringList& lines);

// Appends a text file's content (up to its first NUL) to body: an LF that
// does not follow a CR becomes CR LF, and a "." that begins a line is
// doubled, both judged by the body built so far.
void MergeText(std::string& body, const std::string& content);

// Merges every "-t" file in command-line order. Returns -1 when one is
// missing (reported with -v or -d) or cannot be read, else 0.
int MergeTextFiles(std::string& body, const StringList& paths);
