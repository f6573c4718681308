#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "mail/CSMTPEmail.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Sockets.h"
#include "transport/Session.h"

namespace fs = std::filesystem;

namespace {

struct SplitCase {
    const char* server;
    const char* host;
    int port;
};

class SplitServerTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitServerTest, TakesOnlyAValidPortSuffix)
{
    const SplitCase& c = GetParam();
    const transport::ServerAddress address = transport::SplitServer(c.server, 25);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SplitServerTest,
    ::testing::Values(SplitCase{"mail.example.test", "mail.example.test", 25},
                      SplitCase{"mail.example.test:2525", "mail.example.test", 2525},
                      SplitCase{"127.0.0.1:1", "127.0.0.1", 1},
                      SplitCase{"127.0.0.1:65535", "127.0.0.1", 65535},
                      SplitCase{"127.0.0.1:65536", "127.0.0.1:65536", 25},
                      SplitCase{"127.0.0.1:0", "127.0.0.1:0", 25},
                      SplitCase{"127.0.0.1:", "127.0.0.1:", 25},
                      SplitCase{"127.0.0.1:+25", "127.0.0.1:+25", 25},
                      SplitCase{"127.0.0.1:25x", "127.0.0.1:25x", 25},
                      SplitCase{"127.0.0.1:99999999999999999999", "127.0.0.1:99999999999999999999", 25},
                      SplitCase{"a:b:119", "a:b", 119},
                      SplitCase{":25", "", 25},
                      SplitCase{"", "", 25}));

class TimeLimitTest : public ::testing::Test {
protected:
    void TearDown() override { platform::SetEnvironmentValue("QUILLEX_TIMEOUT", nullptr); }
};

TEST_F(TimeLimitTest, EnvironmentOverridesEveryLimitWithAPositiveNumber)
{
    platform::SetEnvironmentValue("QUILLEX_TIMEOUT", nullptr);
    EXPECT_EQ(transport::TimeLimit(300), 300);
    platform::SetEnvironmentValue("QUILLEX_TIMEOUT", "2");
    EXPECT_EQ(transport::TimeLimit(300), 2);
    EXPECT_EQ(transport::TimeLimit(600), 2);
    for (const char* ignored : {"", "0", "-5", "1.5", "abc", "99999999999999999999"}) {
        platform::SetEnvironmentValue("QUILLEX_TIMEOUT", ignored);
        EXPECT_EQ(transport::TimeLimit(600), 600) << ignored;
    }
}

// An IPv4 address in network byte order, as the resolver gives it.
std::uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    const unsigned char bytes[4] = {a, b, c, d};
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

TEST(ResolveHost, DottedAddressesNeedNoLookup)
{
    EXPECT_EQ(CSMTPEmail::_ResolveHost("127.0.0.1"), Address(127, 0, 0, 1));
    EXPECT_EQ(CSMTPEmail::_ResolveHost("192.0.2.200"), Address(192, 0, 2, 200));
    EXPECT_EQ(CSMTPEmail::_ResolveHost("255.255.255.255"), Address(255, 255, 255, 255));
}

TEST(ResolveHost, NamesThatCannotBeHostsGiveZero)
{
    EXPECT_EQ(CSMTPEmail::_ResolveHost(""), 0u);
    EXPECT_NE(platform::LastSocketError(), 0);
    EXPECT_EQ(CSMTPEmail::_ResolveHost("0.0.0.0"), 0u);
    EXPECT_EQ(CSMTPEmail::_ResolveHost("no-such-host.invalid"), 0u);
    EXPECT_NE(platform::LastSocketError(), 0);
}

TEST(ResolveHost, LooksNamesUp)
{
    EXPECT_EQ(CSMTPEmail::_ResolveHost("localhost"), Address(127, 0, 0, 1));
}

TEST(SendText, QueueCollectsAndFlushOfNothingSendsNothing)
{
    CSMTPEmail mail;
    // An invalid socket: any attempt to send would throw FAILED_TO_SEND.
    EXPECT_TRUE(mail._SendText(platform::kInvalidSocket, "HELO ", SEND_QUEUE));
    EXPECT_TRUE(mail._SendText(platform::kInvalidSocket, nullptr, SEND_QUEUE));
    EXPECT_TRUE(mail._SendText(platform::kInvalidSocket, "host\r\n", SEND_QUEUE));
    EXPECT_EQ(mail.m_SendBuffer, "HELO host\r\n");
    mail.m_SendBuffer.clear();
    EXPECT_NO_THROW(mail._SendText(platform::kInvalidSocket, nullptr, SEND_FLUSH));
    EXPECT_NO_THROW(mail._SendText(platform::kInvalidSocket, "", SEND_NOW));
    EXPECT_NO_THROW(mail._SendText(platform::kInvalidSocket, nullptr, 7));
}

TEST(SendText, FailedSendThrowsWithTheErrorCode)
{
    CSMTPEmail mail;
    try {
        mail._SendText(platform::kInvalidSocket, "QUIT\r\n", SEND_NOW);
        FAIL() << "no exception";
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, FAILED_TO_SEND);
        EXPECT_EQ(std::string(error.what()),
                  "send() failed with error " + std::to_string(platform::LastSocketError()));
    }
}

TEST(Connection, UnresolvableHostThrowsFailedToConnect)
{
    try {
        transport::Connection connection({"no-such-host.invalid", 2525});
        FAIL() << "connected";
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, FAILED_TO_CONNECT);
        EXPECT_EQ(std::string(error.what()),
                  "Failed to connect to server \"no-such-host.invalid\" port 2525. "
                  "The error code was: " + std::to_string(platform::LastSocketError()));
    }
}

class ExclusiveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Dir = fs::temp_directory_path() /
                ("quillex-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_Dir);
        fs::create_directories(m_Dir);
    }
    void TearDown() override { fs::remove_all(m_Dir); }
    fs::path m_Dir;
};

TEST_F(ExclusiveFileTest, CreatesANewOwnerOnlyFile)
{
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

TEST_F(ExclusiveFileTest, NeverOpensAnExistingFileOrLink)
{
    const fs::path existing = m_Dir / "existing";
    std::ofstream(existing) << "keep";
    EXPECT_EQ(platform::CreateExclusiveFile(existing.string().c_str()), nullptr);

    const fs::path target = m_Dir / "target";
    const fs::path link = m_Dir / "link";
    fs::create_symlink(target, link);
    EXPECT_EQ(platform::CreateExclusiveFile(link.string().c_str()), nullptr);
    EXPECT_FALSE(fs::exists(target));

    std::ifstream in(existing);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "keep");
}

}  // namespace
