#pragma once

#include <cstddef>
#include <memory>

#include "platform/Sockets.h"

namespace transport {

// The bytes of one connection: plain TCP today, TLS over it when asked for.
// The calls keep the contract of the platform socket calls: Send delivers
// every byte of every piece before the deadline, Receive waits for some
// bytes, and a closed connection gives FAILED.
class Stream {
public:
    virtual ~Stream() = default;

    virtual platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                                    platform::Deadline deadline) = 0;
    virtual platform::IoStatus Receive(char* buffer, std::size_t capacity,
                                       platform::Deadline deadline, std::size_t* received) = 0;
    // Ends the session politely where the protocol has a way to; never throws.
    virtual void Close() {}
    // The socket underneath, for a TLS session to run over.
    virtual platform::Socket Handle() const { return platform::kInvalidSocket; }
};

// A connected TCP socket, closed when the stream goes.
class SocketStream : public Stream {
public:
    explicit SocketStream(platform::Socket socket) : m_Socket(socket) {}
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;
    ~SocketStream() override { platform::CloseSocket(m_Socket); }

    platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                            platform::Deadline deadline) override
    {
        return platform::SendPieces(m_Socket, pieces, count, deadline);
    }
    platform::IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline deadline,
                               std::size_t* received) override
    {
        return platform::ReceiveSome(m_Socket, buffer, capacity, deadline, received);
    }

    platform::Socket Handle() const override { return m_Socket; }

private:
    platform::Socket m_Socket;
};

}  // namespace transport
