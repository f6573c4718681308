// TLS sessions over a pipe in memory, against an OpenSSL server in a thread:
// what a run does with servers that downgrade, inject, send alerts, show
// bad names or pins, speak old TLS, fall silent or stop reading.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <condition_variable>
#include <cstring>
#include <functional>
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

// One direction of the pipe: at most kHeld bytes wait for the reader.
struct Queue {
    static constexpr std::size_t kHeld = 1 << 20;
    std::mutex lock;
    std::condition_variable changed;
    std::string bytes;
    bool writerGone = false, readerGone = false;
};

class PipeEnd : public transport::Stream {
public:
    PipeEnd(std::shared_ptr<Queue> in, std::shared_ptr<Queue> out) : m_In(in), m_Out(out) {}
    ~PipeEnd() override { HangUp(); }
    IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                  platform::Deadline deadline) override
    {
        std::unique_lock<std::mutex> hold(m_Out->lock);
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t done = 0; done < pieces[i].length;) {
                if (!m_Out->changed.wait_until(hold, deadline, [&] {
                        return m_Out->readerGone || m_Out->bytes.size() < Queue::kHeld;
                    }))
                    return IoStatus::TIMED_OUT;
                if (m_Out->readerGone) return IoStatus::FAILED;
                const std::size_t step =
                    std::min(pieces[i].length - done, Queue::kHeld - m_Out->bytes.size());
                m_Out->bytes.append(pieces[i].data + done, step);
                done += step;
                m_Out->changed.notify_all();
            }
        return IoStatus::OK;
    }
    IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline deadline,
                     std::size_t* received) override
    {
        std::unique_lock<std::mutex> hold(m_In->lock);
        *received = 0;
        if (!m_In->changed.wait_until(hold, deadline,
                                      [&] { return m_In->writerGone || !m_In->bytes.empty(); }))
            return IoStatus::TIMED_OUT;
        if (m_In->bytes.empty()) return IoStatus::FAILED;
        *received = std::min(capacity, m_In->bytes.size());
        std::memcpy(buffer, m_In->bytes.data(), *received);
        m_In->bytes.erase(0, *received);
        m_In->changed.notify_all();
        return IoStatus::OK;
    }
    int LastError() const override { return m_In->writerGone ? 0 : 32; }
    void AwaitHangUp()
    {
        std::unique_lock<std::mutex> hold(m_In->lock);
        m_In->changed.wait_until(hold, Soon(), [&] { return m_In->writerGone; });
    }
    void HangUp()
    {
        for (Queue* queue : {m_In.get(), m_Out.get()}) {
            std::lock_guard<std::mutex> hold(queue->lock);
            (queue == m_In.get() ? queue->readerGone : queue->writerGone) = true;
            queue->changed.notify_all();
        }
    }

private:
    std::shared_ptr<Queue> m_In, m_Out;
};

// The server's side: plain lines, then OpenSSL over the same pipe.
struct Server {
    PipeEnd& end;
    SSL_CTX* context;
    SSL* ssl = nullptr;

    static int Write(BIO* bio, const char* data, int length)
    {
        const platform::SendPiece piece{data, static_cast<std::size_t>(length)};
        return static_cast<PipeEnd*>(BIO_get_data(bio))->Send(&piece, 1, Soon()) == IoStatus::OK
                   ? length
                   : -1;
    }
    static int Read(BIO* bio, char* data, int length)
    {
        std::size_t got = 0;
        static_cast<PipeEnd*>(BIO_get_data(bio))
            ->Receive(data, static_cast<std::size_t>(length), Soon(), &got);
        return static_cast<int>(got);
    }
    static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH; }

    void Say(const std::string& text)
    {
        const platform::SendPiece piece{text.data(), text.size()};
        if (ssl)
            SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        else
            end.Send(&piece, 1, Soon());
    }
    std::string Line()
    {
        std::string line;
        char c = 0;
        std::size_t got = 0;
        while (line.find('\n') == std::string::npos) {
            if (ssl ? SSL_read(ssl, &c, 1) != 1 : end.Receive(&c, 1, Soon(), &got) != IoStatus::OK)
                break;
            line += c;
        }
        return line;
    }
    bool Accept()
    {
        static BIO_METHOD* method = [] {
            BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pipe");
            BIO_meth_set_write(made, Write);
            BIO_meth_set_read(made, Read);
            BIO_meth_set_ctrl(made, Control);
            return made;
        }();
        BIO* bio = BIO_new(method);
        BIO_set_data(bio, &end);
        BIO_set_init(bio, 1);
        ssl = SSL_new(context);
        SSL_set_bio(ssl, bio, bio);
        return SSL_accept(ssl) == 1;
    }
    void Drain()  // until the client hangs up
    {
        char block[65536];
        std::size_t got = 0;
        while (end.Receive(block, sizeof block, Soon(), &got) == IoStatus::OK) {
        }
    }
    void Some()
    {
        char block[4096];
        std::size_t got = 0;
        end.Receive(block, sizeof block, Soon(), &got);
    }
    void StartTls(const std::string& reply = "220 go\r\n")
    {
        Say("220 mx\r\n");
        Line();
        Say("250-mx\r\n250 STARTTLS\r\n");
        Line();
        Say(reply);
    }
};

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

std::string Fingerprint(X509* certificate, bool lastByteChanged)
{
    unsigned char digest[32];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    if (lastByteChanged) digest[31] ^= 1;
    return "SHA256:" + platform::HexText(digest, length);
}

enum class Trust { CA, PIN, PIN_LAST_BYTE_CHANGED };

struct Row {
    const char* name;
    transport::Security security;
    std::vector<std::string> names;  // of the server's certificate
    Trust trust;
    std::function<void(SSL_CTX*)> setUp;
    std::function<void(Server&)> serve;
    SmtpError code;
    std::vector<std::string> words;  // in the error message
    bool hinted;
};

const std::vector<std::string> kLocalhost = {"localhost"};
const auto kNothing = [](SSL_CTX*) {};
const auto kClientCertificateRequired = [](SSL_CTX* context) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
};

std::vector<std::string> ManyNames()
{
    std::vector<std::string> names;
    for (int i = 0; i < 1101; ++i) names.push_back("n" + std::to_string(i) + ".example");
    return names;
}

const Row kRows[] = {
    {"starttls-not-offered",
     transport::Security::STARTTLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.Say("220 mx\r\n"), s.Line(), s.Say("250 mx\r\n"), s.Drain(); },
     TLS_FAILED,
     {"does not offer STARTTLS"},
     false},
    {"starttls-refused",
     transport::Security::STARTTLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.StartTls("454 4.7.0 TLS not available\r\n"), s.Drain(); },
     TLS_FAILED,
     {"refused STARTTLS: \"454 4.7.0"},
     false},
    {"injected-after-starttls-reply",
     transport::Security::STARTTLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.StartTls("220 go\r\n250 injected\r\n"), s.Drain(); },
     TLS_FAILED,
     {"may have been injected"},
     false},
    {"plain-text-after-starttls",
     transport::Security::STARTTLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.StartTls(), s.Some(), s.Say("500 what?\r\n"), s.Drain(); },
     TLS_FAILED,
     {"handshake failed: the server did not answer in TLS (it sent plain text: \"500 what?\")"},
     false},
    {"plain-text-on-implicit-port",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.Say("220 mx\x1B[2J\r\n"), s.Drain(); },
     TLS_FAILED,
     {"plain text: \"220 mx\\x1B[2J\""},
     true},
    {"certificate-required-after-starttls",
     transport::Security::STARTTLS,
     kLocalhost,
     Trust::CA,
     kClientCertificateRequired,
     [](Server& s) { s.StartTls(), s.Accept(), s.end.HangUp(); },
     TLS_FAILED,
     {"failed: the server sent the alert \"certificate required\"."},
     false},
    {"certificate-required",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::CA,
     kClientCertificateRequired,
     [](Server& s) { s.Accept(), s.end.HangUp(); },
     TLS_FAILED,
     {"the server sent the alert \"certificate required\""},
     false},
    {"closed-without-close-notify",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.Accept(), s.end.HangUp(); },
     TLS_FAILED,
     {"failed: the server closed the connection without close_notify."},
     false},
    {"tls-1.1-only",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::CA,
     [](SSL_CTX* context) {
         SSL_CTX_set_security_level(context, 0);
         SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
         SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
     },
     [](Server& s) { s.Accept(), s.Drain(); },
     TLS_FAILED,
     {"handshake failed: the server sent the alert \"protocol version\""},
     false},
    {"hello-never-answered",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::CA,
     kNothing,
     [](Server& s) { s.Drain(); },
     TLS_FAILED,
     {"the handshake timed out after 1 seconds."},
     false},
    {"other-dns-name",
     transport::Security::IMPLICIT_TLS,
     {"mail.example", "a\r\x1B[1A\xFF"},
     Trust::CA,
     kNothing,
     [](Server& s) { s.Accept(), s.Drain(); },
     CERTIFICATE_REFUSED,
     {"is for mail.example, a\\x0D\\x1B[1A\\xFF; expected localhost."},
     false},
    {"nul-in-name",
     transport::Security::IMPLICIT_TLS,
     {std::string("localhost\0.evil", 15)},
     Trust::CA,
     kNothing,
     [](Server& s) { s.Accept(), s.Drain(); },
     CERTIFICATE_REFUSED,
     {"is for localhost\\x00.evil; expected localhost."},
     false},
    {"eleven-hundred-names",
     transport::Security::IMPLICIT_TLS,
     ManyNames(),
     Trust::CA,
     kNothing,
     [](Server& s) { s.Accept(), s.Drain(); },
     CERTIFICATE_REFUSED,
     {"n8.example, n9.example and 1091 more; expected localhost."},
     false},
    {"pin-differs-in-last-byte",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::PIN_LAST_BYTE_CHANGED,
     kNothing,
     [](Server& s) { s.Accept(), s.Drain(); },
     CERTIFICATE_REFUSED,
     {"does not match the server's"},
     false},
    {"peer-stops-reading",
     transport::Security::IMPLICIT_TLS,
     kLocalhost,
     Trust::PIN,
     kNothing,
     [](Server& s) { s.Accept(), s.Say("220 mx\r\n"), s.end.AwaitHangUp(); },
     FAILED_TO_SEND,
     {"(timed out after 1 seconds)"},
     false},
};

// The client's side of a session that goes as far as the server lets it.
void Deliver(transport::Connection& connection, const Row& row)
{
    const bool implicit = row.security == transport::Security::IMPLICIT_TLS;
    if (implicit) connection.StartTls(transport::TlsPeerFor(connection));
    connection.ReadReply(1);
    if (implicit) {
        const std::string large(8 << 20, 'x');
        const platform::SendPiece piece{large.data(), large.size()};
        connection.SendUnits(&piece, 1);
    }
    CSMTPEmail mail;
    mail.AddTo("a@example.test");
    mail.SetHeader("X-Sender", "me@example.test");
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
        X509* certificate = Certificate(row.names, TestCa());
        g_TlsFingerprint =
            row.trust == Trust::CA ? "" : Fingerprint(certificate, row.trust != Trust::PIN);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context, certificate);
        SSL_CTX_use_PrivateKey(context, Key());
        row.setUp(context);
        auto up = std::make_shared<Queue>(), down = std::make_shared<Queue>();
        PipeEnd serverEnd(up, down);
        Server server{serverEnd, context};
        std::thread thread([&] { row.serve(server), serverEnd.HangUp(); });
        std::string what = "no error";
        SmtpError code = SUCCESS;
        try {
            transport::Connection connection(std::make_unique<PipeEnd>(down, up),
                                             {"localhost", 465, row.security, true, ""},
                                             "Hint: the schemes");
            Deliver(connection, row);
        } catch (const CSMTPException& error) {
            code = error.m_Code;
            what = error.what();
        }
        thread.join();
        SSL_free(server.ssl);
        SSL_CTX_free(context);
        X509_free(certificate);
        EXPECT_EQ(code, row.code) << row.name << ": " << what;
        for (const std::string& word : row.words)
            EXPECT_NE(what.find(word), std::string::npos) << row.name << ": " << what;
        EXPECT_EQ(what.find("Hint") != std::string::npos, row.hinted) << row.name << ": " << what;
        EXPECT_EQ(what.find("handshake failed"), what.rfind("handshake failed")) << what;
    }
    g_TlsFingerprint.clear();
}

}  // namespace

#endif
