// Reply reader fed as a server stream. The input describes the reads the
// server's bytes arrive in; a thread writes them into a sequenced-packet
// socket pair, so every read of the reader returns exactly one of them. The
// reader must then hold, byte for byte, what a simple model says: a reply is
// complete when it ends in CR LF and its last line is final (fourth byte not
// "-"), it is accepted only for a first byte "1", "2" or "3", and it never
// holds more than 32767 bytes (a full buffer ends the reading with
// FAILED_TO_RECEIVE, as does the end of the stream). The parsed reply and
// the capabilities read from it must agree with the bytes held.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>  // the fuzzer plays the server over a socket pair (POSIX only)
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Capabilities.h"
#include "transport/Session.h"
#include "transport/Stream.h"

namespace {

constexpr std::size_t kCapacity = transport::kReplyBufferSize - 1;

[[noreturn]] void Fail(const char* what, const std::string& expected)
{
    std::fprintf(stderr, "reply reader property broken: %s\nexpected reply: %s\n", what,
                 expected.c_str());
    std::abort();
}

// The reads, as the server's writes: short pieces, or a pattern repeated to
// a length of up to 40000 bytes (replies beyond the buffer, endless lines).
std::vector<std::string> Reads(FuzzedDataProvider& provider)
{
    std::vector<std::string> reads;
    while (provider.remaining_bytes() > 0 && reads.size() < 200) {
        std::string piece;
        if (provider.ConsumeIntegralInRange(0, 15) == 0) {
            const std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(1, 40000);
            std::string pattern = provider.ConsumeRandomLengthString(16);
            if (pattern.empty()) pattern = "x";
            while (piece.size() < length) piece += pattern;
            piece.resize(length);
        } else {
            piece = provider.ConsumeRandomLengthString(600);
        }
        if (!piece.empty()) reads.push_back(piece);  // an empty write would look like the end
    }
    return reads;
}

bool EndsComplete(const std::string& reply)
{
    const std::size_t n = reply.size();
    if (n < 2 || reply[n - 2] != '\r' || reply[n - 1] != '\n') return false;
    const std::size_t previous = n >= 3 ? reply.rfind('\n', n - 3) : std::string::npos;
    const std::size_t start = previous == std::string::npos ? 0 : previous + 1;
    const std::size_t length = n - 2 - start;
    return length < 4 || reply[start + 3] != '-';
}

struct Expected {
    enum { ACCEPTED, REFUSED, ENDED } outcome;
    std::string reply;
};

// What the reader must give for each reply, reading the pieces in order.
std::vector<Expected> Model(const std::vector<std::string>& reads)
{
    std::vector<Expected> out;
    std::size_t next = 0;
    for (;;) {
        std::string reply;
        for (;;) {
            if (reply.size() == kCapacity || next == reads.size()) {
                out.push_back({Expected::ENDED, reply});
                return out;
            }
            reply += reads[next++].substr(0, kCapacity - reply.size());
            if (EndsComplete(reply)) break;
        }
        const char first = reply[0];
        out.push_back(
            {first == '1' || first == '2' || first == '3' ? Expected::ACCEPTED : Expected::REFUSED,
             reply});
    }
}

void Serve(int fd, const std::vector<std::string>& reads)
{
    for (const std::string& piece : reads)
        if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
    close(fd);
}

std::string FirstWordUpper(const std::string& line)
{
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return std::string();
    std::string word = line.substr(start, line.find_first_of(" \t", start) - start);
    if (word.find('\0') != std::string::npos) return std::string();  // no keyword to ask for
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return word;
}

// Every capability line of the reply, read as EHLO's lines or as an NNTP
// list, is found again by its keyword.
void CheckCapabilities(const std::string& reply)
{
    const auto ehlo = transport::Capabilities::FromEhlo(reply.data(), reply.size());
    const auto list = transport::Capabilities::FromList(reply.data(), reply.size());
    std::size_t start = reply.find('\n');
    bool listGoesOn = true;
    while (start != std::string::npos && start + 1 < reply.size()) {
        const std::size_t end = reply.find('\n', start + 1);
        std::string line =
            reply.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        listGoesOn = listGoesOn && line != ".";
        const std::string keyword = line.size() > 4 ? FirstWordUpper(line.substr(4)) : "";
        if (!keyword.empty() && !ehlo.Has(keyword.c_str())) Fail("EHLO capability lost", reply);
        const std::string listed = FirstWordUpper(line);
        if (listGoesOn && !listed.empty() && !list.Has(listed.c_str()))
            Fail("listed capability lost", reply);
        start = end;
    }
}

// The reader holds the reply byte for byte, and the parser's lines end
// within it, at a line end, with the code of its first three digits.
void CheckHeld(const transport::ReplyReader& reader, const std::string& reply)
{
    if (reader.Length() != reply.size() ||
        std::memcmp(reader.Text(), reply.data(), reply.size()) != 0 ||
        reader.Text()[reply.size()] != '\0')
        Fail("reply buffer differs", reply);
    const transport::Reply parsed = reader.Parsed();
    if (parsed.length == 0 || parsed.length > reply.size() || reply[parsed.length - 1] != '\n' ||
        parsed.lines.empty())
        Fail("parsed reply does not end at a line end", reply);
    const bool digits = reply.size() >= 3 && std::isdigit(static_cast<unsigned char>(reply[0])) &&
                        std::isdigit(static_cast<unsigned char>(reply[1])) &&
                        std::isdigit(static_cast<unsigned char>(reply[2]));
    if (parsed.code != (digits ? std::stoi(reply.substr(0, 3)) : -1))
        Fail("wrong reply code", reply);
    CheckCapabilities(reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    g_Debug = provider.ConsumeBool();
    const std::vector<std::string> reads = Reads(provider);
    const std::vector<Expected> expected = Model(reads);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) std::abort();
    std::thread server(Serve, pair[1], std::cref(reads));

    static CSMTPEmail mail;
    // The connection closes its end before the join: a server still writing then stops.
    auto connection =
        std::make_unique<transport::Connection>(std::make_unique<transport::SocketStream>(pair[0]));
    for (const Expected& want : expected) {
        bool accepted = false;
        int code = 0;
        std::string message;
        try {
            accepted = transport::ReadReplyWithin(mail, *connection, 5);
        } catch (const CSMTPException& error) {
            code = error.m_Code;
            message = error.what();
        }
        switch (want.outcome) {
        case Expected::ACCEPTED:
            if (!accepted) Fail("accepted reply not accepted", want.reply);
            CheckHeld(connection->LastReply(), want.reply);
            break;
        case Expected::REFUSED:
            if (code != SERVER_ERROR) Fail("refused reply not refused", want.reply);
            CheckHeld(connection->LastReply(), want.reply);
            if (message != "SMTP server error: \"" +
                               transport::PrintableReply(want.reply.data(), want.reply.size()) +
                               "\".")
                Fail("wrong refusal message", want.reply);
            break;
        case Expected::ENDED:
            if (code != FAILED_TO_RECEIVE) Fail("end of reading not reported", want.reply);
            break;
        }
    }
    connection.reset();
    server.join();
    g_Debug = 0;
    return 0;
}
