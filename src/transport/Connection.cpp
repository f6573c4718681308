#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "platform/Tls.h"
#include "transport/Session.h"

namespace transport {

char s_LocalHostName[kLocalHostNameSize];

namespace {

// A decimal number of 1 to max, digits only; 0 for anything else.
long PositiveNumber(const char* text, long max)
{
    if (!*text) return 0;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        // Checked before it grows: long has only 32 bits on some systems.
        if (value > (max - (*p - '0')) / 10) return 0;
        value = value * 10 + (*p - '0');
    }
    return value;
}

}  // namespace

int TimeLimit(int defaultSeconds)
{
    const char* text = std::getenv("QUILLEX_TIMEOUT");
    const long seconds = text ? PositiveNumber(text, INT_MAX) : 0;
    return seconds > 0 ? static_cast<int>(seconds) : defaultSeconds;
}

void StartSocketLibrary()
{
    if (CSMTPEmail::s_SocketsStarted) return;
    if (!platform::StartSockets()) {
        CSMTPException error(FAILED_TO_START_SOCKETS);
        error << "WSAStartup() failed with error " << platform::LastSocketError()
              << ". Could not start network communication library";
        throw error;
    }
    CSMTPEmail::s_SocketsStarted = true;
}

namespace {

[[noreturn]] void FailToConnect(const ServerName& server, bool timedOut, int limit)
{
    const int code = platform::LastSocketError();
    if (g_Debug || g_Verbose)
        std::fprintf(stderr, "Failed to connect to server '%s' port %d. Winsock error: %d\n",
                     server.host.c_str(), server.port, code);
    CSMTPException error(FAILED_TO_CONNECT);
    error << "Failed to connect to server \"" << server.host << "\" port " << server.port
          << ". The error code was: " << code;
    if (timedOut) error << " (timed out after " << limit << " seconds)";
    throw error;
}

// FAILED_TO_OBTAIN_SOCKET_HANDLE.
std::unique_ptr<SocketStream> OpenSocket(const platform::SocketAddress& address)
{
    const platform::Socket socket = platform::OpenStreamSocket(address);
    if (socket == platform::kInvalidSocket) {
        CSMTPException error(FAILED_TO_OBTAIN_SOCKET_HANDLE);
        error << "Failed to create socket. The error code was: " << platform::LastSocketError();
        throw error;
    }
    return std::make_unique<SocketStream>(socket);
}

[[noreturn]] void ThrowTlsFailed(const ServerName& server, const std::string& address,
                                 const std::string& why)
{
    CSMTPException error(TLS_FAILED);
    error << "TLS with server \"" << server.host << "\" (" << address << ") port " << server.port
          << " failed: " << why << ".";
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
        if (!why.empty()) ThrowTlsFailed(m_Server, m_Address, why);
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

}  // namespace

std::vector<platform::SocketAddress> HostAddresses(const std::string& host, std::uint16_t port)
{
    const char* name = host.c_str();
    if (!*name) {
        platform::NoteHostNotFound();
        return {};
    }
    // A dotted address never goes through name lookup; address 0 would reach
    // this machine, so it is never tried.
    const std::uint32_t dotted = platform::ParseDottedAddress(name);
    if (dotted != platform::kAddressNone || std::strcmp(name, "255.255.255.255") == 0) {
        if (dotted == 0) {
            platform::NoteHostNotFound();
            return {};
        }
        return {platform::IPv4Address(dotted, port)};
    }
    std::vector<platform::SocketAddress> found;
    platform::LookupHostAddresses(name, port, &found);
    return found;
}

namespace {

using Clock = std::chrono::steady_clock;

// Happy Eyeballs: the addresses start one after the other, the next one at
// once when a connect fails and after kNextAttemptDelay when it is still
// under way; the first to connect wins. One deadline bounds them all.
class AddressRace {
public:
    AddressRace(const ServerName& server, const std::vector<platform::SocketAddress>& addresses)
        : m_Server(server), m_Addresses(addresses)
    {
    }

    // The first connection made, and the index of its address.
    // FAILED_TO_OBTAIN_SOCKET_HANDLE, FAILED_TO_CONNECT.
    std::unique_ptr<SocketStream> Run(std::size_t* won)
    {
        while (!m_Winner) {
            if (MayStart())
                StartNext();
            else if (m_Streams.empty())
                FailToConnect(m_Server, false, m_Limit);
            else
                Wait();
        }
        *won = m_Won;
        return std::move(m_Winner);
    }

private:
    static constexpr std::chrono::milliseconds kNextAttemptDelay{250};
    // Well below what one wait can watch on every system.
    static constexpr std::size_t kAttemptsInFlight = 16;

    bool MoreToStart() const
    {
        return m_Next < m_Addresses.size() && m_Streams.size() < kAttemptsInFlight;
    }
    bool MayStart() const
    {
        const Clock::time_point now = Clock::now();
        return MoreToStart() && now < m_Deadline && (m_Streams.empty() || now >= m_NextStart);
    }

    void StartNext()
    {
        const std::size_t index = m_Next++;
        std::unique_ptr<SocketStream> stream = OpenSocket(m_Addresses[index]);
        switch (platform::StartConnect(stream->Handle(), m_Addresses[index])) {
        case platform::ConnectState::CONNECTED: Won(std::move(stream), index); break;
        case platform::ConnectState::PENDING:
            m_Sockets.push_back(stream->Handle());
            m_Streams.push_back(std::move(stream));
            m_Indexes.push_back(index);
            m_NextStart = std::min(m_Deadline, Clock::now() + kNextAttemptDelay);
            break;
        case platform::ConnectState::FAILED:
            stream.reset();
            Failed(index);
            break;
        }
    }

    // Until a connect ends, or until the next address is due.
    void Wait()
    {
        std::size_t which = 0;
        const platform::ConnectState state = platform::WaitForConnect(
            m_Sockets.data(), m_Sockets.size(), MoreToStart() ? m_NextStart : m_Deadline, &which);
        if (state == platform::ConnectState::PENDING) {
            if (Clock::now() >= m_Deadline) FailToConnect(m_Server, true, m_Limit);
            return;
        }
        const std::size_t index = m_Indexes[which];
        std::unique_ptr<SocketStream> stream = std::move(m_Streams[which]);
        const auto at = static_cast<std::ptrdiff_t>(which);
        m_Streams.erase(m_Streams.begin() + at);
        m_Sockets.erase(m_Sockets.begin() + at);
        m_Indexes.erase(m_Indexes.begin() + at);
        if (state == platform::ConnectState::CONNECTED) {
            Won(std::move(stream), index);
            return;
        }
        stream.reset();
        Failed(index);
    }

    void Won(std::unique_ptr<SocketStream> stream, std::size_t index)
    {
        m_Winner = std::move(stream);
        m_Won = index;
    }

    // The next address need not wait for a connect that has failed.
    void Failed(std::size_t index)
    {
        if (g_Debug && (m_Next < m_Addresses.size() || !m_Streams.empty()))
            std::fprintf(
                stderr, "Could not connect to %s port %d (error %d); trying the next address\n",
                m_Addresses[index].text.c_str(), m_Server.port, platform::LastSocketError());
        m_NextStart = Clock::now();
    }

    const ServerName& m_Server;
    const std::vector<platform::SocketAddress>& m_Addresses;
    const int m_Limit = TimeLimit(kCommandTimeLimit);
    const platform::Deadline m_Deadline = platform::DeadlineAfter(m_Limit);
    std::size_t m_Next = 0;  // the first address not started yet
    Clock::time_point m_NextStart = m_Deadline;
    // The connects under way: their streams, sockets and address indexes.
    std::vector<std::unique_ptr<SocketStream>> m_Streams;
    std::vector<platform::Socket> m_Sockets;
    std::vector<std::size_t> m_Indexes;
    std::unique_ptr<SocketStream> m_Winner;
    std::size_t m_Won = 0;
};

}  // namespace

Connection::Connection(const ServerName& server, const char* tlsHint)
    : m_Server(server), m_TlsHint(tlsHint)
{
    const std::vector<platform::SocketAddress> addresses = HostAddresses(server.host, server.port);
    if (addresses.empty()) FailToConnect(server, false, 0);
    std::size_t won = 0;
    std::unique_ptr<SocketStream> stream = AddressRace(server, addresses).Run(&won);
    platform::SetNoDelay(stream->Handle());
    m_Address = addresses[won].text;
    m_Stream = std::move(stream);
}

Connection::Connection(std::unique_ptr<Stream> stream, ServerName server, const char* tlsHint)
    : m_Server(std::move(server)), m_TlsHint(tlsHint), m_Stream(std::move(stream))
{
}

Connection::~Connection()
{
    m_Stream->Close();
}

void Connection::SendUnit(const char* data, std::size_t length)
{
    if (g_Debug) {
        std::fputs("Posting: ", stderr);
        std::fwrite(data, 1, length, stderr);
    }
    const platform::SendPiece unit{data, length};
    SendUnits(&unit, 1);
}

void Connection::SendHidden(const std::string& line, const std::string& shown)
{
    RefuseLineBreaks(line, shown.c_str());
    if (g_Debug) std::fprintf(stderr, "Posting: %s\r\n", shown.c_str());
    // The line end travels as a piece of its own, so that the secret is never copied.
    const platform::SendPiece pieces[] = {{line.data(), line.size()}, {"\r\n", 2}};
    SendUnits(pieces, 2);
}

void Connection::SendBatch(const std::vector<std::string>& lines)
{
    std::vector<platform::SendPiece> units;
    for (const std::string& line : lines) RefuseLineBreaks(line);
    for (const std::string& line : lines) {
        if (g_Debug) std::fprintf(stderr, "Posting: %s", line.c_str());
        units.push_back({line.data(), line.size()});
    }
    SendUnits(units.data(), units.size());
}

void Connection::SendUnits(const platform::SendPiece* units, std::size_t count)
{
    const int limit = TimeLimit(kCommandTimeLimit);
    const platform::IoStatus status = m_Stream->Send(units, count, platform::DeadlineAfter(limit));
    if (status != platform::IoStatus::OK) m_Stream->Fail(FAILED_TO_SEND, "send()", status, limit);
}

void Stream::Fail(SmtpError code, const char* call, platform::IoStatus status, int limit) const
{
    FailIo(code, call, status, limit);
}

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
    m_Stream =
        std::make_unique<TlsStream>(std::move(m_Stream), std::move(session), m_Server, m_Address);
}

void Connection::FailTls(const std::string& why) const
{
    ThrowTlsFailed(m_Server, m_Address, why);
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

void FillLocalHostName(const std::string& serverHost)
{
    if (s_LocalHostName[0] != '\0') return;
    if (platform::GetLocalHostName(s_LocalHostName, sizeof s_LocalHostName)) return;
    const int code = platform::LastSocketError();
    if (g_Debug)
        std::fprintf(stderr,
                     "CSMTPEmail::_SendIt() - gethostname() failed. Winsock error code is %d\n",
                     code);
    CSMTPException error(FAILED_TO_CONNECT);
    error << "Failed to resolve the host name \"" << serverHost
          << "\" The error code was: " << code;
    throw error;
}

}  // namespace transport
