#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"

namespace {

TEST(Email, LineBreaksInUserHeadersBecomeOneBlank)
{
    CSMTPEmail mail;
    mail.SetSubject("Hi\r\nBcc: victim@example.test\n\nx\r");
    mail.SetFrom("me@example.test\r\nX-Evil: 1");
    EXPECT_STREQ(mail.GetHeader("Subject", ""), "Hi Bcc: victim@example.test x ");
    EXPECT_STREQ(mail.GetHeader("From", ""), "me@example.test X-Evil: 1");
}

TEST(Email, EnvelopeTakesTheAddressOfAnEntry)
{
    const std::string longAddress = std::string(300, 'x') + "@example.test";
    const struct {
        std::string entry;
        std::string receiver;
    } rows[] = {
        {"Jane Roe <jane@example.test>", "jane@example.test"},
        {"\"Roe, J. <x>\" <j2@example.test>", "j2@example.test"},
        {"Jane\t<jane@example.test>", "jane@example.test"},  // TAB is no control byte here
        {longAddress, longAddress},
    };
    for (const auto& row : rows) {
        CSMTPEmail mail;
        mail.AddTo(row.entry.c_str());
        EXPECT_EQ(Receivers(mail), row.receiver);
        EXPECT_EQ(mail.GetHeader("To", ""), row.entry);
    }
}

TEST(Email, NewsModeGroupsAndRefusalsLeaveEverythingUnchanged)
{
    CSMTPEmail mail;
    mail.AddCc("early@example.test");
    mail.m_NewsMode = 1;
    mail.AddTo("comp.misc");
    mail.AddTo("alt.test");
    EXPECT_STREQ(mail.GetHeader("Newsgroups", ""), "comp.misc,alt.test");

    const struct {
        void (CSMTPEmail::*add)(const char*);
        const char* message;
    } rows[] = {
        {&CSMTPEmail::AddCc, "Cc (Carbon Copy) is not legal in News posting mode. Aborting."},
        {&CSMTPEmail::AddBcc,
         "Bcc (Blind Carbon Copy) is not legal in News posting mode. Aborting."},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ThrownText([&] { (mail.*row.add)("x@example.test"); }, BAD_ARGUMENTS_FROM_FORM),
                  row.message);
    EXPECT_EQ(Receivers(mail), "early@example.test,comp.misc,alt.test");
    EXPECT_STREQ(mail.GetHeader("Cc", ""), "early@example.test");
}

TEST(ControlByteRefusal, ReceiverRefusedBeforeAnythingIsAdded)
{
    for (const std::string& entry :
         {std::string("a@example.test\r\nDATA"), std::string("a@example.test\n"),
          std::string("a\x01@example.test"), std::string("a\x7f@example.test")}) {
        CSMTPEmail mail;
        EXPECT_EQ(ThrownText([&] { mail.AddTo(entry.c_str()); }, BAD_ARGUMENTS_FROM_FORM),
                  "Receiver \"" + entry + "\" contains a control character. Aborting.");
        EXPECT_FALSE(mail.m_Receivers.has_value());
        EXPECT_EQ(mail.m_Headers, nullptr);
    }
}

TEST(Settings, CopySettingRefusesWhatDoesNotFit)
{
    char buffer[8] = "old";
    EXPECT_FALSE(CopySetting(buffer, sizeof buffer, "12345678"));
    EXPECT_STREQ(buffer, "old");
    EXPECT_TRUE(CopySetting(buffer, sizeof buffer, "1234567"));
    EXPECT_STREQ(buffer, "1234567");
}

}  // namespace
