// TLS sessions over a socket pair, against an OpenSSL server in a thread:
// what a run does with servers that downgrade, inject, send alerts, show
// bad names or pins, speak old TLS or fall silent.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "platform/TlsCommon.h"
#include "transport/Session.h"
#include "transport/Stream.h"

namespace {

void Put(int fd, const std::string& text)
{
    if (write(fd, text.data(), text.size()) < 0) return;
}

// The server's side runs a script of steps split by "|": Stext says text
// and CR LF, L reads a line, R reads some bytes, D reads until the client
// hangs up, H hangs up; A accepts TLS,
// C does so requiring a client certificate, O speaks TLS 1.1 at most.
void Serve(int fd, SSL* ssl, const std::string& script)
{
    char block[65536];
    for (std::size_t at = 0; at < script.size();) {
        const std::size_t stop = std::min(script.find('|', at), script.size());
        const std::string step = script.substr(at, stop - at);
        at = stop + 1;
        switch (step[0]) {
        case 'S': Put(fd, step.substr(1) + "\r\n"); break;
        case 'L':
            while (read(fd, block, 1) == 1 && block[0] != '\n') {
            }
            break;
        case 'R': static_cast<void>(read(fd, block, sizeof block) > 0); break;
        case 'D':
            while (read(fd, block, sizeof block) > 0) {
            }
            break;
        case 'H': shutdown(fd, SHUT_RDWR); break;
        default: {
            if (step[0] == 'C')
                SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
            if (step[0] == 'O') {
                SSL_set_security_level(ssl, 0);
                SSL_set_min_proto_version(ssl, TLS1_VERSION);
                SSL_set_max_proto_version(ssl, TLS1_1_VERSION);
            }
            SSL_set_fd(ssl, fd);
            SSL_accept(ssl);
        }
        }
    }
}

EVP_PKEY* Key()
{
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    return key;
}

// A certificate for the names, signed by the CA (or by itself).
X509* Certificate(const std::vector<std::string>& names, X509* ca = nullptr)
{
    X509* made = X509_new();
    X509_set_version(made, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(made), static_cast<long>(names.size()) + 2);
    X509_gmtime_adj(X509_getm_notBefore(made), -3600);
    X509_gmtime_adj(X509_getm_notAfter(made), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(made), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(ca ? "server" : "Test CA"),
                               -1, -1, 0);
    BASIC_CONSTRAINTS* constraints = BASIC_CONSTRAINTS_new();
    constraints->ca = ca ? 0 : 1;
    X509_add1_ext_i2d(made, NID_basic_constraints, constraints, 1, 0);
    BASIC_CONSTRAINTS_free(constraints);
    X509_set_issuer_name(made, X509_get_subject_name(ca ? ca : made));
    X509_set_pubkey(made, Key());
    GENERAL_NAMES* alternatives = GENERAL_NAMES_new();
    for (const std::string& name : names) {
        ASN1_IA5STRING* text = ASN1_IA5STRING_new();
        ASN1_STRING_set(text, name.data(), static_cast<int>(name.size()));
        GENERAL_NAME* entry = GENERAL_NAME_new();
        GENERAL_NAME_set0_value(entry, GEN_DNS, text);
        sk_GENERAL_NAME_push(alternatives, entry);
    }
    if (ca) X509_add1_ext_i2d(made, NID_subject_alt_name, alternatives, 0, 0);
    GENERAL_NAMES_free(alternatives);
    X509_sign(made, Key(), EVP_sha256());
    return made;
}

X509* TestCa()
{
    static X509* ca = Certificate({});
    return ca;
}

std::string FingerprintWithLastByteChanged(X509* certificate)
{
    unsigned char digest[32];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    digest[31] ^= 1;
    return "SHA256:" + platform::HexText(digest, length);
}

enum class Trust { CA, PIN_LAST_BYTE_CHANGED };

struct Row {
    const char* name;
    enum { STARTTLS, IMPLICIT, NNTP_STARTTLS } session;
    std::string script;
    SmtpError code;
    std::string words;  // in the error message
    bool hinted = false;
    Trust trust = Trust::CA;
    std::vector<std::string> names = {"localhost"};  // of the server's certificate
};

std::vector<std::string> HostileNames()
{
    std::vector<std::string> names = {std::string("localhost\0.evil", 15), "a\r\x1B[1A\xFF"};
    for (int i = 2; i < 1101; ++i) names.push_back("n" + std::to_string(i) + ".example");
    return names;
}

constexpr auto STARTTLS = Row::STARTTLS;
constexpr auto IMPLICIT = Row::IMPLICIT;
#define UP_TO_STARTTLS "S220 mx|L|S250-mx\r\n250 STARTTLS|L|"
#define NNTP_CAPABILITIES "S200 news|L|S101 list\r\nVERSION 2\r\nREADER\r\n"

const Row kRows[] = {
    {"starttls-not-offered", STARTTLS, "S220 mx|L|S250 mx|D", TLS_FAILED,
     "does not offer STARTTLS"},
    {"starttls-refused", STARTTLS, UP_TO_STARTTLS "S454 4.7.0 TLS not available|D", TLS_FAILED,
     "refused STARTTLS: \"454 4.7.0 TLS not available\""},
    {"injected-after-starttls-reply", STARTTLS, UP_TO_STARTTLS "S220 go\r\n250 injected|D",
     TLS_FAILED, "may have been injected"},
    {"plain-text-after-starttls", STARTTLS, UP_TO_STARTTLS "S220 go|R|S500 what?|D", TLS_FAILED,
     "failed: the handshake failed: the server did not answer in TLS (it sent plain text: "
     "\"500 what?\")."},
    {"plain-text-on-implicit-port", IMPLICIT, "S220 mx\x1B[2J|D", TLS_FAILED,
     "plain text: \"220 mx\\x1B[2J\"). Hint: the schemes.", true},
    {"certificate-required-after-starttls", STARTTLS, UP_TO_STARTTLS "S220 go|C|H", TLS_FAILED,
     "failed: the server sent the alert \"certificate required\"."},
    {"closed-without-close-notify", IMPLICIT, "A|H", TLS_FAILED,
     "failed: the server closed the connection without close_notify."},
    {"tls-1.1-only", IMPLICIT, "O|D", TLS_FAILED,
     "failed: the handshake failed: the server sent the alert \"protocol version\"."},
    {"hello-never-answered", IMPLICIT, "D", TLS_FAILED,
     "failed: the handshake timed out after 1 seconds."},
    {"hostile-names-by-dns-name", IMPLICIT, "A|D", CERTIFICATE_REFUSED,
     "is for localhost\\x00.evil, a\\x0D\\x1B[1A\\xFF, n2.example, n3.example, n4.example, "
     "n5.example, n6.example, n7.example, n8.example, n9.example and 1091 more; "
     "expected localhost.",
     false, Trust::CA, HostileNames()},
    {"pin-differs-in-last-byte", IMPLICIT, "A|D", CERTIFICATE_REFUSED,
     "does not match the server's", false, Trust::PIN_LAST_BYTE_CHANGED},
    {"nntp-starttls-not-offered", Row::NNTP_STARTTLS, NNTP_CAPABILITIES ".|D", TLS_FAILED,
     "does not offer STARTTLS"},
    {"nntp-starttls-refused", Row::NNTP_STARTTLS,
     NNTP_CAPABILITIES "STARTTLS\r\n.|L|S580 Can not initiate TLS negotiation|D", TLS_FAILED,
     "refused STARTTLS: \"580 Can not initiate TLS negotiation\""},
    {"nntp-injected-after-starttls-reply", Row::NNTP_STARTTLS,
     NNTP_CAPABILITIES "STARTTLS\r\n.|L|S382 go\r\n281 injected|D", TLS_FAILED,
     "may have been injected"},
};

// The client's side of a session that goes as far as the server lets it.
void Deliver(transport::Connection& connection, const Row& row)
{
    const bool implicit = row.session == Row::IMPLICIT;
    if (implicit) connection.StartTls(transport::TlsPeerFor(connection));
    connection.ReadReply(1);
    CSMTPEmail mail;
    mail.AddTo("a@example.test");
    mail.SetHeader("X-Sender", "me@example.test");
    if (row.session == Row::NNTP_STARTTLS)
        transport::NewsDialogue(mail, connection);
    else
        transport::MailDialogue(mail, connection);
}

TEST(TlsStream, EveryFaultOfAServerEndsWithItsOwnStatusAndReason)
{
    const std::string caFile = TempPath("tls-stream-ca.pem");
    BIO* file = BIO_new_file(caFile.c_str(), "w");
    PEM_write_bio_X509(file, TestCa());
    BIO_free(file);
    ScopedEnvironment environment;
    environment.Set("QUILLEX_CA_FILE", caFile.c_str());
    environment.Set("QUILLEX_TIMEOUT", "1");
    std::signal(SIGPIPE, SIG_IGN);
    for (const Row& row : kRows) {
        const bool implicit = row.session == Row::IMPLICIT;
        X509* certificate = Certificate(row.names, TestCa());
        g_TlsFingerprint =
            row.trust == Trust::CA ? "" : FingerprintWithLastByteChanged(certificate);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context, certificate);
        SSL_CTX_use_PrivateKey(context, Key());
        SSL* ssl = SSL_new(context);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        const timeval bound{10, 0};
        setsockopt(ends[1], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        std::thread server([&] { Serve(ends[1], ssl, row.script), shutdown(ends[1], SHUT_RDWR); });
        std::string what = "no error";
        SmtpError code = SUCCESS;
        try {
            transport::Connection connection(
                std::make_unique<transport::SocketStream>(ends[0]),
                {"localhost", 465,
                 implicit ? transport::Security::IMPLICIT_TLS : transport::Security::STARTTLS, true,
                 ""},
                "Hint: the schemes");
            Deliver(connection, row);
        } catch (const CSMTPException& error) {
            code = error.m_Code;
            what = error.what();
        }
        server.join();
        close(ends[1]);
        SSL_free(ssl);
        SSL_CTX_free(context);
        X509_free(certificate);
        EXPECT_EQ(code, row.code) << row.name << ": " << what;
        EXPECT_NE(what.find(row.words), std::string::npos) << row.name << ": " << what;
        EXPECT_EQ(what.find("Hint") != std::string::npos, row.hinted) << row.name << ": " << what;
        EXPECT_EQ(what.find("handshake failed"), what.rfind("handshake failed")) << what;
    }
    g_TlsFingerprint.clear();
}

}  // namespace

#endif
