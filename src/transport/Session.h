#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Sockets.h"

class CSMTPEmail;

// The pieces of a delivery that CSMTPEmail::_SendIt puts together. Every
// function here throws CSMTPException with the code named beside it.
namespace transport {

constexpr std::size_t kReplyBufferSize = 32768;  // a reply holds at most 32767 bytes
constexpr std::size_t kLocalHostNameSize = 256;
constexpr std::size_t kUnitSize = 1023;          // bytes of the message per send unit
constexpr std::uint16_t kSmtpPort = 25;
constexpr std::uint16_t kNntpPort = 119;
constexpr int kCommandTimeLimit = 300;    // seconds, for connect, sends and replies
constexpr int kEndOfDataTimeLimit = 600;  // the server may check the whole message

// The reply last read, NUL-terminated; shared by every delivery of the process.
extern char s_ReplyBuffer[kReplyBufferSize];
extern char s_LocalHostName[kLocalHostNameSize];

// The limit in seconds for a step; QUILLEX_TIMEOUT (seconds) overrides every one.
int TimeLimit(int defaultSeconds);

struct ServerAddress {
    std::string host;
    std::uint16_t port;
};
// "host" or "host:port" with a port of 1 to 65535; any other suffix stays
// part of the host name.
ServerAddress SplitServer(const char* server, std::uint16_t defaultPort);

// FAILED_TO_START_SOCKETS.
void StartSocketLibrary();

// Owns a connected socket and closes it.
class Connection {
public:
    // FAILED_TO_OBTAIN_SOCKET_HANDLE, FAILED_TO_CONNECT (also for a host that
    // does not resolve: nothing is connected then).
    explicit Connection(const ServerAddress& server);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    platform::Socket Socket() const { return m_Socket; }

private:
    platform::Socket m_Socket;
};

// Fills s_LocalHostName once per process; FAILED_TO_CONNECT.
void FillLocalHostName(const std::string& serverHost);

// One unit: the "Posting:" line under -d, then every byte. FAILED_TO_SEND.
void SendUnit(platform::Socket socket, const char* data, std::size_t length);
// Several units in one call, without debug lines. FAILED_TO_SEND.
void SendUnits(platform::Socket socket, const platform::SendPiece* units, std::size_t count);

// Flushes the pending text and reads one reply within timeLimit seconds;
// true when the server accepted. FAILED_TO_SEND, FAILED_TO_RECEIVE, SERVER_ERROR.
bool ReadReplyWithin(CSMTPEmail& email, platform::Socket socket, int timeLimit);

// Queues the text and reads its reply: one command and its answer.
void Command(CSMTPEmail& email, platform::Socket socket, const std::string& line);

// The dialogues up to DATA and up to POST.
void MailDialogue(CSMTPEmail& email, platform::Socket socket);
void NewsDialogue(CSMTPEmail& email, platform::Socket socket);

// Streams the file from its start: full units now, the last one (1 to 1023
// bytes) left in the pending text for the end-of-data marker.
// FAILED_TO_SEND; FAILED_TO_OPEN_TEMPFILE when the file cannot be read.
void StreamMessageFile(CSMTPEmail& email, platform::Socket socket, FILE* file,
                       const char* fileName);

}  // namespace transport
