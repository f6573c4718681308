#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace platform {
namespace {

int s_LastError = 0;
WSADATA s_StartRecord;

using Clock = std::chrono::steady_clock;

SOCKET Native(Socket socket)
{
    return static_cast<SOCKET>(socket);
}

IoStatus Fail()
{
    s_LastError = WSAGetLastError();
    return IoStatus::FAILED;
}

IoStatus TimedOut()
{
    s_LastError = WSAETIMEDOUT;
    return IoStatus::TIMED_OUT;
}

enum class Readiness { READ, WRITE };

// Waits until the socket is ready or the deadline passes.
IoStatus WaitFor(Socket socket, Readiness readiness, Deadline deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0) return TimedOut();
        const long long step = std::min<long long>(left, 1000000LL * 3600);
        timeval timeout{static_cast<long>(step / 1000000), static_cast<long>(step % 1000000)};
        fd_set wanted;
        FD_ZERO(&wanted);
        FD_SET(Native(socket), &wanted);
        const bool reading = readiness == Readiness::READ;
        const int ready =
            select(0, reading ? &wanted : nullptr, reading ? nullptr : &wanted, nullptr, &timeout);
        if (ready > 0) return IoStatus::OK;
        if (ready == SOCKET_ERROR) return Fail();
    }
}

}  // namespace

Deadline DeadlineAfter(int seconds)
{
    return Clock::now() + std::chrono::seconds(seconds < 0 ? 0 : seconds);
}

bool StartSockets()
{
    // A failed start gives its error code as the result: the library that
    // would keep the last error is not running.
    const int result = WSAStartup(MAKEWORD(2, 2), &s_StartRecord);
    if (result != 0) s_LastError = result;
    return result == 0;
}

void StopSockets()
{
    WSACleanup();
}

int LastSocketError()
{
    return s_LastError;
}

// Non-blocking from the start: every wait is bounded by select.
Socket OpenStreamSocket(const SocketAddress& address)
{
    const SOCKET fd = socket(address.family, SOCK_STREAM, 0);
    if (fd == INVALID_SOCKET) {
        s_LastError = WSAGetLastError();
        return kInvalidSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    if (ioctlsocket(fd, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        s_LastError = WSAGetLastError();
        closesocket(fd);
        return kInvalidSocket;
    }
    return static_cast<Socket>(fd);
}

void CloseSocket(Socket socket)
{
    if (socket != kInvalidSocket) closesocket(Native(socket));
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
    if (connect(Native(socket), reinterpret_cast<const sockaddr*>(address.bytes.data()),
                address.length) == 0)
        return ConnectState::CONNECTED;
    if (WSAGetLastError() == WSAEWOULDBLOCK) return ConnectState::PENDING;
    Fail();
    return ConnectState::FAILED;
}

// A connect that succeeds shows in the write set, one that fails in the
// exception set.
ConnectState WaitForConnect(const Socket* sockets, std::size_t count, Deadline deadline,
                            std::size_t* which)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            TimedOut();
            return ConnectState::PENDING;
        }
        const long long step = std::min<long long>(left, 1000000LL * 3600);
        timeval timeout{static_cast<long>(step / 1000000), static_cast<long>(step % 1000000)};
        fd_set connected, failed;
        FD_ZERO(&connected);
        FD_ZERO(&failed);
        for (std::size_t i = 0; i < count && i < FD_SETSIZE; ++i) {
            FD_SET(Native(sockets[i]), &connected);
            FD_SET(Native(sockets[i]), &failed);
        }
        const int ready = select(0, nullptr, &connected, &failed, &timeout);
        if (ready == SOCKET_ERROR) {
            // A wait that cannot be made ends the first attempt.
            *which = 0;
            Fail();
            return ConnectState::FAILED;
        }
        for (std::size_t i = 0; ready > 0 && i < count; ++i) {
            const SOCKET fd = Native(sockets[i]);
            if (!FD_ISSET(fd, &connected) && !FD_ISSET(fd, &failed)) continue;
            *which = i;
            int error = 0;
            int length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) ==
                SOCKET_ERROR)
                error = WSAGetLastError();
            if (error == 0 && FD_ISSET(fd, &connected)) return ConnectState::CONNECTED;
            s_LastError = error != 0 ? error : WSAECONNREFUSED;
            return ConnectState::FAILED;
        }
    }
}

void SetNoDelay(Socket socket)
{
    const BOOL on = TRUE;
    setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
}

IoStatus SendPieces(Socket socket, const SendPiece* pieces, std::size_t count, Deadline deadline)
{
    std::vector<WSABUF> left;
    left.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t at = 0; at < pieces[i].length;) {
            const std::size_t step = std::min<std::size_t>(pieces[i].length - at, 1u << 30);
            left.push_back({static_cast<ULONG>(step), const_cast<char*>(pieces[i].data + at)});
            at += step;
        }
    std::size_t first = 0;
    while (first < left.size()) {
        DWORD sent = 0;
        const DWORD pending = static_cast<DWORD>(std::min<std::size_t>(left.size() - first, 1024));
        if (WSASend(Native(socket), &left[first], pending, &sent, 0, nullptr, nullptr) ==
            SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail();
            const IoStatus waited = WaitFor(socket, Readiness::WRITE, deadline);
            if (waited != IoStatus::OK) return waited;
            continue;
        }
        if (sent == 0) {
            s_LastError = WSAECONNRESET;
            return IoStatus::FAILED;
        }
        while (sent > 0 && first < left.size()) {
            WSABUF& piece = left[first];
            const DWORD step = std::min<DWORD>(sent, piece.len);
            piece.buf += step;
            piece.len -= step;
            sent -= step;
            if (piece.len == 0) ++first;
        }
    }
    return IoStatus::OK;
}

IoStatus ReceiveSome(Socket socket, char* buffer, std::size_t capacity, Deadline deadline,
                     std::size_t* received)
{
    *received = 0;
    if (capacity == 0) {
        s_LastError = WSAEMSGSIZE;
        return IoStatus::FAILED;
    }
    const int wanted = static_cast<int>(std::min<std::size_t>(capacity, 1u << 30));
    for (;;) {
        const int got = recv(Native(socket), buffer, wanted, 0);
        if (got > 0) {
            *received = static_cast<std::size_t>(got);
            return IoStatus::OK;
        }
        if (got == 0) {  // the peer closed the connection
            s_LastError = 0;
            return IoStatus::FAILED;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return Fail();
        const IoStatus waited = WaitFor(socket, Readiness::READ, deadline);
        if (waited != IoStatus::OK) return waited;
    }
}

bool GetLocalHostName(char* buffer, std::size_t capacity)
{
    if (capacity == 0) return false;
    const int length = static_cast<int>(std::min<std::size_t>(capacity, 1u << 30));
    if (gethostname(buffer, length) == SOCKET_ERROR) {
        s_LastError = WSAGetLastError();
        buffer[0] = '\0';
        return false;
    }
    if (std::memchr(buffer, '\0', capacity) == nullptr) {
        buffer[0] = '\0';
        s_LastError = WSAEFAULT;
        return false;
    }
    return true;
}

Socket ListenOnLoopback(std::uint16_t* port)
{
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd == INVALID_SOCKET) {
        s_LastError = WSAGetLastError();
        return kInvalidSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    BOOL exclusive = TRUE;  // no other program may take the port over
    if (setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive) == SOCKET_ERROR ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        listen(fd, 4) == SOCKET_ERROR ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR ||
        ioctlsocket(fd, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        s_LastError = WSAGetLastError();
        closesocket(fd);
        return kInvalidSocket;
    }
    *port = ntohs(address.sin_port);
    return static_cast<Socket>(fd);
}

namespace {

// A console signals mouse and focus events too: only a key pressed counts,
// the rest is dropped so that the wait goes on.
bool ConsoleKeyWaiting(HANDLE input)
{
    INPUT_RECORD record{};
    DWORD count = 0;
    while (PeekConsoleInputW(input, &record, 1, &count) && count == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return true;
        ReadConsoleInputW(input, &record, 1, &count);
    }
    return false;
}

// A pipe cannot be asked whether a line waits (Wine's pipes cannot even be
// peeked at): a thread reads its first byte, which is put back for the
// reader once it has come. The thread outlives a wait that ends otherwise.
struct PipeWatch {
    HANDLE done = nullptr;  // set when the byte, the end or an error came
    char byte = 0;
    DWORD got = 0;
};
PipeWatch s_PipeWatch;

DWORD WINAPI ReadFirstByte(void*)
{
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &s_PipeWatch.byte, 1, &s_PipeWatch.got, nullptr))
        s_PipeWatch.got = 0;
    SetEvent(s_PipeWatch.done);
    return 0;
}

bool PipeByteWaiting()
{
    if (!s_PipeWatch.done) {
        s_PipeWatch.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const HANDLE thread = s_PipeWatch.done
                                  ? CreateThread(nullptr, 0, ReadFirstByte, nullptr, 0, nullptr)
                                  : nullptr;
        if (!thread) return true;  // then the reader waits for the input itself
        CloseHandle(thread);
    }
    if (WaitForSingleObject(s_PipeWatch.done, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(s_PipeWatch.done);
    s_PipeWatch.done = nullptr;
    if (s_PipeWatch.got == 1) std::ungetc(static_cast<unsigned char>(s_PipeWatch.byte), stdin);
    return true;  // at the end of the input too: the reader sees it
}

}  // namespace

// Standard input may be a console, a pipe or a file; none of them can be
// waited for together with a socket, so both are looked at in turns.
WaitResult WaitForConnectionOrInput(Socket listener, bool watchInput, Deadline deadline)
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = watchInput ? GetFileType(input) : FILE_TYPE_UNKNOWN;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left <= 0) return WaitResult::TIMED_OUT;
        // A tenth of a second between looks at the input.
        const long step =
            static_cast<long>(std::min<long long>(left, watchInput ? 100000 : 1000000));
        timeval timeout{step / 1000000, step % 1000000};
        fd_set wanted;
        FD_ZERO(&wanted);
        FD_SET(Native(listener), &wanted);
        const int ready = select(0, &wanted, nullptr, nullptr, &timeout);
        if (ready == SOCKET_ERROR) {
            s_LastError = WSAGetLastError();
            return WaitResult::FAILED;
        }
        if (ready > 0) return WaitResult::CONNECTION;
        if (!watchInput) continue;
        if (type == FILE_TYPE_DISK || (type == FILE_TYPE_PIPE && PipeByteWaiting()) ||
            (type == FILE_TYPE_CHAR && ConsoleKeyWaiting(input)))
            return WaitResult::INPUT;
    }
}

Socket AcceptConnection(Socket listener)
{
    const SOCKET fd = accept(Native(listener), nullptr, nullptr);
    u_long nonBlocking = 1;
    if (fd == INVALID_SOCKET || ioctlsocket(fd, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        s_LastError = WSAGetLastError();
        if (fd != INVALID_SOCKET) closesocket(fd);
        return kInvalidSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Socket>(fd);
}

}  // namespace platform
