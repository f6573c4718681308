#include "transport/Reply.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {
namespace {

// A line is final when its fourth byte is not "-": "250-" continues, "250 " ends.
bool IsFinalLine(const char* line, std::size_t length)
{
    return length < 4 || line[3] != '-';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsComplete(const char* text, std::size_t length, ReplyEnd end)
{
    if (end == ReplyEnd::FINAL_LINE || text[0] != '1') return IsCompleteReply(text, length);
    return length >= 5 && std::memcmp(text + length - 5, "\r\n.\r\n", 5) == 0;
}

// The end of the first complete reply: its first final line ending in CR LF.
std::size_t FirstReplyEnd(const char* text, std::size_t length)
{
    std::size_t start = 0;
    for (std::size_t at = 0; at < length; ++at) {
        if (text[at] != '\n') continue;
        if (at > start && text[at - 1] == '\r' && IsFinalLine(text + start, at - 1 - start))
            return at + 1;
        start = at + 1;
    }
    return 0;
}

}  // namespace

bool IsAccepted(const char* reply)
{
    return reply[0] == '1' || reply[0] == '2' || reply[0] == '3';
}

void FailIo(SmtpError code, const char* call, platform::IoStatus status, int limit)
{
    CSMTPException error(code);
    error << call << " failed with error " << platform::LastSocketError();
    if (status == platform::IoStatus::TIMED_OUT)
        error << " (timed out after " << limit << " seconds)";
    throw error;
}

bool IsCompleteReply(const char* text, std::size_t length)
{
    if (length < 2 || text[length - 2] != '\r' || text[length - 1] != '\n') return false;
    std::size_t start = length - 2;
    while (start > 0 && text[start - 1] != '\n') --start;
    return IsFinalLine(text + start, length - 2 - start);
}

Reply ParseReply(const char* text, std::size_t length)
{
    Reply reply;
    if (length >= 3 && IsDigit(text[0]) && IsDigit(text[1]) && IsDigit(text[2]))
        reply.code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    std::size_t start = 0;
    while (start < length) {
        std::size_t end = start;
        while (end < length && text[end] != '\n') ++end;
        std::size_t lineLength = end - start;
        if (lineLength > 0 && text[end - 1] == '\r') --lineLength;
        const char* line = text + start;
        reply.lines.emplace_back(lineLength > 4 ? std::string(line + 4, lineLength - 4)
                                                : std::string());
        reply.length = end < length ? end + 1 : length;
        if (IsFinalLine(line, lineLength)) break;
        start = end + 1;
    }
    return reply;
}

std::string FirstLine(const ReplyReader& reply)
{
    const std::string_view text(reply.Text(), reply.Length());
    return PrintableReply(text.data(), std::min(text.size(), text.find_first_of("\r\n")));
}

std::string PrintableReply(const char* text, std::size_t length)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        // A CR that ends a read may be the first half of a line end split across reads.
        const bool lineEnd =
            text[i] == '\n' || (text[i] == '\r' && (i + 1 == length || text[i + 1] == '\n'));
        if (!lineEnd && text[i] != '\t') continue;
        out += core::PrintablePeerText(std::string(text + start, i - start));
        out += text[i];
        start = i + 1;
    }
    return out + core::PrintablePeerText(std::string(text + start, length - start));
}

const Reply& ReplyReader::Parsed() const
{
    if (!m_Parsed) m_Parsed = ParseReply(m_Buffer.data(), m_Held);
    return *m_Parsed;
}

void ReplyReader::Read(Stream& stream, int limit, ReplyEnd end)
{
    const platform::Deadline deadline = platform::DeadlineAfter(limit);
    m_Parsed.reset();
    m_Held = m_Carried.size();
    std::memcpy(m_Buffer.data(), m_Carried.data(), m_Held);
    m_Buffer[m_Held] = '\0';
    m_Carried.clear();
    if (m_Splitting && TakeFirstReply()) return;
    for (;;) {
        std::size_t count = 0;
        const platform::IoStatus status = stream.Receive(
            m_Buffer.data() + m_Held, kReplyBufferSize - 1 - m_Held, deadline, &count);
        if (status != platform::IoStatus::OK)
            stream.Fail(FAILED_TO_RECEIVE, "recv()", status, limit);
        char* const fresh = m_Buffer.data() + m_Held;
        m_Held += count;
        m_Buffer[m_Held] = '\0';
        if (g_Debug)
            std::fprintf(stderr, "Received: (%d bytes) %s", static_cast<int>(count),
                         PrintableReply(fresh, count).c_str());
        if (m_Splitting ? TakeFirstReply() : IsComplete(m_Buffer.data(), m_Held, end)) return;
        if (g_Debug) std::fputs("Incomplete server message. Awaiting CRLF\n", stderr);
    }
}

bool ReplyReader::TakeFirstReply()
{
    const std::size_t end = FirstReplyEnd(m_Buffer.data(), m_Held);
    if (end == 0) return false;
    m_Carried.assign(m_Buffer.data() + end, m_Held - end);
    m_Held = end;
    m_Buffer[m_Held] = '\0';
    return true;
}

}  // namespace transport
