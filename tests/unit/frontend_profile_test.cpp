#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestSupport.h"
#include "platform/ProfileFile.h"

namespace {

class ProfileFile : public ::testing::Test {
protected:
    void Put(const std::string& text) { PutFile(m_Path, text); }

    std::string Read(const char* section, const char* key)
    {
        return platform::ReadProfileString(section, key, "<default>", m_Path.c_str());
    }

    bool Write(const char* section, const char* key, const char* value)
    {
        return platform::WriteProfileString(section, key, value, m_Path.c_str());
    }

    ScratchDirectory m_Dir;
    const std::string m_Path = (m_Dir.Path() / "quillex.ini").string();
};

TEST_F(ProfileFile, NamesMatchWithoutCaseAndValuesAreTrimmed)
{
    EXPECT_EQ(Read("Setup", "HOST"), "<default>");
    Put("; settings\r\n[other]\r\nhost=wrong\r\n  [ setup ]  \r\n"
        "  Host  =  mail.example.com  \r\n"
        ";HOST=commented\r\n"
        "return address=\"Jane Roe <jane@example.com>\"\r\n"
        "Organization='Acme, Inc.'\r\n"
        "NNTP User=a=b\r\n"
        "NNTP Passws=\r\n");
    EXPECT_EQ(Read("Setup", "HOST"), "mail.example.com");
    EXPECT_EQ(Read("SETUP", "Return Address"), "Jane Roe <jane@example.com>");
    EXPECT_EQ(Read("Setup", "organization"), "Acme, Inc.");
    EXPECT_EQ(Read("Setup", "NNTP User"), "a=b");
    EXPECT_EQ(Read("Setup", "NNTP Passws"), "");
    EXPECT_EQ(Read("Setup", "NNTP HOST"), "<default>");
    EXPECT_EQ(Read("Missing", "HOST"), "<default>");
}

// Lines keep their ends; new lines end in LF. A fresh file is left to the
// setup dialogue's end-to-end tests.
TEST_F(ProfileFile, WriteKeepsEverythingElse)
{
    SKIP_ON_WINDOWS("the profile functions write their own layout (CR LF lines)");
    const struct {
        std::string before;
        const char* section;
        const char* key;
        const char* value;
        std::string after;
    } rows[] = {
        {"; my settings\r\n[Other]\r\nHOST=elsewhere\r\n\r\n[SETUP]\r\nhost=old\r\n; keep me\r\n"
         "Organization=Acme\r\n\r\n[Last]\r\nx=1",
         "Setup", "HOST", "new.example.com",
         "; my settings\r\n[Other]\r\nHOST=elsewhere\r\n\r\n[SETUP]\r\nhost=new.example.com\n"
         "; keep me\r\nOrganization=Acme\r\n\r\n[Last]\r\nx=1"},
        {"[SETUP]\r\nhost=h\r\n\r\n[Last]\r\nx=1", "Setup", "NNTP HOST", "news.example.com",
         "[SETUP]\r\nhost=h\r\nNNTP HOST=news.example.com\n\r\n[Last]\r\nx=1"},
        {"[Last]\r\nx=1", "Last", "y", "2", "[Last]\r\nx=1\ny=2\n"},
        {"[Other]\nx=1", "Setup", "HOST", "h", "[Other]\nx=1\n[Setup]\nHOST=h\n"},
    };
    for (const auto& row : rows) {
        Put(row.before);
        ASSERT_TRUE(Write(row.section, row.key, row.value));
        EXPECT_EQ(FileBytes(m_Path), row.after);
        EXPECT_EQ(Read(row.section, row.key), row.value);
    }
}

TEST_F(ProfileFile, LineBreaksInValuesAreRefusedAndTheFileStays)
{
    Put("[Setup]\nHOST=old\n");
    EXPECT_FALSE(Write("Setup", "HOST", "new\r\n[Evil]"));
    EXPECT_FALSE(Write("Setup", "HOST", "new\nx=1"));
    EXPECT_EQ(FileBytes(m_Path), "[Setup]\nHOST=old\n");
}

TEST_F(ProfileFile, AFileThatCannotBeReadIsNotReplaced)
{
    SKIP_ON_WINDOWS("the profile functions decide what a directory in the file's place does");
    // A directory in the file's place can be opened on some systems but never read.
    const std::string directory = (m_Dir.Path() / "dir").string();
    ASSERT_TRUE(platform::WriteProfileString("Setup", "HOST", "h", (directory + "/x.ini").c_str()));
    EXPECT_FALSE(platform::WriteProfileString("Setup", "HOST", "h", directory.c_str()));
}

}  // namespace
