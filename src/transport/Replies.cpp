#include <cstring>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {

char s_ReplyBuffer[kReplyBufferSize];

namespace {

void AddTimeLimit(CSMTPException& error, platform::IoStatus status, int limit)
{
    if (status == platform::IoStatus::TIMED_OUT)
        error << " (timed out after " << limit << " seconds)";
}

[[noreturn]] void FailToSend(platform::IoStatus status, int limit)
{
    CSMTPException error(FAILED_TO_SEND);
    error << "send() failed with error " << platform::LastSocketError();
    AddTimeLimit(error, status, limit);
    throw error;
}

[[noreturn]] void FailToReceive(platform::IoStatus status, int limit)
{
    CSMTPException error(FAILED_TO_RECEIVE);
    error << "recv() failed with error " << platform::LastSocketError();
    AddTimeLimit(error, status, limit);
    throw error;
}

// Complete: the bytes end with CR LF and the last line is final, that is, its
// fourth byte is not "-" (lines of a multi-line reply may come in separate reads).
bool IsCompleteReply(const char* reply, std::size_t length)
{
    if (length < 2 || reply[length - 2] != '\r' || reply[length - 1] != '\n') return false;
    std::size_t start = length - 2;
    while (start > 0 && reply[start - 1] != '\n') --start;
    const std::size_t lineLength = length - 2 - start;
    return lineLength < 4 || reply[start + 3] != '-';
}

// The server's reply is judged by its first byte alone.
bool IsAccepted(const char* reply)
{
    return reply[0] == '1' || reply[0] == '2' || reply[0] == '3';
}

void ReceiveReply(platform::Socket socket, int limit)
{
    const platform::Deadline deadline = platform::DeadlineAfter(limit);
    std::size_t held = 0;
    for (;;) {
        std::size_t count = 0;
        const platform::IoStatus status = platform::ReceiveSome(
            socket, s_ReplyBuffer + held, kReplyBufferSize - 1 - held, deadline, &count);
        if (status != platform::IoStatus::OK) FailToReceive(status, limit);
        char* const fresh = s_ReplyBuffer + held;
        held += count;
        s_ReplyBuffer[held] = '\0';
        if (g_Debug) std::fprintf(stderr, "Received: (%d bytes) %s", static_cast<int>(count), fresh);
        if (IsCompleteReply(s_ReplyBuffer, held)) return;
        if (g_Debug) std::fputs("Incomplete server message. Awaiting CRLF\n", stderr);
    }
}

}  // namespace

void SendUnit(platform::Socket socket, const char* data, std::size_t length)
{
    if (g_Debug) {
        std::fputs("Posting: ", stderr);
        std::fwrite(data, 1, length, stderr);
    }
    const platform::SendPiece unit{data, length};
    SendUnits(socket, &unit, 1);
}

void SendUnits(platform::Socket socket, const platform::SendPiece* units, std::size_t count)
{
    const int limit = TimeLimit(kCommandTimeLimit);
    const platform::IoStatus status =
        platform::SendPieces(socket, units, count, platform::DeadlineAfter(limit));
    if (status != platform::IoStatus::OK) FailToSend(status, limit);
}

bool ReadReplyWithin(CSMTPEmail& email, platform::Socket socket, int timeLimit)
{
    if (!email.m_SendBuffer.empty()) email._SendText(socket, nullptr, SEND_FLUSH);
    ReceiveReply(socket, timeLimit);
    if (IsAccepted(s_ReplyBuffer)) return true;
    CSMTPException error(SERVER_ERROR);
    error << "SMTP server error: \"" << s_ReplyBuffer << "\".";
    throw error;
}

void Command(CSMTPEmail& email, platform::Socket socket, const std::string& line)
{
    email._SendText(socket, line.c_str(), SEND_QUEUE);
    email._ReadReply(socket);
}

}  // namespace transport

bool CSMTPEmail::_SendText(platform::Socket socket, const char* text, int mode)
{
    if (mode == SEND_QUEUE) {
        if (text) m_SendBuffer += text;
        return true;
    }
    if (mode == SEND_FLUSH && !m_SendBuffer.empty()) {
        transport::SendUnit(socket, m_SendBuffer.data(), m_SendBuffer.size());
        m_SendBuffer.clear();
    }
    if (text && *text) transport::SendUnit(socket, text, std::strlen(text));
    return true;
}

bool CSMTPEmail::_ReadReply(platform::Socket socket)
{
    return transport::ReadReplyWithin(*this, socket, transport::TimeLimit(transport::kCommandTimeLimit));
}
