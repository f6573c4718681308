#include "frontend/RunLog.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontend/FrontendGlobals.h"
#include "frontend/SendmailStatus.h"
#include "frontend/Settings.h"
#include "frontend/SettingsKeys.h"
#include "mail/Mailbox.h"
#include "platform/Appending.h"
#include "platform/Clock.h"
#include "platform/SystemLog.h"
#include "transport/ServerName.h"

RunFacts g_RunFacts;

namespace {

std::string StatusName(int status)
{
    if (g_RunFacts.sendmailNames) return SendmailStatusName(status);
    if (status == -1) return "NOT_SENT";
    return status >= 0 && status < SMTP_ERROR_COUNT ? SmtpErrorName[status] : "UNKNOWN_ERROR";
}

// A value that stays one word: blanks, controls and quotes become "?".
std::string Word(const std::string& text)
{
    if (text.empty()) return "none";
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        out += byte <= ' ' || byte == 0x7F || c == '"' ? '?' : c;
    }
    return out;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') out += '\\';
        out += byte < ' ' || byte == 0x7F ? '?' : c;
    }
    return out + "\"";
}

// The host as written, without anything a server text may hold beside it.
std::string HostOf(const CSMTPEmail& mail)
{
    if (!mail.m_Record.host.empty()) return mail.m_Record.host;
    const bool news = mail.m_NewsMode == 1;
    const char* text = news ? g_NewsServer : g_MailServer;
    if (!*text) return std::string();
    try {
        return transport::ParseServerName(text, news).host;
    } catch (const CSMTPException&) {
        return std::string();
    }
}

std::size_t CountReceivers(const CSMTPEmail& mail)
{
    if (mail.m_Record.receivers > 0 || !mail.m_Receivers) return mail.m_Record.receivers;
    // The delivery takes the list apart: only a run that never reached it counts here.
    std::size_t count = 0;
    const std::string& list = *mail.m_Receivers;
    for (std::size_t at = list.find_first_not_of(", "); at != std::string::npos;
         at = list.find_first_not_of(", ", list.find_first_of(", ", at)))
        ++count;
    return count;
}

std::string Rfc3339(long long when)
{
    const std::time_t time = static_cast<std::time_t>(when);
    const std::tm* utc = std::gmtime(&time);
    char text[32] = "1970-01-01T00:00:00Z";
    if (utc) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

constexpr const char* kSystemLogName = "syslog";

// The log's name, and in *source the variable or key that gave it.
std::string LogPath(const char** source)
{
    const char* variable = std::getenv("QUILLEX_LOG");
    *source = "QUILLEX_LOG";
    if (variable && *variable) return variable;
    *source = KeyName(SettingsKey::LogFile);
    return SettingValue(SettingsKey::LogFile);
}

void WriteSystemLog(const std::string& line, int status, const char* source)
{
    if (!platform::HasSystemLog()) {
        std::fprintf(stderr, "%s: '%s' names syslog, which this system does not have.\n",
                     g_ProgramName, source);
        return;
    }
    platform::WriteSystemLog(g_RunFacts.sendmailNames ? "sendmail" : "quillex", status != 0,
                             line.substr(0, line.size() - 1));
}

}  // namespace

void NoteReceivers(CSMTPEmail& mail)
{
    mail.m_Record.receivers = CountReceivers(mail);
}

std::string RunLogLine(const CSMTPEmail& mail, int status, long long when)
{
    const DeliveryRecord& record = mail.m_Record;
    const char* messageId = g_RunFacts.messageId.empty() ? mail.GetHeader("Message-ID", "")
                                                         : g_RunFacts.messageId.c_str();
    return Rfc3339(when) + " host=" + Word(HostOf(mail)) + " tls=" + Word(record.tls) +
           " auth=" + Word(record.auth) +
           " from=" + Word(EnvelopeAddress(mail.GetHeader("X-Sender", ""))) +
           " rcpts=" + std::to_string(CountReceivers(mail)) +
           " bytes=" + std::to_string(record.bytes) + " msgid=" + Word(messageId) +
           " reply=" + Quoted(record.reply) + " exit=" + std::to_string(status) + "/" +
           StatusName(status) + "\n";
}

void WriteRunLog(const CSMTPEmail& mail, int status)
{
    if (g_RunFacts.logWritten) return;
    const char* source = nullptr;
    const std::string path = LogPath(&source);
    if (path.empty()) return;
    const std::string line = RunLogLine(mail, status, platform::CurrentTime());
    if (path == kSystemLogName) return WriteSystemLog(line, status, source);
    std::string why;
    if (platform::AppendToFile(path.c_str(), line, &why)) return;
    if (g_Verbose)
        std::fprintf(stderr, "%s: The log file '%s' could not be written (%s); the run goes on.\n",
                     g_ProgramName, path.c_str(), why.c_str());
}
