#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Capabilities.h"
#include "transport/Session.h"

namespace transport {
namespace {

// The capability list, empty when the server does not know the command.
Capabilities ReadCapabilities(CSMTPEmail& email, Connection& connection)
{
    if (!Ask(email, connection, "CAPABILITIES\r\n", ReplyEnd::DOT_LINE)) return {};
    const ReplyReader& reply = connection.LastReply();
    return Capabilities::FromList(reply.Text(), reply.Length());
}

// Nothing goes in plain text once TLS was asked for: every way out of this
// step but a handshake ends the session.
void StartTls(CSMTPEmail& email, Connection& connection)
{
    if (!ReadCapabilities(email, connection).Has("STARTTLS"))
        connection.FailTls("the server does not offer STARTTLS");
    if (!Ask(email, connection, "STARTTLS\r\n") || connection.LastReply().Parsed().code != 382)
        connection.FailTls("the server refused STARTTLS: \"" + FirstLine(connection.LastReply()) + "\"");
    RefuseBytesAfterReply(connection);
    connection.StartTls(TlsPeerFor(connection));
    // What was offered in plain text counts for nothing now.
    ReadCapabilities(email, connection);
}

void AuthInfo(CSMTPEmail& email, Connection& connection)
{
    if (g_NewsUser[0] == '\0') return;
    Command(email, connection, std::string("AUTHINFO USER ") + g_NewsUser + "\r\n");
    // A "2" reply to USER means no password is needed; sending one anyway
    // makes standard servers refuse the sequence.
    if (g_NewsPassword[0] == '\0' || connection.LastReply().Text()[0] == '2') return;
    Command(email, connection, std::string("AUTHINFO PASS ") + g_NewsPassword + "\r\n");
}

// No server takes a comma-joined list as a group name; the article's
// Newsgroups header still names every group.
void Group(CSMTPEmail& email, Connection& connection)
{
    const std::string groups = email.m_Receivers.value_or(std::string());
    Command(email, connection, "GROUP " + groups.substr(0, groups.find(',')) + "\r\n");
}

void Post(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, "POST\r\n");
}

void SetReplyTo(CSMTPEmail& email)
{
    const std::string sender = email.GetHeader("X-Sender", "(NULL)");
    email.SetHeader("Reply-To", sender.c_str(), 0);
}

}  // namespace

void NewsDialogue(CSMTPEmail& email, Connection& connection)
{
    if (connection.Server().security == Security::STARTTLS) StartTls(email, connection);
    AuthInfo(email, connection);
    Group(email, connection);
    Post(email, connection);
    SetReplyTo(email);
}

}  // namespace transport
