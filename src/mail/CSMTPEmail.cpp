#include "mail/CSMTPEmail.h"

#include <algorithm>
#include <cstring>

#include "mail/AddressFile.h"
#include "mail/Globals.h"
#include "mail/Mailbox.h"
#include "mime/CSMTPPart.h"
#include "mime/HeaderWords.h"
#include "platform/Sockets.h"

int CSMTPEmail::s_InstanceCount = 0;
bool CSMTPEmail::s_SocketsStarted = false;

namespace {

bool IsControlByte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

bool HoldsControlByte(const char* text)
{
    for (; *text; ++text)
        if (IsControlByte(static_cast<unsigned char>(*text))) return true;
    return false;
}

[[noreturn]] void Refuse(const std::string& consoleLine, CSMTPException& error)
{
    if (g_Verbose || g_Debug) std::fputs(consoleLine.c_str(), stderr);
    throw error;
}

}  // namespace

std::string NeutraliseLineBreaks(const char* value)
{
    std::string out;
    for (const char* p = value; *p; ++p) {
        if (*p == '\r' || *p == '\n') {
            if (out.empty() || (p[-1] != '\r' && p[-1] != '\n')) out += ' ';
            continue;
        }
        out += *p;
    }
    return out;
}

CSMTPEmail::CSMTPEmail()
{
    ++s_InstanceCount;
}

CSMTPEmail::~CSMTPEmail()
{
    --s_InstanceCount;
    if (s_InstanceCount == 0 && s_SocketsStarted) platform::StopSockets();
}

CSMTPHeader* CSMTPEmail::SetHeader(const char* name, const char* value, int append)
{
    return CSMTPHeader::Set(name, value, m_Headers, append);
}

const char* CSMTPEmail::GetHeader(const char* name, const char* defaultValue) const
{
    const CSMTPHeader* node = CSMTPHeader::Find(name, m_Headers.get());
    return node ? node->m_Value.c_str() : defaultValue;
}

void CSMTPEmail::AddTo(const char* address)
{
    _AddAddress(m_NewsMode == 1 ? "Newsgroups" : "To", address);
}

void CSMTPEmail::AddCc(const char* address)
{
    if (m_NewsMode == 1) _RefuseInNewsMode("Cc (Carbon Copy)");
    _AddAddress("Cc", address);
}

void CSMTPEmail::AddBcc(const char* address)
{
    if (m_NewsMode == 1) _RefuseInNewsMode("Bcc (Blind Carbon Copy)");
    _AddAddress(nullptr, address);
}

void CSMTPEmail::_RefuseInNewsMode(const char* what)
{
    const std::string text = std::string(what) + " is not legal in News posting mode. Aborting.";
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << text;
    Refuse(text + "\n", error);
}

void CSMTPEmail::_AddAddress(const char* headerName, const char* entry)
{
    if (entry[0] == '@') {
        for (const std::string& line : ReadAddressFile(entry, 1))
            _AddReceiver(headerName, line.c_str());
        return;
    }
    if (HoldsControlByte(entry)) {
        CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
        error << "Receiver \"" << entry << "\" contains a control character. Aborting.";
        Refuse(std::string("Receiver '") + entry + "' contains a control character. Aborting.\n",
               error);
    }
    _AddReceiver(headerName, entry);
}

void CSMTPEmail::_AddReceiver(const char* headerName, const char* entry)
{
    std::string address = EnvelopeAddress(entry);
    if (m_NewsMode == 1 || !HoldsHighByte(entry)) {
        if (headerName) SetHeader(headerName, entry, 1);
    } else {
        const std::string charset = DefaultCharset();
        address = AsciiDomainAddress(address, charset);
        if (headerName) _AddInternationalItem(headerName, entry, address, charset);
    }
    if (!m_Receivers) {
        m_Receivers = address;
    } else {
        m_Receivers->push_back(',');
        m_Receivers->append(address);
    }
}

// An item with encoded words opens a line of its own, so that its words
// can be as long as a line allows.
void CSMTPEmail::_AddInternationalItem(const char* headerName, const char* entry,
                                       const std::string& address, const std::string& charset)
{
    const CSMTPHeader* node = CSMTPHeader::Find(headerName, m_Headers.get());
    std::string item;
    std::size_t column = std::strlen(headerName) + 2;
    if (node) {
        if (!node->FoldsNextItem()) item = "\r\n\t";
        column = 1;
    }
    item += MailboxForHeader(entry, address, charset, column);
    SetHeader(headerName, item.c_str(), 1);
}

void CSMTPEmail::_EncodeHeaders()
{
    const std::string charset = DefaultCharset();
    for (const char* name : {"Subject", "Organization"}) {
        const char* value = GetHeader(name, nullptr);
        if (value && HoldsHighByte(value))
            SetHeader(name, EncodeUnstructured(name, value, charset).c_str(), 0);
    }
    for (const char* name : {"From", "Reply-To", "X-Sender"}) {
        const char* value = GetHeader(name, nullptr);
        if (!value || !HoldsHighByte(value)) continue;
        const std::string address = AsciiDomainAddress(EnvelopeAddress(value), charset);
        SetHeader(name, MailboxForHeader(value, address, charset, std::strlen(name) + 2).c_str(),
                  0);
    }
}

// After _EncodeHeaders, a byte above 0x7F left in an address is in its local part.
std::string CSMTPEmail::_FirstUtf8Address() const
{
    for (const char* name : {"X-Sender", "From", "Reply-To"}) {
        const std::string address = EnvelopeAddress(GetHeader(name, ""));
        if (HoldsHighByte(address)) return address;
    }
    if (m_NewsMode == 1 || !m_Receivers) return std::string();
    for (std::size_t start = 0; start < m_Receivers->size();) {
        const std::size_t end = std::min(m_Receivers->find(',', start), m_Receivers->size());
        const std::string address = m_Receivers->substr(start, end - start);
        if (HoldsHighByte(address)) return address;
        start = end + 1;
    }
    return std::string();
}

bool CSMTPEmail::NeedsSmtpUtf8() const
{
    return !_FirstUtf8Address().empty();
}

void CSMTPEmail::_RefuseUtf8Envelope() const
{
    const std::string address = _FirstUtf8Address();
    const std::string text =
        " has a local part that is not ASCII, which needs a server that offers SMTPUTF8. Aborting.";
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << "\"" << address << "\"" << text;
    Refuse("'" + address + "'" + text + "\n", error);
}

void CSMTPEmail::_CheckSender() const
{
    const std::string address = EnvelopeAddress(GetHeader("X-Sender", ""));
    if (IsOneAddress(address)) return;
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << "The sender \"" << address << "\" is not one address. Aborting.";
    Refuse("The sender '" + address + "' is not one address. Aborting.\n", error);
}

void CSMTPEmail::SetPriority(int n)
{
    if (n < 1 || n > 5) return;
    const char digit[2] = {static_cast<char>('0' + n), 0};
    SetHeader("X-Priority", digit, 0);
}

void CSMTPEmail::SetFrom(const char* address)
{
    const std::string value = NeutraliseLineBreaks(address);
    SetHeader("From", value.c_str(), 0);
    const char* sender = GetHeader("X-Sender", nullptr);
    if (!sender || !*sender) SetHeader("X-Sender", value.c_str(), 0);
}

void CSMTPEmail::SetSubject(const char* text)
{
    SetHeader("Subject", NeutraliseLineBreaks(text).c_str(), 0);
}
