#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace platform {
namespace {

int s_LastError = 0;

using Clock = std::chrono::steady_clock;

IoStatus Fail()
{
    s_LastError = errno;
    return IoStatus::FAILED;
}

IoStatus TimedOut()
{
    s_LastError = ETIMEDOUT;
    return IoStatus::TIMED_OUT;
}

// Waits until the socket is ready for events or the deadline passes.
IoStatus WaitFor(Socket socket, short events, Deadline deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return TimedOut();
        pollfd entry{static_cast<int>(socket), events, 0};
        const int ready = poll(&entry, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready > 0) return IoStatus::OK;
        if (ready < 0 && errno != EINTR) return Fail();
    }
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

Deadline DeadlineAfter(int seconds)
{
    return Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
}

bool StartSockets()
{
    return true;
}

void StopSockets() {}

int LastSocketError()
{
    return s_LastError;
}

Socket OpenStreamSocket(const SocketAddress& address)
{
    const int fd = socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        s_LastError = errno;
        return kInvalidSocket;
    }
    return fd;
}

void CloseSocket(Socket socket)
{
    if (socket != kInvalidSocket) close(static_cast<int>(socket));
}

std::uint32_t ParseDottedAddress(const char* text)
{
    return inet_addr(text);
}

void SetLastSocketError(int code)
{
    s_LastError = code;
}

ConnectState StartConnect(Socket socket, const SocketAddress& address)
{
    if (connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(address.bytes.data()),
                static_cast<socklen_t>(address.length)) == 0)
        return ConnectState::CONNECTED;
    // An interrupted connect goes on in the background, like one in progress.
    if (errno == EINPROGRESS || errno == EINTR) return ConnectState::PENDING;
    Fail();
    return ConnectState::FAILED;
}

ConnectState WaitForConnect(const Socket* sockets, std::size_t count, Deadline deadline,
                            std::size_t* which)
{
    std::vector<pollfd> entries;
    for (std::size_t i = 0; i < count; ++i)
        entries.push_back({static_cast<int>(sockets[i]), POLLOUT, 0});
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            TimedOut();
            return ConnectState::PENDING;
        }
        const int ready =
            poll(entries.data(), entries.size(), left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            // A wait that cannot be made ends the first attempt.
            *which = 0;
            Fail();
            return ConnectState::FAILED;
        }
        for (std::size_t i = 0; ready > 0 && i < entries.size(); ++i) {
            if (entries[i].revents == 0) continue;
            *which = i;
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(entries[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) error = errno;
            if (error == 0) return ConnectState::CONNECTED;
            s_LastError = error;
            return ConnectState::FAILED;
        }
    }
}

void SetNoDelay(Socket socket)
{
    const int on = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

IoStatus SendPieces(Socket socket, const SendPiece* pieces, std::size_t count, Deadline deadline)
{
    std::vector<iovec> left;
    left.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (pieces[i].length > 0)
            left.push_back({const_cast<char*>(pieces[i].data), pieces[i].length});
    std::size_t first = 0;
    while (first < left.size()) {
        msghdr message{};
        message.msg_iov = &left[first];
        message.msg_iovlen = std::min<std::size_t>(left.size() - first, IOV_MAX);
        const ssize_t sent =
            sendmsg(static_cast<int>(socket), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (!WouldBlock(errno)) return Fail();
            const IoStatus waited = WaitFor(socket, POLLOUT, deadline);
            if (waited != IoStatus::OK) return waited;
            continue;
        }
        if (sent == 0) {
            s_LastError = EPIPE;
            return IoStatus::FAILED;
        }
        std::size_t done = static_cast<std::size_t>(sent);
        while (done > 0 && first < left.size()) {
            iovec& piece = left[first];
            const std::size_t step = std::min(done, piece.iov_len);
            piece.iov_base = static_cast<char*>(piece.iov_base) + step;
            piece.iov_len -= step;
            done -= step;
            if (piece.iov_len == 0) ++first;
        }
    }
    return IoStatus::OK;
}

IoStatus ReceiveSome(Socket socket, char* buffer, std::size_t capacity, Deadline deadline,
                     std::size_t* received)
{
    *received = 0;
    if (capacity == 0) {
        s_LastError = EMSGSIZE;
        return IoStatus::FAILED;
    }
    for (;;) {
        const ssize_t got = recv(static_cast<int>(socket), buffer, capacity, MSG_DONTWAIT);
        if (got > 0) {
            *received = static_cast<std::size_t>(got);
            return IoStatus::OK;
        }
        if (got == 0) {  // the peer closed the connection
            s_LastError = 0;
            return IoStatus::FAILED;
        }
        if (errno == EINTR) continue;
        if (!WouldBlock(errno)) return Fail();
        const IoStatus waited = WaitFor(socket, POLLIN, deadline);
        if (waited != IoStatus::OK) return waited;
    }
}

bool GetLocalHostName(char* buffer, std::size_t capacity)
{
    if (capacity == 0) return false;
    if (gethostname(buffer, capacity) != 0) {
        s_LastError = errno;
        return false;
    }
    if (std::memchr(buffer, '\0', capacity) == nullptr) {
        buffer[0] = '\0';
        s_LastError = ENAMETOOLONG;
        return false;
    }
    return true;
}

Socket ListenOnLoopback(std::uint16_t* port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        s_LastError = errno;
        if (fd >= 0) close(fd);
        return kInvalidSocket;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

WaitResult WaitForConnectionOrInput(Socket listener, bool watchInput, Deadline deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return WaitResult::TIMED_OUT;
        pollfd entries[2] = {{static_cast<int>(listener), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready =
            poll(entries, watchInput ? 2 : 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return WaitResult::FAILED;
        if (ready <= 0) continue;
        if (entries[0].revents) return WaitResult::CONNECTION;
        if (entries[1].revents) return WaitResult::INPUT;
    }
}

Socket AcceptConnection(Socket listener)
{
    const int fd =
        accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) s_LastError = errno;
    return fd < 0 ? kInvalidSocket : fd;
}

}  // namespace platform
