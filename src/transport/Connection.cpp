#include <climits>
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

// The stream sends TLS records over the socket stream it keeps.
class TlsStream : public Stream {
public:
    TlsStream(std::unique_ptr<Stream> lower, std::unique_ptr<platform::TlsSession> session)
        : m_Lower(std::move(lower)), m_Session(std::move(session))
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
        return m_Session->Receive(buffer, capacity, deadline, received);
    }
    void Close() override { m_Session->Shutdown(platform::DeadlineAfter(kCloseTimeLimit)); }
    platform::Socket Handle() const override { return m_Lower->Handle(); }

private:
    static constexpr int kCloseTimeLimit = 5;
    std::unique_ptr<Stream> m_Lower;
    std::unique_ptr<platform::TlsSession> m_Session;
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

Connection::Connection(const ServerName& server, const char* tlsHint)
    : m_Server(server), m_TlsHint(tlsHint)
{
    const std::vector<platform::SocketAddress> addresses = HostAddresses(server.host, server.port);
    if (addresses.empty()) FailToConnect(server, false, 0);
    const int limit = TimeLimit(kCommandTimeLimit);
    const platform::Deadline deadline = platform::DeadlineAfter(limit);
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        std::unique_ptr<SocketStream> stream = OpenSocket(addresses[i]);
        const platform::IoStatus status =
            platform::ConnectSocket(stream->Handle(), addresses[i], deadline);
        if (status == platform::IoStatus::OK) {
            platform::SetNoDelay(stream->Handle());
            m_Address = addresses[i].text;
            m_Stream = std::move(stream);
            return;
        }
        if (status == platform::IoStatus::TIMED_OUT) FailToConnect(server, true, limit);
        if (g_Debug && i + 1 < addresses.size())
            std::fprintf(stderr,
                         "Could not connect to %s port %d (error %d); trying the next address\n",
                         addresses[i].text.c_str(), server.port, platform::LastSocketError());
    }
    FailToConnect(server, false, limit);
}

Connection::Connection(std::unique_ptr<Stream> stream, ServerName server)
    : m_Server(std::move(server)), m_Stream(std::move(stream))
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
    if (g_Debug) std::fprintf(stderr, "Posting: %s\r\n", shown.c_str());
    // The line end travels as a piece of its own, so that the secret is never copied.
    const platform::SendPiece pieces[] = {{line.data(), line.size()}, {"\r\n", 2}};
    SendUnits(pieces, 2);
}

void Connection::SendBatch(const std::vector<std::string>& lines)
{
    std::vector<platform::SendPiece> units;
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
    if (status != platform::IoStatus::OK) FailIo(FAILED_TO_SEND, "send()", status, limit);
}

void Connection::StartTls(const platform::TlsPeer& peer)
{
    const int limit = TimeLimit(kCommandTimeLimit);
    platform::TlsResult result = platform::TlsResult::OK;
    std::string why;
    std::unique_ptr<platform::TlsSession> session = platform::TlsSession::Start(
        m_Stream->Handle(), peer, platform::DeadlineAfter(limit), &result, &why);
    if (!session) FailHandshake(result, why, limit);
    const std::string description = session->Description();
    if (g_Debug) std::fprintf(stderr, "TLS: %s\n", description.c_str());
    m_TlsVersion = description.substr(0, description.find(", "));
    m_Stream = std::make_unique<TlsStream>(std::move(m_Stream), std::move(session));
}

void Connection::FailTls(const std::string& why) const
{
    CSMTPException error(TLS_FAILED);
    error << "TLS with server \"" << m_Server.host << "\" (" << m_Address << ") port "
          << m_Server.port << " failed: " << why << ".";
    throw error;
}

void Connection::FailHandshake(platform::TlsResult result, const std::string& why, int limit) const
{
    if (result == platform::TlsResult::CERTIFICATE_REFUSED) {
        CSMTPException error(CERTIFICATE_REFUSED);
        error << "The certificate of server \"" << m_Server.host << "\" (" << m_Address << ") port "
              << m_Server.port << " was refused: " << why << ".";
        throw error;
    }
    if (result == platform::TlsResult::TIMED_OUT)
        FailTls("the handshake timed out after " + std::to_string(limit) + " seconds. " +
                m_TlsHint);
    FailTls("the handshake failed: " + why + ". " + m_TlsHint);
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
