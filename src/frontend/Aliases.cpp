#include "frontend/Aliases.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "core/Text.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Settings.h"
#include "frontend/SettingsKeys.h"
#include "mail/HeaderAddresses.h"
#include "mail/Mailbox.h"
#include "mail/RawMessage.h"
#include "platform/LoginName.h"
#include "platform/ProfileFile.h"

namespace {

constexpr const char* kFallbackName = "default";
const char* const kAddressFields[] = {"From", "Sender", "Reply-To", "To", "Cc"};

using core::Lower;

// Lines of the file may end in CR LF.
std::string Trimmed(const std::string& text)
{
    return core::Trimmed(text, " \t\r\n");
}

// One entry with its continuation lines joined: false when it has no name.
bool AddEntry(const std::string& entry, LocalNames& names)
{
    const std::size_t colon = entry.find(':');
    if (colon == std::string::npos) return false;
    const std::string name = Lower(Trimmed(entry.substr(0, colon)));
    std::vector<std::string> targets;
    const std::string value = entry.substr(colon + 1);
    if (name.empty() || !ParseAddressList(value, targets) || targets.empty()) return false;
    // Commands, files and included lists are for a server that delivers locally.
    if (value.find(":include:") != std::string::npos) return false;
    for (const std::string& target : targets)
        if (target[0] == '|' || target[0] == '/') return false;
    if (name == kFallbackName) {
        names.fallback = targets;
        names.hasFallback = true;
    } else {
        names.aliases[name] = targets;
    }
    return true;
}

bool ReadText(const std::string& path, std::string& text)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, count);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

std::string Setting(SettingsKey key)
{
    return Trimmed(SettingValue(key));
}

bool HasDomain(const std::string& address)
{
    return address.find('@') != std::string::npos;
}

// Where "@domain" goes in one mailbox of an address header, or npos.
class MailboxScanner {
public:
    explicit MailboxScanner(const std::string& text) : m_Text(text) {}

    // The insertion points of the value, in order.
    std::vector<std::size_t> Points()
    {
        for (std::size_t at = 0; at < m_Text.size();) at = Step(at);
        EndMailbox();
        if (m_Broken) m_Points.clear();  // a value that does not parse stays as it is
        return m_Points;
    }

private:
    std::size_t Step(std::size_t at)
    {
        const char c = m_Text[at];
        if (c == '(') return SkipComment(at);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (m_Last != std::string::npos) m_Blank = true;
            return at + 1;
        }
        if (c == ',' || c == ';') {
            EndMailbox();
            return at + 1;
        }
        if (c == ':') {  // a group's name: its members follow
            StartMailbox();
            return at + 1;
        }
        if (c == '<') return Angle(at);
        const std::size_t end = c == '"' ? SkipQuoted(at) : c == '[' ? SkipLiteral(at) : at + 1;
        if (c == '@') m_HasAt = true;
        if (m_Blank) m_Words = true;
        m_Last = end;
        return end;
    }

    std::size_t Angle(std::size_t at)
    {
        bool hasAt = false;
        std::size_t i = at + 1;
        while (i < m_Text.size() && m_Text[i] != '>') {
            if (m_Text[i] == '@') hasAt = true;
            i = m_Text[i] == '"' ? SkipQuoted(i) : i + 1;
        }
        if (i >= m_Text.size()) {
            m_Broken = true;
            return i;
        }
        if (!hasAt && !Trimmed(m_Text.substr(at + 1, i - at - 1)).empty()) m_Points.push_back(i);
        m_Angle = true;
        return i + 1;
    }

    std::size_t SkipComment(std::size_t at)
    {
        if (!::SkipComment(m_Text, at))
            m_Broken = true;
        else if (m_Last != std::string::npos)
            m_Blank = true;
        return at;
    }

    std::size_t SkipQuoted(std::size_t at)
    {
        for (++at; at < m_Text.size(); ++at) {
            if (m_Text[at] == '\\')
                ++at;
            else if (m_Text[at] == '"')
                return at + 1;
        }
        m_Broken = true;
        return m_Text.size();
    }

    std::size_t SkipLiteral(std::size_t at)
    {
        const std::size_t end = m_Text.find(']', at);
        if (end != std::string::npos) return end + 1;
        m_Broken = true;
        return m_Text.size();
    }

    void EndMailbox()
    {
        if (!m_Angle && !m_HasAt && !m_Words && !m_Broken && m_Last != std::string::npos)
            m_Points.push_back(m_Last);
        StartMailbox();
    }

    void StartMailbox()
    {
        m_Last = std::string::npos;
        m_Blank = m_Words = m_HasAt = m_Angle = false;
    }

    const std::string& m_Text;
    std::vector<std::size_t> m_Points;
    std::size_t m_Last = std::string::npos;  // just after the mailbox's last word
    bool m_Blank = false, m_Words = false, m_HasAt = false, m_Angle = false, m_Broken = false;
};

}  // namespace

bool ParseAliases(const std::string& text, LocalNames& names, int* badLine)
{
    std::string entry;
    int line = 0, entryLine = 0;
    auto finish = [&]() {
        if (Trimmed(entry).empty() || AddEntry(entry, names)) return true;
        if (badLine) *badLine = entryLine;
        return false;
    };
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string current = text.substr(start, end - start);
        start = end + 1;
        ++line;
        const std::size_t first = current.find_first_not_of(" \t\r");
        if (first == std::string::npos || current[first] == '#') continue;
        if (!current.empty() && (current[0] == ' ' || current[0] == '\t')) {
            entry += " " + current;
            continue;
        }
        if (!finish()) return false;
        entry = current;
        entryLine = line;
    }
    return finish();
}

int LoadLocalNames(LocalNames& names, int status)
{
    names.domain = Setting(SettingsKey::MailDomain);
    for (const char c : names.domain)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F || std::strchr("<>()@,;:\"\\", c)) {
            std::fprintf(stderr, "%s: the setting Mail Domain is not a domain\n", g_ProgramName);
            return status;
        }
    const std::string path = Setting(SettingsKey::AliasesFile);
    if (path.empty()) return 0;
    std::string text;
    int badLine = 0;
    if (!ReadText(path, text)) {
        std::fprintf(stderr, "%s: the aliases file '%s' cannot be read\n", g_ProgramName,
                     path.c_str());
        return status;
    }
    if (ParseAliases(text, names, &badLine)) return 0;
    std::fprintf(stderr, "%s: line %d of the aliases file '%s' is not \"name: addresses\"\n",
                 g_ProgramName, badLine, path.c_str());
    return status;
}

std::vector<std::string> ResolveReceivers(const std::vector<std::string>& receivers,
                                          const LocalNames& names)
{
    std::vector<std::string> out;
    std::set<std::string> seen;
    auto add = [&](const std::string& address) {
        if (!HasDomain(address) && names.domain.empty() && g_Verbose)
            std::fprintf(stderr,
                         "%s: Warning: the receiver '%s' has no domain, and neither an alias "
                         "nor Mail Domain gives it one.\n",
                         g_ProgramName, address.c_str());
        const std::string qualified = Qualified(address, names.domain);
        if (seen.insert(SamenessKey(qualified)).second) out.push_back(qualified);
    };
    for (const std::string& receiver : receivers) {
        if (HasDomain(receiver)) {
            add(receiver);
            continue;
        }
        const auto alias = names.aliases.find(Lower(receiver));
        const std::vector<std::string>* targets = alias != names.aliases.end() ? &alias->second
                                                  : names.hasFallback          ? &names.fallback
                                                                               : nullptr;
        if (!targets) {
            add(receiver);
            continue;
        }
        for (const std::string& target : *targets) add(target);
    }
    return out;
}

std::string Qualified(const std::string& address, const std::string& domain)
{
    if (domain.empty() || address.empty() || HasDomain(address)) return address;
    return address + "@" + domain;
}

std::string QualifyHeaderValue(const std::string& value, const std::string& domain)
{
    if (domain.empty()) return value;
    std::string out = value;
    const std::vector<std::size_t> points = MailboxScanner(value).Points();
    for (auto point = points.rbegin(); point != points.rend(); ++point)
        out.insert(*point, "@" + domain);
    return out;
}

void QualifyHeaders(std::vector<std::string>& fields, const std::string& domain)
{
    if (domain.empty()) return;
    for (std::string& field : fields)
        for (const char* name : kAddressFields)
            if (IsField(field, name)) {
                const std::size_t colon = field.find(':') + 1;
                field = field.substr(0, colon) + QualifyHeaderValue(field.substr(colon), domain);
            }
}

bool UseLoginSender(CSMTPEmail& mail)
{
    const std::string domain = Setting(SettingsKey::MailDomain);
    const std::string login = platform::LoginName();
    if (domain.empty() || login.empty()) return false;
    mail.SetHeader("X-Sender", Qualified(login, domain).c_str(), 0);
    return true;
}
