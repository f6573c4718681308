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
#include "mime/CSMTPPart.h"
#include "platform/Environment.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/Sockets.h"
#include "transport/Session.h"
#include "transport/SpooledMessage.h"
#include "transport/TemporaryFailure.h"

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

TEST(TemporaryFailure, OnlyWhatALaterTryMayMendWaits)
{
    struct Row {
        SmtpError code;
        const char* reply;
        bool news;
        bool temporary;
        bool throttled;
    };
    const Row rows[] = {
        {FAILED_TO_CONNECT, "", false, true, false},
        {FAILED_TO_RECEIVE, "250 ok", false, true, false},
        {SERVER_ERROR, "451 4.7.1 Greylisted", false, true, true},
        {SERVER_ERROR, "421 4.3.2 closing", false, true, true},
        {SERVER_ERROR, "452 4.5.3 Too many recipients", false, true, true},
        {SERVER_ERROR, "450 4.2.0 Mailbox busy", false, true, false},
        {SERVER_ERROR, "550 5.1.1 No such user", false, false, false},
        {SERVER_ERROR, "441 posting failed", true, false, false},
        {SERVER_ERROR, "400 service unavailable", true, true, false},
        {AUTH_FAILED, "454 4.7.0 Try later", false, true, true},
        {AUTH_FAILED, "535 5.7.8 Bad credentials", false, false, false},
        {CERTIFICATE_REFUSED, "", false, false, false},
        {BAD_ARGUMENTS_FROM_FORM, "", false, false, false},
    };
    for (const Row& row : rows) {
        const CSMTPException error(row.code);
        EXPECT_EQ(transport::IsTemporaryFailure(error, row.reply, row.news), row.temporary)
            << row.reply;
        EXPECT_EQ(transport::IsThrottled(row.reply), row.throttled) << row.reply;
    }
    CSMTPException unanswered(AUTH_FAILED);
    unanswered << "The OAuth token endpoint \"https://t.example\" gave no answer: refused.";
    EXPECT_FALSE(transport::IsTemporaryFailure(unanswered, "", false));
    MarkTemporary(unanswered);  // as the sign-in marks what a later try may mend
    EXPECT_TRUE(transport::IsTemporaryFailure(unanswered, "", false));
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
        transport::MailSession session;
        if (!offered) {
            EXPECT_THROW(transport::MailDialogue(mail, connection, session), CSMTPException);
            EXPECT_EQ(sent.size(), 1u);  // EHLO and nothing after it
            continue;
        }
        transport::MailDialogue(mail, connection, session);
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

// Keeps every unit, or fails every send; notes how much of the file was on
// disk when the first unit came.
class WatchingStream : public ScriptedStream {
public:
    WatchingStream(std::vector<std::string>* sent, bool fail, const char* file)
        : ScriptedStream({}, sent), m_Fail(fail), m_File(file)
    {
    }
    platform::IoStatus Send(const platform::SendPiece* pieces, std::size_t count,
                            platform::Deadline deadline) override
    {
        if (m_OnDisk == UINT64_MAX) platform::FileSize(m_File, m_OnDisk);
        return m_Fail ? platform::IoStatus::FAILED : ScriptedStream::Send(pieces, count, deadline);
    }
    std::uint64_t m_OnDisk = UINT64_MAX;

private:
    bool m_Fail;
    const char* m_File;
};

// Units leave while the file is written; a failed send ends the sending,
// not the file, which is whole when the failure is thrown.
TEST(Connection, TheMessageStreamsWhileItsFileIsWritten)
{
    const ScratchDirectory scratch;
    const std::string data =
        PutFile((scratch.Path() / "data.bin").string(), std::string(600000, 'x'));
    std::string whole;
    for (const bool fail : {false, true}) {
        CSMTPEmail mail;
        mail.AddPart(data.c_str(), PART_BINARY_FILE);
        transport::SpooledMessage message;
        std::vector<std::string> sent;
        auto stream = std::make_unique<WatchingStream>(&sent, fail, message.Name());
        [[maybe_unused]] const WatchingStream& watched = *stream;
        transport::Connection connection(std::move(stream));
        try {
            if (const std::exception_ptr failure =
                    transport::WriteAndStream(mail, connection, message))
                std::rethrow_exception(failure);
            EXPECT_FALSE(fail);
        } catch (const CSMTPException& error) {
            EXPECT_TRUE(fail);
            EXPECT_EQ(error.m_Code, FAILED_TO_SEND);
        }
        const std::string file = FileBytes(message.Name());
#ifndef _WIN32
        EXPECT_LT(watched.m_OnDisk, file.size());
#endif
        if (fail) {
            EXPECT_EQ(file, whole);
            EXPECT_TRUE(sent.empty());
            continue;
        }
        whole = file;
        std::string units;
        for (const std::string& unit : sent) units += unit.size() == 1023 ? unit : "<short unit>";
        EXPECT_EQ(units + mail.m_SendBuffer, file);
        EXPECT_TRUE(mail.m_SendBuffer.size() >= 1 && mail.m_SendBuffer.size() <= 1023);
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
