#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "core/CSMTPException.h"
#include "oauth/OAuthHttp.h"
#include "oauth/OAuthJson.h"
#include "oauth/OAuthLogin.h"

namespace {

struct UrlCase {
    const char* url;
    bool taken;
};

// Plain HTTP only to this machine, however the host is spelled.
const UrlCase kUrls[] = {
    {"https://login.example.com/token", true},
    {"HTTPS://login.example.com/token", true},
    {"http://127.0.0.1:8080/token", true},
    {"http://[::1]:8080/token", true},
    {"http://LOCALHOST/token", true},
    {"http://login.example.com/token", false},
    {"http://127.0.0.1.example.com/token", false},
    {"http://localhost@evil.example/token", false},
    {"http://evil.example/?localhost", false},
    {"https:///token", false},
    {"ftp://127.0.0.1/token", false},
    {"login.example.com/token", false},
};

TEST(OAuthUrl, OnlyHttpsOrLoopback)
{
    for (const UrlCase& c : kUrls)
        EXPECT_EQ(ThrownText([&] { oauth::RefuseInsecureUrl(c.url, "token endpoint"); },
                             AUTH_FAILED) == "<no exception>",
                  c.taken)
            << c.url;
}

TEST(OAuthUrl, QueryValuesAreDecoded)
{
    const std::string query = "code=a%2Fb+c&state=s1&empty=&error_description=x%20y";
    EXPECT_EQ(oauth::QueryValue(query, "code"), "a/b c");
    EXPECT_EQ(oauth::QueryValue(query, "state"), "s1");
    EXPECT_EQ(oauth::QueryValue(query, "empty"), "");
    EXPECT_EQ(oauth::QueryValue(query, "error_description"), "x y");
    EXPECT_EQ(oauth::QueryValue(query, "missing"), "");
    EXPECT_EQ(oauth::EncodeForm({{"scope", "a b/c"}, {"x", "~-._"}}), "scope=a%20b%2Fc&x=~-._");
}

struct AnswerCase {
    const char* body;
    bool parsed;
    long expiresIn;
};

const AnswerCase kAnswers[] = {
    {R"({"access_token":"t","expires_in":3599})", true, 3599},
    {R"({"access_token":"t","expires_in":"3599"})", true, 3599},  // a number sent as text
    {R"({"access_token":"t"})", true, -1},
    {R"({"access_token":"t","expires_in":-5})", false, -1},
    {R"({"access_token":"t","expires_in":"soon"})", false, -1},
    {R"({"access_token":7})", false, -1},
    {R"(["access_token"])", false, -1},
    {"<html>", false, -1},
    {"", false, -1},
};

TEST(OAuthJson, ServerAnswers)
{
    for (const AnswerCase& c : kAnswers) {
        oauth::ServerAnswer answer;
        std::string why;
        EXPECT_EQ(oauth::ParseServerAnswer(c.body, &answer, &why), c.parsed) << c.body;
        EXPECT_EQ(answer.expiresIn, c.expiresIn) << c.body;
        EXPECT_EQ(why.empty(), c.parsed) << c.body;
    }
}

// RFC 8414 puts its suffix before the issuer's path, OpenID after it.
TEST(OAuthDiscovery, DocumentAddresses)
{
    using Urls = std::vector<std::string>;
    EXPECT_EQ(oauth::DiscoveryUrls("https://a.example/"),
              (Urls{"https://a.example/.well-known/openid-configuration",
                    "https://a.example/.well-known/oauth-authorization-server"}));
    EXPECT_EQ(oauth::DiscoveryUrls("https://a.example/t/v2"),
              (Urls{"https://a.example/t/v2/.well-known/openid-configuration",
                    "https://a.example/.well-known/oauth-authorization-server/t/v2"}));
}

}  // namespace
