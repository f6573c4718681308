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
#include <fstream>
#include <iterator>
#include <vector>

#include "core/PeerText.h"
#include "platform/TlsCommon.h"

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
// Revocation is not checked (private CAs publish no revocation lists), and
// validity periods need not nest.
constexpr DWORD kUncheckedFaults = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                   CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED;

struct Free {
    void operator()(const CERT_CONTEXT* p) const { CertFreeCertificateContext(p); }
    void operator()(const CERT_CHAIN_CONTEXT* p) const { CertFreeCertificateChain(p); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, Free>;
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, Free>;

struct CloseStore {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct FreeEngine {
    void operator()(void* engine) const { CertFreeCertificateChainEngine(engine); }
};
struct FreeContextMemory {
    void operator()(void* memory) const { FreeContextBuffer(memory); }
};
struct FreeLocal {
    void operator()(void* memory) const { LocalFree(memory); }
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

std::wstring Wide(const std::string& text)
{
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                            length);
    return wide;
}

std::string Narrow(const wchar_t* text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return "";
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

std::string HexCode(unsigned long code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", code);
    return text;
}

// The system's words for an error code, and the code.
std::string SystemText(unsigned long code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    const std::unique_ptr<void, FreeLocal> owned(text);
    std::string words(text ? text : "", text ? length : 0);
    while (!words.empty() && std::strchr("\r\n. ", words.back())) words.pop_back();
    return words.empty() ? "error " + HexCode(code) : words + " (" + HexCode(code) + ")";
}

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

std::string NameText(const CERT_NAME_BLOB* name)
{
    const DWORD flags =
        CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    const DWORD length =
        CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), flags, nullptr, 0);
    if (length <= 1) return "?";
    std::string text(length, '\0');
    CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), flags, &text[0], length);
    text.pop_back();
    return text;
}

std::string DateText(const FILETIME& time)
{
    SYSTEMTIME fields{};
    if (!FileTimeToSystemTime(&time, &fields)) return "?";
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", fields.wYear, fields.wMonth, fields.wDay);
    return text;
}

// The bytes of an IPv4 or IPv6 address text; empty for a host name.
std::string AddressBytes(const std::string& host)
{
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    return "";
}

std::string AddressText(const std::string& bytes)
{
    char text[INET6_ADDRSTRLEN] = "?";
    const int family = bytes.size() == 4 ? AF_INET : bytes.size() == 16 ? AF_INET6 : 0;
    if (family) inet_ntop(family, bytes.data(), text, sizeof text);
    return text;
}

// A name the certificate is for: a DNS name, or an address as bytes.
struct AlternativeName {
    std::string dns;
    std::string address;
};

// The DER element at *at within size bytes: its tag, and where its content
// starts and how long it is; *at moves past it. False when it is malformed.
bool ReadElement(const BYTE* data, std::size_t size, std::size_t* at, BYTE* tag, std::size_t* start,
                 std::size_t* length)
{
    if (size < 2 || *at > size - 2) return false;
    *tag = data[(*at)++];
    std::size_t count = data[(*at)++];
    if (count & 0x80) {
        std::size_t digits = count & 0x7F;
        if (digits == 0 || digits > 3 || size - *at < digits) return false;
        for (count = 0; digits > 0; --digits) count = count << 8 | data[(*at)++];
    }
    if (size - *at < count) return false;
    *start = *at;
    *length = count;
    *at += count;
    return true;
}

// The names byte for byte, read from the extension itself: the system's
// decoder gives DNS names as strings that end at a NUL, which a name may
// hide ("localhost\0.evil").
std::vector<AlternativeName> AlternativeNames(const CERT_CONTEXT* certificate)
{
    constexpr BYTE kSequence = 0x30, kDnsName = 0x82, kAddress = 0x87;
    std::vector<AlternativeName> names;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (!extension) return names;
    const BYTE* data = extension->Value.pbData;
    std::size_t at = 0, start = 0, length = 0;
    BYTE tag = 0;
    if (!ReadElement(data, extension->Value.cbData, &at, &tag, &start, &length) || tag != kSequence)
        return names;
    const std::size_t end = start + length;
    for (at = start; at < end && ReadElement(data, end, &at, &tag, &start, &length);) {
        const std::string bytes(reinterpret_cast<const char*>(data + start), length);
        if (tag == kDnsName) names.push_back({bytes, ""});
        if (tag == kAddress) names.push_back({"", bytes});
    }
    return names;
}

bool HidesNul(const CERT_CONTEXT* certificate)
{
    for (const AlternativeName& name : AlternativeNames(certificate))
        if (name.dns.find('\0') != std::string::npos) return true;
    return false;
}

// The DNS names and IP addresses the certificate is for, or its subject
// when it has none.
std::vector<std::string> NamesOf(const CERT_CONTEXT* certificate)
{
    std::vector<std::string> names;
    for (const AlternativeName& name : AlternativeNames(certificate))
        names.push_back(name.address.empty() ? name.dns : AddressText(name.address));
    if (names.empty()) names.push_back(NameText(&certificate->pCertInfo->Subject));
    return names;
}

bool IsForAddress(const CERT_CONTEXT* certificate, const std::string& address)
{
    for (const AlternativeName& name : AlternativeNames(certificate))
        if (name.address == address) return true;
    return false;
}

struct FaultName {
    DWORD fault;
    const char* text;
};

// Chain faults in the words that OpenSSL uses for the same faults.
const FaultName kFaultNames[] = {
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "certificate signature failure"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, "unable to get local issuer certificate"},
    {CERT_TRUST_IS_REVOKED, "certificate revoked"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "unsupported certificate purpose"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid CA certificate"},
};

std::string FaultText(DWORD faults, const CERT_CHAIN_ELEMENT* element, bool alone)
{
    const CERT_INFO* info = element->pCertContext->pCertInfo;
    if (faults & CERT_TRUST_IS_NOT_TIME_VALID)
        return CertVerifyTimeValidity(nullptr, const_cast<CERT_INFO*>(info)) < 0
                   ? "certificate is not yet valid (notBefore " + DateText(info->NotBefore) + ")"
                   : "certificate has expired (notAfter " + DateText(info->NotAfter) + ")";
    std::string text = "certificate chain not trusted (faults " + HexCode(faults) + ")";
    if (faults & CERT_TRUST_IS_UNTRUSTED_ROOT)
        text = alone ? "self-signed certificate" : "self-signed certificate in certificate chain";
    else
        for (const FaultName& name : kFaultNames)
            if (faults & name.fault) {
                text = name.text;
                break;
            }
    return CertificateFault(text, NameText(&info->Subject), NameText(&info->Issuer));
}

// The refusal of a chain with faults: the first certificate from the
// server's up that has one, or the last one (whose issuer is missing).
std::string ChainRefusal(const CERT_CHAIN_CONTEXT* chain, DWORD faults)
{
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CHAIN_ELEMENT* faulty = simple->rgpElement[simple->cElement - 1];
    for (DWORD i = 0; i < simple->cElement; ++i) {
        const DWORD own = simple->rgpElement[i]->TrustStatus.dwErrorStatus & ~kUncheckedFaults;
        if (own) {
            faulty = simple->rgpElement[i];
            faults = own;
            break;
        }
    }
    return FaultText(faults, faulty, simple->cElement == 1);
}

// PEM certificates of a file, or nothing (then *why says why).
std::vector<std::string> PemCertificates(const std::string& path, std::string* why)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *why = std::strerror(errno);
        return {};
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    std::vector<std::string> found;
    for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        const std::size_t end = text.find(kEnd, at);
        if (end == std::string::npos) break;
        const DWORD length = static_cast<DWORD>(end + sizeof kEnd - 1 - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr)) {
            *why = "certificate " + std::to_string(found.size() + 1) + " is not valid base64";
            return {};
        }
        std::string der(size, '\0');
        CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr);
        found.push_back(der);
        at = end;
    }
    if (found.empty()) *why = "it holds no PEM certificate";
    return found;
}

}  // namespace

struct TlsSession::State {
    ByteChannel* channel = nullptr;
    std::string host;
    std::string address;  // the host's address bytes, when it is one
    std::string pin;      // upper-case hex; empty when none
    std::unique_ptr<void, CloseStore> roots;
    std::unique_ptr<void, FreeEngine> engine;  // trusts the CA file alone; null: the system
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
    TlsResult TrustCaFile(const std::string& path, std::string* why);
    std::string MakeEngine(const std::vector<std::string>& certificates);
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
    TlsResult CheckChain(std::string* why) const;
    TlsResult CheckName(const CERT_CHAIN_CONTEXT* chain, std::string* why) const;
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
    if (!peer.caFile.empty()) {
        const TlsResult trusted = TrustCaFile(peer.caFile, why);
        if (trusted != TlsResult::OK) return trusted;
    }
    return AcquireCredentials(why);
}

TlsResult TlsSession::State::TrustCaFile(const std::string& path, std::string* why)
{
    std::string reason;
    const std::vector<std::string> certificates = PemCertificates(path, &reason);
    if (!certificates.empty()) reason = MakeEngine(certificates);
    if (reason.empty()) return TlsResult::OK;
    *why = "the CA file \"" + path + "\" cannot be read: " + reason;
    return TlsResult::HANDSHAKE_FAILED;
}

// A chain engine whose only roots are the certificates; empty when made,
// else why not.
std::string TlsSession::State::MakeEngine(const std::vector<std::string>& certificates)
{
    roots.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!roots) return SystemText(GetLastError());
    for (std::size_t i = 0; i < certificates.size(); ++i)
        if (!CertAddEncodedCertificateToStore(roots.get(), X509_ASN_ENCODING,
                                              reinterpret_cast<const BYTE*>(certificates[i].data()),
                                              static_cast<DWORD>(certificates[i].size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return "certificate " + std::to_string(i + 1) +
                   " is not valid: " + SystemText(GetLastError());
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The layout of Windows 7, the first with exclusive roots: Wine takes no later one.
    config.cbSize =
        offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
    config.hExclusiveRoot = roots.get();
    HCERTCHAINENGINE made = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &made)) return SystemText(GetLastError());
    engine.reset(made);
    return "";
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
    if (pin.empty()) return CheckChain(why);
    const std::string found = FingerprintOf(remote);
    if (PinMatches(pin, found)) return TlsResult::OK;
    *why = PinRefusal(pin, found);
    return TlsResult::CERTIFICATE_REFUSED;
}

TlsResult TlsSession::State::CheckChain(std::string* why) const
{
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    // No revocation flags: see kUncheckedFaults.
    if (!CertGetCertificateChain(engine.get(), certificate.get(), nullptr, certificate->hCertStore,
                                 &parameters, 0, nullptr, &built)) {
        *why = "the certificate chain cannot be built: " + SystemText(GetLastError());
        return TlsResult::CERTIFICATE_REFUSED;
    }
    const Chain chain(built);
    // The chain's own faults come first: Wine's policy check passes a chain
    // that ends at an unknown issuer.
    const DWORD faults = chain->TrustStatus.dwErrorStatus & ~kUncheckedFaults;
    if (faults) {
        *why = ChainRefusal(chain.get(), faults);
        return TlsResult::CERTIFICATE_REFUSED;
    }
    return CheckName(chain.get(), why);
}

TlsResult TlsSession::State::CheckName(const CERT_CHAIN_CONTEXT* chain, std::string* why) const
{
    std::wstring name = Wide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA server{};
    server.cbSize = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    server.pwszServerName = &name[0];
    // An address is matched below against the certificate's addresses only,
    // which Wine's policy check does not look at.
    if (!address.empty()) server.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &server;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict))
        verdict.dwError = GetLastError();
    // A name with a NUL matches nothing, whatever the policy check made of it.
    const bool mismatch =
        verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) || HidesNul(certificate.get()) ||
        (verdict.dwError == 0 && !address.empty() && !IsForAddress(certificate.get(), address));
    if (mismatch)
        *why = NameMismatch(NamesOf(certificate.get()), host);
    else if (verdict.dwError != 0)
        *why =
            "the certificate does not pass the TLS server policy: " + SystemText(verdict.dwError);
    return mismatch || verdict.dwError != 0 ? TlsResult::CERTIFICATE_REFUSED : TlsResult::OK;
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
