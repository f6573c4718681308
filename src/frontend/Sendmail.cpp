#include "frontend/Sendmail.h"

#include <cctype>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "core/SmtpError.h"
#include "core/Text.h"
#include "frontend/Aliases.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Outbox.h"
#include "frontend/RunLog.h"
#include "frontend/SendmailOptions.h"
#include "frontend/SendmailServer.h"
#include "frontend/SendmailStatus.h"
#include "frontend/Settings.h"
#include "frontend/SpoolFile.h"
#include "mail/ArpaDate.h"
#include "mail/HeaderAddresses.h"
#include "mail/Mailbox.h"
#include "mail/MessageId.h"
#include "mail/RawMessage.h"
#include "mime/CSMTPPart.h"
#include "mime/HeaderWords.h"
#include "mime/TempFileName.h"
#include "platform/Appending.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/Tls.h"
#include "transport/Connection.h"
#include "transport/Session.h"

namespace {

// The header block of the message on standard input and what ended it.
struct MessageStart {
    std::vector<std::string> fields;
    std::string bodyStart;  // the first line of the body when no blank line came before it
    bool ended = false;     // the input ended with the header block
};
std::string s_LastFailure;

int Fail(int status, const std::string& text)
{
    s_LastFailure = text;
    std::fprintf(stderr, "%s: %s\n", g_ProgramName, NeutraliseLineBreaks(text.c_str()).c_str());
    return status;
}

bool HoldsControlByte(const std::string& text)
{
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
    }
    return false;
}

using core::Lower;

// The spool of the message as it will travel: owner-only, removed at the end.
class Spool : public SpoolFile {
public:
    Spool()
    {
        if (File()) return;
        CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
        error << "Unable to open tmp file \"" << Name() << "\". Aborting.";
        throw error;
    }
};

// Receivers in order, each once; the domain decides sameness without regard to case.
class Receivers {
public:
    // 0, or status after a line naming what is wrong with the list.
    int Add(const std::string& list, const std::string& charset, int status)
    {
        std::vector<std::string> found;
        if (HoldsControlByte(list) && status == kUsage)
            return Fail(status, "the receiver '" + list + "' holds a control character");
        if (!ParseAddressList(list, found))
            return Fail(status, "the receivers '" + list + "' are not a valid address list");
        for (std::string& address : found) {
            if (HoldsControlByte(address))
                return Fail(status, "the receiver " + address + " holds a control character");
            if (HoldsHighByte(address)) {
                try {
                    address = AsciiDomainAddress(address, charset);
                } catch (const CSMTPException& error) {
                    return Fail(status, error.what());
                }
            }
            if (!IsOneAddress(address))
                return Fail(status, "the receiver " + address + " is not one address");
            if (m_Seen.insert(SamenessKey(address)).second) m_List.push_back(address);
        }
        return 0;
    }

    bool Empty() const { return m_List.empty(); }
    const std::vector<std::string>& List() const { return m_List; }

private:
    std::vector<std::string> m_List;
    std::set<std::string> m_Seen;
};

// "<address>" gives the address; "<>" the null sender of notices.
std::string Unbracketed(const std::string& address)
{
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
        return address.substr(1, address.size() - 2);
    return address;
}

int CheckSender(const SendmailOptions& options, CSMTPEmail& mail)
{
    if (HoldsControlByte(options.sender))
        return Fail(kUsage, "the sender '" + options.sender + "' holds a control character");
    const std::string sender = Unbracketed(options.sender);
    if (!IsOneAddress(sender))
        return Fail(kUsage, "the sender '" + options.sender + "' is not one address");
    mail.SetHeader("X-Sender", sender.c_str(), 0);
    return kOk;
}

// The envelope sender without a domain gets the mail domain.
int QualifySender(CSMTPEmail& mail)
{
    LocalNames names;
    if (const int status = LoadLocalNames(names, kConfig)) return status;
    const std::string sender = QualifyHeaderValue(mail.GetHeader("X-Sender", ""), names.domain);
    mail.SetHeader("X-Sender", sender.c_str(), 0);
    return kOk;
}

// Receivers without a domain go through the aliases and the mail domain; the
// address headers get the mail domain as well.
int ResolveLocalNames(const Receivers& receivers, std::vector<std::string>& fields,
                      CSMTPEmail& mail)
{
    LocalNames names;
    if (const int status = LoadLocalNames(names, kConfig)) return status;
    std::string joined;
    for (const std::string& address : ResolveReceivers(receivers.List(), names))
        joined += (joined.empty() ? "" : ",") + address;
    mail.m_Receivers = joined;
    QualifyHeaders(fields, names.domain);
    return kOk;
}

int CheckSettings(const SendmailOptions& options, CSMTPEmail& mail)
{
    if (RefuseExposedSecrets()) return kConfig;
    if (NeutraliseLineBreaks(SettingValue(SettingsKey::Host).c_str()).empty())
        return Fail(kConfig, "no mail server is set (the setting HOST); run quillex -init");
    if (options.senderGiven) {
        if (const int status = CheckSender(options, mail)) return status;
    } else if (SettingValue(SettingsKey::ReturnAddress).empty() && !UseLoginSender(mail)) {
        return Fail(kConfig, "no sender is set (the setting Return Address, or -f)");
    }
    if (!LoadSettings(mail)) return kConfig;
    if (const int status = QualifySender(mail)) return status;
    const std::string sender = EnvelopeAddress(mail.GetHeader("X-Sender", ""));
    if (!options.senderGiven && !IsOneAddress(sender))
        return Fail(kUsage, "the setting Return Address '" + sender + "' is not one address");
    std::string hex;
    if (!platform::ReadPin(g_TlsFingerprint, &hex))
        return Fail(kConfig, "the setting TLS Fingerprint is not \"SHA256:\" and 64 hex digits");
    try {
        transport::ParseServerName(g_MailServer, false);
    } catch (const CSMTPException& error) {
        return Fail(kConfig, error.what());
    }
    return kOk;
}

bool IsAny(const std::string& field, const char* const (&names)[3])
{
    for (const char* name : names)
        if (IsField(field, name)) return true;
    return false;
}

bool HasAny(const std::vector<std::string>& fields, const char* const (&names)[3])
{
    for (const std::string& field : fields)
        if (IsAny(field, names)) return true;
    return false;
}

int ReadReceivers(const SendmailOptions& options, const std::vector<std::string>& fields,
                  Receivers& receivers)
{
    const std::string charset = DefaultCharset();
    for (const std::string& argument : options.receivers)
        if (const int status = receivers.Add(argument, charset, kUsage)) return status;
    // A resent message goes to its new receivers only.
    const char* const kResent[] = {"Resent-To", "Resent-Cc", "Resent-Bcc"};
    const char* const kFirst[] = {"To", "Cc", "Bcc"};
    const bool resent = HasAny(fields, kResent);
    if (options.headerReceivers)
        for (const std::string& field : fields)
            if (IsAny(field, resent ? kResent : kFirst))
                if (const int status = receivers.Add(FieldValue(field), "utf-8", kDataError))
                    return status;
    if (receivers.Empty())
        return Fail(kUsage, "no receiver: name one, or use -t with To, Cc or Bcc");
    return kOk;
}

bool Has(const std::vector<std::string>& fields, const char* name)
{
    for (const std::string& field : fields)
        if (IsField(field, name)) return true;
    return false;
}

std::string Unfolded(const std::string& value)
{
    std::string out;
    for (const char c : value)
        if (c != '\r' && c != '\n') out += c;
    const std::size_t start = out.find_first_not_of(" \t");
    if (start == std::string::npos) return std::string();
    return out.substr(start, out.find_last_not_of(" \t") - start + 1);
}

// The sender with -F's name: encoded words when it is not ASCII, a quoted
// string when it holds a special character.
std::string FromValue(const std::string& name, const std::string& sender)
{
    if (name.empty()) return sender;
    const std::string angle = " <" + EnvelopeAddress(sender.c_str()) + ">";
    if (HoldsHighByte(name)) return EncodeWords(name, DefaultCharset(), 6) + angle;
    if (name.find_first_of("()<>[]:;@\\,.\"") == std::string::npos) return name + angle;
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"" + angle;
}

std::string AddedHeaders(const SendmailOptions& options, const std::vector<std::string>& fields,
                         const std::string& sender)
{
    std::string added;
    if (!Has(fields, "From") && !sender.empty())
        added +=
            "From: " + FromValue(NeutraliseLineBreaks(options.fullName.c_str()), sender) + "\r\n";
    if (!Has(fields, "Date")) {
        char date[kArpaDateCapacity + 64];
        added += std::string("Date: ") + arpadate(date) + "\r\n";
    }
    for (const std::string& field : fields)
        if (IsField(field, "Message-ID")) g_RunFacts.messageId = Unfolded(FieldValue(field));
    if (!Has(fields, "Message-ID")) {
        transport::FillLocalHostName(g_MailServer);
        g_RunFacts.messageId = MakeMessageId(sender, transport::s_LocalHostName);
        added += "Message-ID: " + g_RunFacts.messageId + "\r\n";
    }
    return added;
}

// The header block as read, the headers added and the blank line, then the
// body: the line that ended the header block and the rest of the input.
int SpoolMessage(const MessageStart& start, const std::string& added, bool dotEnds, FILE* input,
                 FILE* spool, CSMTPEmail& mail)
{
    WireWriter writer(spool);
    for (const std::string& field : start.fields)
        if (!IsField(field, "Bcc") && !IsField(field, "Resent-Bcc")) writer.Write(field);
    writer.Write(added);
    writer.Write("\r\n", 2);
    writer.Write(start.bodyStart);
    if (!start.ended && !writer.CopyFrom(input, dotEnds))
        return Fail(kIoError, "standard input cannot be read");
    if (!writer.Finish())
        return Fail(kIoError, "the message cannot be spooled to a temporary file");
    if (mail.m_Extras.body.empty() && writer.HasEightBit()) mail.m_Extras.body = "8BITMIME";
    return kOk;
}

int ReplyStatus(const std::string& reply, bool receiver)
{
    if (reply[0] == '4') return kTempFail;
    if (reply[0] == '5') return receiver ? kNoUser : kUnavailable;
    return kProtocol;
}

bool HostResolves()
{
    const transport::ServerName server = transport::ParseServerName(g_MailServer, false);
    return !transport::HostAddresses(server.host, server.port).empty();
}

int StatusOf(const CSMTPException& error, const CSMTPEmail& mail)
{
    switch (error.m_Code) {
    case FAILED_TO_RESOLVE_HOST:
    case FAILED_TO_RESOLVE_HOST_IP_NAME: return kNoHost;
    case FAILED_TO_CONNECT: return HostResolves() ? kTempFail : kNoHost;
    case FAILED_TO_SEND:
    case FAILED_TO_RECEIVE: return kTempFail;
    case SERVER_ERROR: return ReplyStatus(mail.m_Record.reply, error.m_ReceiverRefused);
    case TLS_FAILED: return kProtocol;
    case CERTIFICATE_REFUSED: return kUnavailable;
    case AUTH_FAILED: return IsTemporaryFailure(error) ? kTempFail : kNoPermission;
    case BAD_ARGUMENTS_FROM_FORM: return kUnavailable;  // a UTF-8 address the server cannot take
    default: return kIoError;                           // sockets, temporary files, memory
    }
}

int ReadMessageStart(FILE* input, bool dotEnds, MessageStart& start)
{
    switch (ReadHeaderBlock(input, dotEnds, start.fields, start.bodyStart)) {
    case HeaderBlock::TOO_LARGE:
        return Fail(kDataError, "the header block of the message is longer than 1 MiB");
    case HeaderBlock::UNREADABLE: return Fail(kIoError, "standard input cannot be read");
    case HeaderBlock::ENDED: start.ended = true; break;
    case HeaderBlock::READ: break;
    }
    return kOk;
}

int Send(const SendmailOptions& options, CSMTPEmail& mail, FILE* input)
{
    if (const int status = CheckSettings(options, mail)) return status;
    MessageStart start;
    if (const int status = ReadMessageStart(input, options.dotEnds, start)) return status;
    Receivers receivers;
    if (const int status = ReadReceivers(options, start.fields, receivers)) return status;
    if (const int status = ResolveLocalNames(receivers, start.fields, mail)) return status;
    mail.m_Extras = {options.body, options.notify, options.ret, options.envid};
    mail.m_Extras.ehloWhenPlain = true;
    mail.m_Extras.quotedLocalParts = true;
    const std::string sender = mail.GetHeader("X-Sender", "");
    Spool spool;
    const std::string added = AddedHeaders(options, start.fields, sender);
    if (const int status = SpoolMessage(start, added, options.dotEnds, input, spool.File(), mail))
        return status;
    mail.m_RawMessage = spool.File();
    mail.m_RawMessageName = spool.Name();
    NoteReceivers(mail);
    try {
        if (SendOrQueue(mail) == SendOutcome::QUEUED) {
            mail.m_RawMessage = nullptr;
            return kOk;
        }
    } catch (const CSMTPException& error) {
        mail.m_RawMessage = nullptr;
        return Fail(StatusOf(error, mail),
                    std::string(ErrorText(error.m_Code)) + " (" + error.what() + ")");
    }
    mail.m_RawMessage = nullptr;
    if (g_Verbose) std::fprintf(stderr, "%s: Email was successfully sent.\n", g_ProgramName);
    return kOk;
}

}  // namespace

bool IsSendmailName(const char* argument0)
{
    if (!argument0) return false;
    std::string name = Lower(platform::FileNamePart(argument0));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name == "sendmail";
}

int RunSendmail(int argc, char** argv)
{
    g_RunFacts.sendmailNames = true;
    g_FrontEndReportsFailures = true;
    if (const int status = RunSendmailOutboxCommand(argc, argv); status >= 0) return status;
    SendmailOptions options;
    if (const int status = ReadSendmailOptions(argc, argv, options)) return status;
    g_Verbose = options.verbose ? 1 : 0;
    platform::UseBinaryInput();
    if (options.smtpSession) return ServeSmtpSession(options);
    return DeliverMessage(options, g_Mail, stdin);
}

int DeliverMessage(const SendmailOptions& options, CSMTPEmail& mail, FILE* input)
{
    s_LastFailure.clear();
    try {
        return Send(options, mail, input);
    } catch (const CSMTPException& error) {
        // Before the delivery: an address without an ASCII form, a temporary file.
        const int status = error.m_Code == BAD_ARGUMENTS_FROM_FORM ? kUsage : kIoError;
        return Fail(status, std::string(ErrorText(error.m_Code)) + " (" + error.what() + ")");
    } catch (const std::bad_alloc&) {
        return Fail(kIoError, ErrorText(OUT_OF_MEMORY));
    }
}

const std::string& LastSendmailFailure()
{
    return s_LastFailure;
}
