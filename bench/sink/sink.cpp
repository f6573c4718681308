// quillex_sink - a fast SMTP sink for the benchmarks.
//
// Serves one connection at a time on 127.0.0.1: an SMTP port that accepts
// everything (220, 250, 354, 250, 221) and swallows the message data in large
// blocks, and optionally a raw port that swallows a byte stream until EOF (the
// loopback-copy reference). It never advertises PIPELINING, so every client
// waits for the reply to each command. It stops by itself after --seconds.
//
// usage: quillex_sink [--port N] [--raw-port N] [--seconds N] [--log FILE]
//                     [--save FILE] [--ready FILE]
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
};

constexpr size_t kBlock = 1 << 20;
const char kMarker[] = "\r\n.\r\n";
constexpr size_t kMarkerLen = 5;

struct FileCloser {
    void operator()(FILE* f) const { if (f) std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

class Fd {
public:
    explicit Fd(int fd = -1) : m_Fd(fd) {}
    ~Fd() { if (m_Fd >= 0) close(m_Fd); }
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

bool Reply(int fd, const char* text) { return WriteAll(fd, text, std::strlen(text)); }

ssize_t Receive(int fd, char* buf, size_t len)
{
    for (;;) {
        ssize_t n = recv(fd, buf, len, 0);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int Listen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) { perror("socket"); std::exit(2); }
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
        : m_File(path.empty() ? nullptr : std::fopen(path.c_str(), "a")) {}
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
    Session(int fd, const Options& opt, Logger& log)
        : m_Fd(fd), m_Opt(opt), m_Log(log), m_Buf(kBlock + kMarkerLen) {}

    void Run()
    {
        if (!Reply(m_Fd, "220 sink ESMTP ready\r\n")) return;
        while (ReadCommands()) {
            if (!ReadData()) return;
        }
    }

private:
    // Returns true when DATA was accepted and the data phase begins.
    bool ReadCommands()
    {
        for (;;) {
            size_t eol;
            while ((eol = m_Pending.find("\r\n")) == std::string::npos) {
                if (!Fill()) return false;
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
        ssize_t n = Receive(m_Fd, m_Buf.data(), kBlock);
        if (n <= 0) return false;
        m_Pending.append(m_Buf.data(), static_cast<size_t>(n));
        return true;
    }

    // 0: keep reading commands, 1: data phase, -1: connection over.
    int Command(const std::string& line)
    {
        std::string verb = line.substr(0, 4);
        for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (verb == "HELO" || verb == "EHLO") return Reply(m_Fd, "250 sink\r\n") ? 0 : -1;
        if (verb == "MAIL") { m_Rcpts = 0; return Reply(m_Fd, "250 OK\r\n") ? 0 : -1; }
        if (verb == "RCPT") { ++m_Rcpts; return Reply(m_Fd, "250 OK\r\n") ? 0 : -1; }
        if (verb == "RSET" || verb == "NOOP") return Reply(m_Fd, "250 OK\r\n") ? 0 : -1;
        if (verb == "DATA") return Reply(m_Fd, "354 go ahead\r\n") ? 1 : -1;
        if (verb == "QUIT") { Reply(m_Fd, "221 bye\r\n"); return -1; }
        return Reply(m_Fd, "502 not implemented\r\n") ? 0 : -1;
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
                ssize_t got = Receive(m_Fd, area, kBlock);
                if (got <= 0) return false;
                n = static_cast<size_t>(got);
            }
            char* window = area - carryLen;
            std::memcpy(window, carry, carryLen);
            size_t windowLen = carryLen + n;
            void* hit = memmem(window, windowLen, kMarker, kMarkerLen);
            if (hit) {
                size_t at = static_cast<size_t>(static_cast<char*>(hit) - window);
                // The marker's leading CR LF ends the last data line; for an
                // empty message it is the CR LF of the DATA line itself.
                long long end = static_cast<long long>(bytes) - static_cast<long long>(carryLen)
                    + static_cast<long long>(at) + 2;
                bytes = end > 0 ? static_cast<unsigned long long>(end) : 0;
                if (save) {
                    std::fwrite(area, 1, n, save.get());
                    std::fflush(save.get());
                    if (ftruncate(fileno(save.get()), static_cast<off_t>(bytes)) != 0) perror("ftruncate");
                }
                size_t after = at + kMarkerLen;
                m_Pending.assign(window + after, windowLen - after);
                m_Pending.append(early, earlyPos, std::string::npos);
                m_Log.Line("smtp", m_Rcpts, bytes);
                return Reply(m_Fd, "250 OK queued\r\n");
            }
            bytes += n;
            if (save) std::fwrite(area, 1, n, save.get());
            carryLen = std::min(windowLen, kMarkerLen - 1);
            std::memcpy(carry, window + windowLen - carryLen, carryLen);
        }
    }

    int m_Fd;
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
    while ((n = Receive(fd, buf.data(), buf.size())) > 0) bytes += static_cast<unsigned long long>(n);
    log.Line("raw", -1, bytes);
}

Options Parse(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) { std::fprintf(stderr, "quillex_sink: %s needs a value\n", a.c_str()); std::exit(2); }
        if (a == "--port") opt.port = std::atoi(v);
        else if (a == "--raw-port") opt.rawPort = std::atoi(v);
        else if (a == "--seconds") opt.seconds = std::atoi(v);
        else if (a == "--log") opt.log = v;
        else if (a == "--save") opt.save = v;
        else if (a == "--ready") opt.ready = v;
        else { std::fprintf(stderr, "quillex_sink: unknown option %s\n", a.c_str()); std::exit(2); }
        ++i;
    }
    return opt;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt = Parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    // Bounded lifetime: the default action of SIGALRM ends the process.
    alarm(static_cast<unsigned>(opt.seconds));

    Fd smtp(Listen(opt.port));
    Fd raw(opt.rawPort > 0 ? Listen(opt.rawPort) : -1);
    Logger log(opt.log);
    if (!opt.ready.empty()) File(std::fopen(opt.ready.c_str(), "w"));

    pollfd fds[2] = {{smtp.get(), POLLIN, 0}, {raw.get(), POLLIN, 0}};
    nfds_t count = raw.get() >= 0 ? 2 : 1;
    for (;;) {
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            perror("poll");
            return 2;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            Fd conn(accept(fds[i].fd, nullptr, nullptr));
            if (conn.get() < 0) continue;
            if (i == 0) {
                int on = 1;
                setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                Session(conn.get(), opt, log).Run();
            } else {
                ServeRaw(conn.get(), log);
            }
        }
    }
}
