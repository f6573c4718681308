#include "frontend/Sendmail.h"

#include <cctype>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "core/SmtpError.h"
#include "core/Text.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/RunLog.h"
#include "frontend/SendmailOptions.h"
#include "frontend/SendmailStatus.h"
#include "frontend/Settings.h"
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

int Fail(int status, const std::string& text)
{
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
class Spool {
public:
    Spool()
    {
        MakeTempFileName(m_Name);
        m_File = platform::CreateExclusiveFile(m_Name);
        if (m_File) return;
        CSMTPException error(FAILED_TO_OPEN_TEMPFILE);
        error << "Unable to open tmp file \"" << m_Name << "\". Aborting.";
        throw error;
    }
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    ~Spool()
    {
        std::fclose(m_File);
        platform::RemoveFile(m_Name);
    }
    FILE* File() const { return m_File; }

private:
    char m_Name[kTempNameCapacity] = {};
    FILE* m_File = nullptr;
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
            if (address.find_first_of(" ,") != std::string::npos)
                return Fail(status, "the receiver " + address +
                                        " has a blank or comma in its local part, which this "
                                        "program cannot send to");
            const std::size_t at = address.rfind('@');
            const std::string key = at == std::string::npos
                                        ? address
                                        : address.substr(0, at) + Lower(address.substr(at));
            if (m_Seen.insert(key).second) m_List.push_back(address);
        }
        return 0;
    }

    bool Empty() const { return m_List.empty(); }

    std::string Joined() const
    {
        std::string joined;
        for (const std::string& address : m_List) joined += (joined.empty() ? "" : ",") + address;
        return joined;
    }

private:
    std::vector<std::string> m_List;
    std::set<std::string> m_Seen;
};

int CheckSettings(const SendmailOptions& options, CSMTPEmail& mail)
{
    if (NeutraliseLineBreaks(SettingValue(SettingsKey::Host).c_str()).empty())
        return Fail(kConfig, "no mail server is set (the setting HOST); run quillex -init");
    if (options.senderGiven) {
        if (HoldsControlByte(options.sender))
            return Fail(kUsage, "the sender '" + options.sender + "' holds a control character");
        mail.SetHeader("X-Sender", EnvelopeAddress(options.sender.c_str()).c_str(), 0);
    } else if (SettingValue(SettingsKey::ReturnAddress).empty()) {
        return Fail(kConfig, "no sender is set (the setting Return Address, or -f)");
    }
    if (!LoadSettings(mail)) return kConfig;
    std::string hex;
    if (!g_TlsFingerprint.empty() && !platform::ParseFingerprint(g_TlsFingerprint, &hex))
        return Fail(kConfig, "the setting TLS Fingerprint is not \"SHA256:\" and 64 hex digits");
    try {
        transport::ParseServerName(g_MailServer, false);
    } catch (const CSMTPException& error) {
        return Fail(kConfig, error.what());
    }
    return kOk;
}

int ReadReceivers(const SendmailOptions& options, const std::vector<std::string>& fields,
                  Receivers& receivers)
{
    const std::string charset = DefaultCharset();
    for (const std::string& argument : options.receivers)
        if (const int status = receivers.Add(argument, charset, kUsage)) return status;
    if (options.headerReceivers)
        for (const std::string& field : fields)
            if (IsField(field, "To") || IsField(field, "Cc") || IsField(field, "Bcc"))
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

int SpoolMessage(const std::vector<std::string>& fields, const std::string& added, bool dotEnds,
                 FILE* spool, CSMTPEmail& mail)
{
    WireWriter writer(spool);
    for (const std::string& field : fields)
        if (!IsField(field, "Bcc")) writer.Write(field);
    writer.Write(added);
    writer.Write("\r\n", 2);
    if (!writer.CopyFrom(stdin, dotEnds)) return Fail(kIoError, "standard input cannot be read");
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
    case AUTH_FAILED: return kNoPermission;
    case BAD_ARGUMENTS_FROM_FORM: return kUnavailable;  // a UTF-8 address the server cannot take
    default: return kIoError;                           // sockets, temporary files, memory
    }
}

int Send(const SendmailOptions& options, CSMTPEmail& mail)
{
    if (const int status = CheckSettings(options, mail)) return status;
    platform::UseBinaryInput();
    std::vector<std::string> fields;
    switch (ReadHeaderBlock(stdin, options.dotEnds, fields)) {
    case HeaderBlock::NO_BLANK_LINE:
        return Fail(kDataError, "the message has no blank line after its headers");
    case HeaderBlock::TOO_LARGE:
        return Fail(kDataError, "the header block of the message is longer than 1 MiB");
    case HeaderBlock::UNREADABLE: return Fail(kIoError, "standard input cannot be read");
    case HeaderBlock::READ: break;
    }
    Receivers receivers;
    if (const int status = ReadReceivers(options, fields, receivers)) return status;
    mail.m_Receivers = receivers.Joined();
    mail.m_Extras = {options.body, options.notify, options.ret, options.envid};
    const std::string sender = mail.GetHeader("X-Sender", "");
    Spool spool;
    const std::string added = AddedHeaders(options, fields, sender);
    if (const int status = SpoolMessage(fields, added, options.dotEnds, spool.File(), mail))
        return status;
    mail.m_RawMessage = spool.File();
    NoteReceivers(mail);
    try {
        mail._SendIt();
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
    SendmailOptions options;
    if (const int status = ReadSendmailOptions(argc, argv, options)) return status;
    g_Verbose = options.verbose ? 1 : 0;
    try {
        return Send(options, g_Mail);
    } catch (const CSMTPException& error) {
        // Before the delivery: an address without an ASCII form, a temporary file.
        const int status = error.m_Code == BAD_ARGUMENTS_FROM_FORM ? kUsage : kIoError;
        return Fail(status, std::string(ErrorText(error.m_Code)) + " (" + error.what() + ")");
    } catch (const std::bad_alloc&) {
        return Fail(kIoError, ErrorText(OUT_OF_MEMORY));
    }
}
