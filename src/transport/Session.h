#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/CSMTPException.h"
#include "platform/Clock.h"
#include "transport/Capabilities.h"
#include "transport/Connection.h"

class CSMTPEmail;

// The pieces of a delivery that CSMTPEmail::_SendIt puts together. Every
// function here throws CSMTPException with the code named beside it.
namespace transport {

constexpr std::size_t kLocalHostNameSize = 256;
constexpr std::size_t kUnitSize = 1023;  // bytes of the message per send unit
constexpr std::uint16_t kSmtpPort = 25;
constexpr std::uint16_t kNntpPort = 119;
constexpr int kCommandTimeLimit = 300;    // seconds, for connect, sends and replies
constexpr int kEndOfDataTimeLimit = 600;  // the server may check the whole message

extern char s_LocalHostName[kLocalHostNameSize];

// The limit in seconds for a step (QUILLEX_TIMEOUT overrides every one).
using platform::TimeLimit;

// FAILED_TO_START_SOCKETS.
void StartSocketLibrary();

// Fills s_LocalHostName once per process; FAILED_TO_CONNECT.
void FillLocalHostName(const std::string& serverHost);

// Flushes the pending text and reads one reply within timeLimit seconds;
// true when the server accepted. FAILED_TO_SEND, FAILED_TO_RECEIVE, SERVER_ERROR.
bool ReadReplyWithin(CSMTPEmail& email, Connection& connection, int timeLimit);

// A command is one line: a CR or LF before its final CR LF would make the
// server read two commands. The message quotes the line up to the break, or
// shown for a line that holds a secret. BAD_ARGUMENTS_FROM_FORM.
void RefuseLineBreaks(std::string_view line, const char* shown = nullptr);

// Queues the text and reads its reply: one command and its answer.
void Command(CSMTPEmail& email, Connection& connection, const std::string& line);
// The same for a command whose refusal the dialogue handles itself: true
// when the server accepted. FAILED_TO_SEND, FAILED_TO_RECEIVE.
bool Ask(CSMTPEmail& email, Connection& connection, const std::string& line,
         ReplyEnd end = ReplyEnd::FINAL_LINE);

// What the TLS session must check: the host the user wrote, the CA file
// (QUILLEX_CA_FILE, else the settings) and the pinned fingerprint.
platform::TlsPeer TlsPeerFor(const Connection& connection);
// After a STARTTLS reply: bytes that came with it were sent before the
// handshake, where anyone on the path could have put them. TLS_FAILED.
void RefuseBytesAfterReply(const Connection& connection);

// A secret for a login: the environment variable, else the first line of
// the command's output, else the stored one; false with the reason when
// none is to be had.
bool FetchSecret(const char* variable, const std::string& command, const std::string& stored,
                 std::string* secret, std::string* why);

// The SMTP login name: the one in the server text, else the settings.
std::string SmtpUser(const Connection& connection);
// A login over plain text is refused before anything is sent. AUTH_FAILED.
void RefuseLoginInPlainText(const Connection& connection);
// The login of one run, handed to every connection that logs in and wiped
// when the run ends. The OAuth access token for XOAUTH2 or OAUTHBEARER is got
// before the first connection when the settings ask for OAuth and neither
// QUILLEX_SMTP_PASSWORD nor a password command gives the secret; a password,
// at the first AUTH. AUTH_FAILED.
class RunCredentials {
public:
    RunCredentials(const ServerName& server, bool news);
    RunCredentials(const RunCredentials&) = delete;
    RunCredentials& operator=(const RunCredentials&) = delete;
    ~RunCredentials();
};
// SMTP AUTH when a login name is set, with the capabilities read over TLS
// (null when EHLO was refused). AUTH_FAILED.
void Authenticate(Connection& connection, const Capabilities* offered);

// SERVER_ERROR with the reply in the message.
[[noreturn]] void FailWithReply(const ReplyReader& reply);
// The same for the refusal of a receiver.
[[noreturn]] void FailWithReceiverReply(const ReplyReader& reply);

// What the mail greeting learned, and the receivers that wait for the next
// transaction (those a server that caps them did not take yet).
struct MailSession {
    std::optional<Capabilities> offered;  // EHLO's; none on HELO sessions
    bool smtpUtf8 = false;                // MAIL FROM asks for SMTPUTF8
    std::string list;                     // every receiver, as the message held them
    std::vector<std::string_view> waiting;
    // The most receivers the server took in a transaction that it capped.
    std::size_t cap = SIZE_MAX;
    std::size_t total = 0;                   // receivers in the list
    std::size_t taken = 0;                   // by the transaction under way
    std::vector<std::string_view> inFlight;  // the receivers it took
    std::size_t delivered = 0;               // by the transactions whose message was accepted
    // The connection carried an earlier message: a drop before MAIL is accepted is not this one's.
    bool kept = false;
};

// A further transaction that the server declines: a 4xx reply to MAIL, or
// a connection that it closed after the last message. It carries the error
// that ends the run when no new connection may be opened.
class TransactionDeclined : public CSMTPException {
public:
    explicit TransactionDeclined(const CSMTPException& cause) : CSMTPException(cause) {}
};

// A kept connection that the server dropped between messages: a failed
// write, an end of file or a 421 before MAIL was accepted. Nothing of the
// message went, so a fresh connection takes it.
class KeptConnectionDropped : public CSMTPException {
public:
    explicit KeptConnectionDropped(const CSMTPException& cause) : CSMTPException(cause) {}
};

// RCPT commands that leave together when the server allows pipelining: few
// enough that their replies fit the socket buffers while the batch is sent.
constexpr std::size_t kPipelineBatch = 100;

// The mail dialogue up to DATA: the greeting and the first transaction. A
// session that a dropped kept connection left keeps the receivers it took.
void MailDialogue(CSMTPEmail& email, Connection& connection, MailSession& session);
// The greeting: HELO, or EHLO with STARTTLS and AUTH as the scheme asks.
void MailGreeting(CSMTPEmail& email, Connection& connection, MailSession& session);
// The parameters after "MAIL FROM:<...>" and "RCPT TO:<...>", each with its
// leading blank: BODY= where 8BITMIME is offered, and the DSN requests where
// DSN is (under -v, a request that cannot go is reported).
std::string MailParameters(const CSMTPEmail& email, const MailSession& session);
std::string RcptParameters(const CSMTPEmail& email, const MailSession& session);

// MAIL, the waiting receivers and DATA: a transaction for those the server
// takes; the rest stay waiting. TransactionDeclined after the first message.
void NextTransaction(CSMTPEmail& email, Connection& connection, MailSession& session);
// A connection that outlives one delivery, for the next message to the
// same server and login: one handshake and one login for many messages.
struct KeptSession {
    std::unique_ptr<Connection> connection;
    std::optional<Capabilities> offered;
    bool dirty = false;  // a refused transaction waits for RSET
};
// The next message over a kept connection: RSET where the last one was
// refused, then MAIL, its receivers and DATA. KeptConnectionDropped.
void KeptTransaction(CSMTPEmail& email, Connection& connection, KeptSession& kept,
                     MailSession& session);
// QUIT on a kept connection, if one is left; never throws.
void EndKeptSession(CSMTPEmail& email, KeptSession& kept);

// The news dialogue up to POST.
void NewsDialogue(CSMTPEmail& email, Connection& connection);

// Streams the file from its current position: full units now, the last one
// (1 to 1023 bytes) left in the pending text for the end-of-data marker.
// FAILED_TO_SEND; FAILED_TO_OPEN_TEMPFILE when the file cannot be read.
void StreamMessageFile(CSMTPEmail& email, Connection& connection, FILE* file, const char* fileName);

class SpooledMessage;
// Writes the message file and streams it as StreamMessageFile does, in one
// pass where the system allows: each block goes to the file and to the
// server together. A failed send (FAILED_TO_SEND) ends the sending, not the
// writing: it is returned once the file is whole and flushed. A failed write
// leaves the server without the end of the data and throws what
// WriteMessageFile throws, or FAILED_TO_OPEN_TEMPFILE.
std::exception_ptr WriteAndStream(CSMTPEmail& email, Connection& connection,
                                  SpooledMessage& message);

}  // namespace transport
