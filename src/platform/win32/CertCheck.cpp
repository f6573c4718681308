#include "platform/win32/CertCheck.h"

#include <ws2tcpip.h>
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

// Neither Schannel nor WinHTTP is left to judge a server: on some systems
// (Wine) they accept any certificate, and neither can take one CA file as
// the only trust.
namespace platform {
namespace {

// Revocation is not checked (private CAs publish no revocation lists), and
// validity periods need not nest.
constexpr DWORD kUncheckedFaults = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                   CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED;

struct FreeChain {
    void operator()(const CERT_CHAIN_CONTEXT* p) const { CertFreeCertificateChain(p); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, FreeChain>;

struct FreeLocal {
    void operator()(void* memory) const { LocalFree(memory); }
};

std::string DateText(const FILETIME& time)
{
    SYSTEMTIME fields{};
    if (!FileTimeToSystemTime(&time, &fields)) return "?";
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", fields.wYear, fields.wMonth, fields.wDay);
    return text;
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

bool ServerCertificateCheck::TrustCaFile(const std::string& path, std::string* why)
{
    std::string reason;
    const std::vector<std::string> certificates = PemCertificates(path, &reason);
    if (!certificates.empty()) reason = MakeEngine(certificates);
    if (reason.empty()) return true;
    *why = "the CA file \"" + path + "\" cannot be read: " + reason;
    return false;
}

// A chain engine whose only m_Roots are the certificates; empty when made,
// else why not.
std::string ServerCertificateCheck::MakeEngine(const std::vector<std::string>& certificates)
{
    m_Roots.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!m_Roots) return SystemText(GetLastError());
    for (std::size_t i = 0; i < certificates.size(); ++i)
        if (!CertAddEncodedCertificateToStore(m_Roots.get(), X509_ASN_ENCODING,
                                              reinterpret_cast<const BYTE*>(certificates[i].data()),
                                              static_cast<DWORD>(certificates[i].size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return "certificate " + std::to_string(i + 1) +
                   " is not valid: " + SystemText(GetLastError());
    CERT_CHAIN_ENGINE_CONFIG config{};
    // The layout of Windows 7, the first with exclusive m_Roots: Wine takes no later one.
    config.cbSize =
        offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
    config.hExclusiveRoot = m_Roots.get();
    HCERTCHAINENGINE made = nullptr;
    if (!CertCreateCertificateChainEngine(&config, &made)) return SystemText(GetLastError());
    m_Engine.reset(made);
    return "";
}

bool ServerCertificateCheck::Check(const CERT_CONTEXT* certificate, const std::string& host,
                                   std::string* why) const
{
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    // No revocation flags: see kUncheckedFaults.
    if (!CertGetCertificateChain(m_Engine.get(), certificate, nullptr, certificate->hCertStore,
                                 &parameters, 0, nullptr, &built)) {
        *why = "the certificate chain cannot be built: " + SystemText(GetLastError());
        return false;
    }
    const Chain chain(built);
    // The chain's own faults come first: Wine's policy check passes a chain
    // that ends at an unknown issuer.
    const DWORD faults = chain->TrustStatus.dwErrorStatus & ~kUncheckedFaults;
    if (faults) {
        *why = ChainRefusal(chain.get(), faults);
        return false;
    }
    return CheckName(chain.get(), certificate, host, why);
}

bool ServerCertificateCheck::CheckName(const CERT_CHAIN_CONTEXT* chain,
                                       const CERT_CONTEXT* certificate, const std::string& host,
                                       std::string* why)
{
    const std::string address = IsAddressLiteral(host) ? AddressBytes(host) : "";
    if (IsAddressLiteral(host) && address.empty()) {
        *why = "the host name \"" + core::PrintablePeerText(host) + "\" cannot be used for TLS";
        return false;
    }
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
        verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) || HidesNul(certificate) ||
        (verdict.dwError == 0 && !address.empty() && !IsForAddress(certificate, address));
    if (mismatch)
        *why = NameMismatch(NamesOf(certificate), host);
    else if (verdict.dwError != 0)
        *why =
            "the certificate does not pass the TLS server policy: " + SystemText(verdict.dwError);
    return !mismatch && verdict.dwError == 0;
}

}  // namespace platform
