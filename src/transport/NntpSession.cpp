#include <cstring>
#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "platform/Crypto.h"
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
    if (!Ask(email, connection, "STARTTLS\r\n") || connection.LastReply().Code() != 382)
        connection.FailTls("the server refused STARTTLS: \"" + FirstLine(connection.LastReply()) +
                           "\"");
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
    if (g_NewsPassword[0] == '\0' || connection.LastReply().Completed()) return;
    std::string line = "AUTHINFO PASS ";
    line.reserve(line.size() + std::strlen(g_NewsPassword));
    line += g_NewsPassword;
    const platform::SecretGuard wipeLine(&line);
    connection.SendHidden(line, "AUTHINFO PASS <hidden>");
    email._ReadReply(connection);
}

[[noreturn]] void FailLogin(const Connection& connection, const std::string& why)
{
    const ServerName& server = connection.Server();
    CSMTPException error(AUTH_FAILED);
    error << "Login as \"" << g_NewsUser << "\" at news server \"" << server.host << "\" port "
          << server.port << " failed: " << why << ".";
    throw error;
}

void ExpectLoggedIn(const Connection& connection, bool accepted)
{
    if (!accepted)
        FailLogin(connection, "the server answered \"" + FirstLine(connection.LastReply()) + "\"");
}

// Over TLS the password may come from the environment or a command too, and
// it never shows under -d.
void SecureAuthInfo(CSMTPEmail& email, Connection& connection)
{
    if (g_NewsUser[0] == '\0') return;
    std::string secret;
    std::string why;
    const platform::SecretGuard wipe(&secret);
    const bool haveSecret =
        FetchSecret("QUILLEX_NNTP_PASSWORD", g_NewsPasswordCommand, g_NewsPassword, &secret, &why);
    if (!haveSecret && !g_NewsPasswordCommand.empty()) FailLogin(connection, why);
    ExpectLoggedIn(connection,
                   Ask(email, connection, std::string("AUTHINFO USER ") + g_NewsUser + "\r\n"));
    if (!haveSecret || connection.LastReply().Completed()) return;
    std::string line = "AUTHINFO PASS ";
    line.reserve(line.size() + secret.size());  // no reallocation leaves a copy behind
    line += secret;
    const platform::SecretGuard wipeLine(&line);
    connection.SendHidden(line, "AUTHINFO PASS <hidden>");
    connection.ReadReply(TimeLimit(kCommandTimeLimit));
    ExpectLoggedIn(connection, connection.LastReply().Completed());
    // What the server offers may change once the reader is known.
    ReadCapabilities(email, connection);
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
    const Security security = connection.Server().security;
    if (security == Security::STARTTLS) StartTls(email, connection);
    try {
        if (security == Security::PLAIN)
            AuthInfo(email, connection);
        else
            SecureAuthInfo(email, connection);
        Group(email, connection);
        Post(email, connection);
    } catch (CSMTPException& error) {
        if (error.m_Code != SERVER_ERROR || connection.LastReply().Code() != 483) throw;
        // The server wants encryption before it takes a login or a post.
        CSMTPException hinted(SERVER_ERROR);
        hinted << error.what()
               << " The server requires encryption: use nntps:// (TLS from the "
                  "first byte) or nntp+starttls://.";
        throw hinted;
    }
    SetReplyTo(email);
}

}  // namespace transport
