#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "platform/Tls.h"
#include "transport/Reply.h"
#include "transport/ServerName.h"
#include "transport/Stream.h"

namespace transport {

// The addresses to try for a host, in order; none when it does not resolve.
// A dotted IPv4 address never goes through name lookup.
std::vector<platform::SocketAddress> HostAddresses(const std::string& host, std::uint16_t port);

// One connection to a server: its stream, and the reader of its replies.
class Connection {
public:
    // Tries the server's addresses in order within the connect time limit.
    // FAILED_TO_OBTAIN_SOCKET_HANDLE, FAILED_TO_CONNECT (also for a host that
    // does not resolve: nothing is connected then). tlsHint ends the message
    // of a handshake on an implicit TLS port whose server does not speak TLS:
    // which port takes which scheme.
    Connection(const ServerName& server, const char* tlsHint);
    // Over a stream already connected (a test's, say).
    explicit Connection(std::unique_ptr<Stream> stream, ServerName server = {},
                        const char* tlsHint = "");
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // One unit: the "Posting:" line under -d, then every byte. FAILED_TO_SEND.
    void SendUnit(const char* data, std::size_t length);
    // A line that holds a secret, sent with its CR LF; under -d it shows as
    // shown. FAILED_TO_SEND.
    void SendHidden(const std::string& line, const std::string& shown);
    // Commands that leave in one call, each shown under -d. FAILED_TO_SEND.
    void SendBatch(const std::vector<std::string>& lines);
    // Several units in one call, without debug lines. FAILED_TO_SEND.
    void SendUnits(const platform::SendPiece* units, std::size_t count);
    // One reply within limit seconds, not judged. FAILED_TO_RECEIVE.
    void ReadReply(int limit, ReplyEnd end = ReplyEnd::FINAL_LINE)
    {
        m_Replies.Read(*m_Stream, limit, end);
    }
    const ReplyReader& LastReply() const { return m_Replies; }
    // While pipelining, one read may hold several replies: each is read on its own.
    void SetPipelined(bool pipelined) { m_Replies.SetSplitting(pipelined); }

    // The handshake within the connect time limit; from then on every byte
    // goes through TLS, and a failure inside it is TLS_FAILED with its
    // reason. TLS_FAILED, CERTIFICATE_REFUSED.
    void StartTls(const platform::TlsPeer& peer);
    // TLS_FAILED, naming the server and what went wrong.
    [[noreturn]] void FailTls(const std::string& why) const;
    // The server as the user wrote it, and the address that answered.
    const ServerName& Server() const { return m_Server; }
    const std::string& Address() const { return m_Address; }
    // The TLS protocol version in use ("TLSv1.3"); empty before a handshake.
    const std::string& TlsVersion() const { return m_TlsVersion; }
    // The SASL mechanism a login went with; empty without a login.
    const std::string& AuthMechanism() const { return m_AuthMechanism; }
    void NoteAuthMechanism(const std::string& name) { m_AuthMechanism = name; }

private:
    [[noreturn]] void FailHandshake(platform::TlsResult result, const std::string& why,
                                    int limit) const;

    ServerName m_Server{};
    std::string m_Address;
    const char* m_TlsHint = "";
    std::string m_TlsVersion;
    std::string m_AuthMechanism;
    std::unique_ptr<Stream> m_Stream;
    ReplyReader m_Replies;
};

}  // namespace transport
