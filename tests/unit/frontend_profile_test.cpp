#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/ProfileFile.h"

namespace {

class ProfileFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Path = ::testing::TempDir() + "quillex_profile_" + info->name() + ".ini";
        std::remove(m_Path.c_str());
    }
    void TearDown() override { std::remove(m_Path.c_str()); }

    void Put(const std::string& text)
    {
        FILE* file = std::fopen(m_Path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }

    std::string Contents()
    {
        std::string text;
        FILE* file = std::fopen(m_Path.c_str(), "rb");
        if (!file) return "<missing>";
        int c;
        while ((c = std::fgetc(file)) != EOF) text += static_cast<char>(c);
        std::fclose(file);
        return text;
    }

    std::string Read(const char* section, const char* key)
    {
        return platform::ReadProfileString(section, key, "<default>", m_Path.c_str());
    }

    bool Write(const char* section, const char* key, const char* value)
    {
        return platform::WriteProfileString(section, key, value, m_Path.c_str());
    }

    std::string m_Path;
};

TEST_F(ProfileFile, MissingFileSectionOrKeyGiveTheDefault)
{
    EXPECT_EQ(Read("Setup", "HOST"), "<default>");
    Put("[Other]\nHOST=elsewhere\n[Setup]\nNNTP HOST=news\n");
    EXPECT_EQ(Read("Setup", "HOST"), "<default>");
    EXPECT_EQ(Read("Missing", "HOST"), "<default>");
}

TEST_F(ProfileFile, NamesMatchWithoutCaseAndValuesAreTrimmed)
{
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
}

TEST_F(ProfileFile, WriteCreatesFileAndSection)
{
    ASSERT_TRUE(Write("Setup", "HOST", "mail.example.com"));
    ASSERT_TRUE(Write("Setup", "Return Address", ""));
    EXPECT_EQ(Contents(), "[Setup]\nHOST=mail.example.com\nReturn Address=\n");
    EXPECT_EQ(Read("Setup", "HOST"), "mail.example.com");
}

TEST_F(ProfileFile, WriteKeepsEverythingElse)
{
    Put("; my settings\r\n[Other]\r\nHOST=elsewhere\r\n\r\n[SETUP]\r\nhost=old\r\n"
        "; keep me\r\nOrganization=Acme\r\n\r\n[Last]\r\nx=1");
    ASSERT_TRUE(Write("Setup", "HOST", "new.example.com"));
    ASSERT_TRUE(Write("Setup", "NNTP HOST", "news.example.com"));
    ASSERT_TRUE(Write("Last", "y", "2"));
    EXPECT_EQ(Contents(),
              "; my settings\r\n[Other]\r\nHOST=elsewhere\r\n\r\n[SETUP]\r\nhost=new.example.com\n"
              "; keep me\r\nOrganization=Acme\r\nNNTP HOST=news.example.com\n\r\n[Last]\r\nx=1\n"
              "y=2\n");
    EXPECT_EQ(Read("Other", "HOST"), "elsewhere");
    EXPECT_EQ(Read("Setup", "HOST"), "new.example.com");
}

TEST_F(ProfileFile, AppendsNewSectionAfterUnterminatedLastLine)
{
    Put("[Other]\nx=1");
    ASSERT_TRUE(Write("Setup", "HOST", "h"));
    EXPECT_EQ(Contents(), "[Other]\nx=1\n[Setup]\nHOST=h\n");
}

TEST_F(ProfileFile, LineBreaksInValuesAreRefusedAndTheFileStays)
{
    Put("[Setup]\nHOST=old\n");
    EXPECT_FALSE(Write("Setup", "HOST", "new\r\n[Evil]"));
    EXPECT_FALSE(Write("Setup", "HOST", "new\nx=1"));
    EXPECT_EQ(Contents(), "[Setup]\nHOST=old\n");
}

TEST_F(ProfileFile, WriteCreatesMissingDirectories)
{
    const std::string directory = ::testing::TempDir() + "quillex_profile_dir/sub";
    const std::string path = directory + "/Quillex.ini";
    std::remove(path.c_str());
    ASSERT_TRUE(platform::WriteProfileString("Setup", "HOST", "h", path.c_str()));
    EXPECT_EQ(platform::ReadProfileString("setup", "host", "", path.c_str()), "h");
    std::remove(path.c_str());
}

TEST_F(ProfileFile, AFileThatCannotBeReadIsNotReplaced)
{
    // A directory in the file's place can be opened on some systems but never read.
    const std::string directory = ::testing::TempDir() + "quillex_profile_dir";
    ASSERT_TRUE(platform::WriteProfileString("Setup", "HOST", "h", (directory + "/x.ini").c_str()));
    EXPECT_FALSE(platform::WriteProfileString("Setup", "HOST", "h", directory.c_str()));
    std::remove((directory + "/x.ini").c_str());
}

}  // namespace
