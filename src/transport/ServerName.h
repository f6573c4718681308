#pragma once

#include <cstdint>
#include <string>

// The server as the user wrote it in -S, HOST or NNTP HOST: a plain name
// with an optional port, as always, or a URL-like text whose scheme asks for
// TLS from the first byte or for STARTTLS.
namespace transport {

enum class Security { PLAIN, IMPLICIT_TLS, STARTTLS };

struct ServerName {
    std::string host;  // without brackets: an IPv6 literal is "::1"
    std::uint16_t port;
    Security security;
    bool hasScheme;    // false: "host" or "host:port" as before schemes existed
    std::string user;  // percent-decoded ("%40" is "@"); empty when none
};

// Without a scheme: "host" or "host:port" with a port of 1 to 65535 (the last
// colon decides; any other suffix stays part of the host name), or an IPv6
// literal in brackets, "[::1]" or "[2001:db8::1]:587". With a scheme
// (case-insensitive; mail takes smtp, smtps, submissions, submission and
// smtp+starttls, news takes news, nntp, nntps and nntp+starttls):
// "scheme://[user@]host[:port][/]", the host a name, a dotted IPv4 address or
// an IPv6 literal in brackets.
// BAD_ARGUMENTS_FROM_FORM for an unknown scheme or one of the other protocol,
// a password ("user:pass@", which would show in process lists; the message
// never holds it), a bad port, an unclosed bracket, an empty or malformed
// host after a scheme, a host beyond ASCII that has no ASCII form.
// A host beyond ASCII (in the charset of MM_CHARSET or the locale) comes back
// in its ASCII form, "bücher.example" as "xn--bcher-kva.example".
ServerName ParseServerName(const char* text, bool news);

// The name for SNI and the certificate check: a fully qualified name's
// final dot is no part of either.
std::string TlsHostName(const std::string& host);

}  // namespace transport
