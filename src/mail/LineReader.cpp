#include "mail/LineReader.h"

bool ReadWholeLine(FILE* stream, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::getc(stream)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') return true;
    }
    return !line.empty();
}
