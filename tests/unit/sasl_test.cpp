// SASL client responses against the RFC examples, the SCRAM checks of what a
// server sends, the mechanism choice, and the password command.
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

class SaslResponseTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(SaslResponseTest, IsTheExpectedText)
{
    EXPECT_EQ(GetParam().produced, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc, SaslResponseTest,
    ::testing::Values(
        // RFC 4616 section 4: "\0tim\0tanstaaftanstaaf".
        ResponseCase{"plain", transport::PlainResponse("tim", "tanstaaftanstaaf"),
                     "AHRpbQB0YW5zdGFhZnRhbnN0YWFm"},
        ResponseCase{"login user", transport::LoginUserResponse("tim"), "dGlt"},
        ResponseCase{"login password", transport::LoginPasswordResponse("pencil"), "cGVuY2ls"},
        ResponseCase{
            "xoauth2",
            transport::XOAuth2Response("someuser@example.com",
                                       "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNr"
            "QmhkSFJoZG1semRHRXVZMjl0Q2cBAQ=="},
        // RFC 7628 section 4.1.
        ResponseCase{"oauthbearer",
                     transport::OAuthBearerResponse("user@example.com", "server.example.com", 143,
                                                    "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
                     "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1"
                     "dGg9QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB"},
        ResponseCase{"oauthbearer escapes", transport::OAuthBearerResponse("a=b,c", "h", 587, "t"),
                     "bixhPWE9M0RiPTJDYywBaG9zdD1oAXBvcnQ9NTg3AWF1dGg9QmVhcmVyIHQBAQ=="},
        // Longer than one MIME line: still one line.
        ResponseCase{
            "long", transport::SaslEncode(std::string(60, 'x')),
            "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eH"
            "h4"}));

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

class ScramChallengeTest : public ::testing::TestWithParam<ChallengeCase> {};

TEST_P(ScramChallengeTest, IsRefused)
{
    transport::ScramSha256Client scram("abc");
    std::string message, why;
    ASSERT_TRUE(scram.ClientFirst("user", &message, &why));
    message.clear();
    EXPECT_FALSE(scram.ClientFinal(GetParam().serverFirst, "pencil", &message, &why));
    EXPECT_EQ(why, GetParam().reason);
    EXPECT_EQ(message, "");
    EXPECT_FALSE(scram.VerifyServerFinal("v=", &why));
}

const char kNotExtended[] = "the server's SCRAM nonce does not extend the client's";
const char kNotScram[] = "the server's SCRAM challenge is not \"r=...,s=...,i=...\"";

INSTANTIATE_TEST_SUITE_P(
    Refusals, ScramChallengeTest,
    ::testing::Values(
        ChallengeCase{"r=xyzdef,s=c2FsdA==,i=4096", kNotExtended},
        ChallengeCase{"r=abc,s=c2FsdA==,i=4096", kNotExtended},
        ChallengeCase{"r=abc\x7f"
                      "d,s=c2FsdA==,i=4096",
                      kNotExtended},
        ChallengeCase{"r=abcdef,s=c2Fsd,i=4096", "the server's SCRAM salt is not base64"},
        ChallengeCase{"r=abcdef,s=,i=4096", "the server's SCRAM salt is not base64"},
        ChallengeCase{"r=abcdef,s=c2FsdA==,i=0",
                      "the server's SCRAM iteration count \"0\" is not a number of 1 to 1000000"},
        ChallengeCase{"r=abcdef,s=c2FsdA==,i=1000001",
                      "the server's SCRAM iteration count \"1000001\" is not a number of 1 to "
                      "1000000"},
        ChallengeCase{"r=abcdef,s=c2FsdA==,i=-1",
                      "the server's SCRAM iteration count \"-1\" is not a number of 1 to 1000000"},
        ChallengeCase{"r=abcdef,i=4096,s=c2FsdA==", kNotScram}, ChallengeCase{"", kNotScram},
        ChallengeCase{"m=ext,r=abcdef,s=c2FsdA==,i=4096",
                      "the server requires a SCRAM extension this program does not know"},
        ChallengeCase{"e=unknown-user", "the server refused: unknown-user"}));

struct ChoiceCase {
    std::vector<std::string> advertised;
    const char* setting;
    SaslMechanism chosen;
    const char* reason;  // empty: chosen
};

class SaslChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(SaslChoiceTest, ChoosesOrSaysWhy)
{
    const ChoiceCase& c = GetParam();
    SaslMechanism chosen = SaslMechanism::LOGIN;
    std::string why;
    const bool ok = transport::ChooseSaslMechanism(c.advertised, c.setting, &chosen, &why);
    EXPECT_EQ(why, c.reason);
    EXPECT_EQ(ok, *c.reason == '\0');
    EXPECT_EQ(transport::SaslName(chosen), transport::SaslName(c.chosen));
}

const std::vector<std::string> kAll = {"LOGIN", "XOAUTH2", "plain", "OAUTHBEARER", "SCRAM-SHA-256"};
constexpr SaslMechanism kNone = SaslMechanism::LOGIN;

INSTANTIATE_TEST_SUITE_P(
    Table, SaslChoiceTest,
    ::testing::Values(
        ChoiceCase{kAll, "auto", SaslMechanism::SCRAM_SHA_256, ""},
        ChoiceCase{kAll, "", SaslMechanism::SCRAM_SHA_256, ""},
        ChoiceCase{{"LOGIN", "PLAIN"}, " Auto ", SaslMechanism::PLAIN, ""},
        ChoiceCase{{"login"}, "AUTO", SaslMechanism::LOGIN, ""},
        ChoiceCase{kAll, "Plain", SaslMechanism::PLAIN, ""},
        ChoiceCase{kAll, "xoauth2", SaslMechanism::XOAUTH2, ""},
        ChoiceCase{kAll, "OAuthBearer", SaslMechanism::OAUTHBEARER, ""},
        ChoiceCase{{"XOAUTH2", "CRAM-MD5"},
                   "auto",
                   kNone,
                   "the server offers none of SCRAM-SHA-256, PLAIN and LOGIN (it offers: XOAUTH2 "
                   "CRAM-MD5)"},
        ChoiceCase{{}, "login", kNone, "the server does not offer LOGIN (it offers none)"},
        ChoiceCase{{"PLAIN", "LOGIN"},
                   "scram-sha-256",
                   kNone,
                   "the server does not offer SCRAM-SHA-256 (it offers: PLAIN LOGIN)"},
        ChoiceCase{kAll, "cram-md5", kNone,
                   "\"cram-md5\" is not a mechanism; write auto, scram-sha-256, plain, login, "
                   "xoauth2 or oauthbearer"}));

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

class PasswordCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(PasswordCommandTest, GivesTheFirstLineOrSaysWhy)
{
    std::string secret = "old", why;
    const bool ok = platform::RunPasswordCommand(GetParam().command, &secret, &why);
    EXPECT_EQ(secret, GetParam().secret);
    EXPECT_EQ(ok, *GetParam().secret != '\0');
    EXPECT_EQ(why, ok ? "" : GetParam().reason);
}

#ifndef _WIN32
INSTANTIATE_TEST_SUITE_P(
    Posix, PasswordCommandTest,
    ::testing::Values(
        CommandCase{"echo s3cret", "s3cret", ""},
        CommandCase{"  printf '%s\\nsecond\\n'   \"two  'words'\"", "two  'words'", ""},
        CommandCase{"printf 'cr\\r\\n'", "cr", ""},
        CommandCase{"printf %s no-line-break", "no-line-break", ""},
        CommandCase{"false", "", "the password command \"false\" exited with status 1"},
        CommandCase{"echo", "", "the password command \"echo\" printed an empty first line"},
        CommandCase{"printf ''", "", "the password command \"printf\" printed an empty first line"},
        CommandCase{"sh -c 'kill -9 $$'", "", "the password command \"sh\" was ended by signal 9"},
        CommandCase{"no-such-program-here x", "",
                    "the password command \"no-such-program-here\" cannot be run: No such file or "
                    "directory"},
        CommandCase{"  ", "", "the password command is empty"},
        CommandCase{"echo 'open", "", "the password command has an unclosed '"}));
#else
INSTANTIATE_TEST_SUITE_P(
    Windows, PasswordCommandTest,
    ::testing::Values(
        CommandCase{"echo s3cret", "s3cret", ""},
        CommandCase{"exit /b 3", "", "the password command \"exit\" exited with status 3"},
        CommandCase{"echo.", "", "the password command \"echo.\" printed an empty first line"},
        CommandCase{"  ", "", "the password command is empty"}));
#endif

}  // namespace
