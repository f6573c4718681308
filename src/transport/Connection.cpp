#include <climits>
#include <cstdlib>
#include <cstring>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
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

ServerAddress SplitServer(const char* server, std::uint16_t defaultPort)
{
    const char* colon = std::strrchr(server, ':');
    const long port = colon ? PositiveNumber(colon + 1, 65535) : 0;
    if (port == 0) return {server, defaultPort};
    return {std::string(server, colon), static_cast<std::uint16_t>(port)};
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

[[noreturn]] void FailToConnect(const ServerAddress& server, bool timedOut, int limit)
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

}  // namespace

namespace {

// FAILED_TO_OBTAIN_SOCKET_HANDLE, FAILED_TO_CONNECT.
std::unique_ptr<Stream> Connect(const ServerAddress& server)
{
    const platform::Socket socket = platform::OpenStreamSocket();
    if (socket == platform::kInvalidSocket) {
        CSMTPException error(FAILED_TO_OBTAIN_SOCKET_HANDLE);
        error << "Failed to create socket. The error code was: " << platform::LastSocketError();
        throw error;
    }
    auto stream = std::make_unique<SocketStream>(socket);
    // Address 0 would reach this machine: a host that does not resolve is never tried.
    const std::uint32_t address = CSMTPEmail::_ResolveHost(server.host.c_str());
    if (address == 0) FailToConnect(server, false, 0);
    const int limit = TimeLimit(kCommandTimeLimit);
    const platform::IoStatus status =
        platform::ConnectSocket(socket, address, server.port, platform::DeadlineAfter(limit));
    if (status != platform::IoStatus::OK)
        FailToConnect(server, status == platform::IoStatus::TIMED_OUT, limit);
    platform::SetNoDelay(socket);
    return stream;
}

[[noreturn]] void FailToSend(platform::IoStatus status, int limit)
{
    CSMTPException error(FAILED_TO_SEND);
    error << "send() failed with error " << platform::LastSocketError();
    if (status == platform::IoStatus::TIMED_OUT)
        error << " (timed out after " << limit << " seconds)";
    throw error;
}

}  // namespace

Connection::Connection(const ServerAddress& server) : m_Stream(Connect(server)) {}

Connection::Connection(std::unique_ptr<Stream> stream) : m_Stream(std::move(stream)) {}

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

void Connection::SendUnits(const platform::SendPiece* units, std::size_t count)
{
    const int limit = TimeLimit(kCommandTimeLimit);
    const platform::IoStatus status =
        m_Stream->Send(units, count, platform::DeadlineAfter(limit));
    if (status != platform::IoStatus::OK) FailToSend(status, limit);
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

std::uint32_t CSMTPEmail::_ResolveHost(const char* name)
{
    if (!name || !*name) {
        platform::NoteHostNotFound();
        return 0;
    }
    const std::uint32_t dotted = platform::ParseDottedAddress(name);
    if (dotted != platform::kAddressNone) {
        if (dotted == 0) platform::NoteHostNotFound();
        return dotted;
    }
    if (std::strcmp(name, "255.255.255.255") == 0) return platform::kAddressNone;
    std::uint32_t found = 0;
    if (!platform::LookupHostAddress(name, &found)) return 0;
    return found;
}
