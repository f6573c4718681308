// TLS sessions over a pipe in memory, against an OpenSSL server in a thread:
// what a run does with servers that downgrade, inject, send alerts, show
// bad names or pins, speak old TLS or fall silent.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "platform/TlsCommon.h"
#include "transport/Session.h"

namespace {

using platform::IoStatus;

platform::Deadline Soon()
{
    return platform::DeadlineAfter(10);
}

// Both directions of a pipe in memory; at most kHeld bytes wait for a reader.
struct Pipe {
    static constexpr std::size_t kHeld = 1 << 20;
    std::mutex lock;
    std::condition_variable changed;
    std::string bytes[2];  // for end 0 and end 1 to read
    bool gone[2] = {false, false};
};

class PipeEnd : public transport::Stream {
public:
    PipeEnd(std::shared_ptr<Pipe> pipe, int side) : m_Pipe(pipe), m_Side(side) {}
    ~PipeEnd() override { HangUp(); }
    IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                  platform::Deadline deadline) override
    {
        std::unique_lock<std::mutex> hold(m_Pipe->lock);
        std::string& out = m_Pipe->bytes[1 - m_Side];
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t done = 0; done < pieces[i].length;) {
                if (!m_Pipe->changed.wait_until(hold, deadline, [&] {
                        return m_Pipe->gone[1 - m_Side] || out.size() < Pipe::kHeld;
                    }))
                    return IoStatus::TIMED_OUT;
                if (m_Pipe->gone[1 - m_Side]) return IoStatus::FAILED;
                const std::size_t step =
                    std::min(pieces[i].length - done, Pipe::kHeld - out.size());
                out.append(pieces[i].data + done, step);
                done += step;
                m_Pipe->changed.notify_all();
            }
        return IoStatus::OK;
    }
    IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline deadline,
                     std::size_t* received) override
    {
        std::unique_lock<std::mutex> hold(m_Pipe->lock);
        std::string& in = m_Pipe->bytes[m_Side];
        *received = 0;
        if (!m_Pipe->changed.wait_until(hold, deadline,
                                        [&] { return m_Pipe->gone[1 - m_Side] || !in.empty(); }))
            return IoStatus::TIMED_OUT;
        if (in.empty()) return IoStatus::FAILED;
        *received = std::min(capacity, in.size());
        std::memcpy(buffer, in.data(), *received);
        in.erase(0, *received);
        m_Pipe->changed.notify_all();
        return IoStatus::OK;
    }
    int LastError() const override { return 0; }  // the other end hung up
    void HangUp()
    {
        std::lock_guard<std::mutex> hold(m_Pipe->lock);
        m_Pipe->gone[m_Side] = true;
        m_Pipe->changed.notify_all();
    }

private:
    std::shared_ptr<Pipe> m_Pipe;
    int m_Side;
};

int BioWrite(BIO* bio, const char* data, int length)
{
    const platform::SendPiece piece{data, static_cast<std::size_t>(length)};
    auto* end = static_cast<PipeEnd*>(BIO_get_data(bio));
    return end->Send(&piece, 1, Soon()) == IoStatus::OK ? length : -1;
}

int BioRead(BIO* bio, char* data, int length)
{
    std::size_t got = 0;
    static_cast<PipeEnd*>(BIO_get_data(bio))
        ->Receive(data, static_cast<std::size_t>(length), Soon(), &got);
    return static_cast<int>(got);
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH;
}

// The server's side runs a script of steps split by "|": Stext says text
// and CR LF, L reads a line, R reads some bytes, D reads until the client
// hangs up, H hangs up; A accepts TLS,
// C does so requiring a client certificate, O speaks TLS 1.1 at most.
void Serve(PipeEnd& end, SSL* ssl, const std::string& script)
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pipe");
        BIO_meth_set_write(made, BioWrite);
        BIO_meth_set_read(made, BioRead);
        BIO_meth_set_ctrl(made, BioControl);
        return made;
    }();
    char block[65536];
    std::size_t got = 0;
    for (std::size_t at = 0; at < script.size();) {
        const std::size_t stop = std::min(script.find('|', at), script.size());
        const std::string step = script.substr(at, stop - at);
        at = stop + 1;
        const std::string text = step.substr(1) + "\r\n";
        const platform::SendPiece piece{text.data(), text.size()};
        switch (step[0]) {
        case 'S': end.Send(&piece, 1, Soon()); break;
        case 'L':
            while (end.Receive(block, 1, Soon(), &got) == IoStatus::OK && block[0] != '\n') {
            }
            break;
        case 'R': end.Receive(block, sizeof block, Soon(), &got); break;
        case 'D':
            while (end.Receive(block, sizeof block, Soon(), &got) == IoStatus::OK) {
            }
            break;
        case 'H': end.HangUp(); break;
        default: {
            if (step[0] == 'C')
                SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
            if (step[0] == 'O') {
                SSL_set_security_level(ssl, 0);
                SSL_set_min_proto_version(ssl, TLS1_VERSION);
                SSL_set_max_proto_version(ssl, TLS1_1_VERSION);
            }
            BIO* bio = BIO_new(method);
            BIO_set_data(bio, &end);
            BIO_set_init(bio, 1);
            SSL_set_bio(ssl, bio, bio);
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
    for (const Row& row : kRows) {
        const bool implicit = row.session == Row::IMPLICIT;
        X509* certificate = Certificate(row.names, TestCa());
        g_TlsFingerprint =
            row.trust == Trust::CA ? "" : FingerprintWithLastByteChanged(certificate);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context, certificate);
        SSL_CTX_use_PrivateKey(context, Key());
        SSL* ssl = SSL_new(context);
        auto pipe = std::make_shared<Pipe>();
        PipeEnd serverEnd(pipe, 1);
        std::thread server([&] { Serve(serverEnd, ssl, row.script), serverEnd.HangUp(); });
        std::string what = "no error";
        SmtpError code = SUCCESS;
        try {
            transport::Connection connection(
                std::make_unique<PipeEnd>(pipe, 0),
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
