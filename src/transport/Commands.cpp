#include <cstring>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {

namespace {

[[noreturn]] void ThrowReplyError(const ReplyReader& reply, bool receiver)
{
    CSMTPException error(SERVER_ERROR);
    error.m_ReceiverRefused = receiver;
    error << "SMTP server error: \"" << PrintableReply(reply.Text(), reply.Length()) << "\".";
    throw error;
}

}  // namespace

void FailWithReply(const ReplyReader& reply)
{
    ThrowReplyError(reply, false);
}

void FailWithReceiverReply(const ReplyReader& reply)
{
    ThrowReplyError(reply, true);
}

bool Ask(CSMTPEmail& email, Connection& connection, const std::string& line, ReplyEnd end)
{
    RefuseLineBreaks(line);
    email._SendText(connection, line.c_str(), SEND_FLUSH);
    connection.ReadReply(TimeLimit(kCommandTimeLimit), end);
    return connection.LastReply().Accepted();
}

bool ReadReplyWithin(CSMTPEmail& email, Connection& connection, int timeLimit)
{
    if (!email.m_SendBuffer.empty()) email._SendText(connection, nullptr, SEND_FLUSH);
    connection.ReadReply(timeLimit);
    if (connection.LastReply().Accepted()) return true;
    FailWithReply(connection.LastReply());
}

void Command(CSMTPEmail& email, Connection& connection, const std::string& line)
{
    RefuseLineBreaks(line);
    email._SendText(connection, line.c_str(), SEND_QUEUE);
    email._ReadReply(connection);
}

}  // namespace transport

bool CSMTPEmail::_SendText(transport::Connection& connection, const char* text, SendMode mode)
{
    if (mode == SEND_QUEUE) {
        if (text) m_SendBuffer += text;
        return true;
    }
    if (!m_SendBuffer.empty()) {
        connection.SendUnit(m_SendBuffer.data(), m_SendBuffer.size());
        m_SendBuffer.clear();
    }
    if (text && *text) connection.SendUnit(text, std::strlen(text));
    return true;
}

bool CSMTPEmail::_ReadReply(transport::Connection& connection)
{
    return transport::ReadReplyWithin(*this, connection,
                                      transport::TimeLimit(transport::kCommandTimeLimit));
}
