#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Sockets.h"
#include "transport/Session.h"

namespace fs = std::filesystem;

namespace {

TEST(TimeLimit, EnvironmentOverridesEveryLimitWithAPositiveNumber)
{
    ScopedEnvironment environment;
    environment.Set("QUILLEX_TIMEOUT", nullptr);
    EXPECT_EQ(transport::TimeLimit(300), 300);
    environment.Set("QUILLEX_TIMEOUT", "2");
    EXPECT_EQ(transport::TimeLimit(300), 2);
    EXPECT_EQ(transport::TimeLimit(600), 2);
    for (const char* ignored : {"", "0", "-5", "1.5", "abc", "99999999999999999999"}) {
        environment.Set("QUILLEX_TIMEOUT", ignored);
        EXPECT_EQ(transport::TimeLimit(600), 600) << ignored;
    }
}

std::vector<std::string> AddressTexts(const char* host)
{
    std::vector<std::string> texts;
    for (const platform::SocketAddress& address : transport::HostAddresses(host, 25))
        texts.push_back(address.text);
    return texts;
}

TEST(HostAddresses, DottedAddressesNeedNoLookupAndNamesGiveEveryFamily)
{
    using Texts = std::vector<std::string>;
    EXPECT_EQ(AddressTexts("127.0.0.1"), Texts{"127.0.0.1"});
    EXPECT_EQ(AddressTexts("255.255.255.255"), Texts{"255.255.255.255"});
    EXPECT_EQ(AddressTexts("::1"), Texts{"::1"});
    for (const char* none : {"", "0.0.0.0", "no-such-host.invalid"}) {
        EXPECT_EQ(AddressTexts(none), Texts{}) << none;
        EXPECT_NE(platform::LastSocketError(), 0) << none;
    }
    const Texts local = AddressTexts("localhost");
    EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
}

// A server that answers with scripted reads and keeps every unit it was sent.
class ScriptedStream : public transport::Stream {
public:
    ScriptedStream(std::vector<std::string> reads, std::vector<std::string>* sent)
        : m_Reads(std::move(reads)), m_Sent(sent)
    {
    }
    platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                            platform::Deadline) override
    {
        for (std::size_t i = 0; i < count; ++i)
            m_Sent->emplace_back(pieces[i].data, pieces[i].length);
        return platform::IoStatus::OK;
    }
    platform::IoStatus Receive(char* buffer, std::size_t capacity, platform::Deadline,
                               std::size_t* received) override
    {
        if (m_Next == m_Reads.size() || capacity == 0) return platform::IoStatus::FAILED;
        std::string& read = m_Reads[m_Next];
        *received = std::min(capacity, read.size());
        std::memcpy(buffer, read.data(), *received);
        read.erase(0, *received);
        if (read.empty()) ++m_Next;
        return platform::IoStatus::OK;
    }

private:
    std::vector<std::string> m_Reads;
    std::size_t m_Next = 0;
    std::vector<std::string>* m_Sent;
};

struct ParseCase {
    const char* text;
    int code;
    std::vector<std::string> lines;
    std::size_t length;
};

TEST(Reply, ParsesCodeLinesAndWhereTheReplyEnds)
{
    const ParseCase cases[] = {
        {"250 OK\r\n", 250, {"OK"}, 8},
        {"250-host\r\n250-PIPELINING\r\n250 STARTTLS\r\n",
         250,
         {"host", "PIPELINING", "STARTTLS"},
         40},
        {"334 \r\n", 334, {""}, 6},
        {"220\r\n", 220, {""}, 5},
        {"220 go ahead\r\nXYZ\r\n", 220, {"go ahead"}, 14},
        {"2x0 odd\r\n", -1, {"odd"}, 9},
    };
    for (const ParseCase& c : cases) {
        const transport::Reply reply = transport::ParseReply(c.text, std::strlen(c.text));
        EXPECT_EQ(reply.code, c.code) << c.text;
        EXPECT_EQ(reply.lines, c.lines) << c.text;
        EXPECT_EQ(reply.length, c.length) << c.text;
    }
}

TEST(Connection, ALocalPartBeyondAsciiGoesOnlyWhereSmtpUtf8IsOffered)
{
    for (const bool offered : {true, false}) {
        std::vector<std::string> sent;
        const transport::ServerName server{"mx.example.test", 465,
                                           transport::Security::IMPLICIT_TLS, true, ""};
        transport::Connection connection(
            std::make_unique<ScriptedStream>(
                std::vector<std::string>{offered ? "250-mx\r\n250 SMTPUTF8\r\n" : "250 mx\r\n",
                                         "250 sender\r\n", "250 rcpt\r\n", "354 go\r\n"},
                &sent),
            server);
        ScopedEnvironment environment;
        environment.Set("MM_CHARSET", "utf-8");  // the local part below is UTF-8
        CSMTPEmail mail;
        mail.AddTo("j\xC3\xB6rg@x.test");
        mail.SetHeader("X-Sender", "me@x.test");
        mail._EncodeHeaders();
        if (!offered) {
            EXPECT_THROW(transport::MailDialogue(mail, connection), CSMTPException);
            EXPECT_EQ(sent.size(), 1u);  // EHLO and nothing after it
            continue;
        }
        transport::MailDialogue(mail, connection);
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[1], "MAIL FROM:<me@x.test> SMTPUTF8\r\n");
        EXPECT_EQ(sent[2], "RCPT TO:<j\xC3\xB6rg@x.test>\r\n");
    }
}

// DNS gets the ASCII form of the name; SNI and the certificate check get it
// without the final dot of a fully qualified name.
TEST(Connection, TheTlsPeerIsTheAsciiHostWithoutItsFinalDot)
{
    ScopedEnvironment environment;
    environment.Set("MM_CHARSET", "utf-8");
    const char* const rows[][3] = {
        {"smtps://mail.example.test.", "mail.example.test.", "mail.example.test"},
        {"smtps://b\u00FCcher.example.", "xn--bcher-kva.example.", "xn--bcher-kva.example"},
        {"b\u00FCcher.example:2525", "xn--bcher-kva.example", "xn--bcher-kva.example"},
        {"smtps://[::1]", "::1", "::1"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> sent;
        const transport::ServerName server = transport::ParseServerName(row[0], false);
        EXPECT_EQ(server.host, row[1]);
        const transport::Connection connection(
            std::make_unique<ScriptedStream>(std::vector<std::string>{}, &sent), server);
        EXPECT_EQ(transport::TlsPeerFor(connection).host, row[2]);
    }
}

// A line without its end, or endless continuation lines: the fixed buffer
// fills up and the read fails, whatever else the server has in store.
TEST(Connection, ReplyLongerThanTheBufferFailsToReceive)
{
    std::string lines;
    for (int i = 0; i < 10000; ++i) lines += "220-" + std::string(60, 'y') + "\r\n";
    for (const std::string& reply : {"250-" + std::string(40000, 'x') + "\r\n", lines}) {
        std::vector<std::string> sent;
        transport::Connection connection(std::make_unique<ScriptedStream>(
            std::vector<std::string>{reply, "220 end\r\n"}, &sent));
        try {
            connection.ReadReply(5);
            ADD_FAILURE() << "no exception";
        } catch (const CSMTPException& error) {
            EXPECT_EQ(error.m_Code, FAILED_TO_RECEIVE);
        }
        EXPECT_EQ(connection.LastReply().Length(), transport::kReplyBufferSize - 1);
    }
}

class ExclusiveFileTest : public ::testing::Test {
protected:
    ScratchDirectory m_Scratch;
    const fs::path& m_Dir = m_Scratch.Path();
};

TEST_F(ExclusiveFileTest, CreatesANewOwnerOnlyFile)
{
    SKIP_ON_WINDOWS("Windows files carry no POSIX permission bits");
    const fs::path path = m_Dir / "~mail1";
    FILE* file = platform::CreateExclusiveFile(path.string().c_str());
    ASSERT_NE(file, nullptr);
    std::fputs("data", file);
    std::rewind(file);
    char back[8] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back, file), 4u);
    EXPECT_STREQ(back, "data");
    std::fclose(file);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(platform::RemoveFile(path.string().c_str()));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(platform::RemoveFile(path.string().c_str()));
}

}  // namespace
