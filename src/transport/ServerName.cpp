#include "transport/ServerName.h"

#include <cstring>

#include "core/CSMTPException.h"
#include "core/Text.h"
#include "mime/CSMTPPart.h"
#include "platform/Idn.h"

namespace transport {

namespace {

struct Scheme {
    const char* name;
    Security security;
    std::uint16_t port;
    bool news;
};

constexpr Scheme kSchemes[] = {
    {"smtp", Security::PLAIN, 25, false},
    {"smtps", Security::IMPLICIT_TLS, 465, false},
    {"submissions", Security::IMPLICIT_TLS, 465, false},
    {"submission", Security::STARTTLS, 587, false},
    {"smtp+starttls", Security::STARTTLS, 25, false},
    {"news", Security::PLAIN, 119, true},
    {"nntp", Security::PLAIN, 119, true},
    {"nntps", Security::IMPLICIT_TLS, 563, true},
    {"nntp+starttls", Security::STARTTLS, 119, true},
};

constexpr const char* kSchemeSeparator = "://";

const char* SchemeList(bool news)
{
    return news ? "news://, nntp://, nntps:// or nntp+starttls://"
                : "smtp://, smtps://, submission:// or smtp+starttls://";
}

// A decimal number of 1 to 65535, digits only; 0 for anything else.
std::uint16_t PortNumber(const std::string& text)
{
    if (text.empty() || text.size() > 5) return 0;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

// The text as a message may show it: a password after a scheme is "***".
// The user part ends at the last "@", as when the text is parsed, so that
// no piece of a password that holds "@" or "/" can show.
std::string Shown(const std::string& text)
{
    const std::size_t separator = text.find(kSchemeSeparator);
    if (separator == std::string::npos) return text;
    const std::size_t start = separator + std::strlen(kSchemeSeparator);
    const std::size_t at = text.rfind('@');
    if (at == std::string::npos || at < start) return text;
    const std::size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
}

[[noreturn]] void Refuse(const std::string& message)
{
    CSMTPException error(BAD_ARGUMENTS_FROM_FORM);
    error << message;
    throw error;
}

std::string InServer(const std::string& text)
{
    return " in server \"" + Shown(text) + "\"";
}

using core::Lower;

const Scheme& FindScheme(const std::string& word, const std::string& text, bool news)
{
    const std::string lower = Lower(word);
    for (const Scheme& scheme : kSchemes) {
        if (lower != scheme.name) continue;
        if (scheme.news == news) return scheme;
        Refuse("The scheme \"" + word + "://\"" + InServer(text) + " is for " +
               (news ? "mail, not news" : "news, not mail") + ". Use " + SchemeList(news) + ".");
    }
    Refuse("Unknown scheme \"" + word + "://\"" + InServer(text) + ". Use " + SchemeList(news) +
           ".");
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
    if (c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool IsControl(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

// "%XX" stands for the byte XX; the name itself may hold no control byte.
std::string DecodeUser(const std::string& raw, const std::string& text)
{
    if (raw.empty()) Refuse("Empty user name before \"@\"" + InServer(text) + ".");
    std::string user;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '%') {
            if (i + 2 >= raw.size() || !IsHexDigit(raw[i + 1]) || !IsHexDigit(raw[i + 2]))
                Refuse("Bad user name" + InServer(text) +
                       ": \"%\" must be followed by two hex digits, as in \"%40\" for \"@\".");
            c = static_cast<char>(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]));
            i += 2;
        }
        if (IsControl(c))
            Refuse("Bad user name" + InServer(text) + ": it holds a control character.");
        user += c;
    }
    return user;
}

struct HostAndPort {
    std::string host;
    bool hasPort;
    std::string portText;
};

[[noreturn]] void RefuseHost(const std::string& host, const std::string& text)
{
    Refuse("Bad host \"" + host + "\"" + InServer(text) +
           ". Write a name, an IPv4 address or an IPv6 address in brackets, as in [2001:db8::1].");
}

// "[v6]" or "[v6]:port"; only hex digits, ":" and "." go inside the brackets.
HostAndPort SplitBracketed(const std::string& part, const std::string& text)
{
    const std::size_t close = part.find(']');
    if (close == std::string::npos)
        Refuse("A \"[\" is not closed" + InServer(text) +
               ". Write an IPv6 address as [2001:db8::1] or [2001:db8::1]:587.");
    const std::string host = part.substr(1, close - 1);
    if (host.find(':') == std::string::npos ||
        host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
        Refuse("\"[" + host + "]\"" + InServer(text) +
               " is not an IPv6 address; only IPv6 addresses go in brackets.");
    const std::string after = part.substr(close + 1);
    if (after.empty()) return {host, false, ""};
    if (after[0] != ':')
        Refuse("Unexpected text \"" + after + "\" after \"]\"" + InServer(text) +
               ". Write an IPv6 address as [2001:db8::1] or [2001:db8::1]:587.");
    return {host, true, after.substr(1)};
}

bool IsHostText(const std::string& host)
{
    for (const char c : host)
        if (IsControl(c) || std::strchr(" /?#[]@\\%", c)) return false;
    return true;
}

// A name or a dotted IPv4 address, then an optional ":port".
HostAndPort SplitPlain(const std::string& part, const std::string& text)
{
    const std::size_t colon = part.find(':');
    const std::string host = part.substr(0, colon);
    if (host.empty()) {
        if (part.find(':', colon + 1) != std::string::npos) RefuseHost(part, text);
        Refuse("No host" + InServer(text) + ". Write scheme://host or scheme://host:port.");
    }
    if (!IsHostText(host)) RefuseHost(host, text);
    if (colon == std::string::npos) return {host, false, ""};
    const std::string portText = part.substr(colon + 1);
    if (portText.find(':') != std::string::npos) RefuseHost(part, text);  // IPv6 without brackets
    return {host, true, portText};
}

std::uint16_t PortOf(const HostAndPort& split, std::uint16_t defaultPort, const std::string& text)
{
    if (!split.hasPort) return defaultPort;
    const std::uint16_t port = PortNumber(split.portText);
    if (port == 0)
        Refuse("Bad port \"" + split.portText + "\"" + InServer(text) +
               ". Use a number from 1 to 65535.");
    return port;
}

// "host" or "host:port" as it always was: only a valid port after the last
// colon splits; anything else stays part of the host name.
ServerName ParseWithoutScheme(const std::string& text, bool news)
{
    const std::uint16_t defaultPort = news ? 119 : 25;
    if (!text.empty() && text[0] == '[') {
        const HostAndPort split = SplitBracketed(text, text);
        return {split.host, PortOf(split, defaultPort, text), Security::PLAIN, false, ""};
    }
    const std::size_t colon = text.rfind(':');
    const std::uint16_t port = colon == std::string::npos ? 0 : PortNumber(text.substr(colon + 1));
    if (port == 0) return {text, defaultPort, Security::PLAIN, false, ""};
    return {text.substr(0, colon), port, Security::PLAIN, false, ""};
}

// "[user@]host[:port][/]" after the scheme. The user part ends at the last
// "@": a host holds none.
ServerName ParseAfterScheme(const Scheme& scheme, const std::string& rest, const std::string& text)
{
    std::string user;
    std::string part = rest;
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string raw = rest.substr(0, at);
        if (raw.find(':') != std::string::npos)
            Refuse("A password in the server name \"" + Shown(text) +
                   "\" is refused: it would show in process lists.");
        user = DecodeUser(raw, text);
        part = rest.substr(at + 1);
    }
    if (!part.empty() && part.back() == '/') part.pop_back();
    const HostAndPort split =
        !part.empty() && part[0] == '[' ? SplitBracketed(part, text) : SplitPlain(part, text);
    return {split.host, PortOf(split, scheme.port, text), scheme.security, true, user};
}

// DNS, SNI and the certificate know a name only in its ASCII form; the
// user writes it in the charset of the command line and the settings.
std::string AsciiHost(const std::string& host, const std::string& text)
{
    if (!core::HoldsHighByte(host)) return host;
    std::string ascii, reason;
    if (!platform::DomainToAscii(host, DefaultCharset(), ascii, reason))
        Refuse("Bad host \"" + host + "\"" + InServer(text) + ": it has no ASCII form (" + reason +
               ").");
    // The mapping may turn a character into one that no host name holds,
    // as a no-break space into a space, or drop it, leaving no host at all.
    if (ascii.empty() || !IsHostText(ascii)) RefuseHost(host, text);
    return ascii;
}

ServerName Parse(const std::string& whole, bool news)
{
    const std::size_t separator = whole.find(kSchemeSeparator);
    if (separator == std::string::npos) return ParseWithoutScheme(whole, news);
    const Scheme& scheme = FindScheme(whole.substr(0, separator), whole, news);
    return ParseAfterScheme(scheme, whole.substr(separator + std::strlen(kSchemeSeparator)), whole);
}

}  // namespace

ServerName ParseServerName(const char* text, bool news)
{
    const std::string whole(text);
    ServerName server = Parse(whole, news);
    server.host = AsciiHost(server.host, whole);
    return server;
}

std::string TlsHostName(const std::string& host)
{
    if (!host.empty() && host.back() == '.') return host.substr(0, host.size() - 1);
    return host;
}

}  // namespace transport
