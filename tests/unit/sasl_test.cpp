#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mime/Encoders.h"
#include "platform/PasswordCommand.h"
#include "transport/Sasl.h"

namespace {

using transport::SaslMechanism;

struct ResponseCase {
    const char* what;
    std::string produced;
    const char* expected;
};

TEST(SaslResponse, IsTheExpectedText)
{
    const ResponseCase rows[] = {
        // RFC 4616 section 4: "\0tim\0tanstaaftanstaaf".
        {"plain", transport::PlainResponse("tim", "tanstaaftanstaaf"),
         "AHRpbQB0YW5zdGFhZnRhbnN0YWFm"},
        {"login user", transport::LoginUserResponse("tim"), "dGlt"},
        {"login password", transport::LoginPasswordResponse("pencil"), "cGVuY2ls"},
        {"xoauth2",
         transport::XOAuth2Response("someuser@example.com",
                                    "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
         "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNr"
         "QmhkSFJoZG1semRHRXVZMjl0Q2cBAQ=="},
        // RFC 7628 section 4.1.
        {"oauthbearer",
         transport::OAuthBearerResponse("user@example.com", "server.example.com", 143,
                                        "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
         "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1"
         "dGg9QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB"},
        {"oauthbearer escapes", transport::OAuthBearerResponse("a=b,c", "h", 587, "t"),
         "bixhPWE9M0RiPTJDYywBaG9zdD1oAXBvcnQ9NTg3AWF1dGg9QmVhcmVyIHQBAQ=="},
        // Longer than one MIME line: still one line.
        {"long", transport::SaslEncode(std::string(60, 'x')),
         "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eH"
         "h4"}};
    for (const ResponseCase& row : rows) EXPECT_EQ(row.produced, row.expected) << row.what;
}

// RFC 7677 section 3, to the byte.
const char kServerFirst[] =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

TEST(ScramTest, Rfc7677Exchange)
{
    transport::ScramSha256Client scram("rOprNGfwEbeRWgbNEkqO");
    std::string message, why;
    ASSERT_TRUE(scram.ClientFirst("user", &message, &why)) << why;
    EXPECT_EQ(message, "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    ASSERT_TRUE(scram.ClientFinal(kServerFirst, "pencil", &message, &why)) << why;
    EXPECT_EQ(message,
              "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
              "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    EXPECT_TRUE(scram.VerifyServerFinal("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=", &why))
        << why;
    for (const char* bad : {"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G5=", "v=", "x=1",
                            "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4", "e=invalid-proof"})
        EXPECT_FALSE(scram.VerifyServerFinal(bad, &why)) << bad;
    EXPECT_EQ(why, "the server refused: invalid-proof");
}

TEST(ScramTest, RandomNonceAndEscapedUser)
{
    transport::ScramSha256Client one, two;
    std::string first, second, why;
    ASSERT_TRUE(one.ClientFirst("a=b,c", &first, &why)) << why;
    ASSERT_TRUE(two.ClientFirst("a=b,c", &second, &why)) << why;
    EXPECT_EQ(first.substr(0, 17), "n,,n=a=3Db=2Cc,r=");
    EXPECT_EQ(first.size(), 17u + 32u);  // 24 bytes in base64
    EXPECT_NE(first, second);
}

struct ChallengeCase {
    const char* serverFirst;
    const char* reason;
};

const char kNotExtended[] = "the server's SCRAM nonce does not extend the client's";
const char kNotScram[] = "the server's SCRAM challenge is not \"r=...,s=...,i=...\"";

TEST(ScramTest, RefusedChallenges)
{
    const ChallengeCase rows[] = {
        {"r=xyzdef,s=c2FsdA==,i=4096", kNotExtended},
        {"r=abc,s=c2FsdA==,i=4096", kNotExtended},
        {"r=abc\177d,s=c2FsdA==,i=4096", kNotExtended},
        {"r=abcdef,s=c2Fsd,i=4096", "the server's SCRAM salt is not base64"},
        {"r=abcdef,s=,i=4096", "the server's SCRAM salt is not base64"},
        {"r=abcdef,s=c2FsdA==,i=0",
         "the server's SCRAM iteration count \"0\" is not a number of 1 to 1000000"},
        {"r=abcdef,s=c2FsdA==,i=1000001",
         "the server's SCRAM iteration count \"1000001\" is not a number of 1 to "
         "1000000"},
        {"r=abcdef,s=c2FsdA==,i=-1",
         "the server's SCRAM iteration count \"-1\" is not a number of 1 to 1000000"},
        {"r=abcdef,i=4096,s=c2FsdA==", kNotScram},
        {"", kNotScram},
        {"m=ext,r=abcdef,s=c2FsdA==,i=4096",
         "the server requires a SCRAM extension this program does not know"},
        {"e=unknown-user", "the server refused: unknown-user"}};
    for (const ChallengeCase& row : rows) {
        transport::ScramSha256Client scram("abc");
        std::string message, why;
        ASSERT_TRUE(scram.ClientFirst("user", &message, &why));
        message.clear();
        EXPECT_FALSE(scram.ClientFinal(row.serverFirst, "pencil", &message, &why));
        EXPECT_EQ(why, row.reason);
        EXPECT_EQ(message, "");
        EXPECT_FALSE(scram.VerifyServerFinal("v=", &why));
    }
}

struct ChoiceCase {
    const char* setting;
    SaslMechanism chosen;
    const char* reason;  // empty: chosen
    std::vector<std::string> advertised;
};

const std::vector<std::string> kAll = {"LOGIN", "XOAUTH2", "plain", "OAUTHBEARER", "SCRAM-SHA-256"};
constexpr SaslMechanism kNone = SaslMechanism::LOGIN;

TEST(SaslChoice, ChoosesOrSaysWhy)
{
    const ChoiceCase rows[] = {
        {"auto", SaslMechanism::SCRAM_SHA_256, "", kAll},
        {"", SaslMechanism::SCRAM_SHA_256, "", kAll},
        {" Auto ", SaslMechanism::PLAIN, "", {"LOGIN", "PLAIN"}},
        {"AUTO", SaslMechanism::LOGIN, "", {"login"}},
        {"Plain", SaslMechanism::PLAIN, "", kAll},
        {"xoauth2", SaslMechanism::XOAUTH2, "", kAll},
        {"OAuthBearer", SaslMechanism::OAUTHBEARER, "", kAll},
        {"auto",
         kNone,
         "the server offers none of SCRAM-SHA-256, PLAIN and LOGIN (it offers: XOAUTH2 CRAM-MD5)",
         {"XOAUTH2", "CRAM-MD5"}},
        {"login", kNone, "the server does not offer LOGIN (it offers none)", {}},
        {"scram-sha-256",
         kNone,
         "the server does not offer SCRAM-SHA-256 (it offers: PLAIN LOGIN)",
         {"PLAIN", "LOGIN"}},
        {"cram-md5", kNone,
         "\"cram-md5\" is not a mechanism; write auto, scram-sha-256, plain, login, "
         "xoauth2 or oauthbearer",
         kAll}};
    for (const ChoiceCase& c : rows) {
        SaslMechanism chosen = SaslMechanism::LOGIN;
        std::string why;
        const bool ok = transport::ChooseSaslMechanism(c.advertised, c.setting, &chosen, &why);
        EXPECT_EQ(why, c.reason) << c.setting;
        EXPECT_EQ(ok, *c.reason == '\0') << c.setting;
        EXPECT_EQ(transport::SaslName(chosen), transport::SaslName(c.chosen)) << c.setting;
    }
}

TEST(Base64DecodeTest, TakesOnlyStrictBase64)
{
    std::string bytes;
    for (const char* good : {"", "YQ==", "YWI=", "YWJj", "AHRpbQB0YW5zdGFhZnRhbnN0YWFm"}) {
        EXPECT_TRUE(DecodeBase64(good, &bytes)) << good;
        EXPECT_EQ(EncodeBase64Line(bytes.data(), bytes.size()), good);
    }
    for (const char* bad : {"Y", "YQ=", "YR==", "YQ==YQ==", "Y===", "====", "YW\r\n", "YW J",
                            "YW-j", "Password:", "VXNlcm5hbWU6 "})
        EXPECT_FALSE(DecodeBase64(bad, &bytes)) << bad;
    EXPECT_EQ(bytes, "");
}

struct CommandCase {
    const char* command;
    const char* secret;  // empty: refused with this reason
    const char* reason;
};

TEST(PasswordCommand, GivesTheFirstLineOrSaysWhy)
{
    const CommandCase rows[] = {
#ifndef _WIN32
        {"echo s3cret", "s3cret", ""},
        {"  printf '%s\\nsecond\\n'   \"two  'words'\"", "two  'words'", ""},
        {"printf 'cr\\r\\n'", "cr", ""},
        {"printf %s no-line-break", "no-line-break", ""},
        {"false", "", "the password command \"false\" exited with status 1"},
        {"echo", "", "the password command \"echo\" printed an empty first line"},
        {"printf ''", "", "the password command \"printf\" printed an empty first line"},
        {"sh -c 'kill -9 $$'", "", "the password command \"sh\" was ended by signal 9"},
        {"no-such-program-here x", "",
         "the password command \"no-such-program-here\" cannot be run: No such file or "
         "directory"},
        {"  ", "", "the password command is empty"},
        {"echo 'open", "", "the password command has an unclosed '"},
#else
        {"echo s3cret", "s3cret", ""},
        {"exit /b 3", "", "the password command \"exit\" exited with status 3"},
        {"echo.", "", "the password command \"echo.\" printed an empty first line"},
        {"  ", "", "the password command is empty"},
#endif
    };
    for (const CommandCase& row : rows) {
        std::string secret = "old", why;
        const bool ok = platform::RunPasswordCommand(row.command, &secret, &why);
        EXPECT_EQ(secret, row.secret) << row.command;
        EXPECT_EQ(ok, *row.secret != '\0') << row.command;
        EXPECT_EQ(why, ok ? "" : row.reason) << row.command;
    }
}

}  // namespace
