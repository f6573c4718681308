#include <gtest/gtest.h>

#include <string>

#include "core/CSMTPException.h"
#include "transport/ServerName.h"

namespace {

using transport::Security;

// Either a parse (refusal empty) or a refusal with code 1 and this message.
struct NameCase {
    const char* text;
    bool news;
    const char* host;
    int port;
    Security security;
    bool hasScheme;
    const char* user;
    const char* refusal;
};

constexpr Security P = Security::PLAIN;
constexpr Security I = Security::IMPLICIT_TLS;
constexpr Security S = Security::STARTTLS;
constexpr bool MAIL = false;
constexpr bool NEWS = true;
// The advice that ends a refusal.
#define MAIL_SCHEMES " Use smtp://, smtps://, submission:// or smtp+starttls://."
#define NEWS_SCHEMES " Use news://, nntp://, nntps:// or nntp+starttls://."
#define PORTS " Use a number from 1 to 65535."
#define IPV6 " Write an IPv6 address as [2001:db8::1] or [2001:db8::1]:587."
#define HOST_FORM " Write scheme://host or scheme://host:port."
#define HOSTS " Write a name, an IPv4 address or an IPv6 address in brackets, as in [2001:db8::1]."
// A host that the name mapping drops to nothing; Windows' own conversion
// refuses the joiner before the host is checked.
#ifdef _WIN32
#define DROPPED_HOST ": it has no ASCII form (IdnToAscii failed with error 123)."
#else
#define DROPPED_HOST "." HOSTS
#endif

NameCase Parsed(const char* text, bool news, const char* host, int port, Security security,
                bool hasScheme = true, const char* user = "")
{
    return {text, news, host, port, security, hasScheme, user, ""};
}

NameCase Refused(const char* text, bool news, const char* refusal)
{
    return {text, news, "", 0, P, false, "", refusal};
}

TEST(ServerName, ParsesOrRefusesWithItsMessage)
{
    const NameCase rows[] = {
        // Without a scheme, today's rule: only a valid port after the last colon splits.
        Parsed("mail.example.test", MAIL, "mail.example.test", 25, P, false),
        Parsed("news.example.test", NEWS, "news.example.test", 119, P, false),
        Parsed("host:2525", MAIL, "host", 2525, P, false),
        Parsed("host:0", MAIL, "host:0", 25, P, false),
        Parsed("host:65536", MAIL, "host:65536", 25, P, false),
        Parsed("host:abc", NEWS, "host:abc", 119, P, false),
        Parsed("a:b@c", MAIL, "a:b@c", 25, P, false), Parsed("", MAIL, "", 25, P, false),
        Parsed("[::1]", MAIL, "::1", 25, P, false),
        Parsed("[2001:db8::1]:587", MAIL, "2001:db8::1", 587, P, false),
        // Every scheme, in any case, with its default port.
        Parsed("smtp://h", MAIL, "h", 25, P), Parsed("SMTPS://h", MAIL, "h", 465, I),
        Parsed("submissions://h", MAIL, "h", 465, I), Parsed("Submission://h", MAIL, "h", 587, S),
        Parsed("smtp+STARTTLS://h", MAIL, "h", 25, S), Parsed("news://h", NEWS, "h", 119, P),
        Parsed("NNTP://h", NEWS, "h", 119, P), Parsed("nntps://h", NEWS, "h", 563, I),
        Parsed("nntp+starttls://h", NEWS, "h", 119, S),
        Parsed("smtps://192.0.2.1:2465/", MAIL, "192.0.2.1", 2465, I),
        Parsed("smtps://[::1]", MAIL, "::1", 465, I),
        Parsed("nntps://[2001:db8::1]:65535/", NEWS, "2001:db8::1", 65535, I),
        Parsed("submission://me@h", MAIL, "h", 587, S, true, "me"),
        Parsed("smtps://me%40example.test@[::1]:1", MAIL, "::1", 1, I, true, "me@example.test"),
        Parsed("nntps://a%3ab%2F@h", NEWS, "h", 563, I, true, "a:b/"),
        // Refusals.
        Refused("foo://x", MAIL, "Unknown scheme \"foo://\" in server \"foo://x\"." MAIL_SCHEMES),
        Refused("http://x:1", NEWS,
                "Unknown scheme \"http://\" in server \"http://x:1\"." NEWS_SCHEMES),
        Refused(
            "nntps://x", MAIL,
            "The scheme \"nntps://\" in server \"nntps://x\" is for news, not mail." MAIL_SCHEMES),
        Refused(
            "SMTP://x", NEWS,
            "The scheme \"SMTP://\" in server \"SMTP://x\" is for mail, not news." NEWS_SCHEMES),
        Refused("smtps://me:se@cr/et@h", MAIL,
                "A password in the server name \"smtps://me:***@h\" is refused: "
                "it would show in process lists."),
        Refused("smtps://@h", MAIL, "Empty user name before \"@\" in server \"smtps://@h\"."),
        Refused("smtps://me%4@h", MAIL,
                "Bad user name in server \"smtps://me%4@h\": \"%\" must be followed by two hex "
                "digits, as in \"%40\" for \"@\"."),
        Refused("smtps://me%0a@h", MAIL,
                "Bad user name in server \"smtps://me%0a@h\": it holds a control character."),
        Refused("smtps://h:0", MAIL, "Bad port \"0\" in server \"smtps://h:0\"." PORTS),
        Refused("smtps://h:65536", MAIL, "Bad port \"65536\" in server \"smtps://h:65536\"." PORTS),
        Refused("submission://h:", MAIL, "Bad port \"\" in server \"submission://h:\"." PORTS),
        Refused("[::1]:0", MAIL, "Bad port \"0\" in server \"[::1]:0\"." PORTS),
        Refused("[::1", MAIL, "A \"[\" is not closed in server \"[::1\"." IPV6),
        Refused("smtps://[::1]x", MAIL,
                "Unexpected text \"x\" after \"]\" in server \"smtps://[::1]x\"." IPV6),
        Refused("smtps://[localhost]", MAIL,
                "\"[localhost]\" in server \"smtps://[localhost]\" is not an IPv6 address; "
                "only IPv6 addresses go in brackets."),
        Refused("smtps://", MAIL, "No host in server \"smtps://\"." HOST_FORM),
        Refused("nntps://me@:563/", NEWS, "No host in server \"nntps://me@:563/\"." HOST_FORM),
        Refused("smtps://::1", MAIL, "Bad host \"::1\" in server \"smtps://::1\"." HOSTS),
        Refused("smtps://h/path", MAIL, "Bad host \"h/path\" in server \"smtps://h/path\"." HOSTS),
        Refused("smtps://19\xc2\xa0", MAIL,
                "Bad host \"19\xc2\xa0\" in server \"smtps://19\xc2\xa0\"." HOSTS),
        Refused("nntp://\xcd\x8f", NEWS,
                "Bad host \"\xcd\x8f\" in server \"nntp://\xcd\x8f\"" DROPPED_HOST)};
    for (const NameCase& c : rows) {
        try {
            const transport::ServerName name = transport::ParseServerName(c.text, c.news);
            EXPECT_EQ(std::string(), c.refusal) << c.text << " accepted";
            EXPECT_EQ(name.host, c.host) << c.text;
            EXPECT_EQ(name.port, c.port) << c.text;
            EXPECT_EQ(name.security, c.security) << c.text;
            EXPECT_EQ(name.hasScheme, c.hasScheme) << c.text;
            EXPECT_EQ(name.user, c.user) << c.text;
        } catch (const CSMTPException& error) {
            EXPECT_EQ(error.m_Code, BAD_ARGUMENTS_FROM_FORM) << c.text;
            EXPECT_EQ(std::string(error.what()), c.refusal);
        }
    }
}

}  // namespace
