#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "TestClock.h"
#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "platform/ContentTypes.h"

namespace {

const char kTextHeaders[] =
    "Content-type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";
const char kLibrary[] =
    "X-MailLibrary: Korvell 1.07 for Win32, Copyright (c) the Quillex authors\r\n";
const char kPreamble[] =
    "> THIS IS A MESSAGE IN 'MIME' FORMAT.  Your mail reader does not support MIME.\r\n"
    "> Some parts of this will be readable as plain text.\r\n"
    "> To see the rest, you will need to upgrade your mail reader.\r\n";
// Tick count 3000000000 is printed as a signed 32-bit number.
const char kBoundary[] = "PART.BOUNDARY.KV.4242.1796517368.-1294967296";

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Env.Set("MAIL_TEMP", (m_Dir.string() + "/").c_str());
        m_Env.Set("TZ", "UTC0");
        g_Organization[0] = 0;
    }
    void TearDown() override { g_Organization[0] = 0; }

    std::string File(const char* name, const std::string& contents)
    {
        return PutFile((m_Dir / name).string(), contents);
    }

    static std::string Written(CSMTPEmail& mail)
    {
        return Captured([&](FILE* file) { mail.WriteMessageFile(file); });
    }

    // A multipart message of parts, each its header lines, an empty line and its body.
    static std::string Multipart(std::initializer_list<std::string> parts)
    {
        std::string text = AddressHeaders() + "MIME-Version: 1.0\r\n" + kLibrary +
                           "Content-type: multipart/mixed;\r\n\tboundary=" + kBoundary +
                           "\r\n\r\n\r\n" + kPreamble;
        for (const std::string& part : parts)
            text += std::string("\r\n--") + kBoundary + "\r\n" + part;
        return text + "\r\n--" + kBoundary + "--\r\n";
    }

    // The message of a run with a subject, a sender and one receiver.
    static void Address(CSMTPEmail& mail)
    {
        mail.SetSubject("Test message");
        mail.SetFrom("me@example.com");
        mail.SetHeader("X-Sender", "me@example.com", 0);
        mail.AddTo("you@example.com");
    }

    static std::string AddressHeaders()
    {
        return "Subject: Test message\r\n"
               "From: me@example.com\r\n"
               "X-Sender: me@example.com\r\n"
               "To: you@example.com\r\n";
    }

    FixedClock m_Clock{1796517368, 3000000000u, 4242};
    MimeEnvironment m_Env;
    ScratchDirectory m_Scratch;
    const std::filesystem::path& m_Dir = m_Scratch.Path();
};

TEST_F(MessageTest, WholeRunOfOneTextPart)
{
    CSMTPEmail mail;
    Address(mail);
    mail.AddPart("\r\n", PART_TEXT_AUTO);
    mail.SetHeader("X-Mailer", "Quillex v.1.06 mailer\r\n\tsecond line", 0);
    mail.SetDate();
    mail.SetDate();  // one Date header, after the others
    EXPECT_EQ(Written(mail), AddressHeaders() +
                                 "X-Mailer: Quillex v.1.06 mailer\r\n\tsecond line\r\n"
                                 "Date: Sun, 6 Dec 2026 00:36:08 GMT\r\n"
                                 "MIME-Version: 1.0\r\n" +
                                 kLibrary + kTextHeaders + "\r\n\r\n");
}

TEST_F(MessageTest, TextAndOneAttachment)
{
    CSMTPEmail mail;
    Address(mail);
    mail.AddPart("Hi=\r\n", PART_TEXT_AUTO);
    mail.AddPart(File("data.bin", "Man").c_str(), PART_BINARY_FILE);
    const std::string first = Written(mail);
    EXPECT_EQ(Written(mail), first);  // the second write replaces the headers in place
    EXPECT_EQ(first, Multipart({std::string(kTextHeaders) + "\r\nHi=3D\r\n",
                                "Content-type: unknown/bin;\r\n\tname=\"data.bin\"\r\n"
                                "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
                                "Content-Transfer-Encoding: base64\r\n"
                                "\r\nTWFu\r\n"}));
}

TEST_F(MessageTest, EmptyAttachmentAndSkippedParts)
{
    CSMTPEmail mail;
    Address(mail);
    mail.AddPart("left out", PART_TEXT_AUTO);
    File(std::filesystem::path(mail.m_Parts->m_TempFileName).filename().string().c_str(), "");
    mail.AddPart("kept\r\n", PART_TEXT_AUTO);
    mail.AddPart("no such kind", 9);
    mail.AddPart(File("empty.gif", "").c_str(), PART_BINARY_FILE);
    EXPECT_EQ(Written(mail),
              Multipart({std::string(kTextHeaders) + "\r\nkept\r\n",
                         "Content-type: image/gif;\r\n\tname=\"empty.gif\"\r\n"
                         "Content-Disposition: attachment; filename=\"empty.gif\"\r\n"
                         "Content-Transfer-Encoding: base64\r\n"
                         "\r\n"}));
}

TEST_F(MessageTest, MimeOffWritesTheFirstBodyOnly)
{
    CSMTPEmail mail;
    mail.m_Mime = 0;
    Address(mail);
    mail.AddPart("first\n", PART_TEXT_AUTO);
    mail.AddPart("second\n", PART_TEXT_AUTO);
    EXPECT_EQ(Written(mail), AddressHeaders() + kLibrary + "\r\nfirst\n");
}

TEST_F(MessageTest, PartlessMessageIsTheHeaderBlock)
{
    CSMTPEmail mail;
    g_Organization[0] = 'O';
    g_Organization[1] = 0;
    EXPECT_EQ(Written(mail), std::string("MIME-Version: 1.0\r\n") + kLibrary +
                                 "From: (NULL)\r\nX-Sender: (NULL)\r\nOrganization: O\r\n");
}

TEST_F(MessageTest, MissingOrUnreadableAttachmentThrows)
{
    const std::string missing = (m_Dir / "missing.bin").string();
    const struct {
        std::string path;
        std::string text;  // empty: the system's reason follows the path
    } rows[] = {
        {missing, "Unable to open include file \"" + missing + "\". Aborting."},
        {m_Dir.string(), ""},  // a directory
    };
    for (const auto& row : rows) {
        CSMTPEmail mail;
        mail.AddPart("text", PART_TEXT_AUTO);
        mail.AddPart(row.path.c_str(), PART_BINARY_FILE);
        const std::string text = ThrownText([&] { Written(mail); }, FAILED_TO_OPEN_TEMPFILE);
        EXPECT_TRUE(row.text.empty() || text == row.text) << text;
        EXPECT_NE(text.find(row.path), std::string::npos) << text;
    }
}

TEST_F(MessageTest, FullDiskThrows)
{
    const std::string big = File("big.bin", std::string(200000, 'x'));
    for (const char* attachment : {static_cast<const char*>(nullptr), big.c_str()}) {
        FILE* full = std::fopen("/dev/full", "wb");
        if (!full) GTEST_SKIP() << "no /dev/full";
        CSMTPEmail mail;
        mail.AddPart("text", PART_TEXT_AUTO);
        if (attachment) mail.AddPart(attachment, PART_BINARY_FILE);
        EXPECT_EQ(
            ThrownText([&] { mail.WriteMessageFile(full, "/dev/full"); }, FAILED_TO_OPEN_TEMPFILE),
            "Unable to write message file \"/dev/full\": No space left on device. Aborting.");
        std::fclose(full);
    }
}

}  // namespace
