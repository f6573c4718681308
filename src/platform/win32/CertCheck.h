#pragma once

// In this order: Windows Sockets before windows.h, which the rest need.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

// The program's own judgement of a TLS server's certificate, for the mail
// connection and the HTTP client alike: the chain up to a root of the
// system store or of one CA file alone, for server use, and the host name
// (an address is matched by the program itself). Revocation is not checked.
namespace platform {

class ServerCertificateCheck {
public:
    // Trusts the file's PEM certificates alone from now on. False, with
    // *why, when it cannot be read.
    bool TrustCaFile(const std::string& path, std::string* why);
    // False, with *why in words, when the certificate is not to be trusted
    // for host.
    bool Check(const CERT_CONTEXT* certificate, const std::string& host, std::string* why) const;

private:
    struct CloseStore {
        void operator()(void* store) const { CertCloseStore(store, 0); }
    };
    struct FreeEngine {
        void operator()(void* engine) const { CertFreeCertificateChainEngine(engine); }
    };
    std::string MakeEngine(const std::vector<std::string>& certificates);
    static bool CheckName(const CERT_CHAIN_CONTEXT* chain, const CERT_CONTEXT* certificate,
                          const std::string& host, std::string* why);

    std::unique_ptr<void, CloseStore> m_Roots;
    std::unique_ptr<void, FreeEngine> m_Engine;  // trusts the CA file alone; null: the system
};

std::wstring Wide(const std::string& text);
std::string Narrow(const wchar_t* text);
std::string HexCode(unsigned long code);
// The system's words for an error code, and the code.
std::string SystemText(unsigned long code);
std::string NameText(const CERT_NAME_BLOB* name);
// The bytes of an IPv4 or IPv6 address text; empty for a host name.
std::string AddressBytes(const std::string& host);

}  // namespace platform
