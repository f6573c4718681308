#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/Reply.h"
#include "transport/Stream.h"

namespace transport {

struct ServerAddress {
    std::string host;
    std::uint16_t port;
};

// One connection to a server: its stream, and the reader of its replies.
class Connection {
public:
    // FAILED_TO_OBTAIN_SOCKET_HANDLE, FAILED_TO_CONNECT (also for a host that
    // does not resolve: nothing is connected then).
    explicit Connection(const ServerAddress& server);
    // Over a stream already connected (a test's, say).
    explicit Connection(std::unique_ptr<Stream> stream);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // One unit: the "Posting:" line under -d, then every byte. FAILED_TO_SEND.
    void SendUnit(const char* data, std::size_t length);
    // Several units in one call, without debug lines. FAILED_TO_SEND.
    void SendUnits(const platform::SendPiece* units, std::size_t count);
    // One reply within limit seconds, not judged. FAILED_TO_RECEIVE.
    void ReadReply(int limit) { m_Replies.Read(*m_Stream, limit); }
    const ReplyReader& LastReply() const { return m_Replies; }

private:
    std::unique_ptr<Stream> m_Stream;
    ReplyReader m_Replies;
};

}  // namespace transport
