#include "frontend/SendmailServer.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "frontend/FrontendGlobals.h"
#include "frontend/RunLog.h"
#include "frontend/Sendmail.h"
#include "frontend/SendmailOptions.h"
#include "frontend/SpoolFile.h"
#include "mail/HeaderAddresses.h"
#include "mime/TempFileName.h"
#include "platform/Appending.h"
#include "platform/Files.h"

namespace {

// RFC 5321's limit for a text line, its CR LF included.
constexpr std::size_t kLineLimit = 1000;
constexpr const char* kHostName = "localhost";

enum class Line { READ, TOO_LONG, END };

// One line without its line end; a line over the limit is read to its end.
Line ReadLine(FILE* in, std::string& line)
{
    line.clear();
    bool tooLong = false;
    for (int c = std::getc(in);; c = std::getc(in)) {
        if (c == EOF) return line.empty() && !tooLong ? Line::END : Line::READ;
        if (c == '\n') break;
        if (line.size() + 1 >= kLineLimit)  // the LF counts too
            tooLong = true;
        else
            line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return tooLong ? Line::TOO_LONG : Line::READ;
}

void Reply(const std::string& text)
{
    std::fputs((text + "\r\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string Upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The reply to a delivery: the reason keeps to one line of printable ASCII.
std::string Outcome(int status)
{
    if (status == 0) return "250 2.0.0 Message accepted for delivery";
    std::string reason;
    for (const char c : LastSendmailFailure()) reason += c >= ' ' && c < 0x7F ? c : ' ';
    const bool temporary = status == 74 || status == 75 || status == 78;  // I/O, temp, config
    return (temporary ? "451 4.3.0 " : "554 5.3.0 ") + reason;
}

// The address between "<" and ">" after "FROM:" or "TO:", with its parameters.
bool PathOf(const std::string& argument, std::string& address, std::string& parameters)
{
    const std::size_t open = argument.find('<');
    const std::size_t close = argument.find('>', open);
    if (open == std::string::npos || close == std::string::npos) return false;
    if (argument.find_first_not_of(" ") != open) return false;
    address = argument.substr(open + 1, close - open - 1);
    parameters = Upper(argument.substr(close + 1));
    return true;
}

class Session {
public:
    explicit Session(const SendmailOptions& options) : m_Options(options) {}

    int Run()
    {
        Reply(std::string("220 ") + kHostName + " ESMTP ready");
        std::string line;
        for (;;) {
            const Line read = ReadLine(stdin, line);
            if (read == Line::END) return m_Status;
            if (read == Line::TOO_LONG)
                Reply("500 5.5.2 Line too long");
            else if (!Command(line))
                return m_Status;
        }
    }

private:
    // False after QUIT.
    bool Command(const std::string& line)
    {
        const std::string verb = Upper(line.substr(0, line.find(' ')));
        const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        if (verb == "QUIT") {
            Reply("221 2.0.0 Bye");
            return false;
        }
        if (verb == "EHLO")
            Reply(std::string("250-") + kHostName +
                  "\r\n250-8BITMIME\r\n250-PIPELINING\r\n250 SIZE");
        else if (verb == "HELO")
            Reply(std::string("250 ") + kHostName);
        else if (verb == "MAIL")
            Mail(argument);
        else if (verb == "RCPT")
            Rcpt(argument);
        else if (verb == "DATA")
            Data();
        else if (verb == "RSET")
            Reset("250 2.0.0 OK");
        else if (verb == "NOOP")
            Reply("250 2.0.0 OK");
        else if (verb == "VRFY")
            Reply("252 2.5.2 Cannot verify the user");
        else
            Reply("500 5.5.1 Command not recognised");
        return true;
    }

    void Reset(const char* reply)
    {
        m_InMail = false;
        m_Receivers.clear();
        m_Sender.clear();
        m_Body.clear();
        if (reply) Reply(reply);
    }

    void Mail(const std::string& argument)
    {
        std::string address, parameters;
        if (m_InMail) return Reply("503 5.5.1 Nested MAIL command");
        if (Upper(argument.substr(0, 5)) != "FROM:" ||
            !PathOf(argument.substr(5), address, parameters))
            return Reply("501 5.5.4 Syntax: MAIL FROM:<address>");
        m_Body = parameters.find("BODY=8BITMIME") != std::string::npos ? "8BITMIME"
                 : parameters.find("BODY=7BIT") != std::string::npos   ? "7BIT"
                                                                       : "";
        m_Sender = address;
        m_InMail = true;
        Reply("250 2.1.0 Sender OK");
    }

    void Rcpt(const std::string& argument)
    {
        std::string address, parameters;
        std::vector<std::string> parsed;
        if (!m_InMail) return Reply("503 5.5.1 MAIL first");
        if (Upper(argument.substr(0, 3)) != "TO:" ||
            !PathOf(argument.substr(3), address, parameters))
            return Reply("501 5.5.4 Syntax: RCPT TO:<address>");
        if (!ParseAddressList(address, parsed) || parsed.size() != 1 ||
            address.find_first_of(" ,") != std::string::npos)
            return Reply("553 5.1.3 The receiver address is not valid");
        m_Receivers.push_back(address);
        Reply("250 2.1.5 Receiver OK");
    }

    void Data()
    {
        if (!m_InMail || m_Receivers.empty()) return Reply("503 5.5.1 RCPT first");
        SpoolFile data;
        if (!data.File()) return Reply("451 4.3.0 The message cannot be spooled");
        Reply("354 End data with <CR><LF>.<CR><LF>");
        bool tooLong = false;
        std::string line;
        for (;;) {
            const Line read = ReadLine(stdin, line);
            if (read == Line::END) {  // the caller hung up: nothing was accepted
                Reset(nullptr);
                return;
            }
            if (line == ".") break;
            tooLong = tooLong || read == Line::TOO_LONG;
            const std::string text = (line[0] == '.' ? line.substr(1) : line) + "\r\n";
            std::fwrite(text.data(), 1, text.size(), data.File());
        }
        if (tooLong) {
            Reset("554 5.6.0 A line of the message is longer than 1000 octets");
            return;
        }
        if (std::ferror(data.File()) || std::fflush(data.File()) != 0) {
            Reset("451 4.3.0 The message cannot be spooled");
            return;
        }
        std::rewind(data.File());
        Reply(Deliver(data.File()));
    }

    std::string Deliver(FILE* data)
    {
        SendmailOptions options = m_Options;
        options.receivers = m_Receivers;
        options.sender = m_Sender;
        options.senderGiven = true;
        options.headerReceivers = false;
        options.dotEnds = false;
        if (!m_Body.empty()) options.body = m_Body;
        CSMTPEmail mail;
        g_RunFacts.messageId.clear();
        const int status = DeliverMessage(options, mail, data);
        WriteRunLog(mail, status);
        Reset(nullptr);
        return Outcome(status);
    }

    const SendmailOptions& m_Options;
    bool m_InMail = false;
    std::string m_Sender;
    std::string m_Body;
    std::vector<std::string> m_Receivers;
    int m_Status = 0;
};

}  // namespace

int ServeSmtpSession(const SendmailOptions& options)
{
    platform::UseBinaryOutput();
    const int status = Session(options).Run();
    g_RunFacts.logWritten = true;  // each message had its own line
    return status;
}
