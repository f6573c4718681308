#include "frontend/Usage.h"

#include <cstdio>

#include "frontend/FrontendGlobals.h"

namespace {

constexpr const char* kUsageBanner =
    "Quillex " QUILLEX_VERSION " - sends one e-mail or news article and exits\n";

constexpr const char* kOptionLines =
    "Options:\n"
    "  -.      will end a piped message when a line contains a single dot.\n"
    "  --      read text from standard input (console or pipe)\n"
    "  -d      turn on debug mode\n"
    "  -sSubject  adds a subject to the message\n"
    "  -v      turn on verbose (interactive) mode\n"
    "  -p      pause after the message is sent\n"
    "  -h      show this help\n"
    "  -iFile  include a binary attachment\n"
    "  -tFile  include a textfile in the message body\n"
    "  -a      convert OEM (european DOS codepages) charset to ANSI\n"
    "  -Pn     sets priority (where n is 1 = highest, 3 = normal, 5 = lowest)\n"
    "  -u      post to usenet (news). Receiver is newsgroup.\n"
    "  -cAddress Cc to Address.\n"
    "  -c@FileName Cc to Addressees defined in file FileName\n"
    "  -bAddress Bcc to Address.\n"
    "  -b@FileName Bcc to Addressees defined in file FileName\n"
    "  -oOrganization.\n"
    "  -fAddress Sets the From: address. Overrides the default value.\n"
    "  -Sserver Use <server>. Overrides the default server.\n"
    "  -Femail  Use <email> as sender and return address. Overrides the default setting.\n"
    "\n\nYou can attach multiple files, and have multiple receivers\n"
    "You can add receivers with their full name: \"Jane Roe <jane.roe@example.com>\"\n";

void PrintFullUsage()
{
    std::fprintf(stderr, "Usage: %s [options] {to[,to] [to] | @addr_list_file}\n", g_ProgramName);
    std::fprintf(stderr, "Usage: %s -- [options] {to[,to] [to] | @addr_list_file} < message\n",
                 g_ProgramName);
    std::fprintf(stderr, "Usage: %s -init  Install %s\n", g_ProgramName, g_ProgramName);
    std::fputs(kOptionLines, stderr);
}

}  // namespace

int PrintUsage(const char* parameter)
{
    if (parameter && !g_Verbose) return -1;
    std::fputs(kUsageBanner, stderr);
    if (parameter)
        std::fprintf(stderr, "%s: Unknown parameter\n", parameter);
    else
        PrintFullUsage();
    return -1;
}
