#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "mime/HtmlBody.h"
#include "mime/TempFileName.h"
#include "platform/ContentTypes.h"
#include "platform/Environment.h"
#include "platform/FileStatus.h"
#include "platform/TempFiles.h"

namespace {

std::string Headers(CSMTPPart& part)
{
    return Captured([&](FILE* file) { part.WriteHeaders(file); });
}

std::string ContentTypeLines(const std::string& contentType)
{
    CSMTPEmail mail;
    CSMTPPart part(&mail);
    return Captured([&](FILE* file) { part.WriteContentType(file, contentType); });
}

class PartTest : public ::testing::Test {
protected:
    MimeEnvironment m_Env;
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
    for (const auto& row : rows)
        EXPECT_EQ(ContentTypeFromFileName(row.path), row.expected) << row.path;
}

TEST_F(PartTest, ContentTypeFromTableIgnoresCase)
{
    const std::string tablePath =
        PutFile(TempPath("quillex-mime.types"),
                "# comment image/fake jpg\n\napplication/pdf\t\tpdf\nimage/jpeg jpeg jpg jpe\n");
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
        {"a/b;  x = \"q\\\"r\" tail; y=s\"t\\u ",
         "a/b;\r\n\tx =\"q\\\"r\";\r\n\ty=\"s\\\"t\\\\u\"\r\n"},
        {"a/b; flag; e=", "a/b;\r\n\tflag;\r\n\te=\"\"\r\n"},
        {"a/b; name=\"x;y.txt\"", "a/b;\r\n\tname=\"x;y.txt\"\r\n"},
        {"a/b; name=\"open", "a/b;\r\n\tname=\"open\"\r\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(ContentTypeLines(row.type), row.expected) << row.type;
}

TEST_F(PartTest, TextKinds)
{
    const struct {
        int oemToAnsi;
        int kind;
        const char* text;
        const char* body;
        int encoding;
    } rows[] = {
        {1, PART_TEXT, "plain \x82", "plain \x82", ENC_NONE},
        {1, PART_TEXT_QP, "qp \x82", "qp \x82", ENC_QUOTED_PRINTABLE},
        {1, PART_TEXT_OEM, "oem \x82", "oem \xe9", ENC_QUOTED_PRINTABLE},
        {1, PART_TEXT_AUTO, "auto \x82\x84", "auto \xe9\xe4", ENC_QUOTED_PRINTABLE},
        {1, PART_TEXT_AUTO, "ascii", "ascii", ENC_QUOTED_PRINTABLE},
        {0, PART_TEXT_AUTO, "auto \x82", "auto \x82", ENC_QUOTED_PRINTABLE},
    };
    for (const auto& row : rows) {
        CSMTPEmail mail;
        mail.m_OemToAnsi = row.oemToAnsi;
        mail.AddPart(row.text, row.kind);
        EXPECT_EQ(*mail.m_Parts->m_Body, row.body);
        EXPECT_EQ(mail.m_Parts->m_Encoding, row.encoding) << row.text;
        // Windows labels 8-bit text with the ANSI code page's name.
        const std::string charset =
            std::string(row.body) == "ascii" ? "iso-8859-1" : platform::LocaleCharsetName();
        EXPECT_EQ(Headers(*mail.m_Parts),
                  "Content-type: text/plain; charset=" + charset + "\r\n" +
                      (row.encoding ? "Content-Transfer-Encoding: quoted-printable\r\n" : ""));
    }
}

TEST_F(PartTest, Charset)
{
    SKIP_ON_WINDOWS("the charset comes from the ANSI code page, not LC_ALL");
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

TEST_F(PartTest, TextFileAndUnknownKinds)
{
    const std::string path = PutFile(TempPath("quillex-text-part"), std::string("ab\x82\0cd", 6));
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

TEST_F(PartTest, AttachmentRefusedWithoutMime)
{
    CSMTPEmail mail;
    mail.m_Mime = 0;
    EXPECT_EQ(
        ThrownText([&] { mail.AddPart("file.bin", PART_BINARY_FILE); }, BAD_ARGUMENTS_FROM_FORM),
        "You must enable MIME encoding in order to send attachments");
    ASSERT_TRUE(mail.m_Parts);
    EXPECT_FALSE(mail.m_Parts->HasBody());
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
    SKIP_ON_WINDOWS("the runtime drops empty variables and its _tempnam picks the directory");
    const char* const dir = m_Dir.c_str();
    const char* const other = "/nonexistent-quillex-dir/";
    const std::string fallback = platform::DefaultTempDirectory();
    const struct {
        const char* mailTemp;
        const char* temp;
        const char* tmp;
        std::string chosen;
    } rows[] = {
        {dir, other, other, m_Dir},
        {nullptr, dir, other, m_Dir},
        {nullptr, nullptr, dir, m_Dir},
        {"", dir, dir, fallback},  // set but empty still counts
        {nullptr, nullptr, nullptr, fallback},
    };
    for (const auto& row : rows) {
        m_Env.Set("MAIL_TEMP", row.mailTemp);
        m_Env.Set("TEMP", row.temp);
        m_Env.Set("TMP", row.tmp);
        const std::string name = Name();
        EXPECT_EQ(name.rfind(row.chosen + "~mail", 0), 0u) << name;
        std::uint64_t size;
        EXPECT_FALSE(platform::FileSize(name.c_str(), size)) << name;
    }
}

TEST_F(TempNameTest, NamesAreNewAndTooLongDirectoryFallsBack)
{
    SKIP_ON_WINDOWS("the runtime's _tempnam makes the names");
    m_Env.Set("MAIL_TEMP", m_Dir.c_str());
    const std::string first = Name();
    ASSERT_EQ(FileBytes(PutFile(first, "")), "");
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

TEST(HtmlBodyTest, TextMadeFromHtml)
{
    const struct {
        const char* html;
        const char* charset;
        const char* text;
    } rows[] = {
        {"<p>a &amp; b&lt;</p><p>c<br>d</p>", "utf-8", "a & b<\n\nc\nd\n"},
        {"<h1>T</h1>x  \n y<ul><li>1<li>2</ul>", "utf-8", "T\n\nx y\n1\n2\n"},
        {"<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>", "utf-8", "a b\nc\n"},
        {"<a href=\"http://x/?a=1&amp;b\">site</a> <a href=\"mailto:m@x\">m@x</a>", "utf-8",
         "site (http://x/?a=1&b) m@x\n"},
        {"<head><title>T</title><style>p{}</style></head><script>x<y</script>z<!-- c -->", "utf-8",
         "z\n"},
        {"&eacute;&#233;&#xE9;&euro;&bogus;", "utf-8",
         "\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x82\xAC&bogus;\n"},
        {"&eacute;&euro;&hearts;", "windows-1252", "\xE9\x80?\n"},
        {"&eacute;&euro;", "iso-8859-1", "\xE9?\n"},
        {"<pre>a  b\n c</pre>", "utf-8", "a  b\n c\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(HtmlToText(row.html, row.charset), row.text) << row.html;
}

TEST(HtmlBodyTest, ImagesEmbeddedOnlyFromTheFolderDown)
{
    const struct {
        const char* html;
        const char* rewritten;
        const char* paths;
    } rows[] = {
        {"<img src=\"a.png\"><td background='a.png'><img src=b%20c.gif?v=1>",
         "<img src=\"cid:1.quillex@h\"><td background='cid:1.quillex@h'><img src=cid:2.quillex@h>",
         "d/a.png d/b c.gif"},
        {"<IMG SRC=\"x/../y/./z.png\">", "<IMG SRC=\"cid:1.quillex@h\">", "d/y/z.png"},
        {"<img src=\"http://e/a.png\"><img src=\"data:,\"><img src=\"cid:x\"><img "
         "src=\"mailto:a\"><img src=\"/a.png\"><img src=\"../a.png\"><img "
         "src=\"x/../../a.png\"><img src=\"x%2F..%2F..%2Fa.png\">",
         nullptr, ""},
        {"<script>'<img src=a.png>'</script><!-- <img src=a.png> --><p>src=a.png", nullptr, ""},
    };
    for (const auto& row : rows) {
        std::vector<InlineImage> images;
        EXPECT_EQ(EmbedImages(row.html, "d/", "h", images),
                  row.rewritten ? row.rewritten : row.html);
        std::string paths;
        for (const InlineImage& image : images) paths += (paths.empty() ? "" : " ") + image.path;
        EXPECT_EQ(paths, row.paths) << row.html;
    }
}

TEST(HtmlBodyTest, DeclaredCharsetAndWireText)
{
    EXPECT_EQ(DeclaredCharset("<meta charset=\"ISO-8859-15\">"), "ISO-8859-15");
    EXPECT_EQ(DeclaredCharset("<META HTTP-EQUIV=Content-Type CONTENT='text/html; charset=koi8-r'>"),
              "koi8-r");
    EXPECT_EQ(DeclaredCharset("<meta charset=\"a b\"><meta charset=utf-8>"), "");
    EXPECT_EQ(DeclaredCharset("<p>charset=utf-8</p>"), "");
    EXPECT_EQ(WireText(".a\nb\r.c\r\n.d"), "..a\r\nb\r\n..c\r\n..d");
}
