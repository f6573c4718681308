#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {
namespace {

void AuthInfo(CSMTPEmail& email, platform::Socket socket)
{
    if (g_NewsUser[0] == '\0') return;
    Command(email, socket, std::string("AUTHINFO USER ") + g_NewsUser + "\r\n");
    // A "2" reply to USER means no password is needed; sending one anyway
    // makes standard servers refuse the sequence.
    if (g_NewsPassword[0] == '\0' || s_ReplyBuffer[0] == '2') return;
    Command(email, socket, std::string("AUTHINFO PASS ") + g_NewsPassword + "\r\n");
}

// No server takes a comma-joined list as a group name; the article's
// Newsgroups header still names every group.
void Group(CSMTPEmail& email, platform::Socket socket)
{
    const std::string groups = email.m_Receivers.value_or(std::string());
    Command(email, socket, "GROUP " + groups.substr(0, groups.find(',')) + "\r\n");
}

void Post(CSMTPEmail& email, platform::Socket socket)
{
    Command(email, socket, "POST\r\n");
}

void SetReplyTo(CSMTPEmail& email)
{
    const std::string sender = email.GetHeader("X-Sender", "(NULL)");
    email.SetHeader("Reply-To", sender.c_str(), 0);
}

}  // namespace

void NewsDialogue(CSMTPEmail& email, platform::Socket socket)
{
    AuthInfo(email, socket);
    Group(email, socket);
    Post(email, socket);
    SetReplyTo(email);
}

}  // namespace transport
