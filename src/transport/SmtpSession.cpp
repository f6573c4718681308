#include <string>

#include "mail/CSMTPEmail.h"
#include "transport/Session.h"

namespace transport {
namespace {

const char kReceiverDelimiters[] = ", ";

void Helo(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, std::string("HELO ") + s_LocalHostName + "\r\n");
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
    Helo(email, connection);
    MailFrom(email, connection);
    RcptToEach(email, connection);
    Data(email, connection);
}

}  // namespace transport
