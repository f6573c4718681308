#include <cstdint>
#include <cstdio>
#include <exception>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mail/MessageId.h"
#include "mime/TempFileName.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "transport/Session.h"

namespace {

using transport::Connection;

constexpr int kCreateAttempts = 3;

// The usual mistake behind a failed handshake is a scheme for the other port.
constexpr const char* kMailTlsHint =
    "Hint: port 465 takes smtps:// (TLS from the first byte), port 587 takes submission:// "
    "(STARTTLS)";
constexpr const char* kNewsTlsHint =
    "Hint: port 563 takes nntps:// (TLS from the first byte), port 119 takes nntp+starttls:// "
    "(STARTTLS)";

// The message file: created exclusively and owner-only (it holds private
// mail), removed whenever the delivery ends, successful or not.
class MessageFile {
public:
    MessageFile();
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;
    ~MessageFile();

    FILE* File() const { return m_File; }
    const char* Name() const { return m_Name; }
    // FAILED_TO_OPEN_TEMPFILE when the written file cannot be flushed.
    void Rewind();

private:
    char m_Name[kTempNameCapacity] = {};
    FILE* m_File = nullptr;
};

MessageFile::MessageFile()
{
    // A name taken by someone else between naming and creating gets a new one.
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        MakeTempFileName(m_Name);
        m_File = platform::CreateExclusiveFile(m_Name);
        if (m_File) return;
    }
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "Unable to open tmp file '%s'. Aborting.\n", m_Name);
    CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
    error << "Unable to open tmp file \"" << m_Name << "\". Aborting.";
    throw error;
}

MessageFile::~MessageFile()
{
    std::fclose(m_File);
    platform::RemoveFile(m_Name);
}

void MessageFile::Rewind()
{
    // A message cut short by a full disk must never be sent as if whole.
    if (std::fflush(m_File) != 0 || std::ferror(m_File)) {
        if (g_Verbose || g_Debug)
            std::fprintf(stderr, "Unable to write tmp file '%s'. Aborting.\n", m_Name);
        CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
        error << "Unable to write tmp file \"" << m_Name << "\". Aborting.";
        throw error;
    }
    std::rewind(m_File);
}

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

// What the connection learned goes to the record when the delivery ends;
// a failed one keeps the reply that ended it.
class RecordOnExit {
public:
    RecordOnExit(DeliveryRecord& record, const Connection& connection)
        : m_Record(record), m_Connection(connection)
    {
    }
    RecordOnExit(const RecordOnExit&) = delete;
    RecordOnExit& operator=(const RecordOnExit&) = delete;
    ~RecordOnExit()
    {
        try {
            if (!m_Connection.TlsVersion().empty()) m_Record.tls = m_Connection.TlsVersion();
            if (!m_Connection.AuthMechanism().empty()) m_Record.auth = m_Connection.AuthMechanism();
            if (std::uncaught_exceptions() > 0)
                m_Record.reply = transport::FirstLine(m_Connection.LastReply());
        } catch (...) {
            // The record is for the log only; the delivery's outcome stands.
        }
    }

private:
    DeliveryRecord& m_Record;
    const Connection& m_Connection;
};

std::uint64_t SizeOf(const MessageFile& message)
{
    std::uint64_t size = 0;
    return platform::FileSize(message.Name(), size) ? size : 0;
}

}  // namespace

void CSMTPEmail::_SendIt()
{
    const bool news = m_NewsMode == 1;
    // The envelope must be settled before a server hears of it.
    _EncodeHeaders();
    const transport::ServerName server =
        transport::ParseServerName(news ? g_NewsServer : g_MailServer, news);
    // Only an EHLO session can offer SMTPUTF8; a HELO one is refused at once.
    if (!news && NeedsSmtpUtf8() && server.security == transport::Security::PLAIN)
        _RefuseUtf8Envelope();
    m_Record.host = server.host;
    transport::StartSocketLibrary();
    Connection connection(server, news ? kNewsTlsHint : kMailTlsHint);
    const RecordOnExit record(m_Record, connection);
    if (server.security == transport::Security::IMPLICIT_TLS)
        connection.StartTls(transport::TlsPeerFor(connection));
    _ReadReply(connection);
    transport::FillLocalHostName(server.host);

    transport::MailSession mail;
    if (news)
        transport::NewsDialogue(*this, connection);
    else
        mail = transport::MailDialogue(*this, connection);

    SetDate();
    // Large providers refuse or mark mail without one; plain runs keep their bytes.
    if (server.hasScheme && !GetHeader("Message-ID", nullptr))
        SetHeader("Message-ID",
                  MakeMessageId(GetHeader("X-Sender", ""), transport::s_LocalHostName).c_str(), 0);
    MessageFile message;
    WriteMessageFile(message.File(), message.Name());
    m_Record.bytes = SizeOf(message);
    for (;;) {
        message.Rewind();
        _SendText(connection, nullptr, SEND_FLUSH);
        transport::StreamMessageFile(*this, connection, message.File(), message.Name());
        _SendText(connection, "\r\n.\r\n", SEND_QUEUE);
        transport::ReadReplyWithin(*this, connection,
                                   transport::TimeLimit(transport::kEndOfDataTimeLimit));
        m_Record.reply = transport::FirstLine(connection.LastReply());
        // The receivers a capping server did not take get the same message next.
        if (mail.waiting.empty()) break;
        transport::NextTransaction(*this, connection, mail);
    }
    Quit(*this, connection);
}
