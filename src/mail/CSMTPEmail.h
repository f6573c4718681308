#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/CSMTPException.h"
#include "mail/CSMTPHeader.h"

class CSMTPPart;

// What a delivery asks of the server beyond the plain envelope; an empty
// field asks for nothing, so that a run that sets none keeps its bytes.
struct EnvelopeExtras {
    std::string body;    // BODY=, declared where the server offers 8BITMIME
    std::string notify;  // DSN NOTIFY=, on every RCPT
    std::string ret;     // DSN RET=
    std::string envid;   // DSN ENVID=, as given; it travels as xtext
    // A plain session greets with EHLO too, and with HELO after a 5xx to it.
    bool ehloWhenPlain = false;
    // The receivers are addr-specs whose quoted local parts may hold blanks
    // and commas: a quoted string does not end a receiver.
    bool quotedLocalParts = false;
};

// What a delivery met on its way, for the log of runs.
struct DeliveryRecord {
    std::string host;
    std::string tls = "none";   // the protocol version, or none
    std::string auth = "none";  // the SASL mechanism, or none
    std::string reply;          // the end-of-data reply, else the last one read
    std::uint64_t bytes = 0;    // the message as it left, dot-doubled
    std::size_t receivers = 0;  // counted before the delivery takes the list apart
    // After a failure that came when some receivers had the message: the rest.
    std::vector<std::string> waiting;
};
namespace transport {
class Connection;
struct KeptSession;
}  // namespace transport

// How _SendText treats its text: queue it, or send the pending text and then it.
enum SendMode { SEND_QUEUE = 0, SEND_FLUSH = 1 };

// The message being sent: its mode, headers, body parts and receivers, and
// the delivery state used while it is sent.
class CSMTPEmail {
public:
    CSMTPEmail();
    CSMTPEmail(const CSMTPEmail&) = delete;
    CSMTPEmail& operator=(const CSMTPEmail&) = delete;
    ~CSMTPEmail();

    // Message layer.
    CSMTPHeader* SetHeader(const char* name, const char* value, int append = 0);
    const char* GetHeader(const char* name, const char* defaultValue) const;
    // Throw BAD_ARGUMENTS_FROM_FORM for Cc/Bcc in news mode, a receiver holding
    // a control byte, or an address file that cannot be read.
    void AddTo(const char* address);
    void AddCc(const char* address);
    void AddBcc(const char* address);
    void SetPriority(int n);
    void SetFrom(const char* address);
    void SetSubject(const char* text);
    void SetDate();

    // Composition. AddPart returns -1 for an unreadable text file; throws
    // BAD_ARGUMENTS_FROM_FORM for an attachment while MIME is off.
    int AddPart(const char* textOrPath, int kind);
    // Throws FAILED_TO_OPEN_TEMPFILE when an attachment cannot be read or the
    // message file cannot be written; fileName names it in that message.
    void WriteMessageFile(FILE* file, const char* fileName = nullptr);

    // Delivery. Throws every SmtpError of the transport.
    void _SendIt();
    bool _SendText(transport::Connection& connection, const char* text, SendMode mode);
    bool _ReadReply(transport::Connection& connection);
    static std::uint32_t _ResolveHost(const char* name);

    // An entry is a receiver or "@file", the receivers of an address file.
    void _AddAddress(const char* headerName, const char* entry);

    bool HasReceivers() const { return m_Receivers.has_value(); }

    // Makes Subject, Organization, From, Reply-To and X-Sender 7-bit: encoded
    // words for text and display names, the ASCII form of domains. Throws
    // BAD_ARGUMENTS_FROM_FORM for a domain without an ASCII form.
    void _EncodeHeaders();
    // True when an address (X-Sender, From, Reply-To or a receiver) has a local
    // part that is not ASCII: only SMTPUTF8 can carry it. Valid after _EncodeHeaders.
    bool NeedsSmtpUtf8() const;
    // Refuses such an address: BAD_ARGUMENTS_FROM_FORM.
    [[noreturn]] void _RefuseUtf8Envelope() const;
    // BAD_ARGUMENTS_FROM_FORM when the envelope sender would not go as one
    // address, so that MAIL FROM carries nothing but it.
    void _CheckSender() const;

    int m_NewsMode = 0;
    int m_Mime = 1;
    int m_OemToAnsi = 0;
    std::unique_ptr<CSMTPPart> m_Parts;
    std::unique_ptr<CSMTPHeader> m_Headers;
    // Null (no receiver yet) differs from empty (an empty entry was added).
    std::optional<std::string> m_Receivers;
    std::string m_SendBuffer;
    // A finished message in its wire form, sent as it is instead of one
    // composed from the headers and parts; null for a composed one.
    FILE* m_RawMessage = nullptr;
    std::string m_RawMessageName;  // for a read error's text
    EnvelopeExtras m_Extras;
    DeliveryRecord m_Record;
    // When set, a mail delivery goes over the connection kept there, if one
    // is, and leaves its connection there instead of ending it with QUIT.
    transport::KeptSession* m_Kept = nullptr;
    // When set, called after each accepted end of data that leaves receivers
    // for a further transaction, with those: a kept copy of the envelope can
    // drop the others at once.
    std::function<void(const std::vector<std::string>& waiting)> m_OnAccepted;

    static int s_InstanceCount;
    static bool s_SocketsStarted;

private:
    void _AddReceiver(const char* headerName, const char* entry);
    void _RefuseInNewsMode(const char* what);
    std::string _FirstUtf8Address() const;
    void _AddInternationalItem(const char* headerName, const char* entry,
                               const std::string& address, const std::string& charset);
};

// Replaces each run of CR and LF bytes by one blank, so that a value given by
// the user can never start a header line of its own.
std::string NeutraliseLineBreaks(const char* value);
