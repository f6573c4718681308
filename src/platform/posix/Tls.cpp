#include "platform/Tls.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/PeerText.h"
#include "platform/TlsCommon.h"
#include "platform/posix/OpenSslLibrary.h"

namespace platform {
namespace {

constexpr std::size_t kRecordSize = 16384;   // the largest TLS record's payload
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

// The channel under the session, for OpenSSL: every read and write waits
// on the channel until the deadline of the call in progress. It keeps the
// first bytes the server sent, to tell a plain-text answer from a failed
// handshake, and how the channel failed.
// While a Send gathers, finished records wait in outgoing and leave in few
// large sends: a send per 16 KiB record costs more than the encryption.
struct Wire {
    ByteChannel* channel = nullptr;
    Deadline deadline{};
    std::string firstBytes;
    bool gathering = false;
    std::string outgoing;
    IoStatus failed = IoStatus::OK;  // of the channel's last failed call
    int error = 0;                   // its code: 0 when the server closed the connection

    IoStatus Send(const char* data, std::size_t length)
    {
        const SendPiece piece{data, length};
        return Note(channel->Send(&piece, 1, deadline));
    }
    IoStatus Note(IoStatus status)
    {
        if (status != IoStatus::OK) {
            failed = status;
            error = channel->LastError();
        }
        return status;
    }
    // Closed in order or reset: either way the server went without close_notify.
    bool Closed() const
    {
        return failed == IoStatus::FAILED && (error == 0 || error == ECONNRESET || error == EPIPE);
    }
};

int WireWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    auto* wire = static_cast<Wire*>(BIO_get_data(bio));
    const auto size = static_cast<std::size_t>(length);
    if (wire->gathering) {
        wire->outgoing.append(data, size);
        return length;
    }
    return wire->Send(data, size) == IoStatus::OK ? length : -1;
}

int WireRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    auto* wire = static_cast<Wire*>(BIO_get_data(bio));
    std::size_t got = 0;
    if (wire->Note(wire->channel->Receive(data, static_cast<std::size_t>(length), wire->deadline,
                                          &got)) != IoStatus::OK)
        return wire->Closed() ? 0 : -1;
    const std::size_t room = kShownBytes - std::min(kShownBytes, wire->firstBytes.size());
    wire->firstBytes.append(data, std::min(room, got));
    return static_cast<int>(got);
}

long WireControl(BIO* bio, int command, long, void*)
{
    if (command == BIO_CTRL_FLUSH) return 1;
    // OpenSSL tells a connection closed without close_notify by this.
    if (command == BIO_CTRL_EOF) return static_cast<Wire*>(BIO_get_data(bio))->Closed() ? 1 : 0;
    return 0;
}

Owned<BIO_METHOD> WireMethod()
{
    Owned<BIO_METHOD> method(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillex channel"));
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

// The DNS names and IP addresses the certificate is for, or its subject
// when it has none.
std::vector<std::string> NamesOf(X509* certificate)
{
    std::vector<std::string> names;
    Owned<GENERAL_NAMES> alternatives(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (name->type == GEN_DNS)
            names.emplace_back(
                reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
        else if (name->type == GEN_IPADD)
            names.push_back(AddressText(name->d.iPAddress));
    }
    if (names.empty()) names.push_back(NameText(X509_get_subject_name(certificate)));
    return names;
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

bool IsAlert(unsigned long code)
{
    return ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) >= SSL_AD_REASON_OFFSET;
}

// The alert's name as OpenSSL knows it: "tlsv13 alert certificate required"
// names the alert "certificate required".
std::string AlertText(unsigned long code)
{
    const char* reason = ERR_reason_error_string(code);
    std::string name = reason ? reason : "";
    const std::size_t at = name.find("alert ");
    name = at == std::string::npos
               ? SSL_alert_desc_string_long(ERR_GET_REASON(code) - SSL_AD_REASON_OFFSET)
               : name.substr(at + 6);
    return "the server sent the alert \"" + name + "\"";
}

// Records that are no TLS at all: the server speaks something else.
bool IsNotTls(unsigned long code)
{
    const int reason = ERR_GET_REASON(code);
    return ERR_GET_LIB(code) == ERR_LIB_SSL &&
           (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
            reason == SSL_R_HTTP_REQUEST || reason == SSL_R_HTTPS_PROXY_REQUEST);
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
    bool broken = false;       // after a fatal error nothing more may be sent
    bool notTls = false;       // the last failure came from bytes that are no TLS
    std::string failure;       // why the session broke; empty for a close_notify or a time-out
    std::vector<char> record;  // the plain text of the next record while a Send gathers

    TlsResult Configure(const TlsPeer& peer, std::string* why);
    TlsResult Handshake(std::string* why);
    TlsResult Refusal(std::string* why) const;
    std::string PlainTextLine();
    template <class Call>
    IoStatus Drive(Deadline deadline, Call call);
    std::string Reason(int sslError);
    void LookForAlert();
    IoStatus WriteRecord(const char* data, std::size_t length, Deadline deadline);
    IoStatus SendGathered(Deadline deadline);
};

// OpenSSL's reason for the last failure, empty for none. Empties OpenSSL's
// error queue.
std::string OpenSslReason()
{
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        const char* text = ERR_reason_error_string(code);
        reason = text ? text : "error " + std::to_string(code);
    }
    return reason;
}

TlsResult TlsSession::State::Configure(const TlsPeer& peer, std::string* why)
{
    host = peer.host;
    if (!CheckTlsPeer(peer, &pin, why)) return TlsResult::CERTIFICATE_REFUSED;
    method = WireMethod();
    context.reset(SSL_CTX_new(TLS_client_method()));
    if (!method || !context || !SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION)) {
        *why = "TLS cannot be set up: " + OpenSslReason();
        return TlsResult::HANDSHAKE_FAILED;
    }
    const bool trusted = peer.caFile.empty() ? SSL_CTX_set_default_verify_paths(context.get())
                                             : SSL_CTX_load_verify_locations(
                                                   context.get(), peer.caFile.c_str(), nullptr);
    if (!trusted) {
        *why = peer.caFile.empty() ? "the system's trust store cannot be read"
                                   : "the CA file \"" + peer.caFile + "\" cannot be read";
        *why += ": " + OpenSslReason();
        return TlsResult::HANDSHAKE_FAILED;
    }
    ssl.reset(SSL_new(context.get()));
    BIO* bio = ssl ? BIO_new(method.get()) : nullptr;
    if (!bio) {
        *why = "TLS cannot be set up: " + OpenSslReason();
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
    const bool usable = IsAddressLiteral(host)
                            ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                            : SSL_set1_host(ssl.get(), host.c_str()) == 1 &&
                                  SSL_set_tlsext_host_name(ssl.get(), host.c_str()) == 1;
    if (!usable) {
        *why = "the host name \"" + core::PrintablePeerText(host) +
               "\" cannot be used for TLS: " + OpenSslReason();
        return TlsResult::HANDSHAKE_FAILED;
    }
    return TlsResult::OK;
}

// Runs an OpenSSL call, whose reads and writes wait on the channel until the
// deadline. A failure marks the session broken and keeps its reason.
template <class Call>
IoStatus TlsSession::State::Drive(Deadline deadline, Call call)
{
    wire.deadline = deadline;
    wire.failed = IoStatus::OK;
    for (;;) {
        ERR_clear_error();
        const int result = call();
        if (result > 0) return IoStatus::OK;
        const int sslError = SSL_get_error(ssl.get(), result);
        const bool retry = sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
        if (retry && wire.failed == IoStatus::OK && std::chrono::steady_clock::now() < deadline)
            continue;
        broken = true;
        if (wire.failed == IoStatus::TIMED_OUT || retry) {
            failure.clear();
            return IoStatus::TIMED_OUT;
        }
        failure = Reason(sslError);
        return IoStatus::FAILED;
    }
}

// Why a call failed: the server's alert, a connection closed without
// close_notify, OpenSSL's reason or the channel's error; empty for the
// server's close_notify.
std::string TlsSession::State::Reason(int sslError)
{
    const unsigned long code = ERR_peek_last_error();
    notTls = IsNotTls(code);
    if (sslError == SSL_ERROR_ZERO_RETURN) return "";
    if (IsAlert(code)) {
        ERR_clear_error();
        return AlertText(code);
    }
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return kClosedWithoutCloseNotify;
    }
    const std::string reason = OpenSslReason();
    if (!reason.empty() && ERR_GET_LIB(code) != ERR_LIB_SYS) return reason;
    if (wire.Closed()) return kClosedWithoutCloseNotify;
    if (wire.failed == IoStatus::FAILED) return std::strerror(wire.error);
    return reason.empty() ? "the TLS session failed" : reason;
}

// After a send failed: an alert the server sent before it went away says
// more than the failed send, and the same whatever the timing.
void TlsSession::State::LookForAlert()
{
    char scratch[256];
    std::size_t got = 0;
    wire.deadline = std::chrono::steady_clock::now();
    ERR_clear_error();
    if (SSL_read_ex(ssl.get(), scratch, sizeof scratch, &got) == 1) return;
    const unsigned long code = ERR_peek_last_error();
    if (IsAlert(code)) failure = AlertText(code);
    ERR_clear_error();
}

TlsResult TlsSession::State::Handshake(std::string* why)
{
    const IoStatus status = Drive(wire.deadline, [this] { return SSL_connect(ssl.get()); });
    if (status == IoStatus::OK) return TlsResult::OK;
    if (verification.fault != X509_V_OK && pin.empty()) return Refusal(why);
    if (status == IoStatus::TIMED_OUT) {
        *why = kHandshakeTimedOut;
        return TlsResult::TIMED_OUT;
    }
    const std::string plain = PlainTextLine();
    if (!plain.empty() || notTls) {
        *why = plain.empty() ? failure : PlainTextAnswer(plain);
        return TlsResult::NOT_TLS;
    }
    *why = failure == kClosedWithoutCloseNotify ? kClosedDuringHandshake : failure;
    return TlsResult::HANDSHAKE_FAILED;
}

// The first line the server sent, when it begins like text rather than a
// TLS record; the rest of a greeting that already arrived is read without
// waiting.
std::string TlsSession::State::PlainTextLine()
{
    if (platform::PlainTextLine(wire.firstBytes).empty()) return "";
    char more[kShownBytes];
    const std::size_t room = kShownBytes - std::min(kShownBytes, wire.firstBytes.size());
    std::size_t got = 0;
    if (room > 0 &&
        wire.channel->Receive(more, room, std::chrono::steady_clock::now(), &got) == IoStatus::OK)
        wire.firstBytes.append(more, got);
    return platform::PlainTextLine(wire.firstBytes);
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
        *why = NameMismatch(leaf ? NamesOf(leaf.get()) : std::vector<std::string>(), host);
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
            *why = CertificateFault(*why, NameText(X509_get_subject_name(certificate)),
                                    NameText(X509_get_issuer_name(certificate)));
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
    wire.deadline = deadline;
    const IoStatus status = wire.Send(wire.outgoing.data(), wire.outgoing.size());
    wire.outgoing.clear();
    if (status != IoStatus::OK) {
        broken = true;  // the records would be out of step with the session
        failure = status == IoStatus::TIMED_OUT ? "" : Reason(SSL_ERROR_SYSCALL);
    }
    return status;
}

TlsSession::TlsSession(std::unique_ptr<State> state) : m_State(std::move(state)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Start(ByteChannel& channel, const TlsPeer& peer,
                                              Deadline deadline, TlsResult* result,
                                              std::string* why)
{
    why->clear();
    if (!LoadSsl().empty()) {
        *why = LoadSsl();
        *result = TlsResult::HANDSHAKE_FAILED;
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->wire.channel = &channel;
    state->wire.deadline = deadline;
    *result = state->Configure(peer, why);
    if (*result == TlsResult::OK) *result = state->Handshake(why);
    if (*result == TlsResult::OK && !state->pin.empty()) {
        const std::string found = FingerprintOf(SSL_get0_peer_certificate(state->ssl.get()));
        if (!PinMatches(state->pin, found)) {
            *why = PinRefusal(state->pin, found);
            *result = TlsResult::CERTIFICATE_REFUSED;
        }
    }
    if (*result != TlsResult::OK) return nullptr;
    // Reserved once for the session, not at every Send.
    state->record.reserve(kRecordSize);
    state->wire.outgoing.reserve(kGatherSize + 2 * kRecordSize);
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(state)));
}

IoStatus TlsSession::Send(const SendPiece* pieces, std::size_t count, Deadline deadline)
{
    if (m_State->broken) return IoStatus::FAILED;
    State& state = *m_State;
    state.wire.gathering = true;
    std::vector<char>& record = state.record;
    // Full records are encrypted into the gathered bytes, which leave whenever
    // they reach kGatherSize and at the end. A record whose bytes lie together
    // in the pieces (the units of a message do) is encrypted where they lie.
    const auto seal = [&](const char* data, std::size_t length) {
        IoStatus status = state.WriteRecord(data, length, deadline);
        if (status == IoStatus::OK && state.wire.outgoing.size() >= kGatherSize)
            status = state.SendGathered(deadline);
        return status;
    };
    IoStatus status = IoStatus::OK;
    for (std::size_t i = 0; i < count && status == IoStatus::OK;) {
        const char* data = pieces[i].data;
        std::size_t left = pieces[i].length;
        for (++i; i < count && pieces[i].data == data + left; ++i) left += pieces[i].length;
        while (left > 0 && status == IoStatus::OK) {
            if (record.empty() && left >= kRecordSize) {
                status = seal(data, kRecordSize);
                data += kRecordSize;
                left -= kRecordSize;
                continue;
            }
            const std::size_t step = std::min(left, kRecordSize - record.size());
            record.insert(record.end(), data, data + step);
            data += step;
            left -= step;
            if (record.size() == kRecordSize) {
                status = seal(record.data(), record.size());
                record.clear();
            }
        }
    }
    if (status == IoStatus::OK && !record.empty()) status = seal(record.data(), record.size());
    record.clear();
    state.wire.gathering = false;
    if (status == IoStatus::OK) status = state.SendGathered(deadline);
    state.wire.outgoing.clear();
    if (status == IoStatus::FAILED) state.LookForAlert();
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

std::string TlsSession::Failure() const
{
    return m_State->failure;
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
    if (certificate)
        text +=
            ", subject " + core::PrintablePeerText(NameText(X509_get_subject_name(certificate)));
    return text;
}

void TlsSession::Shutdown(Deadline deadline)
{
    if (m_State->broken) return;
    // 0 means "sent; the server's close_notify not yet read", which is all we wait for.
    if (m_State->Drive(deadline, [this] { return SSL_shutdown(m_State->ssl.get()) + 1; }) !=
        IoStatus::OK)
        m_State->broken = true;
}

}  // namespace platform
