#include "frontend/SendmailOptions.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "frontend/FrontendGlobals.h"
#include "frontend/SendmailStatus.h"

namespace {

// Accepted as callers pass them, and of no effect on a program that sends at once.
const char* const kIgnored[] = {"-bm", "-odi", "-odb", "-oem", "-oep", "-om", "-em", "-ep", "-U"};

std::string Upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

int Refuse(const char* format, const char* option)
{
    std::fprintf(stderr, format, g_ProgramName, option);
    return kUsage;
}

bool IsSendsOnly(const char* argument)
{
    return std::strcmp(argument, "-bp") == 0 || std::strncmp(argument, "-q", 2) == 0 ||
           std::strcmp(argument, "-I") == 0;
}

bool IsIgnored(const char* argument)
{
    for (const char* ignored : kIgnored)
        if (std::strcmp(argument, ignored) == 0) return true;
    return false;
}

// "never", or any of success, failure and delay joined by commas.
bool ValidNotify(const std::string& upper)
{
    if (upper == "NEVER") return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = upper.find(',', start);
        const std::string word = upper.substr(start, end == std::string::npos ? end : end - start);
        if (word != "SUCCESS" && word != "FAILURE" && word != "DELAY") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

int ApplyValue(char letter, const std::string& value, SendmailOptions& options)
{
    const std::string upper = Upper(value);
    switch (letter) {
    case 'f':
    case 'r':
        options.sender = value;
        options.senderGiven = true;
        break;
    case 'F': options.fullName = value; break;
    case 'N':
        if (!ValidNotify(upper))
            return Refuse(
                "%s: -N takes never, or success, failure and delay joined by commas, "
                "not '%s'\n",
                value.c_str());
        options.notify = upper;
        break;
    case 'R':
        if (upper != "FULL" && upper != "HDRS")
            return Refuse("%s: -R takes full or hdrs, not '%s'\n", value.c_str());
        options.ret = upper;
        break;
    case 'V': options.envid = value; break;
    case 'B':
        if (upper != "7BIT" && upper != "8BITMIME")
            return Refuse("%s: -B takes 7BIT or 8BITMIME, not '%s'\n", value.c_str());
        options.body = upper;
        break;
    default: break;  // -L and -O: accepted and ignored
    }
    return 0;
}

bool TakesValue(char letter)
{
    return letter != '\0' && std::strchr("frFNRVBLO", letter) != nullptr;
}

// Letters that stand alone and may be grouped, as in "-ti".
bool ApplyFlags(const char* letters, SendmailOptions& options)
{
    if (!*letters || std::strspn(letters, "tivU") != std::strlen(letters)) return false;
    for (const char* p = letters; *p; ++p) {
        if (*p == 't') options.headerReceivers = true;
        if (*p == 'i') options.dotEnds = false;
        if (*p == 'v') options.verbose = true;
    }
    return true;
}

}  // namespace

int ReadSendmailOptions(int argc, char** argv, SendmailOptions& options)
{
    int i = 1;
    for (; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--") == 0) {
            ++i;
            break;
        }
        if (argument[0] != '-') {
            options.receivers.push_back(argument);
            continue;
        }
        if (IsSendsOnly(argument))
            return Refuse(
                "%s: %s: this program only sends mail; it keeps no queue and serves "
                "no SMTP session\n",
                argument);
        if (std::strcmp(argument, "-bs") == 0) {
            options.smtpSession = true;
        } else if (std::strcmp(argument, "-oi") == 0) {
            options.dotEnds = false;
        } else if (IsIgnored(argument) || ApplyFlags(argument + 1, options)) {
            continue;
        } else if (TakesValue(argument[1])) {
            const char* value = argument[2] ? argument + 2 : (i + 1 < argc ? argv[++i] : nullptr);
            if (!value) return Refuse("%s: option %s needs a value\n", argument);
            const int status = ApplyValue(argument[1], value, options);
            if (status != 0) return status;
        } else {
            return Refuse("%s: unknown option %s\n", argument);
        }
    }
    for (; i < argc; ++i) options.receivers.push_back(argv[i]);
    return 0;
}
