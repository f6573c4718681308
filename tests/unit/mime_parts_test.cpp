#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "mime/TempFileName.h"
#include "platform/ContentTypes.h"
#include "platform/Environment.h"
#include "platform/FileStatus.h"
#include "platform/TempFiles.h"

namespace {

// Sets environment variables for one test and restores them afterwards.
class ScopedEnvironment {
public:
    void Set(const char* name, const char* value)
    {
        if (!m_Saved.count(name)) {
            const char* old = std::getenv(name);
            m_Saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        platform::SetEnvironmentValue(name, value);
    }
    ~ScopedEnvironment()
    {
        for (const auto& [name, value] : m_Saved)
            platform::SetEnvironmentValue(name.c_str(), value ? value->c_str() : nullptr);
    }

private:
    std::map<std::string, std::optional<std::string>> m_Saved;
};

std::string ReadBack(FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string data;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) data.append(block, got);
    return data;
}

std::string Headers(CSMTPPart& part)
{
    FILE* file = std::tmpfile();
    part.WriteHeaders(file);
    std::string text = ReadBack(file);
    std::fclose(file);
    return text;
}

std::string ContentTypeLines(const std::string& contentType)
{
    CSMTPEmail mail;
    CSMTPPart part(&mail);
    FILE* file = std::tmpfile();
    part.WriteContentType(file, contentType);
    std::string text = ReadBack(file);
    std::fclose(file);
    return text;
}

class PartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetContentTypeTable("");
        m_Env.Set("MM_CHARSET", nullptr);
        m_Env.Set("LC_ALL", "C");
    }
    void TearDown() override { platform::SetContentTypeTable(nullptr); }

    ScopedEnvironment m_Env;
};

TEST_F(PartTest, ContentTypesWithoutSystemTable)
{
    const struct {
        const char* path;
        const char* expected;
    } rows[] = {
        {"/pics/Photo.JPG", "image/JPG; name=\"Photo.JPG\""},
        {"report.xyz", "unknown/xyz; name=\"report.xyz\""},
        {"archive.tar.gz", "unknown/gz; name=\"archive.tar.gz\""},
        {"/home/me/README", "unknown/unknown; name=\"README\""},
        {"/tmp/my.dir/README", "unknown/unknown; name=\"README\""},
        {"cat.gif", "image/gif; name=\"cat.gif\""},
        {"scan.TIFF", "image/TIFF; name=\"scan.TIFF\""},
        {"trailing.", "unknown/unknown; name=\"trailing.\""},
        {"say \"hi\".txt", "unknown/txt; name=\"say \\\"hi\\\".txt\""},
        {"two\nlines.txt", "unknown/txt; name=\"two lines.txt\""},
    };
    for (const auto& row : rows) EXPECT_EQ(ContentTypeFromFileName(row.path), row.expected) << row.path;
}

TEST_F(PartTest, ContentTypeFromTableIgnoresCase)
{
    const std::string tablePath = std::string(::testing::TempDir()) + "quillex-mime.types";
    FILE* table = std::fopen(tablePath.c_str(), "w");
    ASSERT_TRUE(table);
    std::fputs("# comment image/fake jpg\n\napplication/pdf\t\tpdf\nimage/jpeg jpeg jpg jpe\n", table);
    std::fclose(table);
    platform::SetContentTypeTable(tablePath.c_str());
    EXPECT_EQ(ContentTypeFromFileName("Photo.JPG"), "image/jpeg; name=\"Photo.JPG\"");
    EXPECT_EQ(ContentTypeFromFileName("a.Pdf"), "application/pdf; name=\"a.Pdf\"");
    EXPECT_EQ(ContentTypeFromFileName("a.png"), "image/png; name=\"a.png\"");
    std::remove(tablePath.c_str());
}

TEST_F(PartTest, ContentTypeWriterFoldsParameters)
{
    const struct {
        const char* type;
        const char* expected;
    } rows[] = {
        {"image/gif; name=\"cat.gif\"", "image/gif;\r\n\tname=\"cat.gif\"\r\n"},
        {"text", "text/unknown\r\n"},
        {"text; name=a", "text/unknown;\r\n\tname=\"a\"\r\n"},
        {"a/b;  x = \"q\\\"r\" tail; y=s\"t\\u ", "a/b;\r\n\tx =\"q\\\"r\";\r\n\ty=\"s\\\"t\\\\u\"\r\n"},
        {"a/b; flag; e=", "a/b;\r\n\tflag;\r\n\te=\"\"\r\n"},
        {"a/b; name=\"x;y.txt\"", "a/b;\r\n\tname=\"x;y.txt\"\r\n"},
        {"a/b; name=\"open", "a/b;\r\n\tname=\"open\"\r\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(ContentTypeLines(row.type), row.expected) << row.type;
}

TEST_F(PartTest, AttachmentHeaders)
{
    CSMTPEmail mail;
    ASSERT_EQ(mail.AddPart("/pics/Photo.JPG", PART_BINARY_FILE), 0);
    CSMTPPart& part = *mail.m_Parts;
    EXPECT_EQ(part.m_IsText, 0);
    EXPECT_EQ(part.m_Encoding, ENC_BASE64);
    EXPECT_EQ(*part.m_Body, "/pics/Photo.JPG");
    EXPECT_EQ(Headers(part),
              "Content-type: image/JPG;\r\n\tname=\"Photo.JPG\"\r\n"
              "Content-Disposition: attachment; filename=\"Photo.JPG\"\r\n"
              "Content-Transfer-Encoding: base64\r\n");
}

TEST_F(PartTest, TextKinds)
{
    CSMTPEmail mail;
    mail.m_OemToAnsi = 1;
    mail.AddPart("plain \x82", PART_TEXT);
    mail.AddPart("qp \x82", PART_TEXT_QP);
    mail.AddPart("oem \x82", PART_TEXT_OEM);
    mail.AddPart("auto \x82\x84", PART_TEXT_AUTO);
    mail.AddPart("ascii", PART_TEXT_AUTO);
    const struct {
        const char* body;
        int encoding;
    } expected[] = {{"plain \x82", ENC_NONE},
                    {"qp \x82", ENC_QUOTED_PRINTABLE},
                    {"oem \xe9", ENC_QUOTED_PRINTABLE},
                    {"auto \xe9\xe4", ENC_QUOTED_PRINTABLE},
                    {"ascii", ENC_QUOTED_PRINTABLE}};
    CSMTPPart* part = mail.m_Parts.get();
    for (const auto& row : expected) {
        ASSERT_TRUE(part);
        EXPECT_EQ(*part->m_Body, row.body);
        EXPECT_EQ(part->m_Encoding, row.encoding);
        part = part->m_Next.get();
    }
    EXPECT_EQ(part, nullptr);
    EXPECT_EQ(mail.m_Parts->m_Next->m_Prev, mail.m_Parts.get());
    EXPECT_EQ(Headers(*mail.m_Parts), "Content-type: text/plain; charset=iso-8859-1\r\n");
    EXPECT_EQ(Headers(*mail.m_Parts->m_Next),
              "Content-type: text/plain; charset=iso-8859-1\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n");
}

TEST_F(PartTest, OemSwitchOffLeavesText)
{
    CSMTPEmail mail;
    mail.AddPart("auto \x82", PART_TEXT_AUTO);
    EXPECT_EQ(*mail.m_Parts->m_Body, "auto \x82");
}

TEST_F(PartTest, Charset)
{
    CSMTPEmail mail;
    m_Env.Set("LC_ALL", "C.UTF-8");
    mail.AddPart("a", PART_TEXT_AUTO);
    m_Env.Set("MM_CHARSET", "koi8-r");
    mail.AddPart("b", PART_TEXT_AUTO);
    m_Env.Set("MM_CHARSET", nullptr);
    m_Env.Set("LC_ALL", "C");
    mail.AddPart("c", PART_TEXT_AUTO);
    EXPECT_EQ(mail.m_Parts->m_Charset, "utf-8");
    EXPECT_EQ(mail.m_Parts->m_Next->m_Charset, "koi8-r");
    EXPECT_EQ(mail.m_Parts->m_Next->m_Next->m_Charset, "iso-8859-1");
}

TEST_F(PartTest, TextFile)
{
    const std::string path = std::string(::testing::TempDir()) + "quillex-text-part";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite("ab\x82\0cd", 1, 6, file);
    std::fclose(file);
    CSMTPEmail mail;
    mail.m_OemToAnsi = 1;
    EXPECT_EQ(mail.AddPart(path.c_str(), PART_TEXT_FILE), 0);
    EXPECT_EQ(*mail.m_Parts->m_Body, "ab\xe9");
    EXPECT_EQ(mail.m_Parts->m_Encoding, ENC_QUOTED_PRINTABLE);
    std::remove(path.c_str());

    EXPECT_EQ(mail.AddPart(path.c_str(), PART_TEXT_FILE), -1);
    EXPECT_FALSE(mail.m_Parts->m_Next->HasBody());
    EXPECT_EQ(mail.AddPart("x", 6), 0);
    EXPECT_EQ(mail.AddPart("x", -1), 0);
    EXPECT_FALSE(mail.m_Parts->m_Next->m_Next->HasBody());
}

TEST_F(PartTest, MimeOff)
{
    CSMTPEmail mail;
    mail.m_Mime = 0;
    mail.AddPart("text", PART_TEXT_AUTO);
    EXPECT_EQ(mail.m_Parts->m_Encoding, ENC_NONE);
    EXPECT_EQ(*mail.m_Parts->m_Body, "text");
    try {
        mail.AddPart("file.bin", PART_BINARY_FILE);
        FAIL() << "attachment accepted without MIME";
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, BAD_ARGUMENTS_FROM_FORM);
        EXPECT_STREQ(error.what(), "You must enable MIME encoding in order to send attachments");
    }
    ASSERT_TRUE(mail.m_Parts->m_Next);
    EXPECT_FALSE(mail.m_Parts->m_Next->HasBody());
}

class TempNameTest : public ::testing::Test {
protected:
    std::string Name()
    {
        char buffer[kTempNameCapacity];
        MakeTempFileName(buffer);
        return buffer;
    }
    ScopedEnvironment m_Env;
    std::string m_Dir = ::testing::TempDir();
};

TEST_F(TempNameTest, DirectoryOrder)
{
    const std::string other = "/nonexistent-quillex-dir/";
    m_Env.Set("MAIL_TEMP", m_Dir.c_str());
    m_Env.Set("TEMP", other.c_str());
    m_Env.Set("TMP", other.c_str());
    std::string name = Name();
    EXPECT_EQ(name.rfind(m_Dir + "~mail", 0), 0u) << name;
    std::uint64_t size;
    EXPECT_FALSE(platform::FileSize(name.c_str(), size));

    m_Env.Set("MAIL_TEMP", nullptr);
    m_Env.Set("TEMP", m_Dir.c_str());
    EXPECT_EQ(Name().rfind(m_Dir + "~mail", 0), 0u);

    m_Env.Set("TEMP", nullptr);
    m_Env.Set("TMP", m_Dir.c_str());
    EXPECT_EQ(Name().rfind(m_Dir + "~mail", 0), 0u);

    // Set but empty still counts: TEMP is not consulted.
    m_Env.Set("MAIL_TEMP", "");
    m_Env.Set("TEMP", m_Dir.c_str());
    EXPECT_EQ(Name().rfind(std::string(platform::DefaultTempDirectory()) + "~mail", 0), 0u);

    m_Env.Set("MAIL_TEMP", nullptr);
    m_Env.Set("TEMP", nullptr);
    m_Env.Set("TMP", nullptr);
    EXPECT_EQ(Name().rfind(std::string(platform::DefaultTempDirectory()) + "~mail", 0), 0u);
}

TEST_F(TempNameTest, NamesAreNewAndTooLongDirectoryFallsBack)
{
    m_Env.Set("MAIL_TEMP", m_Dir.c_str());
    const std::string first = Name();
    FILE* file = std::fopen(first.c_str(), "w");
    ASSERT_TRUE(file);
    std::fclose(file);
    EXPECT_NE(Name(), first);
    std::remove(first.c_str());

    // A directory whose names would not fit in 259 characters: the fixed name.
    const std::filesystem::path deep =
        std::filesystem::path(m_Dir) / std::string(200, 'd') / std::string(200, 'e');
    std::filesystem::create_directories(deep);
    m_Env.Set("MAIL_TEMP", deep.string().c_str());
    EXPECT_EQ(Name(), "./~mail.tmp");
    std::filesystem::remove_all(std::filesystem::path(m_Dir) / std::string(200, 'd'));
}

}  // namespace
