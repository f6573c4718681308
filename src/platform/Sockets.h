#pragma once

#include <cstdint>

// Blocking IPv4 stream sockets. The transport talks to the network only
// through these calls; POSIX and Win32 each implement them.
namespace platform {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

}  // namespace platform

namespace platform {

// Ends the socket library; called when the last CSMTPEmail goes after a delivery.
void StopSockets();

}  // namespace platform
