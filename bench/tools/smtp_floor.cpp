// quillex_smtp_floor - the least a stop-and-wait SMTP client can do: one
// blocking send and one blocking receive per command, no composing, no
// checks beyond the reply's first byte. The receiver benchmarks use it as the
// floor that the loopback round trip and the sink allow.
//
// usage: quillex_smtp_floor RECEIVERS [PORT]
// Sends a short message to RECEIVERS addresses r000000@example.test ... on
// 127.0.0.1:PORT (default 25). Exit status 0 when every reply was positive.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int g_Socket = -1;
char g_Reply[4096];

bool SendAll(const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = send(g_Socket, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A reply is complete once the bytes end with CR LF (the sink answers in one line).
bool ReadReply()
{
    size_t held = 0;
    while (held < 2 || g_Reply[held - 2] != '\r' || g_Reply[held - 1] != '\n') {
        const ssize_t n = recv(g_Socket, g_Reply + held, sizeof g_Reply - held, 0);
        if (n <= 0) return false;
        held += static_cast<size_t>(n);
    }
    return g_Reply[0] >= '1' && g_Reply[0] <= '3';
}

bool Command(const std::string& line)
{
    return SendAll(line.data(), line.size()) && ReadReply();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillex_smtp_floor RECEIVERS [PORT]\n");
        return 2;
    }
    const long receivers = std::atol(argv[1]);
    const int port = argc > 2 ? std::atoi(argv[2]) : 25;

    g_Socket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (g_Socket < 0 || connect(g_Socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("connect");
        return 1;
    }
    int on = 1;
    setsockopt(g_Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    bool ok = ReadReply() && Command("HELO bench.example.test\r\n") &&
              Command("MAIL FROM:<sender@example.test>\r\n");
    char line[64];
    for (long i = 0; ok && i < receivers; ++i) {
        std::snprintf(line, sizeof line, "RCPT TO:<r%06ld@example.test>\r\n", i);
        ok = Command(line);
    }
    ok = ok && Command("DATA\r\n") && Command("Subject: Bench\r\n\r\nhi\r\n.\r\n") &&
         Command("QUIT\r\n");
    close(g_Socket);
    return ok ? 0 : 1;
}
