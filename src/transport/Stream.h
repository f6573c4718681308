#pragma once

#include <cstddef>
#include <memory>

#include "core/SmtpError.h"
#include "platform/ByteChannel.h"
#include "platform/Sockets.h"

namespace transport {

// The bytes of one connection: plain TCP, or TLS over another stream. The
// calls keep the contract of the platform socket calls: Send delivers every
// byte of every piece before the deadline, Receive waits for some bytes,
// and a closed connection gives FAILED.
class Stream : public platform::ByteChannel {
public:
    // Ends the session politely where the protocol has a way to; never throws.
    virtual void Close() {}
    // Throws the error of a Send or Receive that did not give OK: code
    // (FAILED_TO_SEND, FAILED_TO_RECEIVE) with the socket's error code.
    [[noreturn]] virtual void Fail(SmtpError code, const char* call, platform::IoStatus status,
                                   int limit) const;
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

    platform::Socket Handle() const { return m_Socket; }

private:
    platform::Socket m_Socket;
};

}  // namespace transport
