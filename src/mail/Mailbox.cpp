#include "mail/Mailbox.h"

#include <cstdio>
#include <cstring>

#include "core/CSMTPException.h"
#include "core/Text.h"
#include "mail/Globals.h"
#include "mime/HeaderWords.h"
#include "platform/Idn.h"

namespace {

using core::Trimmed;

// The contents of a quoted display name; any other name as it is.
std::string Unquote(const std::string& name)
{
    if (name.size() < 2 || name.front() != '"' || name.back() != '"') return name;
    std::string out;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] == '\\' && i + 2 < name.size()) ++i;
        out += name[i];
    }
    return out;
}

[[noreturn]] void RefuseDomain(const std::string& domain, const std::string& address,
                               const std::string& reason)
{
    if (g_Verbose || g_Debug)
        std::fprintf(stderr, "The domain '%s' of '%s' has no ASCII form (%s). Aborting.\n",
                     domain.c_str(), address.c_str(), reason.c_str());
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << "The domain \"" << domain << "\" of \"" << address << "\" has no ASCII form ("
          << reason << "). Aborting.";
    throw error;
}

}  // namespace

std::string EnvelopeAddress(const char* entry)
{
    const char* open = std::strrchr(entry, '<');
    if (!open) return entry;
    const char* close = std::strchr(open + 1, '>');
    if (!close) return entry;
    return std::string(open + 1, close);
}

bool IsOneAddress(const std::string& address)
{
    for (const char c : address)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    bool quoted = false;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char c = address[i];
        if (quoted && c == '\\')
            ++i;
        else if (c == '"' && (quoted || i == 0))
            quoted = !quoted;
        else if (!quoted && std::strchr(" ,<>", c) != nullptr)
            return false;
    }
    return !quoted;
}

std::string AsciiDomainAddress(const std::string& address, const std::string& charset)
{
    const std::size_t at = address.rfind('@');
    std::string local = address.substr(0, at);
    std::string domain = at == std::string::npos ? std::string() : address.substr(at);
    if (HoldsHighByte(domain)) {
        std::string ascii, reason;
        if (!platform::DomainToAscii(domain.substr(1), charset, ascii, reason))
            RefuseDomain(domain.substr(1), address, reason);
        domain = "@" + ascii;
    }
    // SMTPUTF8 carries a local part as UTF-8, whatever the header charset.
    std::string utf8;
    if (HoldsHighByte(local) && platform::ToUtf8(local, charset, utf8)) local = utf8;
    return local + domain;
}

std::string MailboxForHeader(const char* entry, const std::string& envelopeAddress,
                             const std::string& charset, std::size_t column)
{
    const char* open = std::strrchr(entry, '<');
    const char* close = open ? std::strchr(open + 1, '>') : nullptr;
    if (!close) return envelopeAddress;
    const std::string name = Trimmed(std::string(entry, open));
    const std::string angle = "<" + envelopeAddress + ">";
    if (!HoldsHighByte(name)) return std::string(entry, open) + angle + (close + 1);
    std::size_t end = column;
    std::string out =
        EncodeWords(Unquote(name), charset, column, kMaxHeaderLine, WORDS_Q_OR_B, &end);
    out += end + 1 + angle.size() > kMaxHeaderLine ? "\r\n\t" : " ";
    return out + angle + (close + 1);
}

std::string SamenessKey(const std::string& address)
{
    const std::size_t at = address.rfind('@');
    return at == std::string::npos ? address
                                   : address.substr(0, at) + core::Lower(address.substr(at));
}
