#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/ByteChannel.h"
#include "platform/Sockets.h"

// TLS client sessions over a byte channel (a connected socket). Certificates are always
// verified: TLS 1.2 at least, the chain against the system's trust store or
// one CA file, the name against the host the user wrote; a pinned
// fingerprint replaces the chain and name checks. There is no switch that
// turns verification off.
namespace platform {

struct TlsPeer {
    std::string host;         // as the user wrote it: a name (also sent as SNI) or an IP address
    std::string caFile;       // PEM file trusted instead of the system store; empty: the store
    std::string fingerprint;  // "SHA256:" and hex, colons allowed, any case; empty: no pin
};

// NOT_TLS: the handshake failed because the server does not speak TLS (it
// answered in plain text, say).
enum class TlsResult { OK, HANDSHAKE_FAILED, NOT_TLS, CERTIFICATE_REFUSED, TIMED_OUT };

// One session; it runs over a channel that it does not own (the caller keeps
// it open while the session lives and closes it afterwards).
class TlsSession {
public:
    // Handshakes before the deadline and verifies the server. On failure,
    // returns nullptr with *result set and *why saying in words what was
    // wrong (text from the certificate escaped):
    // - CERTIFICATE_REFUSED: the chain is untrusted, expired or not yet valid,
    //   the name does not match (the message lists the certificate's names and
    //   the one expected), a pin does not match (both fingerprints) or is not
    //   a valid fingerprint;
    // - NOT_TLS: the server answered in plain text (the message quotes its
    //   first line) or with bytes that are no TLS record;
    // - HANDSHAKE_FAILED: the library's reason (an alert's name, a closed
    //   connection), the CA file cannot be read, or TLS is not built in;
    // - TIMED_OUT: the deadline passed first.
    static std::unique_ptr<TlsSession> Start(ByteChannel& channel, const TlsPeer& peer,
                                             Deadline deadline, TlsResult* result,
                                             std::string* why);
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;
    ~TlsSession();

    // As SendPieces: every byte of every piece, in order, before the deadline,
    // in records of up to 16 KiB. FAILED when the peer has gone away (never a
    // signal) or the session broke; TIMED_OUT.
    IoStatus Send(const SendPiece* pieces, std::size_t count, Deadline deadline);
    // As ReceiveSome: waits until the deadline for data and reads at most
    // capacity bytes. FAILED for a close_notify, a closed connection, a broken
    // session or a capacity of 0; TIMED_OUT.
    IoStatus Receive(char* buffer, std::size_t capacity, Deadline deadline, std::size_t* received);
    // After a call that FAILED: why the session broke, in words: the alert
    // the server sent, "the server closed the connection without
    // close_notify", a system error. Empty after the server's close_notify.
    std::string Failure() const;
    // True when bytes have arrived (decrypted, or raw records) that no
    // Receive has returned yet.
    bool HasPendingBytes() const;
    // "TLSv1.3, TLS_AES_256_GCM_SHA384, subject CN=localhost"
    std::string Description() const;
    // Sends close_notify without waiting for the server's; best effort, and
    // nothing after a failed call.
    void Shutdown(Deadline deadline);

private:
    struct State;
    explicit TlsSession(std::unique_ptr<State> state);
    std::unique_ptr<State> m_State;
};

// "SHA256:" (any case) and 64 hex digits, colons allowed anywhere after the
// prefix; *normalisedHex gets the 64 digits in upper case. False for any
// other text.
bool ParseFingerprint(const std::string& text, std::string* normalisedHex);

// A pin setting: empty (no pin, *pin is cleared) or a fingerprint as above.
bool ReadPin(const std::string& text, std::string* pin);

}  // namespace platform
