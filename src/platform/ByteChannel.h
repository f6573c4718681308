#pragma once

#include <cstddef>

#include "platform/Sockets.h"

namespace platform {

// The bytes a TLS session travels over: a connected socket, or a pipe in
// memory. The calls keep the contract of the socket calls: Send delivers
// every byte of every piece before the deadline; Receive waits until the
// deadline for some bytes (bytes that have already arrived are taken even
// when it has passed), and a closed connection gives FAILED.
class ByteChannel {
public:
    virtual ~ByteChannel() = default;

    virtual IoStatus Send(const SendPiece* pieces, std::size_t count, Deadline deadline) = 0;
    virtual IoStatus Receive(char* buffer, std::size_t capacity, Deadline deadline,
                             std::size_t* received) = 0;
    // After a call that FAILED: the system's error code, or 0 when the peer
    // closed the connection.
    virtual int LastError() const { return LastSocketError(); }
};

}  // namespace platform
