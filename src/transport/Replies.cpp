#include <cstdlib>
#include <cstring>

#include "core/PeerText.h"
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

void RefuseLineBreaks(std::string_view line, const char* shown)
{
    std::string_view body = line;
    if (body.size() >= 2 && body.substr(body.size() - 2) == "\r\n") body.remove_suffix(2);
    const std::size_t at = body.find_first_of("\r\n");
    if (at == std::string_view::npos) return;
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << "A line break after \""
          << (shown ? shown : core::PrintablePeerText(std::string(body.substr(0, at))))
          << "\" would make the server read two commands. Aborting.";
    throw error;
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
    return IsAccepted(connection.LastReply().Text());
}

platform::TlsPeer TlsPeerFor(const Connection& connection)
{
    std::string hex;
    if (!g_TlsFingerprint.empty() && !platform::ParseFingerprint(g_TlsFingerprint, &hex)) {
        const std::string text =
            "The setting \"TLS Fingerprint\" is not \"SHA256:\" followed by 64 "
            "hex digits. Aborting.";
        if (g_Verbose || g_Debug) std::fprintf(stderr, "%s\n", text.c_str());
        CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
        error << text;
        throw error;
    }
    const char* caFile = std::getenv("QUILLEX_CA_FILE");
    return {TlsHostName(connection.Server().host), caFile && *caFile ? caFile : g_TlsCaFile,
            g_TlsFingerprint};
}

void RefuseBytesAfterReply(const Connection& connection)
{
    const ReplyReader& reply = connection.LastReply();
    if (reply.Parsed().length < reply.Length())
        connection.FailTls(
            "the server sent more after its reply to STARTTLS, before the handshake; "
            "such bytes may have been injected on the way");
}

bool ReadReplyWithin(CSMTPEmail& email, Connection& connection, int timeLimit)
{
    if (!email.m_SendBuffer.empty()) email._SendText(connection, nullptr, SEND_FLUSH);
    connection.ReadReply(timeLimit);
    if (IsAccepted(connection.LastReply().Text())) return true;
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
