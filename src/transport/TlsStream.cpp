#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/CSMTPException.h"
#include "mail/Globals.h"
#include "platform/Tls.h"
#include "transport/Session.h"

namespace transport {

namespace {

[[noreturn]] void ThrowTlsFailed(const ServerName& server, const std::string& address,
                                 const std::string& why, bool established)
{
    CSMTPException error(TLS_FAILED);
    error << "TLS with server \"" << server.host << "\" (" << address << ") port " << server.port
          << " failed: " << why << ".";
    error.m_SessionBroken = established;
    throw error;
}

// TLS records over the stream it keeps. A failure inside TLS is
// TLS_FAILED with the session's reason; only a time-out and the server's
// close_notify fail as a plain stream would.
class TlsStream : public Stream {
public:
    TlsStream(std::unique_ptr<Stream> lower, std::unique_ptr<platform::TlsSession> session,
              const ServerName& server, const std::string& address)
        : m_Lower(std::move(lower)),
          m_Session(std::move(session)),
          m_Server(server),
          m_Address(address)
    {
    }
    platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                            platform::Deadline deadline) override
    {
        return m_Session->Send(pieces, count, deadline);
    }
    platform::IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline deadline,
                               std::size_t* received) override
    {
        // No room left fails as it does on the stream below.
        m_FullBuffer = capacity == 0;
        return m_FullBuffer ? m_Lower->Receive(buffer, capacity, deadline, received)
                            : m_Session->Receive(buffer, capacity, deadline, received);
    }
    void Close() override { m_Session->Shutdown(platform::DeadlineAfter(kCloseTimeLimit)); }
    [[noreturn]] void Fail(SmtpError code, const char* call, platform::IoStatus status,
                           int limit) const override
    {
        if (status == platform::IoStatus::TIMED_OUT || m_FullBuffer)
            m_Lower->Fail(code, call, status, limit);
        const std::string why = m_Session->Failure();
        if (!why.empty()) ThrowTlsFailed(m_Server, m_Address, why, true);
        CSMTPException error(code);
        error << call << " failed: the server ended the TLS session with close_notify";
        throw error;
    }

private:
    static constexpr int kCloseTimeLimit = 5;
    std::unique_ptr<Stream> m_Lower;
    std::unique_ptr<platform::TlsSession> m_Session;
    ServerName m_Server;
    std::string m_Address;
    bool m_FullBuffer = false;
};

std::unique_ptr<Stream> MakeTlsStream(std::unique_ptr<Stream> lower,
                                      std::unique_ptr<platform::TlsSession> session,
                                      const ServerName& server, const std::string& address)
{
    return std::make_unique<TlsStream>(std::move(lower), std::move(session), server, address);
}

}  // namespace

void Connection::StartTls(const platform::TlsPeer& peer)
{
    const int limit = TimeLimit(kCommandTimeLimit);
    platform::TlsResult result = platform::TlsResult::OK;
    std::string why;
    std::unique_ptr<platform::TlsSession> session =
        platform::TlsSession::Start(*m_Stream, peer, platform::DeadlineAfter(limit), &result, &why);
    if (!session) FailHandshake(result, why, limit);
    const std::string description = session->Description();
    if (g_Debug) std::fprintf(stderr, "TLS: %s\n", description.c_str());
    m_TlsVersion = description.substr(0, description.find(", "));
    m_Stream = MakeTlsStream(std::move(m_Stream), std::move(session), m_Server, m_Address);
}

void Connection::FailTls(const std::string& why) const
{
    ThrowTlsFailed(m_Server, m_Address, why, false);
}

// The hint on the schemes fits only where TLS from the first byte met a
// server that does not speak it.
void Connection::FailHandshake(platform::TlsResult result, const std::string& why, int limit) const
{
    if (result == platform::TlsResult::CERTIFICATE_REFUSED) {
        CSMTPException error(CERTIFICATE_REFUSED);
        error << "The certificate of server \"" << m_Server.host << "\" (" << m_Address << ") port "
              << m_Server.port << " was refused: " << why << ".";
        throw error;
    }
    if (result == platform::TlsResult::TIMED_OUT)
        FailTls("the handshake timed out after " + std::to_string(limit) + " seconds");
    const bool hinted = result == platform::TlsResult::NOT_TLS &&
                        m_Server.security == Security::IMPLICIT_TLS && *m_TlsHint;
    FailTls("the handshake failed: " + why + (hinted ? std::string(". ") + m_TlsHint : ""));
}

platform::TlsPeer TlsPeerFor(const Connection& connection)
{
    std::string hex;
    if (!platform::ReadPin(g_TlsFingerprint, &hex)) {
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

}  // namespace transport
