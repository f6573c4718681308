#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/PeerText.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/AddressRace.h"
#include "transport/Session.h"

namespace transport {

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

Connection::Connection(const ServerName& server, const char* tlsHint)
    : m_Server(server), m_TlsHint(tlsHint)
{
    const std::vector<platform::SocketAddress> addresses = HostAddresses(server.host, server.port);
    std::size_t won = 0;
    std::unique_ptr<SocketStream> stream = ConnectToFirst(server, addresses, &won);
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

}  // namespace transport
