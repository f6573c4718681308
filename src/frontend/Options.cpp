#include "frontend/Options.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "frontend/FrontendGlobals.h"
#include "frontend/Usage.h"

namespace {

using AddReceiver = void (CSMTPEmail::*)(const char*);

// "a,,b," adds a and b: empty tokens are skipped.
void AddReceivers(CSMTPEmail& mail, AddReceiver add, const char* list)
{
    std::string token;
    for (const char* p = list;; ++p) {
        if (*p == ',' || *p == '\0') {
            if (!token.empty()) (mail.*add)(token.c_str());
            token.clear();
            if (*p == '\0') return;
        } else {
            token += *p;
        }
    }
}

// Values are refused rather than cut, whatever -v says.
bool StoreOption(char* buffer, int capacity, const char* option, const std::string& value)
{
    if (CopySetting(buffer, capacity, value.c_str())) return true;
    std::fprintf(stderr, "%s: The value of %s is longer than %d characters. Aborting.\n",
                 g_ProgramName, option, capacity - 1);
    return false;
}

void SetSender(CSMTPEmail& mail, const char* address)
{
    mail.SetFrom(address);
    mail.SetHeader("X-Sender", NeutraliseLineBreaks(address).c_str(), 0);
}

// Returns 0 to go on with the next argument, -1 to end the run.
int ApplyOption(const char* argument, CSMTPEmail& mail, FILE*& input)
{
    const char* value = argument[1] ? argument + 2 : argument + 1;
    switch (argument[1]) {
    case '-': input = stdin; break;
    case '.': g_SingleDotEnd = 1; break;
    case 'F': SetSender(mail, value); break;
    case 'H': g_HtmlFile = value; break;
    case 'P': mail.SetPriority(ReadNumber(value)); break;
    case 'S':
        if (!StoreOption(g_MailServer, kServerCapacity, "-S", value)) return -1;
        break;
    case 'a': mail.m_OemToAnsi = 1; break;
    case 'b': AddReceivers(mail, &CSMTPEmail::AddBcc, value); break;
    case 'c': AddReceivers(mail, &CSMTPEmail::AddCc, value); break;
    case 'd': g_Debug = 1; break;
    case 'f': mail.SetFrom(value); break;
    case 'h': return PrintUsage();
    case 'i': AppendString(value, g_Attachments); break;
    case 'm': mail.m_Mime = 0; break;
    case 'o':
        if (!StoreOption(g_Organization, kServerCapacity, "-o", NeutraliseLineBreaks(value)))
            return -1;
        break;
    case 'p': break;  // accepted for old scripts; nothing pauses
    case 's': mail.SetSubject(value); break;
    case 't': AppendString(value, g_TextFiles); break;
    case 'u': mail.m_NewsMode = 1; break;
    case 'v': g_Verbose = 1; break;
    default: PrintUsage(argument); break;
    }
    return 0;
}

}  // namespace

int ReadNumber(const char* text)
{
    const long number = std::strtol(text, nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

int ReadOptions(int argc, char** argv, CSMTPEmail& mail, FILE*& input)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            AddReceivers(mail, &CSMTPEmail::AddTo, argument);
        } else if (ApplyOption(argument, mail, input) != 0) {
            return -1;
        }
    }
    return 0;
}
