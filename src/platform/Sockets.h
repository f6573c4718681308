#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Blocking-style IPv4 and IPv6 stream sockets with time limits. The transport talks to
// the network only through these calls; POSIX and Win32 each implement them.
// Every failing call records its error code for LastSocketError().
namespace platform {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Returned by ParseDottedAddress for text that is not a dotted address.
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

enum class IoStatus { OK, FAILED, TIMED_OUT };

// The moment by which a network operation must be done.
using Deadline = std::chrono::steady_clock::time_point;
Deadline DeadlineAfter(int seconds);

// One piece of a vectored send.
struct SendPiece {
    const char* data;
    std::size_t length;
};

// Starts the socket library; false when it cannot be started.
bool StartSockets();
// Ends the socket library; called when the last CSMTPEmail goes after a delivery.
void StopSockets();

// The error code of the last failing call: the system's error number, or the
// resolver's own code after a failed host lookup.
int LastSocketError();
// Records code as the last error (the address lookup's, say).
void SetLastSocketError(int code);

// One address to connect to, with its port: IPv4 or IPv6.
struct SocketAddress {
    int family = 0;
    std::array<unsigned char, 28> bytes{};  // the system's address record
    int length = 0;
    std::string text;  // "127.0.0.1", "::1"
};

// A new TCP socket for the address's family, or kInvalidSocket.
Socket OpenStreamSocket(const SocketAddress& address);
void CloseSocket(Socket socket);

// The address (network byte order) of a dotted IPv4 text, or kAddressNone.
std::uint32_t ParseDottedAddress(const char* text);
// The address (network byte order) and port as a SocketAddress.
SocketAddress IPv4Address(std::uint32_t address, std::uint16_t port);
// Every address of a host name or an IPv6 literal, IPv6 and IPv4, in the
// resolver's order; false when it has none.
bool LookupHostAddresses(const char* name, std::uint16_t port, std::vector<SocketAddress>* found);
// Records the resolver's "no such host" code for a name that was not looked
// up because it cannot name a host (empty, or the address 0).
void NoteHostNotFound();

// Where a connect stands: several may be under way at once, one per address.
enum class ConnectState { CONNECTED, PENDING, FAILED };
// Starts connecting the socket to the address without waiting for it.
ConnectState StartConnect(Socket socket, const SocketAddress& address);
// Waits until one of the pending connects ends (*which is its index) or
// the deadline passes: PENDING then, with a time-out as the last error.
ConnectState WaitForConnect(const Socket* sockets, std::size_t count, Deadline deadline,
                            std::size_t* which);
// Sends small segments at once (the last unit of a message must not wait).
void SetNoDelay(Socket socket);

// Sends every byte of every piece, in order, before the deadline. A peer
// that has gone away gives FAILED, never a signal.
IoStatus SendPieces(Socket socket, const SendPiece* pieces, std::size_t count, Deadline deadline);
// Waits until the deadline for data and reads at most capacity bytes into
// buffer. A closed connection or a capacity of 0 gives FAILED.
IoStatus ReceiveSome(Socket socket, char* buffer, std::size_t capacity, Deadline deadline,
                     std::size_t* received);

// This machine's host name, NUL-terminated; false when it does not fit or
// cannot be found.
bool GetLocalHostName(char* buffer, std::size_t capacity);

// A TCP socket listening on 127.0.0.1 on a port the system chose, which
// *port receives; kInvalidSocket when none can be had.
Socket ListenOnLoopback(std::uint16_t* port);

enum class WaitResult { CONNECTION, INPUT, TIMED_OUT, FAILED };
// Waits until the deadline for a connection on the listener or, when
// watchInput is set, for standard input to be readable.
WaitResult WaitForConnectionOrInput(Socket listener, bool watchInput, Deadline deadline);
// The next connection of the listener, or kInvalidSocket.
Socket AcceptConnection(Socket listener);

}  // namespace platform
