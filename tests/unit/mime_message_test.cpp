#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "TestClock.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "mime/CSMTPPart.h"
#include "platform/ContentTypes.h"
#include "platform/Environment.h"

namespace {

const char kTextHeaders[] =
    "Content-type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n";
const char kLibrary[] = "X-MailLibrary: Korvell 1.07 for Win32, Copyright (c) the Quillex authors\r\n";
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
        for (const char* name : {"MAIL_TEMP", "MM_CHARSET", "LC_ALL", "TZ"}) {
            const char* value = std::getenv(name);
            m_Saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
        m_Dir = std::filesystem::path(::testing::TempDir()) / "quillex-message-test";
        std::filesystem::remove_all(m_Dir);
        std::filesystem::create_directories(m_Dir);
        platform::SetEnvironmentValue("MAIL_TEMP", (m_Dir.string() + "/").c_str());
        platform::SetEnvironmentValue("MM_CHARSET", nullptr);
        platform::SetEnvironmentValue("LC_ALL", "C");
        platform::SetEnvironmentValue("TZ", "UTC0");
        platform::SetContentTypeTable("");
        g_Organization[0] = 0;
    }
    void TearDown() override
    {
        for (const auto& [name, value] : m_Saved)
            platform::SetEnvironmentValue(name.c_str(), value ? value->c_str() : nullptr);
        platform::SetContentTypeTable(nullptr);
        g_Organization[0] = 0;
        std::filesystem::remove_all(m_Dir);
    }

    std::string File(const char* name, const std::string& contents)
    {
        const std::string path = (m_Dir / name).string();
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(contents.data(), 1, contents.size(), file);
        std::fclose(file);
        return path;
    }

    static std::string Written(CSMTPEmail& mail)
    {
        FILE* file = std::tmpfile();
        mail.WriteMessageFile(file);
        std::rewind(file);
        std::string data;
        char block[4096];
        std::size_t got;
        while ((got = std::fread(block, 1, sizeof block, file)) > 0) data.append(block, got);
        std::fclose(file);
        return data;
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
    std::filesystem::path m_Dir;
    std::map<std::string, std::optional<std::string>> m_Saved;
};

TEST_F(MessageTest, WholeRunOfOneTextPart)
{
    CSMTPEmail mail;
    Address(mail);
    mail.AddPart("\r\n", PART_TEXT_AUTO);
    mail.SetHeader("X-Mailer", "Quillex v.1.06 mailer\r\n\tsecond line", 0);
    mail.SetDate();
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
    const std::string delimiter = std::string("\r\n--") + kBoundary + "\r\n";
    EXPECT_EQ(Written(mail), AddressHeaders() + "MIME-Version: 1.0\r\n" + kLibrary +
                                 "Content-type: multipart/mixed;\r\n\tboundary=" + kBoundary +
                                 "\r\n\r\n\r\n" + kPreamble + delimiter + kTextHeaders +
                                 "\r\nHi=3D\r\n" + delimiter +
                                 "Content-type: unknown/bin;\r\n\tname=\"data.bin\"\r\n"
                                 "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
                                 "Content-Transfer-Encoding: base64\r\n"
                                 "\r\nTWFu\r\n" +
                                 "\r\n--" + kBoundary + "--\r\n");
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
    const std::string delimiter = std::string("\r\n--") + kBoundary + "\r\n";
    EXPECT_EQ(Written(mail), AddressHeaders() + "MIME-Version: 1.0\r\n" + kLibrary +
                                 "Content-type: multipart/mixed;\r\n\tboundary=" + kBoundary +
                                 "\r\n\r\n\r\n" + kPreamble + delimiter + kTextHeaders +
                                 "\r\nkept\r\n" + delimiter +
                                 "Content-type: image/gif;\r\n\tname=\"empty.gif\"\r\n"
                                 "Content-Disposition: attachment; filename=\"empty.gif\"\r\n"
                                 "Content-Transfer-Encoding: base64\r\n"
                                 "\r\n" +
                                 "\r\n--" + kBoundary + "--\r\n");
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

TEST_F(MessageTest, SecondWriteReplacesHeadersInPlace)
{
    CSMTPEmail mail;
    Address(mail);
    mail.AddPart("a", PART_TEXT_QP);
    mail.AddPart("b", PART_TEXT_QP);
    const std::string first = Written(mail);
    EXPECT_EQ(Written(mail), first);
}

TEST_F(MessageTest, MissingAttachmentThrows)
{
    CSMTPEmail mail;
    mail.AddPart("text", PART_TEXT_AUTO);
    const std::string missing = (m_Dir / "missing.bin").string();
    mail.AddPart(missing.c_str(), PART_BINARY_FILE);
    try {
        Written(mail);
        FAIL() << "no exception";
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, FAILED_TO_OPEN_TEMPFILE);
        EXPECT_EQ(std::string(error.what()), "Unable to open include file \"" + missing + "\". Aborting.");
    }
}

TEST_F(MessageTest, UnreadableAttachmentThrows)
{
    CSMTPEmail mail;
    mail.AddPart("text", PART_TEXT_AUTO);
    mail.AddPart(m_Dir.string().c_str(), PART_BINARY_FILE);
    try {
        Written(mail);
        FAIL() << "a directory was sent as an attachment";
    } catch (const CSMTPException& error) {
        EXPECT_EQ(error.m_Code, FAILED_TO_OPEN_TEMPFILE);
        EXPECT_NE(std::string(error.what()).find(m_Dir.string()), std::string::npos) << error.what();
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
        try {
            mail.WriteMessageFile(full, "/dev/full");
            ADD_FAILURE() << "a failed write was reported as success";
        } catch (const CSMTPException& error) {
            EXPECT_EQ(error.m_Code, FAILED_TO_OPEN_TEMPFILE);
            EXPECT_EQ(std::string(error.what()),
                      "Unable to write message file \"/dev/full\": No space left on device. Aborting.");
        }
        std::fclose(full);
    }
}

}  // namespace
