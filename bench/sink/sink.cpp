// quillex_sink - a fast SMTP sink for the benchmarks.
//
// Serves one connection at a time on 127.0.0.1: an SMTP port that accepts
// everything (220, 250, 354, 250, 221) and swallows the message data in large
// blocks, and optionally a raw port that swallows a byte stream until EOF (the
// loopback-copy reference). The plain port never advertises PIPELINING, so
// every client waits for the reply to each command. With a certificate it also
// serves TLS from the first byte (--tls-port) and STARTTLS (--starttls-port);
// those ports advertise PIPELINING and AUTH PLAIN XOAUTH2 (any login is taken), and
// replies to pipelined commands leave together once no command is waiting.
// It stops by itself after --seconds.
//
// usage: quillex_sink [--port N] [--raw-port N] [--seconds N] [--log FILE]
//                     [--save FILE] [--ready FILE]
//                     [--cert FILE --key FILE --tls-port N --starttls-port N]
//   --log   appends one line per message: "smtp rcpts=N bytes=N" / "raw bytes=N"
//   --save  writes the data of the last message (dot-stuffing kept, end marker
//           ".\r\n" removed) to FILE, to check the bytes on the wire
//   --ready created once the ports listen

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Options {
    int port = 25;
    int rawPort = 0;
    int seconds = 900;
    std::string log;
    std::string save;
    std::string ready;
    std::string cert;
    std::string key;
    int tlsPort = 0;
    int starttlsPort = 0;
};

enum class Kind { PLAIN, IMPLICIT_TLS, STARTTLS };

constexpr size_t kBlock = 1 << 20;
const char kMarker[] = "\r\n.\r\n";
constexpr size_t kMarkerLen = 5;
constexpr size_t kReadAhead = 256 * 1024;

// The end marker, found by its dot: most data has few dots (base64 none), and
// a search for one byte is the cheapest scan there is.
const char* FindMarker(const char* data, size_t length)
{
    const char* const end = data + length;
    for (const char* p = data + 2; p + 2 < end;) {
        p = static_cast<const char*>(std::memchr(p, '.', static_cast<size_t>(end - 2 - p)));
        if (!p) return nullptr;
        if (std::memcmp(p - 2, kMarker, kMarkerLen) == 0) return p - 2;
        ++p;
    }
    return nullptr;
}

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

class Fd {
public:
    explicit Fd(int fd = -1) : m_Fd(fd) {}
    ~Fd()
    {
        if (m_Fd >= 0) close(m_Fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_Fd; }

private:
    int m_Fd;
};

bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t Receive(int fd, char* buf, size_t len)
{
    for (;;) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// The connection's bytes: the socket itself, or a TLS session over it.
class Channel {
public:
    explicit Channel(int fd) : m_Fd(fd) {}

    bool StartTls(SSL_CTX* ctx)
    {
        m_Ssl.reset(SSL_new(ctx));
        if (!m_Ssl || SSL_set_fd(m_Ssl.get(), m_Fd) != 1 || SSL_accept(m_Ssl.get()) != 1) {
            ERR_print_errors_fp(stderr);
            m_Ssl.reset();
            return false;
        }
        return true;
    }

    bool Tls() const { return m_Ssl != nullptr; }

    ssize_t Read(char* buf, size_t len)
    {
        if (!m_Ssl) return Receive(m_Fd, buf, len);
        const int n = SSL_read(m_Ssl.get(), buf, static_cast<int>(std::min<size_t>(len, 1 << 30)));
        return n > 0 ? n : (SSL_get_error(m_Ssl.get(), n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }

    bool Write(const char* data, size_t len)
    {
        if (!m_Ssl) return WriteAll(m_Fd, data, len);
        size_t written = 0;
        return len == 0 || SSL_write_ex(m_Ssl.get(), data, len, &written) == 1;
    }

    void Close()
    {
        if (m_Ssl) SSL_shutdown(m_Ssl.get());
    }

private:
    int m_Fd;
    std::unique_ptr<SSL, SslFree> m_Ssl;
};

int Listen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        std::exit(2);
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(fd, 16) < 0) {
        std::fprintf(stderr, "quillex_sink: port %d: %s\n", port, std::strerror(errno));
        std::exit(2);
    }
    return fd;
}

class Logger {
public:
    explicit Logger(const std::string& path)
        : m_File(path.empty() ? nullptr : std::fopen(path.c_str(), "a"))
    {
    }
    void Line(const char* kind, long rcpts, unsigned long long bytes)
    {
        if (!m_File) return;
        if (rcpts >= 0)
            std::fprintf(m_File.get(), "%s rcpts=%ld bytes=%llu\n", kind, rcpts, bytes);
        else
            std::fprintf(m_File.get(), "%s bytes=%llu\n", kind, bytes);
        std::fflush(m_File.get());
    }

private:
    File m_File;
};

// One SMTP connection: the command phase reads lines, the data phase reads
// blocks and looks for the end marker, which may straddle two reads.
class Session {
public:
    Session(int fd, Kind kind, SSL_CTX* ctx, const Options& opt, Logger& log)
        : m_Io(fd), m_Kind(kind), m_Ctx(ctx), m_Opt(opt), m_Log(log), m_Buf(kBlock + kMarkerLen)
    {
    }

    void Run()
    {
        if (m_Kind == Kind::IMPLICIT_TLS && !m_Io.StartTls(m_Ctx)) return;
        Reply("220 sink ESMTP ready\r\n");
        while (ReadCommands()) {
            if (!ReadData()) return;
        }
        Flush();
        m_Io.Close();
    }

private:
    // Replies wait until no command is left to answer: a pipelining client
    // gets the replies to a batch together, a lock-step one each at once.
    bool Reply(const char* text)
    {
        m_Out.append(text);
        return true;
    }

    bool Flush()
    {
        const bool ok = m_Io.Write(m_Out.data(), m_Out.size());
        m_Out.clear();
        return ok;
    }

    std::string Ehlo() const
    {
        if (m_Kind == Kind::PLAIN) return "250 sink\r\n";
        if (!m_Io.Tls()) return "250-sink\r\n250-PIPELINING\r\n250 STARTTLS\r\n";
        return "250-sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n250 AUTH PLAIN XOAUTH2\r\n";
    }

    // Returns true when DATA was accepted and the data phase begins.
    bool ReadCommands()
    {
        for (;;) {
            size_t eol;
            while ((eol = m_Pending.find("\r\n")) == std::string::npos) {
                if (!Flush() || !Fill()) return false;
            }
            std::string line = m_Pending.substr(0, eol);
            m_Pending.erase(0, eol + 2);
            int action = Command(line);
            if (action < 0) return false;
            if (action > 0) return true;
        }
    }

    bool Fill()
    {
        ssize_t n = m_Io.Read(m_Buf.data(), kBlock);
        if (n <= 0) return false;
        m_Pending.append(m_Buf.data(), static_cast<size_t>(n));
        return true;
    }

    // 0: keep reading commands, 1: data phase, -1: connection over.
    int Command(const std::string& line)
    {
        if (m_LoginAnswer) {
            m_LoginAnswer = false;
            return Reply("235 2.7.0 accepted\r\n") ? 0 : -1;
        }
        std::string verb = line.substr(0, 4);
        for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (verb == "HELO") return Reply("250 sink\r\n") ? 0 : -1;
        if (verb == "EHLO") return Reply(Ehlo().c_str()) ? 0 : -1;
        if (verb == "MAIL") {
            m_Rcpts = 0;
            return Reply("250 OK\r\n") ? 0 : -1;
        }
        if (verb == "RCPT") {
            ++m_Rcpts;
            return Reply("250 OK\r\n") ? 0 : -1;
        }
        if (verb == "RSET" || verb == "NOOP") return Reply("250 OK\r\n") ? 0 : -1;
        if (verb == "DATA") return Reply("354 go ahead\r\n") && Flush() ? 1 : -1;
        if (verb == "QUIT") {
            Reply("221 bye\r\n");
            return -1;
        }
        if (verb == "AUTH" && m_Io.Tls()) return Login(line);
        if (verb == "STAR" && m_Kind == Kind::STARTTLS && !m_Io.Tls()) return StartTls();
        return Reply("502 not implemented\r\n") ? 0 : -1;
    }

    // AUTH PLAIN with the response on the line or after an empty challenge.
    int Login(const std::string& line)
    {
        if (line.find(' ', 5) == std::string::npos) {
            m_LoginAnswer = true;
            return Reply("334 \r\n") ? 0 : -1;
        }
        return Reply("235 2.7.0 accepted\r\n") ? 0 : -1;
    }

    int StartTls()
    {
        if (!m_Pending.empty()) return -1;
        Reply("220 2.0.0 go ahead\r\n");
        return Flush() && m_Io.StartTls(m_Ctx) ? 0 : -1;
    }

    // The data begins right after the DATA line, whose CR LF counts as the
    // start of the marker, so an empty message is a lone ".\r\n".
    bool ReadData()
    {
        File save(m_Opt.save.empty() ? nullptr : std::fopen(m_Opt.save.c_str(), "wb"));
        char* const area = m_Buf.data() + kMarkerLen;
        char carry[kMarkerLen] = {'\r', '\n'};
        size_t carryLen = 2;
        unsigned long long bytes = 0;
        std::string early;
        early.swap(m_Pending);
        size_t earlyPos = 0;
        for (;;) {
            size_t n;
            if (earlyPos < early.size()) {
                n = std::min(kBlock, early.size() - earlyPos);
                std::memcpy(area, early.data() + earlyPos, n);
                earlyPos += n;
            } else {
                ssize_t got = m_Io.Read(area, kBlock);
                if (got <= 0) return false;
                n = static_cast<size_t>(got);
            }
            char* window = area - carryLen;
            std::memcpy(window, carry, carryLen);
            size_t windowLen = carryLen + n;
            const char* hit = FindMarker(window, windowLen);
            if (hit) {
                size_t at = static_cast<size_t>(hit - window);
                // The marker's leading CR LF ends the last data line; for an
                // empty message it is the CR LF of the DATA line itself.
                long long end = static_cast<long long>(bytes) - static_cast<long long>(carryLen) +
                                static_cast<long long>(at) + 2;
                bytes = end > 0 ? static_cast<unsigned long long>(end) : 0;
                if (save) {
                    std::fwrite(area, 1, n, save.get());
                    std::fflush(save.get());
                    if (ftruncate(fileno(save.get()), static_cast<off_t>(bytes)) != 0)
                        perror("ftruncate");
                }
                size_t after = at + kMarkerLen;
                m_Pending.assign(window + after, windowLen - after);
                m_Pending.append(early, earlyPos, std::string::npos);
                m_Log.Line("smtp", m_Rcpts, bytes);
                return Reply("250 OK queued\r\n");
            }
            bytes += n;
            if (save) std::fwrite(area, 1, n, save.get());
            carryLen = std::min(windowLen, kMarkerLen - 1);
            std::memcpy(carry, window + windowLen - carryLen, carryLen);
        }
    }

    Channel m_Io;
    Kind m_Kind;
    SSL_CTX* m_Ctx;
    std::string m_Out;
    bool m_LoginAnswer = false;
    const Options& m_Opt;
    Logger& m_Log;
    std::vector<char> m_Buf;
    std::string m_Pending;
    long m_Rcpts = 0;
};

void ServeRaw(int fd, Logger& log)
{
    std::vector<char> buf(kBlock);
    unsigned long long bytes = 0;
    ssize_t n;
    while ((n = Receive(fd, buf.data(), buf.size())) > 0)
        bytes += static_cast<unsigned long long>(n);
    log.Line("raw", -1, bytes);
}

Options Parse(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) {
            std::fprintf(stderr, "quillex_sink: %s needs a value\n", a.c_str());
            std::exit(2);
        }
        if (a == "--port")
            opt.port = std::atoi(v);
        else if (a == "--raw-port")
            opt.rawPort = std::atoi(v);
        else if (a == "--seconds")
            opt.seconds = std::atoi(v);
        else if (a == "--log")
            opt.log = v;
        else if (a == "--save")
            opt.save = v;
        else if (a == "--ready")
            opt.ready = v;
        else if (a == "--cert")
            opt.cert = v;
        else if (a == "--key")
            opt.key = v;
        else if (a == "--tls-port")
            opt.tlsPort = std::atoi(v);
        else if (a == "--starttls-port")
            opt.starttlsPort = std::atoi(v);
        else {
            std::fprintf(stderr, "quillex_sink: unknown option %s\n", a.c_str());
            std::exit(2);
        }
        ++i;
    }
    return opt;
}

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

std::unique_ptr<SSL_CTX, CtxFree> ServerContext(const Options& opt)
{
    if (opt.cert.empty()) return nullptr;
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx.get(), opt.cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), opt.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        std::exit(2);
    }
    // Records are read many at a time, as a server's socket reads would be,
    // so that the sink's own reads cost the clients' cores little.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    SSL_CTX_set_default_read_buffer_len(ctx.get(), kReadAhead);
    return ctx;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt = Parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // Bounded lifetime: the default action of SIGALRM ends the process.
    alarm(static_cast<unsigned>(opt.seconds));

    const auto ctx = ServerContext(opt);
    const bool tls = ctx != nullptr;
    Fd smtp(Listen(opt.port));
    Fd raw(opt.rawPort > 0 ? Listen(opt.rawPort) : -1);
    Fd implicit(tls && opt.tlsPort > 0 ? Listen(opt.tlsPort) : -1);
    Fd starttls(tls && opt.starttlsPort > 0 ? Listen(opt.starttlsPort) : -1);
    Logger log(opt.log);
    if (!opt.ready.empty()) File(std::fopen(opt.ready.c_str(), "w"));

    // Listeners in the order of their kinds; the raw port serves no SMTP.
    pollfd fds[4] = {{smtp.get(), POLLIN, 0},
                     {raw.get(), POLLIN, 0},
                     {implicit.get(), POLLIN, 0},
                     {starttls.get(), POLLIN, 0}};
    const Kind kinds[4] = {Kind::PLAIN, Kind::PLAIN, Kind::IMPLICIT_TLS, Kind::STARTTLS};
    const nfds_t count = 4;
    for (;;) {
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            perror("poll");
            return 2;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & POLLIN)) continue;
            Fd conn(accept(fds[i].fd, nullptr, nullptr));
            if (conn.get() < 0) continue;
            if (i == 1) {
                ServeRaw(conn.get(), log);
            } else {
                int on = 1;
                setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                Session(conn.get(), kinds[i], ctx.get(), opt, log).Run();
            }
        }
    }
}
