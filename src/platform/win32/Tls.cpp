#include "platform/Tls.h"

// In this order: Windows Sockets before windows.h, which the rest need.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#define SECURITY_WIN32
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <wininet.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/PeerText.h"
#include "platform/TlsCommon.h"
#include "platform/win32/CertCheck.h"

// Schannel is asked not to judge the server itself: on some systems (Wine)
// it would accept any certificate, and it cannot take one CA file as the
// only trust. The program builds and checks the chain and the name, or the
// pin, as soon as the server's certificate has arrived and before its own
// last handshake message goes out.
namespace platform {
namespace {

constexpr std::size_t kReadSize = 16384;  // raw bytes read from the socket at a time
constexpr char kAlertRecord = 0x15;       // a TLS record's first byte: its content type
constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

struct Free {
    void operator()(const CERT_CONTEXT* p) const { CertFreeCertificateContext(p); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, Free>;

struct FreeContextMemory {
    void operator()(void* memory) const { FreeContextBuffer(memory); }
};

struct Credentials {
    CredHandle handle{};
    bool held = false;
    ~Credentials()
    {
        if (held) FreeCredentialsHandle(&handle);
    }
};

struct Context {
    CtxtHandle handle{};
    bool held = false;
    ~Context()
    {
        if (held) DeleteSecurityContext(&handle);
    }
};

// The SHA-256 of the DER certificate, in upper-case hex without colons.
std::string FingerprintOf(const CERT_CONTEXT* certificate)
{
    unsigned char digest[32];
    DWORD length = sizeof digest;
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                               certificate->cbCertEncoded, digest, &length))
        return "";
    return HexText(digest, length);
}

}  // namespace

struct TlsSession::State {
    ByteChannel* channel = nullptr;
    std::string host;
    std::string address;  // the host's address bytes, when it is one
    std::string pin;      // upper-case hex; empty when none
    ServerCertificateCheck trust;
    Credentials credentials;
    Context context;
    SecPkgContext_StreamSizes sizes{};
    Certificate certificate;  // the server's, once it has arrived
    std::string firstBytes;   // to tell a plain-text answer from a failed handshake
    std::string incoming;     // raw bytes not yet used by Schannel
    std::string plain;        // decrypted bytes not yet returned by Receive
    bool peerClosed = false;
    bool broken = false;  // after a fatal error nothing more may be sent
    std::string failure;  // why the session broke; empty for a close_notify or a time-out

    TlsResult Configure(const TlsPeer& peer, std::string* why);
    TlsResult AcquireCredentials(std::string* why);
    TlsResult Handshake(bool fresh, Deadline deadline, std::string* why);
    SECURITY_STATUS Step(bool fresh, bool withInput, std::string* token);
    void KeepExtra(const SecBuffer* extra);
    IoStatus ReadMore(Deadline deadline);
    IoStatus Send(const char* data, std::size_t length, Deadline deadline);
    IoStatus Broken(IoStatus status, const std::string& why);
    std::string ChannelFailure() const;
    TlsResult Failure(IoStatus status, SECURITY_STATUS code, std::string* why);
    std::string PlainTextLine();
    TlsResult Judge(std::string* why);
    SECURITY_STATUS DecryptRecord();
    IoStatus Renegotiate(Deadline deadline);
    IoStatus Seal(std::string* record, std::size_t length, Deadline deadline);
};

TlsResult TlsSession::State::Configure(const TlsPeer& peer, std::string* why)
{
    host = peer.host;
    if (!CheckTlsPeer(peer, &pin, why)) return TlsResult::CERTIFICATE_REFUSED;
    address = IsAddressLiteral(host) ? AddressBytes(host) : "";
    if (IsAddressLiteral(host) && address.empty()) {
        *why = "the host name \"" + core::PrintablePeerText(host) + "\" cannot be used for TLS";
        return TlsResult::HANDSHAKE_FAILED;
    }
    if (!peer.caFile.empty() && !trust.TrustCaFile(peer.caFile, why))
        return TlsResult::HANDSHAKE_FAILED;
    return AcquireCredentials(why);
}

TlsResult TlsSession::State::AcquireCredentials(std::string* why)
{
    SCHANNEL_CRED wanted{};
    wanted.dwVersion = SCHANNEL_CRED_VERSION;
    wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    wanted.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    SECURITY_STATUS status = SEC_E_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_OUTBOUND, nullptr, &wanted, nullptr, nullptr,
                                           &credentials.handle, nullptr);
        credentials.held = status == SEC_E_OK;
        if (credentials.held) return TlsResult::OK;
        // Schannel versions that offer TLS 1.3 only through newer credentials refuse it here.
        wanted.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    }
    *why = "TLS cannot be set up: " + SystemText(static_cast<unsigned long>(status));
    return TlsResult::HANDSHAKE_FAILED;
}

// One call of the handshake: gives Schannel what has arrived (withInput),
// keeps what it did not use, and hands back the token it wants sent.
SECURITY_STATUS TlsSession::State::Step(bool fresh, bool withInput, std::string* token)
{
    SecBuffer input[2] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_TOKEN, &incoming[0]},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputs{SECBUFFER_VERSION, 2, input};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputs{SECBUFFER_VERSION, 1, output};
    // SNI carries names only, never an address.
    std::wstring target = address.empty() ? Wide(host) : std::wstring();
    ULONG granted = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials.handle, fresh ? nullptr : &context.handle,
        fresh && !target.empty() ? &target[0] : nullptr, kRequest, 0, 0,
        withInput ? &inputs : nullptr, 0, &context.handle, &outputs, &granted, nullptr);
    if (fresh) context.held = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
    const std::unique_ptr<void, FreeContextMemory> owned(output[0].pvBuffer);
    token->clear();
    if (output[0].pvBuffer)
        token->assign(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
    // Both of these want the same input again: once more of it has come, or at once.
    if (withInput && status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS)
        KeepExtra(input[1].BufferType == SECBUFFER_EXTRA ? &input[1] : nullptr);
    return status;
}

// Schannel reports the bytes it did not use as the tail of what it was given.
void TlsSession::State::KeepExtra(const SecBuffer* extra)
{
    if (extra && extra->cbBuffer <= incoming.size())
        incoming.erase(0, incoming.size() - extra->cbBuffer);
    else
        incoming.clear();
}

IoStatus TlsSession::State::ReadMore(Deadline deadline)
{
    char chunk[kReadSize];
    std::size_t got = 0;
    const IoStatus status = channel->Receive(chunk, sizeof chunk, deadline, &got);
    if (status != IoStatus::OK) return status;
    const std::size_t room = kShownBytes - std::min(kShownBytes, firstBytes.size());
    firstBytes.append(chunk, std::min(room, got));
    incoming.append(chunk, got);
    return IoStatus::OK;
}

IoStatus TlsSession::State::Send(const char* data, std::size_t length, Deadline deadline)
{
    const SendPiece piece{data, length};
    return channel->Send(&piece, 1, deadline);
}

// Marks the session broken after a failed call, with why (nothing for a
// time-out).
IoStatus TlsSession::State::Broken(IoStatus status, const std::string& why)
{
    broken = true;
    failure = status == IoStatus::TIMED_OUT ? "" : why;
    return status;
}

// Why the channel failed, in words; never an old error code.
// (Closed in order or reset: either way the server went without close_notify.)
std::string TlsSession::State::ChannelFailure() const
{
    const int code = channel->LastError();
    return code == 0 || code == WSAECONNRESET || code == WSAECONNABORTED
               ? kClosedWithoutCloseNotify
               : SystemText(static_cast<unsigned long>(code));
}

// A first session (fresh) or a renegotiation of this one: runs until
// Schannel is done, judging the server's certificate as soon as it arrives.
TlsResult TlsSession::State::Handshake(bool fresh, Deadline deadline, std::string* why)
{
    if (!fresh) certificate.reset();  // judged again: a new handshake may bring a new one
    std::string token;
    SECURITY_STATUS status = Step(fresh, !fresh, &token);
    for (;;) {
        if (FAILED(status) && status != SEC_E_INCOMPLETE_MESSAGE)
            return Failure(IoStatus::OK, status, why);
        if (std::chrono::steady_clock::now() >= deadline)  // also bounds steps that read nothing
            return Failure(IoStatus::TIMED_OUT, status, why);
        if (!certificate) {
            const TlsResult judged = Judge(why);
            if (judged != TlsResult::OK) return judged;
        }
        if (!token.empty()) {
            const IoStatus sent = Send(token.data(), token.size(), deadline);
            if (sent != IoStatus::OK) return Failure(sent, 0, why);
            token.clear();
        }
        if (status == SEC_E_OK) {
            if (certificate) return TlsResult::OK;
            *why = "the server sent no certificate";
            return TlsResult::CERTIFICATE_REFUSED;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE || incoming.empty()) {
            const IoStatus read = ReadMore(deadline);
            // TLS records never begin with a printable character.
            if (read != IoStatus::OK || !PlainTextLine().empty()) return Failure(read, 0, why);
        }
        status = Step(false, true, &token);
    }
}

// Why the handshake failed: the deadline, plain text, a closed connection,
// or Schannel's code.
TlsResult TlsSession::State::Failure(IoStatus status, SECURITY_STATUS code, std::string* why)
{
    broken = true;
    if (status == IoStatus::TIMED_OUT) {
        *why = kHandshakeTimedOut;
        return TlsResult::TIMED_OUT;
    }
    const std::string line = PlainTextLine();
    if (!line.empty()) {
        *why = PlainTextAnswer(line);
        return TlsResult::NOT_TLS;
    }
    if (status != IoStatus::OK)
        *why = ChannelFailure() == kClosedWithoutCloseNotify ? kClosedDuringHandshake
                                                             : ChannelFailure();
    else
        *why = SystemText(static_cast<unsigned long>(code));
    return TlsResult::HANDSHAKE_FAILED;
}

// The first line the server sent, when it begins like text rather than a
// TLS record; the rest of a greeting that already arrived is read without
// waiting.
std::string TlsSession::State::PlainTextLine()
{
    if (platform::PlainTextLine(firstBytes).empty()) return "";
    while (firstBytes.size() < kShownBytes && firstBytes.find('\n') == std::string::npos &&
           ReadMore(std::chrono::steady_clock::now()) == IoStatus::OK) {
    }
    return platform::PlainTextLine(firstBytes);
}

// Once the server's certificate has arrived: the pin decides alone, else the
// chain and the name.
TlsResult TlsSession::State::Judge(std::string* why)
{
    const CERT_CONTEXT* remote = nullptr;
    if (QueryContextAttributesW(&context.handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) !=
            SEC_E_OK ||
        !remote)
        return TlsResult::OK;
    certificate.reset(remote);
    if (pin.empty())
        return trust.Check(remote, host, why) ? TlsResult::OK : TlsResult::CERTIFICATE_REFUSED;
    const std::string found = FingerprintOf(remote);
    if (PinMatches(pin, found)) return TlsResult::OK;
    *why = PinRefusal(pin, found);
    return TlsResult::CERTIFICATE_REFUSED;
}

// Decrypts the first whole record that has arrived onto plain.
SECURITY_STATUS TlsSession::State::DecryptRecord()
{
    // Wine decrypts the server's close_notify into no data and SEC_E_OK. An
    // alert record (TLS 1.2 shows the type) that gives no data ends the
    // server's side, as SEC_I_CONTEXT_EXPIRED does on Windows.
    const bool alert = incoming[0] == kAlertRecord;
    const std::size_t before = plain.size();
    SecBuffer buffers[4] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_DATA, &incoming[0]},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context.handle, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && status == SEC_E_OK)
            plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        if (buffer.BufferType == SECBUFFER_EXTRA) extra = &buffer;
    }
    KeepExtra(extra);
    return status == SEC_E_OK && alert && plain.size() == before ? SEC_I_CONTEXT_EXPIRED : status;
}

IoStatus TlsSession::State::Renegotiate(Deadline deadline)
{
    std::string why;
    const TlsResult result = Handshake(false, deadline, &why);
    failure = why;
    return result == TlsResult::OK          ? IoStatus::OK
           : result == TlsResult::TIMED_OUT ? IoStatus::TIMED_OUT
                                            : IoStatus::FAILED;
}

// Encrypts the length bytes after the header's room in *record, which has
// room for the trailer too, and sends the record.
IoStatus TlsSession::State::Seal(std::string* record, std::size_t length, Deadline deadline)
{
    char* start = &(*record)[0];
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, start},
        {static_cast<ULONG>(length), SECBUFFER_DATA, start + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, start + sizes.cbHeader + length},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS sealed = EncryptMessage(&context.handle, 0, &description, 0);
    if (sealed != SEC_E_OK)
        return Broken(IoStatus::FAILED, SystemText(static_cast<unsigned long>(sealed)));
    const IoStatus status =
        Send(start, buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer, deadline);
    return status == IoStatus::OK ? status : Broken(status, ChannelFailure());
}

TlsSession::TlsSession(std::unique_ptr<State> state) : m_State(std::move(state)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Start(ByteChannel& channel, const TlsPeer& peer,
                                              Deadline deadline, TlsResult* result,
                                              std::string* why)
{
    why->clear();
    auto state = std::make_unique<State>();
    state->channel = &channel;
    *result = state->Configure(peer, why);
    if (*result == TlsResult::OK) *result = state->Handshake(true, deadline, why);
    if (*result == TlsResult::OK &&
        QueryContextAttributesW(&state->context.handle, SECPKG_ATTR_STREAM_SIZES, &state->sizes) !=
            SEC_E_OK) {
        *why = "TLS cannot be set up: Schannel gives no record sizes";
        *result = TlsResult::HANDSHAKE_FAILED;
    }
    if (*result != TlsResult::OK) return nullptr;
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(state)));
}

IoStatus TlsSession::Send(const SendPiece* pieces, std::size_t count, Deadline deadline)
{
    State& s = *m_State;
    if (s.broken) return IoStatus::FAILED;
    const std::size_t most = s.sizes.cbMaximumMessage;
    std::string record(s.sizes.cbHeader + most + s.sizes.cbTrailer, '\0');
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char* data = pieces[i].data;
        std::size_t left = pieces[i].length;
        while (left > 0) {
            const std::size_t step = std::min(left, most - filled);
            std::memcpy(&record[s.sizes.cbHeader + filled], data, step);
            filled += step;
            data += step;
            left -= step;
            if (filled < most) continue;
            const IoStatus status = s.Seal(&record, filled, deadline);
            if (status != IoStatus::OK) return status;
            filled = 0;
        }
    }
    return filled == 0 ? IoStatus::OK : s.Seal(&record, filled, deadline);
}

IoStatus TlsSession::Receive(char* buffer, std::size_t capacity, Deadline deadline,
                             std::size_t* received)
{
    *received = 0;
    State& s = *m_State;
    if (capacity == 0 || s.broken) return IoStatus::FAILED;
    while (s.plain.empty()) {
        if (s.peerClosed) return IoStatus::FAILED;
        const SECURITY_STATUS status =
            s.incoming.empty() ? SEC_E_INCOMPLETE_MESSAGE : s.DecryptRecord();
        if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close_notify
            s.peerClosed = true;
        } else if (status == SEC_E_INCOMPLETE_MESSAGE) {
            const IoStatus read = s.ReadMore(deadline);
            if (read != IoStatus::OK) return s.Broken(read, s.ChannelFailure());
        } else if (status == SEC_I_RENEGOTIATE) {  // also TLS 1.3's messages after the handshake
            const IoStatus done = s.Renegotiate(deadline);
            if (done != IoStatus::OK) return s.Broken(done, s.failure);
        } else if (status != SEC_E_OK) {
            return s.Broken(IoStatus::FAILED, SystemText(static_cast<unsigned long>(status)));
        }
    }
    *received = std::min(capacity, s.plain.size());
    std::memcpy(buffer, s.plain.data(), *received);
    s.plain.erase(0, *received);
    return IoStatus::OK;
}

std::string TlsSession::Failure() const
{
    return m_State->failure;
}

bool TlsSession::HasPendingBytes() const
{
    return !m_State->plain.empty() || !m_State->incoming.empty();
}

std::string TlsSession::Description() const
{
    State& s = *m_State;
    SecPkgContext_ConnectionInfo connection{};
    QueryContextAttributesW(&s.context.handle, SECPKG_ATTR_CONNECTION_INFO, &connection);
    const DWORD version = connection.dwProtocol;
    std::string text = version & SP_PROT_TLS1_3_CLIENT   ? "TLSv1.3"
                       : version & SP_PROT_TLS1_2_CLIENT ? "TLSv1.2"
                                                         : "TLS " + HexCode(version);
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(&s.context.handle, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK)
        text += ", " + Narrow(cipher.szCipherSuite);
    return text + ", subject " +
           core::PrintablePeerText(NameText(&s.certificate->pCertInfo->Subject));
}

void TlsSession::Shutdown(Deadline deadline)
{
    State& s = *m_State;
    if (s.broken) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controls{SECBUFFER_VERSION, 1, &control};
    std::string token;
    if (ApplyControlToken(&s.context.handle, &controls) != SEC_E_OK ||
        FAILED(s.Step(false, false, &token)) || token.empty()) {
        s.broken = true;
        return;
    }
    if (s.Send(token.data(), token.size(), deadline) != IoStatus::OK) s.broken = true;
}

}  // namespace platform
