#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/Sockets.h"
#include "transport/ServerName.h"
#include "transport/Stream.h"

namespace transport {

// The first of the addresses to connect within the connect time limit, and
// (*won) the index of its address. FAILED_TO_OBTAIN_SOCKET_HANDLE,
// FAILED_TO_CONNECT (also when there is no address).
std::unique_ptr<SocketStream> ConnectToFirst(const ServerName& server,
                                             const std::vector<platform::SocketAddress>& addresses,
                                             std::size_t* won);

}  // namespace transport
