#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Blocking-style IPv4 stream sockets with time limits. The transport talks to
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

// A new IPv4 TCP socket, or kInvalidSocket.
Socket OpenStreamSocket();
void CloseSocket(Socket socket);

// The address (network byte order) of a dotted IPv4 text, or kAddressNone.
std::uint32_t ParseDottedAddress(const char* text);
// Looks the name up as an IPv4 host; false when it has no address.
bool LookupHostAddress(const char* name, std::uint32_t* address);
// Records the resolver's "no such host" code for a name that was not looked
// up because it cannot name a host (empty, or the address 0).
void NoteHostNotFound();

// Connects to address (network byte order) and port before the deadline.
IoStatus ConnectSocket(Socket socket, std::uint32_t address, std::uint16_t port,
                       Deadline deadline);
// Sends small segments at once (the last unit of a message must not wait).
void SetNoDelay(Socket socket);

// Sends every byte of every piece, in order, before the deadline. A peer
// that has gone away gives FAILED, never a signal.
IoStatus SendPieces(Socket socket, const SendPiece* pieces, std::size_t count,
                    Deadline deadline);
// Waits until the deadline for data and reads at most capacity bytes into
// buffer. A closed connection or a capacity of 0 gives FAILED.
IoStatus ReceiveSome(Socket socket, char* buffer, std::size_t capacity, Deadline deadline,
                     std::size_t* received);

// This machine's host name, NUL-terminated; false when it does not fit or
// cannot be found.
bool GetLocalHostName(char* buffer, std::size_t capacity);

}  // namespace platform
