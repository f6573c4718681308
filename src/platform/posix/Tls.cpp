#include "platform/Tls.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/TlsCommon.h"

namespace platform {
namespace {

constexpr std::size_t kRecordSize = 16384;   // the largest TLS record's payload
constexpr std::size_t kShownBytes = 80;      // of a plain-text answer, in a message
constexpr std::size_t kGatherSize = 262144;  // encrypted bytes sent in one call

struct Free {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(BIO_METHOD* p) const { BIO_meth_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

Owned<X509> Share(X509* certificate)
{
    if (certificate) X509_up_ref(certificate);
    return Owned<X509>(certificate);
}

IoStatus WaitFor(int fd, short events, Deadline deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return IoStatus::TIMED_OUT;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready > 0) return IoStatus::OK;
        if (ready < 0 && errno != EINTR) return IoStatus::FAILED;
    }
}

// The socket under the session. OpenSSL's own socket BIO writes with
// write(), which raises SIGPIPE on a connection the server has closed; this
// one sends with MSG_NOSIGNAL. It also keeps the first bytes the server
// sent, to tell a plain-text answer from a failed handshake.
// While a Send gathers, finished records wait in outgoing and leave in few
// large sends: a send per 16 KiB record costs more than the encryption.
struct Wire {
    int fd;
    std::string firstBytes;
    bool gathering = false;
    std::string outgoing;
};

int WireWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    auto* wire = static_cast<Wire*>(BIO_get_data(bio));
    if (wire->gathering) {
        wire->outgoing.append(data, static_cast<std::size_t>(length));
        return length;
    }
    const ssize_t sent =
        send(wire->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
    return -1;
}

int WireRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    auto* wire = static_cast<Wire*>(BIO_get_data(bio));
    const ssize_t got = recv(wire->fd, data, static_cast<std::size_t>(length), MSG_DONTWAIT);
    if (got > 0) {
        const std::size_t room = kShownBytes - std::min(kShownBytes, wire->firstBytes.size());
        wire->firstBytes.append(data, std::min(room, static_cast<std::size_t>(got)));
        return static_cast<int>(got);
    }
    if (got == 0) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(bio);
    return -1;
}

long WireControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

Owned<BIO_METHOD> WireMethod()
{
    Owned<BIO_METHOD> method(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillex socket"));
    if (!method || !BIO_meth_set_write(method.get(), WireWrite) ||
        !BIO_meth_set_read(method.get(), WireRead) || !BIO_meth_set_ctrl(method.get(), WireControl))
        return nullptr;
    return method;
}

// The SHA-256 of the DER certificate, in upper-case hex without colons.
std::string FingerprintOf(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || !X509_digest(certificate, EVP_sha256(), digest, &length)) return "";
    return HexText(digest, length);
}

std::string NameText(const X509_NAME* name)
{
    Owned<BIO> memory(BIO_new(BIO_s_mem()));
    if (!memory || X509_NAME_print_ex(memory.get(), name, 0, XN_FLAG_RFC2253) < 0) return "?";
    char* data = nullptr;
    const long length = BIO_get_mem_data(memory.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string DateText(const ASN1_TIME* time)
{
    std::tm fields{};
    if (!time || !ASN1_TIME_to_tm(time, &fields)) return "?";
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &fields);
    return text;
}

std::string AddressText(const ASN1_OCTET_STRING* address)
{
    const int length = ASN1_STRING_length(address);
    char text[INET6_ADDRSTRLEN] = "?";
    const int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : 0;
    if (family) inet_ntop(family, ASN1_STRING_get0_data(address), text, sizeof text);
    return text;
}

// The DNS names and IP addresses the certificate is for, or its common name
// when it has none.
std::string NamesOf(X509* certificate)
{
    std::string names;
    Owned<GENERAL_NAMES> alternatives(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        std::string one;
        if (name->type == GEN_DNS)
            one.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                       static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
        else if (name->type == GEN_IPADD)
            one = AddressText(name->d.iPAddress);
        if (!one.empty()) names += (names.empty() ? "" : ", ") + one;
    }
    return names.empty() ? NameText(X509_get_subject_name(certificate)) : names;
}

// What the chain check found: the server's certificate and the first fault
// in its chain. The check calls back with each certificate.
struct Verification {
    bool pinned = false;
    Owned<X509> leaf;
    int fault = X509_V_OK;
    Owned<X509> faultCertificate;
};

int Verify(int ok, X509_STORE_CTX* store)
{
    SSL* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* found = static_cast<Verification*>(SSL_get_app_data(ssl));
    if (!found->leaf) found->leaf = Share(X509_STORE_CTX_get0_cert(store));
    if (!ok && found->fault == X509_V_OK) {
        found->fault = X509_STORE_CTX_get_error(store);
        found->faultCertificate = Share(X509_STORE_CTX_get_current_cert(store));
    }
    // A pinned certificate is judged by its fingerprint alone, after the handshake.
    return found->pinned ? 1 : ok;
}

// The reason of the last OpenSSL error, or of a system call that failed
// under it (OpenSSL's own word for those is only "system lib"). Empties
// OpenSSL's error queue.
std::string FailureReason(int sslError, int savedErrno)
{
    std::string reason;
    int system = 0;
    while (const unsigned long code = ERR_get_error()) {
        if (ERR_SYSTEM_ERROR(code)) system = ERR_GET_REASON(code);
        const char* text = ERR_reason_error_string(code);
        reason = text ? text : "error " + std::to_string(code);
    }
    if (system != 0) return std::strerror(system);
    if (!reason.empty()) return reason;
    if (sslError == SSL_ERROR_SYSCALL && savedErrno != 0) return std::strerror(savedErrno);
    return "the connection was closed";
}

}  // namespace

struct TlsSession::State {
    Wire wire;
    std::string host;
    std::string pin;  // upper-case hex; empty when none
    Owned<BIO_METHOD> method;
    Owned<SSL_CTX> context;
    Owned<SSL> ssl;
    Verification verification;
    bool broken = false;             // after a fatal error nothing more may be sent
    int lastError = SSL_ERROR_NONE;  // of the last failed call, with its errno
    int lastErrno = 0;

    TlsResult Configure(const TlsPeer& peer, std::string* why);
    TlsResult Handshake(Deadline deadline, std::string* why);
    TlsResult Refusal(std::string* why) const;
    std::string PlainTextAnswer();
    template <class Call>
    IoStatus Drive(Deadline deadline, Call call);
    IoStatus WriteRecord(const char* data, std::size_t length, Deadline deadline);
    IoStatus SendGathered(Deadline deadline);
};

TlsResult TlsSession::State::Configure(const TlsPeer& peer, std::string* why)
{
    host = peer.host;
    if (!CheckTlsPeer(peer, &pin, why)) return TlsResult::CERTIFICATE_REFUSED;
    method = WireMethod();
    context.reset(SSL_CTX_new(TLS_client_method()));
    if (!method || !context || !SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION)) {
        *why = "TLS cannot be set up: " + FailureReason(SSL_ERROR_SSL, 0);
        return TlsResult::HANDSHAKE_FAILED;
    }
    const bool trusted = peer.caFile.empty() ? SSL_CTX_set_default_verify_paths(context.get())
                                             : SSL_CTX_load_verify_locations(
                                                   context.get(), peer.caFile.c_str(), nullptr);
    if (!trusted) {
        *why = peer.caFile.empty() ? "the system's trust store cannot be read"
                                   : "the CA file \"" + peer.caFile + "\" cannot be read";
        *why += ": " + FailureReason(SSL_ERROR_SSL, 0);
        return TlsResult::HANDSHAKE_FAILED;
    }
    ssl.reset(SSL_new(context.get()));
    BIO* bio = ssl ? BIO_new(method.get()) : nullptr;
    if (!bio) {
        *why = "TLS cannot be set up: " + FailureReason(SSL_ERROR_SSL, 0);
        return TlsResult::HANDSHAKE_FAILED;
    }
    BIO_set_data(bio, &wire);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl.get(), bio, bio);
    verification.pinned = !pin.empty();
    SSL_set_app_data(ssl.get(), &verification);
    SSL_set_verify(ssl.get(), SSL_VERIFY_PEER, Verify);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    // An IP address is checked against the certificate's addresses and never sent as SNI.
    if (!X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) &&
        (!SSL_set1_host(ssl.get(), host.c_str()) ||
         !SSL_set_tlsext_host_name(ssl.get(), host.c_str()))) {
        *why = "the host name \"" + host +
               "\" cannot be used for TLS: " + FailureReason(SSL_ERROR_SSL, 0);
        return TlsResult::HANDSHAKE_FAILED;
    }
    return TlsResult::OK;
}

// Runs an OpenSSL call until it succeeds, waiting on the socket as OpenSSL
// asks. A fatal error or the deadline marks the session broken.
template <class Call>
IoStatus TlsSession::State::Drive(Deadline deadline, Call call)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = call();
        if (result > 0) return IoStatus::OK;
        lastError = SSL_get_error(ssl.get(), result);
        lastErrno = errno;
        const short events = lastError == SSL_ERROR_WANT_READ    ? POLLIN
                             : lastError == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                                 : 0;
        const IoStatus waited = events ? WaitFor(wire.fd, events, deadline) : IoStatus::FAILED;
        if (waited != IoStatus::OK) {
            broken = true;
            return waited;
        }
    }
}

TlsResult TlsSession::State::Handshake(Deadline deadline, std::string* why)
{
    const IoStatus status = Drive(deadline, [this] { return SSL_connect(ssl.get()); });
    if (status == IoStatus::OK) return TlsResult::OK;
    if (verification.fault != X509_V_OK && pin.empty()) return Refusal(why);
    if (status == IoStatus::TIMED_OUT) {
        *why = "the TLS handshake did not finish within the time limit";
        return TlsResult::TIMED_OUT;
    }
    const std::string plain = PlainTextAnswer();
    if (!plain.empty())
        *why = "the server did not answer in TLS (it sent plain text: \"" + plain + "\")";
    else if (wire.firstBytes.empty() && ERR_peek_last_error() == 0)
        *why = "the server closed the connection during the TLS handshake";
    else
        *why = "the TLS handshake failed: " + FailureReason(lastError, lastErrno);
    return TlsResult::HANDSHAKE_FAILED;
}

// The first line the server sent, when it begins like text rather than a
// TLS record; the rest of a greeting that already arrived is read without
// waiting.
std::string TlsSession::State::PlainTextAnswer()
{
    if (wire.firstBytes.empty() || wire.firstBytes[0] < 0x20 || wire.firstBytes[0] > 0x7E)
        return "";
    char more[kShownBytes];
    const std::size_t room = kShownBytes - std::min(kShownBytes, wire.firstBytes.size());
    const ssize_t got = recv(wire.fd, more, room, MSG_DONTWAIT);
    if (got > 0) wire.firstBytes.append(more, static_cast<std::size_t>(got));
    std::string line;
    for (const char c : wire.firstBytes) {
        if (c == '\r' || c == '\n') break;
        line += c >= 0x20 && c <= 0x7E ? c : '?';
    }
    return line;
}

TlsResult TlsSession::State::Refusal(std::string* why) const
{
    const Owned<X509>& leaf = verification.leaf;
    X509* certificate =
        verification.faultCertificate ? verification.faultCertificate.get() : leaf.get();
    const int fault = verification.fault;
    switch (fault) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        *why = "certificate name mismatch: the certificate is for " +
               (leaf ? NamesOf(leaf.get()) : std::string("?")) + "; expected " + host;
        break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        *why = std::string("certificate has expired (notAfter ") +
               DateText(certificate ? X509_get0_notAfter(certificate) : nullptr) + ")";
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        *why = std::string("certificate is not yet valid (notBefore ") +
               DateText(certificate ? X509_get0_notBefore(certificate) : nullptr) + ")";
        break;
    default:
        *why = X509_verify_cert_error_string(fault);
        if (certificate)
            *why += " (subject " + NameText(X509_get_subject_name(certificate)) + ", issuer " +
                    NameText(X509_get_issuer_name(certificate)) + ")";
    }
    return TlsResult::CERTIFICATE_REFUSED;
}

// The same buffer and length go to every retry, as OpenSSL requires.
IoStatus TlsSession::State::WriteRecord(const char* data, std::size_t length, Deadline deadline)
{
    std::size_t written = 0;
    return Drive(deadline, [&] { return SSL_write_ex(ssl.get(), data, length, &written); });
}

IoStatus TlsSession::State::SendGathered(Deadline deadline)
{
    std::size_t done = 0;
    while (done < wire.outgoing.size()) {
        const ssize_t sent = send(wire.fd, wire.outgoing.data() + done, wire.outgoing.size() - done,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const IoStatus waited = WaitFor(wire.fd, POLLOUT, deadline);
            if (waited == IoStatus::OK) continue;
            broken = true;
            return waited;
        }
        broken = true;  // the records would be out of step with the session
        return IoStatus::FAILED;
    }
    wire.outgoing.clear();
    return IoStatus::OK;
}

TlsSession::TlsSession(std::unique_ptr<State> state) : m_State(std::move(state)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Start(Socket socket, const TlsPeer& peer, Deadline deadline,
                                              TlsResult* result, std::string* why)
{
    why->clear();
    auto state = std::make_unique<State>();
    state->wire.fd = static_cast<int>(socket);
    *result = state->Configure(peer, why);
    if (*result == TlsResult::OK) *result = state->Handshake(deadline, why);
    if (*result == TlsResult::OK && !state->pin.empty()) {
        const std::string found = FingerprintOf(SSL_get0_peer_certificate(state->ssl.get()));
        if (found != state->pin) {
            *why = "the pinned fingerprint " + ShownFingerprint(state->pin) +
                   " does not match the server's " + ShownFingerprint(found);
            *result = TlsResult::CERTIFICATE_REFUSED;
        }
    }
    if (*result != TlsResult::OK) return nullptr;
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(state)));
}

IoStatus TlsSession::Send(const SendPiece* pieces, std::size_t count, Deadline deadline)
{
    if (m_State->broken) return IoStatus::FAILED;
    State& state = *m_State;
    state.wire.gathering = true;
    std::vector<char> record;
    record.reserve(kRecordSize);
    // Full records are encrypted into the gathered bytes, which leave whenever
    // they reach kGatherSize and at the end.
    const auto seal = [&]() {
        IoStatus status = state.WriteRecord(record.data(), record.size(), deadline);
        record.clear();
        if (status == IoStatus::OK && state.wire.outgoing.size() >= kGatherSize)
            status = state.SendGathered(deadline);
        return status;
    };
    IoStatus status = IoStatus::OK;
    for (std::size_t i = 0; i < count && status == IoStatus::OK; ++i) {
        const char* data = pieces[i].data;
        std::size_t left = pieces[i].length;
        while (left > 0 && status == IoStatus::OK) {
            const std::size_t step = std::min(left, kRecordSize - record.size());
            record.insert(record.end(), data, data + step);
            data += step;
            left -= step;
            if (record.size() == kRecordSize) status = seal();
        }
    }
    if (status == IoStatus::OK && !record.empty()) status = seal();
    state.wire.gathering = false;
    if (status == IoStatus::OK) status = state.SendGathered(deadline);
    state.wire.outgoing.clear();
    return status;
}

IoStatus TlsSession::Receive(char* buffer, std::size_t capacity, Deadline deadline,
                             std::size_t* received)
{
    *received = 0;
    if (capacity == 0 || m_State->broken) return IoStatus::FAILED;
    return m_State->Drive(
        deadline, [&] { return SSL_read_ex(m_State->ssl.get(), buffer, capacity, received); });
}

bool TlsSession::HasPendingBytes() const
{
    return SSL_pending(m_State->ssl.get()) > 0 || SSL_has_pending(m_State->ssl.get()) == 1;
}

std::string TlsSession::Description() const
{
    SSL* ssl = m_State->ssl.get();
    std::string text = std::string(SSL_get_version(ssl)) + ", " + SSL_get_cipher_name(ssl);
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (certificate) text += ", subject " + NameText(X509_get_subject_name(certificate));
    return text;
}

void TlsSession::Shutdown(Deadline deadline)
{
    if (m_State->broken) return;
    // 0 means "sent; the server's close_notify not yet read", which is all we wait for.
    for (;;) {
        ERR_clear_error();
        const int result = SSL_shutdown(m_State->ssl.get());
        if (result >= 0) return;
        if (SSL_get_error(m_State->ssl.get(), result) != SSL_ERROR_WANT_WRITE ||
            WaitFor(m_State->wire.fd, POLLOUT, deadline) != IoStatus::OK) {
            m_State->broken = true;
            return;
        }
    }
}

}  // namespace platform
