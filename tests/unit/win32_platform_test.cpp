// What the Windows build does where the platform's own services decide:
// backslash paths, the registry, the OEM code page, _tempnam, the profile
// functions and Windows Sockets.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "frontend/Run.h"
#include "mime/CSMTPPart.h"
#include "platform/CodePage.h"
#include "platform/ContentTypes.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/Sockets.h"
#include "platform/TempFiles.h"

namespace {

bool Exists(const std::string& path)
{
    std::uint64_t size;
    return platform::FileSize(path.c_str(), size);
}

TEST(Win32Paths, OnlyTheBackslashEndsTheProgramsDirectory)
{
    EXPECT_STREQ(ProgramNameOf("C:\\Program Files\\Quillex\\ql.exe"), "ql.exe");
    EXPECT_STREQ(ProgramNameOf("quillex"), "quillex");
    EXPECT_STREQ(ProgramNameOf("/usr/local/bin/quillex"), "/usr/local/bin/quillex");
    EXPECT_STREQ(ProgramNameOf("dir\\"), "");
    // An attachment's name never carries a directory, whichever separator it used.
    EXPECT_STREQ(platform::FileNamePart("a\\b/c.gif"), "c.gif");
    EXPECT_STREQ(platform::FileNamePart("a/b\\c.gif"), "c.gif");
}

class Win32ContentTypes : public ::testing::Test {
protected:
    void TearDown() override { platform::SetContentTypeTable(nullptr); }
};

TEST_F(Win32ContentTypes, NamesWithoutARegistryEntry)
{
    platform::SetContentTypeTable("");
    const struct {
        const char* path;
        const char* expected;
    } rows[] = {
        {"C:\\pics\\Photo.JPG", "image/JPG; name=\"Photo.JPG\""},
        {"C:\\docs\\report.xyz", "unknown/xyz; name=\"report.xyz\""},
        {"C:\\my.dir\\README", "unknown/unknown; name=\"README\""},
        {"archive.tar.gz", "unknown/gz; name=\"archive.tar.gz\""},
        {"pics/cat.gif", "image/gif; name=\"cat.gif\""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ContentTypeFromFileName(row.path), row.expected) << row.path;
}

TEST_F(Win32ContentTypes, MissingOrOverlongKeysGiveNothing)
{
    using platform::RegistryRoot;
    EXPECT_EQ(platform::GetRegistryString(RegistryRoot::ClassesRoot, ".quillex-none\\Content Type"),
              "");
    EXPECT_EQ(platform::GetRegistryString(RegistryRoot::ClassesRoot, ".txt\\No Such Value"), "");
    EXPECT_EQ(platform::GetRegistryString(RegistryRoot::ClassesRoot, std::string(300, 'x')), "");
    // 49 characters fit the key text of 64 bytes; one more is never looked up.
    EXPECT_EQ(platform::ContentTypeForExtension(std::string(50, 't')), "");
}

TEST(Win32CodePage, OemLettersBecomeAnsiLetters)
{
    // u umlaut, e acute, a umlaut, a zero byte, and ASCII, in the OEM code page.
    char text[] = "\x81\x82\x84\0x!";
    platform::OemToAnsi(text, 6);
    EXPECT_EQ(std::string(text, 6), std::string("\xFC\xE9\xE4\0x!", 6));
}

TEST(Win32TempNames, FixedTextsAndTheRuntimesNames)
{
    EXPECT_STREQ(platform::DefaultTempDirectory(), "C:\\TEMP\\");
    EXPECT_STREQ(platform::FallbackTempName(), ".\\~mail.tmp");

    const std::string dir = ::testing::TempDir();
    const std::string name = platform::UniqueTempName(dir.c_str(), "~mail");
    ASSERT_EQ(name.rfind(dir, 0), 0u) << name;
    EXPECT_NE(name.find("~ma", dir.size()), std::string::npos) << name;
    EXPECT_FALSE(Exists(name));

    // An existing directory wins over TMP; a missing one leaves the choice to the runtime.
    ScopedEnvironment env;
    env.Set("TMP", "C:\\windows");
    EXPECT_EQ(platform::UniqueTempName(dir.c_str(), "~mail").rfind(dir, 0), 0u);
    EXPECT_STREQ(std::getenv("TMP"), "C:\\windows");
    EXPECT_EQ(
        platform::UniqueTempName("C:\\no-such-quillex-dir\\", "~mail").rfind("C:\\windows\\", 0),
        0u);
}

TEST(Win32Files, ExclusiveCreationAndRemoval)
{
    const std::string path = ::testing::TempDir() + "quillex-exclusive.tmp";
    platform::RemoveFile(path.c_str());
    FILE* file = platform::CreateExclusiveFile(path.c_str());
    ASSERT_TRUE(file);
    std::fputs("a\nb", file);
    std::rewind(file);
    EXPECT_EQ(std::fgetc(file), 'a');
    std::fclose(file);
    EXPECT_EQ(FileBytes(path), "a\nb");  // binary: no carriage return added
    EXPECT_EQ(platform::CreateExclusiveFile(path.c_str()), nullptr);
    EXPECT_EQ(FileBytes(path), "a\nb");
    EXPECT_TRUE(platform::RemoveFile(path.c_str()));
    EXPECT_FALSE(platform::RemoveFile(path.c_str()));
}

// The rest of the profile functions' work is in the portable profile tests
// and the Windows end-to-end tests.
TEST(Win32Profile, ValuesLongerThanAFirstReadsBufferArriveWhole)
{
    const std::string path = TempPath("quillex_win32_profile.ini");
    const std::string longValue(1500, 'v');
    ASSERT_TRUE(
        platform::WriteProfileString("Setup", "Organization", longValue.c_str(), path.c_str()));
    EXPECT_EQ(platform::ReadProfileString("Setup", "Organization", "", path.c_str()), longValue);
    std::remove(path.c_str());
}

TEST(Win32Sockets, StartLookupAndLocalName)
{
    ASSERT_TRUE(platform::StartSockets());
    EXPECT_EQ(platform::ParseDottedAddress("127.0.0.1"), 0x0100007Fu);
    EXPECT_EQ(platform::ParseDottedAddress("not an address"), platform::kAddressNone);
    std::vector<platform::SocketAddress> found;
    EXPECT_FALSE(platform::LookupHostAddresses("no-such-host.invalid", 25, &found));
    EXPECT_GE(platform::LastSocketError(), 10000);  // a Windows Sockets code
    char name[256];
    EXPECT_TRUE(platform::GetLocalHostName(name, sizeof name));
    char tiny[1];
    EXPECT_FALSE(platform::GetLocalHostName(tiny, sizeof tiny));
    platform::StopSockets();
}

}  // namespace

#endif  // _WIN32
