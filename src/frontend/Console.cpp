#include "frontend/Console.h"

#include "frontend/FrontendGlobals.h"
#include "frontend/Usage.h"

namespace {

using AddReceiver = void (CSMTPEmail::*)(const char*);

constexpr const char* kMoreHint = "Add one more or leave blank";

// Every answer is one receiver, commas included; an empty answer or the end
// of input ends the question.
void AskReceivers(const char* name, CSMTPEmail& mail, AddReceiver add)
{
    std::string answer;
    const char* hint = nullptr;
    while (PromptLine(name, hint, answer, stdin) && !answer.empty()) {
        (mail.*add)(answer.c_str());
        hint = kMoreHint;
    }
}

void AskSubject(CSMTPEmail& mail)
{
    if (*mail.GetHeader("Subject", "") != '\0') return;
    std::string answer;
    if (PromptLine("Subject", nullptr, answer, stdin) && !answer.empty())
        mail.SetSubject(answer.c_str());
}

}  // namespace

bool PromptLine(const char* name, const char* hint, std::string& answer, FILE* stream)
{
    if (hint)
        std::fprintf(stderr, "%s (%s): ", name, hint);
    else if (name)
        std::fprintf(stderr, "%s: ", name);
    if (!ReadWholeLine(stream, answer)) return false;
    const std::size_t end = answer.find_first_of("\r\n");
    if (end != std::string::npos) answer.erase(end);
    return true;
}

void RunInteractive(CSMTPEmail& mail, FILE*& input)
{
    g_Verbose = 1;
    if (g_TextFiles.IsEmpty()) input = stdin;
    std::fprintf(stderr, "%s %s\n\nGoing interactive - no receivers are specified.\n",
                 kProgramFixedName, kProgramBanner);
    if (mail.m_NewsMode == 1) {
        AskReceivers("Newsgroup", mail, &CSMTPEmail::AddTo);
    } else {
        AskReceivers("To", mail, &CSMTPEmail::AddTo);
        AskReceivers("Cc", mail, &CSMTPEmail::AddCc);
        AskReceivers("Bcc", mail, &CSMTPEmail::AddBcc);
    }
    AskSubject(mail);
}
