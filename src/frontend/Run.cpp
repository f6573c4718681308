#include "frontend/Run.h"

#include <cstring>
#include <string>

#include "frontend/Body.h"
#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Options.h"
#include "frontend/Outbox.h"
#include "frontend/RunLog.h"
#include "frontend/Sendmail.h"
#include "frontend/Settings.h"
#include "frontend/Usage.h"
#include "mail/MessageId.h"
#include "mime/CSMTPPart.h"
#include "mime/HtmlBody.h"
#include "oauth/OAuth.h"
#include "platform/FileStatus.h"
#include "transport/ServerName.h"
#include "transport/Session.h"

namespace {

bool IsSetupCommand(int argc, char** argv)
{
    return argc == 2 && std::strcmp(argv[1], "-init") == 0;
}

// "-login" alone; "-d" beside it shows the HTTP requests.
bool IsLoginCommand(int argc, char** argv)
{
    if (argc == 2) return std::strcmp(argv[1], "-login") == 0;
    if (argc != 3) return false;
    const bool first = std::strcmp(argv[1], "-login") == 0;
    if (std::strcmp(argv[first ? 2 : 1], "-d") != 0) return false;
    if (!first && std::strcmp(argv[2], "-login") != 0) return false;
    g_Debug = 1;
    return true;
}

// The user whose tokens -login gets, as a send picks it: the one in HOST,
// else SMTP User.
std::string LoginUser()
{
    const std::string& host = SettingValue(SettingsKey::Host);
    try {
        const std::string named =
            transport::ParseServerName(NeutraliseLineBreaks(host.c_str()).c_str(), false).user;
        if (!named.empty()) return named;
    } catch (const CSMTPException&) {
        // A malformed HOST names nobody; a send reports it.
    }
    return g_SmtpUser;
}

int RunLogin()
{
    if (const int refused = RefuseExposedSecrets()) return refused;
    LoadFileSettings();
    try {
        const std::string where = oauth::SignIn(LoginUser());
        std::fprintf(stderr, "%s: Signed in; the token is stored in %s.\n", g_ProgramName,
                     where.c_str());
        return 0;
    } catch (const CSMTPException& error) {
        std::fprintf(stderr, "%s: %s\n", g_ProgramName, error.what());
        return AUTH_FAILED;
    }
}

int RefuseNoReceiver()
{
    if (g_Verbose) std::fputs("You must send the mail to someone...\n", stderr);
    return PrintUsage();
}

// An HTML body travels with a Message-ID, as mail that filters trust does.
void AddHtmlParts(CSMTPEmail& mail, const std::string& body)
{
    transport::FillLocalHostName(g_MailServer);
    const bool textGiven = !g_BodyLines.IsEmpty() || !g_TextFiles.IsEmpty();
    AddHtmlBody(mail, g_HtmlFile->c_str(), body, textGiven, transport::s_LocalHostName);
    if (!mail.GetHeader("Message-ID", nullptr))
        mail.SetHeader(
            "Message-ID",
            MakeMessageId(mail.GetHeader("X-Sender", ""), transport::s_LocalHostName).c_str(), 0);
}

// -H needs MIME, and news articles stay plain text.
int RefuseHtml(const CSMTPEmail& mail)
{
    const char* reason =
        !mail.m_Mime ? "-H and -m can not be combined: a message without MIME has no HTML "
                       "version"
                     : "-H and -u can not be combined: news articles are sent as plain text";
    std::fprintf(stderr, "%s: %s. Aborting.\n", g_ProgramName, reason);
    return BAD_ARGUMENTS_FROM_FORM;
}

int ReportFailure(const CSMTPException& error)
{
    if (g_Verbose)
        std::fprintf(stderr, "%s: Error: %s (%s)\n", g_ProgramName, ErrorText(error.m_Code),
                     error.what());
    // A failed delivery must never read as success.
    return error.m_Code != SUCCESS ? error.m_Code : UNKNOWN_ERROR;
}

void AddParts(CSMTPEmail& mail, const std::string& body)
{
    if (g_HtmlFile)
        AddHtmlParts(mail, body);
    else
        mail.AddPart(body.c_str(), PART_TEXT_AUTO);
    for (const StringNode* node = g_Attachments.First(); node; node = node->next.get())
        mail.AddPart(node->text.c_str(), PART_BINARY_FILE);
}

int Deliver(CSMTPEmail& mail)
{
    NoteReceivers(mail);
    try {
        if (SendOrQueue(mail) == SendOutcome::QUEUED) return 0;
    } catch (const CSMTPException& error) {
        return ReportFailure(error);
    }
    if (g_Verbose)
        std::fprintf(stderr,
                     mail.m_NewsMode == 1 ? "%s: Message was successfully posted.\n"
                                          : "%s: Email was successfully sent.\n",
                     g_ProgramName);
    return 0;
}

}  // namespace

const char* ProgramNameOf(const char* path)
{
    if (!path) return kProgramFixedName;
    return platform::ProgramNamePart(path);
}

int ComposeAndSend(CSMTPEmail& mail, FILE* input)
{
    if (const int refused = RefuseExposedSecrets()) return refused;
    if (g_HtmlFile && (mail.m_Mime == 0 || mail.m_NewsMode == 1)) return RefuseHtml(mail);
    if (!LoadSettings(mail)) return -1;
    if (!g_Attachments.IsEmpty() && mail.m_Mime == 0)
        return PrintUsage("-m and -i can not be combined");
    if (!mail.HasReceivers()) RunInteractive(mail, input);
    if (!mail.HasReceivers()) return RefuseNoReceiver();
    if (input) ReadBody(input, g_BodyLines);
    std::string body = AssembleBody(g_BodyLines);
    if (MergeTextFiles(body, g_TextFiles) != 0) return -1;
    try {
        AddParts(mail, body);
    } catch (const CSMTPException& error) {
        if (!g_HtmlFile) throw;
        return ReportFailure(error);
    }
    mail.SetHeader("X-Mailer", kProgramBanner, 0);
    return Deliver(mail);
}

int Run(int argc, char** argv)
{
    g_ProgramName = ProgramNameOf(argc > 0 ? argv[0] : nullptr);
    if (argc > 0 && IsSendmailName(argv[0])) return RunSendmail(argc, argv);
    if (IsSetupCommand(argc, argv)) return RunSetup();
    if (IsLoginCommand(argc, argv)) return RunLogin();
    if (const int status = RunOutboxCommand(argc, argv); status >= 0) return status;
    FILE* input = nullptr;
    if (ReadOptions(argc, argv, g_Mail, input) != 0) return -1;
    return ComposeAndSend(g_Mail, input);
}
