#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"
#include "mail/CSMTPEmail.h"
#include "mail/Mailbox.h"
#include "transport/Capabilities.h"
#include "transport/Session.h"

namespace transport {
namespace {

const char kReceiverDelimiters[] = ", ";

void Helo(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, std::string("HELO ") + s_LocalHostName + "\r\n");
}

// The capabilities, or nothing when the server refuses EHLO.
std::optional<Capabilities> Ehlo(CSMTPEmail& email, Connection& connection)
{
    if (!Ask(email, connection, std::string("EHLO ") + s_LocalHostName + "\r\n"))
        return std::nullopt;
    const ReplyReader& reply = connection.LastReply();
    return Capabilities::FromEhlo(reply.Text(), reply.Length());
}

// Nothing goes in plain text once TLS was asked for: every way out of this
// step but a handshake ends the session.
void StartTls(CSMTPEmail& email, Connection& connection, const std::optional<Capabilities>& offered)
{
    if (!offered) connection.FailTls("the server refused EHLO, so STARTTLS cannot be asked for");
    if (!offered->Has("STARTTLS")) connection.FailTls("the server does not offer STARTTLS");
    if (!Ask(email, connection, "STARTTLS\r\n") || !connection.LastReply().Completed())
        connection.FailTls("the server refused STARTTLS: \"" + FirstLine(connection.LastReply()) +
                           "\"");
    RefuseBytesAfterReply(connection);
    connection.StartTls(TlsPeerFor(connection));
}

// A TLS session greets with EHLO; what was offered before TLS counts for
// nothing after it. A refused EHLO falls back to HELO when nothing needs it;
// in plain text, only a server that does not know EHLO (5xx) gets HELO.
std::optional<Capabilities> Greet(CSMTPEmail& email, Connection& connection)
{
    std::optional<Capabilities> offered = Ehlo(email, connection);
    const ReplyReader& reply = connection.LastReply();
    if (!offered && connection.Server().security == Security::PLAIN && reply.Text()[0] != '5')
        FailWithReply(reply);
    if (connection.Server().security == Security::STARTTLS) {
        StartTls(email, connection, offered);
        offered = Ehlo(email, connection);
    }
    if (!offered) Helo(email, connection);
    Authenticate(connection, offered ? &*offered : nullptr);
    return offered;
}

// The envelope takes the address alone, as RCPT does; the headers keep the name.
std::string MailFromLine(CSMTPEmail& email, const MailSession& session)
{
    return "MAIL FROM:<" + EnvelopeAddress(email.GetHeader("X-Sender", "(NULL)")) + ">" +
           (session.smtpUtf8 ? " SMTPUTF8" : "") + MailParameters(email, session) + "\r\n";
}

// An address whose local part is not ASCII goes as UTF-8, which the server
// must have offered.
void AgreeOnUtf8(CSMTPEmail& email, MailSession& session)
{
    if (!email.NeedsSmtpUtf8()) return;
    if (!session.offered || !session.offered->Has("SMTPUTF8")) email._RefuseUtf8Envelope();
    session.smtpUtf8 = true;
}

std::string RcptLine(const CSMTPEmail& email, const MailSession& session, std::string_view receiver)
{
    std::string line = "RCPT TO:<";
    line.append(receiver);
    return line + ">" + RcptParameters(email, session) + "\r\n";
}

// Where the receiver that starts at start ends: at a comma or blank, outside
// a quoted string when quoted local parts are kept.
std::size_t ReceiverEnd(std::string_view list, std::size_t start, bool quotes)
{
    if (!quotes) return list.find_first_of(kReceiverDelimiters, start);
    bool quoted = false;
    for (std::size_t i = start; i < list.size(); ++i) {
        if (quoted && list[i] == '\\')
            ++i;
        else if (list[i] == '"')
            quoted = !quoted;
        else if (!quoted && (list[i] == ',' || list[i] == ' '))
            return i;
    }
    return std::string_view::npos;
}

// Every run of characters other than comma and blank is one receiver. Like a
// tokenizer working in place, the list keeps only its first receiver afterwards.
void TakeReceivers(CSMTPEmail& email, MailSession& session)
{
    if (!email.m_Receivers) return;
    const bool quotes = email.m_Extras.quotedLocalParts;
    std::size_t start = email.m_Receivers->find_first_not_of(kReceiverDelimiters);
    if (start == std::string::npos) return;
    const std::size_t firstEnd = ReceiverEnd(*email.m_Receivers, start, quotes);
    // The list moves out rather than being copied: it may hold 100,000 receivers.
    session.list = std::move(*email.m_Receivers);
    email.m_Receivers->assign(session.list, 0, firstEnd);
    const std::string_view list = session.list;
    while (start != std::string::npos) {
        const std::size_t end = ReceiverEnd(list, start, quotes);
        session.waiting.push_back(list.substr(start, end == std::string::npos ? end : end - start));
        start = list.find_first_not_of(kReceiverDelimiters, end);
    }
    session.total = session.waiting.size();
}

// A closed connection, before the time-out: a time-out is no close.
bool Closed(const CSMTPException& error, platform::Deadline timeOut)
{
    const bool lost = error.m_Code == FAILED_TO_SEND || error.m_Code == FAILED_TO_RECEIVE ||
                      error.m_Code == TLS_FAILED;
    return lost && std::chrono::steady_clock::now() < timeOut;
}

// A server that takes no more transactions on a connection refuses MAIL
// with 4xx, or has closed it. A kept connection counts as dropped only when
// closed, or ended with 421.
template <class Step>
void BeforeMail(const Connection& connection, const MailSession& session, Step step)
{
    const platform::Deadline timeOut = platform::DeadlineAfter(TimeLimit(kCommandTimeLimit));
    try {
        step();
    } catch (const CSMTPException& error) {
        const bool closed = Closed(error, timeOut);
        const ReplyReader& reply = connection.LastReply();
        const bool server = error.m_Code == SERVER_ERROR;
        if (session.delivered > 0 && (closed || (server && reply.Transient())))
            throw TransactionDeclined(error);
        if (session.kept && (closed || (server && reply.Code() == 421)))
            throw KeptConnectionDropped(error);
        throw;
    }
}

// HELO sessions go in lock-step and every refusal ends the run.
void LockStep(CSMTPEmail& email, Connection& connection, MailSession& session)
{
    BeforeMail(connection, session,
               [&] { Command(email, connection, MailFromLine(email, session)); });
    for (const std::string_view receiver : session.waiting) {
        try {
            Command(email, connection, RcptLine(email, session, receiver));
        } catch (CSMTPException& error) {
            error.m_ReceiverRefused = error.m_Code == SERVER_ERROR;
            throw;
        }
    }
    session.taken = session.waiting.size();
    session.inFlight = std::move(session.waiting);
    session.waiting.clear();
}

// A server that caps the receivers of one message says so with 452, or with
// a 451 that names them; the rest wait for the next transaction.
bool TooManyReceivers(const ReplyReader& reply)
{
    if (reply.Code() == 452) return true;
    if (reply.Code() != 451) return false;
    return core::Lower(FirstLine(reply)).find("too many") != std::string::npos;
}

void Judged(Connection& connection)
{
    connection.ReadReply(TimeLimit(kCommandTimeLimit));
    if (!connection.LastReply().Accepted()) FailWithReply(connection.LastReply());
}

// Judges one RCPT reply: true when taken, false when it must wait.
bool Taken(const Connection& connection)
{
    const ReplyReader& reply = connection.LastReply();
    if (reply.Accepted()) return true;
    if (TooManyReceivers(reply)) return false;
    FailWithReceiverReply(reply);
}

// MAIL leaves with the first batch, and its reply comes first.
void Mail(Connection& connection, const std::vector<std::string>& lines, const MailSession& session)
{
    BeforeMail(connection, session, [&] {
        connection.SendBatch(lines);
        Judged(connection);
    });
}

// EHLO sessions: with PIPELINING, MAIL and the RCPTs leave in batches and
// their replies are read in order; without it, one at a time. DATA waits
// for every reply. Once a server has capped a transaction, no more
// receivers are sent than it took then, and none after the next refusal.
void Envelope(CSMTPEmail& email, Connection& connection, MailSession& session, bool pipelining)
{
    const std::size_t batch = pipelining ? kPipelineBatch : 1;
    const std::vector<std::string_view>& waiting = session.waiting;
    const std::size_t offered = std::min(waiting.size(), session.cap);
    std::vector<std::string_view> later;
    std::size_t taken = 0;
    std::size_t next = 0;  // the first receiver not sent yet
    bool capped = false;
    bool mailSent = false;
    std::vector<std::string> lines{MailFromLine(email, session)};
    connection.SetPipelined(pipelining);
    do {
        const std::size_t first = next;
        while (lines.size() < batch && next < offered)
            lines.push_back(RcptLine(email, session, waiting[next++]));
        if (!mailSent)
            Mail(connection, lines, session);
        else
            connection.SendBatch(lines);
        mailSent = true;
        for (std::size_t i = first; i < next; ++i) {
            connection.ReadReply(TimeLimit(kCommandTimeLimit));
            if (Taken(connection)) {
                ++taken;
                session.inFlight.push_back(waiting[i]);
            } else {
                later.push_back(waiting[i]);
                capped = true;
            }
        }
        lines.clear();
    } while (next < offered && !capped);
    connection.SetPipelined(false);
    // A server that takes none of them cannot be given the message.
    if (taken == 0 && !later.empty()) FailWithReply(connection.LastReply());
    if (capped) session.cap = taken;
    later.insert(later.end(), waiting.begin() + static_cast<std::ptrdiff_t>(next), waiting.end());
    session.taken = taken;
    session.waiting = std::move(later);
}

void Data(CSMTPEmail& email, Connection& connection)
{
    Command(email, connection, "DATA\r\n");
}

}  // namespace

void MailDialogue(CSMTPEmail& email, Connection& connection, MailSession& session)
{
    session.kept = false;
    MailGreeting(email, connection, session);
    if (session.total == 0) TakeReceivers(email, session);
    NextTransaction(email, connection, session);
}

void KeptTransaction(CSMTPEmail& email, Connection& connection, KeptSession& kept,
                     MailSession& session)
{
    session.kept = true;
    if (kept.dirty)
        BeforeMail(connection, session, [&] { Command(email, connection, "RSET\r\n"); });
    kept.dirty = false;
    session.offered = kept.offered;
    AgreeOnUtf8(email, session);
    TakeReceivers(email, session);
    NextTransaction(email, connection, session);
}

void MailGreeting(CSMTPEmail& email, Connection& connection, MailSession& session)
{
    RefuseLoginInPlainText(connection);
    if (connection.Server().security == Security::PLAIN && !email.m_Extras.ehloWhenPlain)
        Helo(email, connection);
    else
        session.offered = Greet(email, connection);
    AgreeOnUtf8(email, session);
}

void NextTransaction(CSMTPEmail& email, Connection& connection, MailSession& session)
{
    session.inFlight.clear();
    if (session.offered)
        Envelope(email, connection, session, session.offered->Has("PIPELINING"));
    else
        LockStep(email, connection, session);
    Data(email, connection);
}

}  // namespace transport
