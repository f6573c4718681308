#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <string>
#include <vector>

#include "frontend/FrontendGlobals.h"
#include "frontend/Options.h"
#include "frontend/Run.h"

namespace {

class OptionLoop : public ::testing::Test {
protected:
    void SetUp() override { ResetFrontendState(); }
    void TearDown() override { ResetFrontendState(); }

    int Read(std::initializer_list<const char*> arguments)
    {
        m_Storage.assign(1, "quillex");
        for (const char* argument : arguments) m_Storage.push_back(argument);
        std::vector<char*> argv;
        for (std::string& text : m_Storage) argv.push_back(text.data());
        return ReadOptions(static_cast<int>(argv.size()), argv.data(), m_Mail, m_Input);
    }

    const char* Header(const char* name) { return m_Mail.GetHeader(name, nullptr); }

    std::vector<std::string> Texts(const StringList& list)
    {
        std::vector<std::string> texts;
        for (const StringNode* node = list.First(); node; node = node->next.get())
            texts.push_back(node->text);
        return texts;
    }

    CSMTPEmail m_Mail;
    FILE* m_Input = nullptr;
    std::vector<std::string> m_Storage;
};

TEST_F(OptionLoop, CommaAloneAddsNoReceiver)
{
    EXPECT_EQ(Read({",", "-c,,", "-b,"}), 0);
    EXPECT_FALSE(m_Mail.HasReceivers());
}

TEST_F(OptionLoop, ReceiversFollowTheNewsModeOfTheirMoment)
{
    EXPECT_EQ(Read({"to@example.com", "-ccarl@example.com", "-u", "local.test"}), 0);
    EXPECT_STREQ(Header("To"), "to@example.com");
    EXPECT_STREQ(Header("Cc"), "carl@example.com");
    EXPECT_STREQ(Header("Newsgroups"), "local.test");
    EXPECT_EQ(m_Mail.m_NewsMode, 1);
}

TEST_F(OptionLoop, CcAndBccAfterNewsModeAreRefused)
{
    EXPECT_THROW(Read({"-u", "-ccc@example.com"}), CSMTPException);
    CSMTPEmail other;
    m_Storage = {"quillex", "-u", "-bbcc@example.com"};
    std::vector<char*> argv{m_Storage[0].data(), m_Storage[1].data(), m_Storage[2].data()};
    EXPECT_THROW(ReadOptions(3, argv.data(), other, m_Input), CSMTPException);
    EXPECT_FALSE(other.HasReceivers());
}

TEST_F(OptionLoop, EmptySenderStillCreatesXSender)
{
    EXPECT_EQ(Read({"-F"}), 0);
    EXPECT_STREQ(Header("X-Sender"), "");
}

TEST(PriorityNumber, ReadsLikeAtoiWithoutOverflow)
{
    EXPECT_EQ(ReadNumber("3x"), 3);
    EXPECT_EQ(ReadNumber(" +2"), 2);
    EXPECT_EQ(ReadNumber("high"), 0);
    EXPECT_EQ(ReadNumber(""), 0);
    EXPECT_EQ(ReadNumber("99999999999999999999"), INT_MAX);
    EXPECT_EQ(ReadNumber("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(ReadNumber("4294967297"), INT_MAX);  // must not wrap round to 1
}

TEST_F(OptionLoop, ServerAndOrganizationFitOrAreRefused)
{
    const std::string fits(127, 's');
    const std::string tooLong(128, 's');
    EXPECT_EQ(Read({("-S" + fits).c_str(), ("-o" + fits).c_str()}), 0);
    EXPECT_EQ(g_MailServer, fits);
    EXPECT_EQ(g_Organization, fits);

    ResetFrontendState();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Read({("-S" + tooLong).c_str(), "later@example.com"}), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "quillex: The value of -S is longer than 127 characters. Aborting.\n");
    EXPECT_STREQ(g_MailServer, "");
    EXPECT_FALSE(m_Mail.HasReceivers());

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Read({("-o" + tooLong).c_str()}), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "quillex: The value of -o is longer than 127 characters. Aborting.\n");
    EXPECT_STREQ(g_Organization, "");
}

TEST_F(OptionLoop, LineBreaksInHeaderValuesBecomeBlanks)
{
    EXPECT_EQ(Read({"-oAcme\r\nBcc: x@evil.example", "-Fme@example.com\nX-Evil: 1",
                    "-sHi\r\n\r\nthere"}),
              0);
    EXPECT_STREQ(g_Organization, "Acme Bcc: x@evil.example");
    EXPECT_STREQ(Header("From"), "me@example.com X-Evil: 1");
    EXPECT_STREQ(Header("X-Sender"), "me@example.com X-Evil: 1");
    EXPECT_STREQ(Header("Subject"), "Hi there");
}

TEST_F(OptionLoop, SwitchesAndLists)
{
    EXPECT_EQ(Read({"--x", "-.", "-a", "-d", "-m", "-p", "-vv", "-ione", "-i", "-ttext",
                    "-init"}),
              0);
    EXPECT_EQ(m_Input, stdin);
    EXPECT_EQ(g_SingleDotEnd, 1);
    EXPECT_EQ(m_Mail.m_OemToAnsi, 1);
    EXPECT_EQ(g_Debug, 1);
    EXPECT_EQ(m_Mail.m_Mime, 0);
    EXPECT_EQ(g_PauseAfterSend, 1);
    EXPECT_EQ(g_Verbose, 1);
    EXPECT_EQ(Texts(g_Attachments), (std::vector<std::string>{"one", "", "nit"}));
    EXPECT_EQ(Texts(g_TextFiles), (std::vector<std::string>{"text"}));
}

TEST(ProgramName, IsTheLastPathComponent)
{
    EXPECT_STREQ(ProgramNameOf("/usr/local/bin/quillex"), "quillex");
    EXPECT_STREQ(ProgramNameOf("./tools/ql.exe"), "ql.exe");
    EXPECT_STREQ(ProgramNameOf("quillex"), "quillex");
    EXPECT_STREQ(ProgramNameOf("dir/"), "");
}

TEST(ErrorTexts, OutOfRangeCodesHaveAText)
{
    EXPECT_STREQ(ErrorText(FAILED_TO_CONNECT), SmtpErrorText[FAILED_TO_CONNECT]);
    EXPECT_STREQ(ErrorText(-1), SmtpErrorText[UNKNOWN_ERROR]);
    EXPECT_STREQ(ErrorText(99), SmtpErrorText[UNKNOWN_ERROR]);
}

}  // namespace
