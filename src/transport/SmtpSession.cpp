#include <optional>
#include <string>

#include "mail/CSMTPEmail.h"
#include "transport/Capabilities.h"
#include "transport/Session.h"

namespace transport {
namespace {

const char kReceiverDelimiters[] = ", ";

void Helo(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, std::string("HELO ") + s_LocalHostName + "\r\n");
}

// The capabilities, or nothing when the server refuses EHLO.
std::optional<Capabilities> Ehlo(CSMTPEmail& email, Connection& connection)
{
    if (!Ask(email, connection, std::string("EHLO ") + s_LocalHostName + "\r\n")) return std::nullopt;
    const ReplyReader& reply = connection.LastReply();
    return Capabilities::FromEhlo(reply.Text(), reply.Length());
}

// Nothing goes in plain text once TLS was asked for: every way out of this
// step but a handshake ends the session.
void StartTls(CSMTPEmail& email, Connection& connection, const std::optional<Capabilities>& offered)
{
    if (!offered) connection.FailTls("the server refused EHLO, so STARTTLS cannot be asked for");
    if (!offered->Has("STARTTLS")) connection.FailTls("the server does not offer STARTTLS");
    if (!Ask(email, connection, "STARTTLS\r\n") || connection.LastReply().Text()[0] != '2')
        connection.FailTls("the server refused STARTTLS: \"" + FirstLine(connection.LastReply()) +
                           "\"");
    RefuseBytesAfterReply(connection);
    connection.StartTls(TlsPeerFor(connection));
}

// A TLS session greets with EHLO; what was offered before TLS counts for
// nothing after it. A refused EHLO falls back to HELO when nothing needs it.
void Greet(CSMTPEmail& email, Connection& connection)
{
    std::optional<Capabilities> offered = Ehlo(email, connection);
    if (connection.Server().security == Security::STARTTLS) {
        StartTls(email, connection, offered);
        offered = Ehlo(email, connection);
    }
    if (!offered) Helo(email, connection);
    Authenticate(connection, offered ? &*offered : nullptr);
}

void MailFrom(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection,
            std::string("MAIL FROM:<") + email.GetHeader("X-Sender", "(NULL)") + ">\r\n");
}

// Every run of characters other than comma and blank is one receiver. Like a
// tokenizer working in place, the list keeps only its first receiver afterwards.
void RcptToEach(CSMTPEmail& email, Connection& connection)
{
    if (!email.m_Receivers) return;
    std::size_t start = email.m_Receivers->find_first_not_of(kReceiverDelimiters);
    if (start == std::string::npos) return;
    const std::size_t firstEnd = email.m_Receivers->find_first_of(kReceiverDelimiters, start);
    // The list moves out rather than being copied: it may hold 100,000 receivers.
    const std::string list = std::move(*email.m_Receivers);
    email.m_Receivers->assign(list, 0, firstEnd);
    while (start != std::string::npos) {
        const std::size_t end = list.find_first_of(kReceiverDelimiters, start);
        const std::size_t length = end == std::string::npos ? std::string::npos : end - start;
        Command(email, connection, "RCPT TO:<" + list.substr(start, length) + ">\r\n");
        start = list.find_first_not_of(kReceiverDelimiters, end);
    }
}

void Data(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, "DATA\r\n");
}

}  // namespace

void MailDialogue(CSMTPEmail& email, Connection& connection)
{
    RefuseLoginInPlainText(connection);
    if (connection.Server().security == Security::PLAIN)
        Helo(email, connection);
    else
        Greet(email, connection);
    MailFrom(email, connection);
    RcptToEach(email, connection);
    Data(email, connection);
}

}  // namespace transport
