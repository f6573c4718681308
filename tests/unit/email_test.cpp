#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"

namespace {

std::string HeaderOr(const CSMTPEmail& mail, const char* name, const char* fallback = "<none>")
{
    return mail.GetHeader(name, fallback);
}

std::string Receivers(const CSMTPEmail& mail)
{
    return mail.m_Receivers ? *mail.m_Receivers : "<null>";
}

TEST(Email, FreshObject)
{
    CSMTPEmail mail;
    EXPECT_EQ(mail.m_NewsMode, 0);
    EXPECT_EQ(mail.m_Mime, 1);
    EXPECT_EQ(mail.m_OemToAnsi, 0);
    EXPECT_EQ(mail.m_Parts, nullptr);
    EXPECT_EQ(mail.m_Headers, nullptr);
    EXPECT_FALSE(mail.m_Receivers.has_value());
    EXPECT_TRUE(mail.m_SendBuffer.empty());
    EXPECT_EQ(mail.GetHeader("Subject", nullptr), nullptr);
}

TEST(Email, PriorityOutOfRangeIgnoredLastInRangeWins)
{
    CSMTPEmail mail;
    for (int n : {0, 6, -1}) mail.SetPriority(n);
    EXPECT_EQ(mail.m_Headers, nullptr);
    mail.SetPriority(2);
    mail.SetPriority(4);
    EXPECT_EQ(HeaderOr(mail, "X-Priority"), "4");
    EXPECT_EQ(mail.m_Headers->m_Next, nullptr);
}

TEST(Email, FirstFromSetsSenderLaterOnlyFrom)
{
    CSMTPEmail mail;
    mail.SetFrom("a@example.test");
    mail.SetFrom("b@example.test");
    EXPECT_EQ(HeaderOr(mail, "From"), "b@example.test");
    EXPECT_EQ(HeaderOr(mail, "X-Sender"), "a@example.test");

    CSMTPEmail other;
    other.SetHeader("X-Sender", "r@example.test");
    other.SetFrom("a@example.test");
    EXPECT_EQ(HeaderOr(other, "X-Sender"), "r@example.test");
}

TEST(Email, LineBreaksInUserHeadersBecomeOneBlank)
{
    CSMTPEmail mail;
    mail.SetSubject("Hi\r\nBcc: victim@example.test\n\nx\r");
    mail.SetFrom("me@example.test\r\nX-Evil: 1");
    EXPECT_EQ(HeaderOr(mail, "Subject"), "Hi Bcc: victim@example.test x ");
    EXPECT_EQ(HeaderOr(mail, "From"), "me@example.test X-Evil: 1");
}

TEST(Email, ReceiversUnderToAndCcShareOneList)
{
    CSMTPEmail mail;
    mail.AddCc("c@example.test");
    mail.AddTo("a@example.test");
    mail.AddTo("b@example.test");
    EXPECT_EQ(HeaderOr(mail, "To"), "a@example.test,b@example.test");
    EXPECT_EQ(HeaderOr(mail, "Cc"), "c@example.test");
    EXPECT_EQ(Receivers(mail), "c@example.test,a@example.test,b@example.test");
}

TEST(Email, BccOnlyInReceiverList)
{
    CSMTPEmail mail;
    mail.AddBcc("hidden@example.test");
    EXPECT_EQ(mail.m_Headers, nullptr);
    EXPECT_EQ(Receivers(mail), "hidden@example.test");
}

TEST(Email, DisplayNameStaysInHeaderBareAddressInEnvelope)
{
    CSMTPEmail mail;
    mail.AddTo("Jane Roe <jane@example.test>");
    mail.AddTo("\"Roe, J. <x>\" <j2@example.test>");
    mail.AddTo("plain@example.test");
    EXPECT_EQ(HeaderOr(mail, "To"),
              "Jane Roe <jane@example.test>,\"Roe, J. <x>\" <j2@example.test>,plain@example.test");
    EXPECT_EQ(Receivers(mail), "jane@example.test,j2@example.test,plain@example.test");
}

TEST(Email, LongEntryAcceptedWhole)
{
    CSMTPEmail mail;
    const std::string longAddress = std::string(300, 'x') + "@example.test";
    mail.AddTo(longAddress.c_str());
    EXPECT_EQ(Receivers(mail), longAddress);
}

TEST(Email, NewsModeGroupsAndRefusalsLeaveEverythingUnchanged)
{
    CSMTPEmail mail;
    mail.AddCc("early@example.test");
    mail.m_NewsMode = 1;
    mail.AddTo("comp.misc");
    mail.AddTo("alt.test");
    EXPECT_EQ(HeaderOr(mail, "Newsgroups"), "comp.misc,alt.test");
    EXPECT_EQ(HeaderOr(mail, "Cc"), "early@example.test");

    struct Case {
        void (CSMTPEmail::*add)(const char*);
        const char* message;
    } cases[] = {
        {&CSMTPEmail::AddCc, "Cc (Carbon Copy) is not legal in News posting mode. Aborting."},
        {&CSMTPEmail::AddBcc, "Bcc (Blind Carbon Copy) is not legal in News posting mode. Aborting."},
    };
    for (const Case& c : cases) {
        try {
            (mail.*c.add)("x@example.test");
            ADD_FAILURE() << "no exception";
        } catch (const CSMTPException& e) {
            EXPECT_EQ(e.m_Code, BAD_ARGUMENTS_FROM_FORM);
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_EQ(Receivers(mail), "early@example.test,comp.misc,alt.test");
    EXPECT_EQ(HeaderOr(mail, "Cc"), "early@example.test");
}

class ControlByteRefusal : public ::testing::TestWithParam<std::string> {};

TEST_P(ControlByteRefusal, ReceiverRefusedBeforeAnythingIsAdded)
{
    CSMTPEmail mail;
    try {
        mail.AddTo(GetParam().c_str());
        ADD_FAILURE() << "accepted";
    } catch (const CSMTPException& e) {
        EXPECT_EQ(e.m_Code, BAD_ARGUMENTS_FROM_FORM);
        EXPECT_EQ(std::string(e.what()),
                  "Receiver \"" + GetParam() + "\" contains a control character. Aborting.");
    }
    EXPECT_FALSE(mail.m_Receivers.has_value());
    EXPECT_EQ(mail.m_Headers, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Bytes, ControlByteRefusal,
                         ::testing::Values("a@example.test\r\nDATA", "a@example.test\n",
                                           std::string("a\x01@example.test"), "a\x7f@example.test"));

TEST(Email, TabIsNotAControlByteForReceivers)
{
    CSMTPEmail mail;
    mail.AddTo("Jane\t<jane@example.test>");
    EXPECT_EQ(Receivers(mail), "jane@example.test");
}

TEST(Email, InstanceCountFollowsObjects)
{
    const int before = CSMTPEmail::s_InstanceCount;
    {
        CSMTPEmail a, b;
        EXPECT_EQ(CSMTPEmail::s_InstanceCount, before + 2);
    }
    EXPECT_EQ(CSMTPEmail::s_InstanceCount, before);
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
