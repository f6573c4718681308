#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mail/MessageId.h"
#include "transport/Session.h"
#include "transport/SpooledMessage.h"

namespace {

using transport::Connection;

// One message takes at most this many connections: a server may cap the
// transactions of each.
constexpr int kMailConnections = 10;

// The usual mistake behind a failed handshake is a scheme for the other port.
constexpr const char* kMailTlsHint =
    "Hint: port 465 takes smtps:// (TLS from the first byte), port 587 takes submission:// "
    "(STARTTLS)";
constexpr const char* kNewsTlsHint =
    "Hint: port 563 takes nntps:// (TLS from the first byte), port 119 takes nntp+starttls:// "
    "(STARTTLS)";

// Once the end of the data is accepted the message is delivered: a failing
// QUIT must not make a script send it again.
void Quit(CSMTPEmail& email, Connection& connection)
{
    try {
        transport::Command(email, connection, "QUIT\r\n");
    } catch (const CSMTPException& error) {
        if (g_Verbose || g_Debug)
            std::fprintf(stderr, "The server accepted the message, but QUIT failed: %s (%s)\n",
                         SmtpErrorText[error.m_Code], NeutraliseLineBreaks(error.what()).c_str());
    }
}

// Connects, with TLS from the first byte where the scheme asks for it, and
// reads the greeting.
void Open(CSMTPEmail& email, const transport::ServerName& server, bool news,
          std::unique_ptr<Connection>& connection)
{
    connection = std::make_unique<Connection>(server, news ? kNewsTlsHint : kMailTlsHint);
    if (server.security == transport::Security::IMPLICIT_TLS)
        connection->StartTls(transport::TlsPeerFor(*connection));
    email._ReadReply(*connection);
}

// The receivers still waiting get a further transaction. A server may take
// only so many per connection: one that declines gets a new connection,
// greeted like the first, up to kMailConnections in all.
void CarryOn(CSMTPEmail& email, std::unique_ptr<Connection>& connection,
             transport::MailSession& mail, int* connections)
{
    for (;;) {
        try {
            transport::NextTransaction(email, *connection, mail);
            return;
        } catch (const transport::TransactionDeclined&) {
            if (*connections >= kMailConnections) throw;
        }
        const transport::ServerName server = connection->Server();
        connection.reset();
        Open(email, server, false, connection);
        ++*connections;
        transport::MailGreeting(email, *connection, mail);
    }
}

// The server closed a kept connection between messages: this message gets
// one fresh connection, greeted like the first.
void Reopen(CSMTPEmail& email, std::unique_ptr<Connection>& connection)
{
    const transport::ServerName server = connection->Server();
    email.m_SendBuffer.clear();
    connection.reset();
    Open(email, server, false, connection);
}

void TellPartialDelivery(const transport::MailSession& mail)
{
    if ((g_Verbose || g_Debug) && mail.delivered > 0)
        std::fprintf(stderr, "%lu receivers have the message, %lu do not\n",
                     static_cast<unsigned long>(mail.delivered),
                     static_cast<unsigned long>(mail.total - mail.delivered));
}

void NoteWaiting(const transport::MailSession& mail, DeliveryRecord& record)
{
    if (mail.delivered == 0) return;
    for (const auto* group : {&mail.inFlight, &mail.waiting})
        for (const std::string_view receiver : *group) record.waiting.emplace_back(receiver);
}

// What the connection learned goes to the record when the delivery ends;
// a failed one keeps the reply that ended it.
class RecordOnExit {
public:
    RecordOnExit(DeliveryRecord& record, const std::unique_ptr<Connection>& connection)
        : m_Record(record), m_Connection(connection)
    {
    }
    RecordOnExit(const RecordOnExit&) = delete;
    RecordOnExit& operator=(const RecordOnExit&) = delete;
    ~RecordOnExit()
    {
        if (!m_Connection) return;
        try {
            const Connection& connection = *m_Connection;
            if (!connection.TlsVersion().empty()) m_Record.tls = connection.TlsVersion();
            if (!connection.AuthMechanism().empty()) m_Record.auth = connection.AuthMechanism();
            if (std::uncaught_exceptions() > 0)
                m_Record.reply = transport::FirstLine(connection.LastReply());
        } catch (...) {
            // The record is for the log only; the delivery's outcome stands.
        }
    }

private:
    DeliveryRecord& m_Record;
    const std::unique_ptr<Connection>& m_Connection;
};

// A kept session takes the connection back when the delivery ends: after
// success, or after a refusal that left the server listening.
class KeepOnExit {
public:
    KeepOnExit(transport::KeptSession* kept, std::unique_ptr<Connection>& connection)
        : m_Kept(kept), m_Connection(connection)
    {
    }
    KeepOnExit(const KeepOnExit&) = delete;
    KeepOnExit& operator=(const KeepOnExit&) = delete;
    ~KeepOnExit()
    {
        if (!m_Kept || !m_Connection) return;
        const char* reply = m_Connection->LastReply().Text();
        const bool refused = (reply[0] == '4' || reply[0] == '5') && std::strncmp(reply, "421", 3);
        if (std::uncaught_exceptions() > 0 && !refused) return;
        m_Kept->dirty = std::uncaught_exceptions() > 0;
        m_Kept->connection = std::move(m_Connection);
    }

private:
    transport::KeptSession* m_Kept;
    std::unique_ptr<Connection>& m_Connection;
};

}  // namespace

void CSMTPEmail::_SendIt()
{
    const bool news = m_NewsMode == 1;
    // The envelope must be settled before a server hears of it.
    _EncodeHeaders();
    if (!news) _CheckSender();
    const transport::ServerName server =
        transport::ParseServerName(news ? g_NewsServer : g_MailServer, news);
    // Only an EHLO session can offer SMTPUTF8; a HELO one is refused at once.
    if (!news && NeedsSmtpUtf8() && server.security == transport::Security::PLAIN)
        _RefuseUtf8Envelope();
    const transport::RunCredentials credentials(server, news);
    m_Record.host = server.host;
    transport::StartSocketLibrary();
    transport::KeptSession* kept = news ? nullptr : m_Kept;
    std::unique_ptr<Connection> connection;
    const KeepOnExit keep(kept, connection);
    const RecordOnExit record(m_Record, connection);
    const bool reuse = kept && kept->connection;
    if (reuse)
        connection = std::move(kept->connection);
    else
        Open(*this, server, news, connection);
    transport::FillLocalHostName(server.host);

    transport::MailSession mail;
    if (news) {
        transport::NewsDialogue(*this, *connection);
    } else {
        bool fresh = !reuse;
        try {
            if (reuse) transport::KeptTransaction(*this, *connection, *kept, mail);
        } catch (const transport::KeptConnectionDropped&) {
            Reopen(*this, connection);
            fresh = true;
        }
        if (fresh) transport::MailDialogue(*this, *connection, mail);
        if (fresh && kept) kept->offered = mail.offered;
    }

    // A finished message has its Date and Message-ID already.
    if (!m_RawMessage) {
        SetDate();
        // Large providers refuse or mark mail without one; plain runs keep their bytes.
        if (server.hasScheme && !GetHeader("Message-ID", nullptr))
            SetHeader("Message-ID",
                      MakeMessageId(GetHeader("X-Sender", ""), transport::s_LocalHostName).c_str(),
                      0);
    }
    transport::OutgoingMessage message(*this);
    const std::exception_ptr sendFailure = message.Stream(*connection);
    m_Record.bytes = message.Size();
    if (sendFailure) std::rethrow_exception(sendFailure);
    int connections = 1;
    try {
        for (;;) {
            _SendText(*connection, "\r\n.\r\n", SEND_QUEUE);
            transport::ReadReplyWithin(*this, *connection,
                                       transport::TimeLimit(transport::kEndOfDataTimeLimit));
            m_Record.reply = transport::FirstLine(connection->LastReply());
            mail.delivered += mail.taken;
            // The receivers a capping server did not take get the same message next.
            if (mail.waiting.empty()) break;
            if (m_OnAccepted) m_OnAccepted({mail.waiting.begin(), mail.waiting.end()});
            CarryOn(*this, connection, mail, &connections);
            message.StreamAgain(*connection);
        }
    } catch (const CSMTPException&) {
        TellPartialDelivery(mail);
        NoteWaiting(mail, m_Record);
        throw;
    }
    if (!kept) Quit(*this, *connection);
}

namespace transport {

void EndKeptSession(CSMTPEmail& email, KeptSession& kept)
{
    if (!kept.connection) return;
    try {
        Command(email, *kept.connection, "QUIT\r\n");
    } catch (const CSMTPException&) {
        // Every message of the session has its answer already.
    }
    kept.connection.reset();
}

}  // namespace transport
