#include "transport/AddressRace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/CSMTPException.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {

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

std::unique_ptr<SocketStream> ConnectToFirst(const ServerName& server,
                                             const std::vector<platform::SocketAddress>& addresses,
                                             std::size_t* won)
{
    if (addresses.empty()) FailToConnect(server, false, 0);
    return AddressRace(server, addresses).Run(won);
}

}  // namespace transport
