#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "TestSupport.h"
#include "frontend/Body.h"
#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Options.h"
#include "frontend/OutboxEntry.h"
#include "frontend/Run.h"

namespace {

std::string BodyFrom(const std::string& input, int singleDotEnd)
{
    ResetFrontendState();
    g_SingleDotEnd = singleDotEnd;
    FILE* stream = StreamOf(input);
    StringList lines;
    ReadBody(stream, lines);
    std::fclose(stream);
    ResetFrontendState();
    return AssembleBody(lines);
}

struct BodyCase {
    const char* name;
    int singleDotEnd;
    std::string input;
    std::string body;
};

TEST(BodyInput, DotRulesAndLineEnds)
{
    const BodyCase rows[] = {{"Nothing", 0, "", "\r\n"},
                             {"BareLfBecomesCrLf", 0, "one\ntwo\n", "one\r\ntwo\r\n\r\n"},
                             {"CrLfStays", 0, "one\r\ntwo\r\n", "one\r\ntwo\r\n\r\n"},
                             {"LastLineWithoutEnd", 0, "one\ntwo", "one\r\ntwo\r\n"},
                             {"LoneCrStays", 0, "a\rb\n", "a\rb\r\n\r\n"},
                             {"DotDoubledWithoutDotEnd", 0, ".\nafter\n", "..\r\nafter\r\n\r\n"},
                             {"DotLineEnds", 1, "keep\n.\nlost\n", "keep\r\n\r\n"},
                             {"DotCrLfEnds", 1, "keep\r\n.\r\nlost\r\n", "keep\r\n\r\n"},
                             {"FinalDotWithoutLineEnd", 1, "keep\n.", "keep\r\n\r\n"},
                             {"TwoDots", 1, "..\n", "...\r\n\r\n"},
                             {"DotBlank", 1, ". \n", ".. \r\n\r\n"},
                             {"DotLetter", 1, ".x\n", "..x\r\n\r\n"},
                             {"DotInsideLine", 1, "a.\n", "a.\r\n\r\n"},
                             {"LongLineIsOneLine", 0, std::string(300, 'x') + "\n.y\n",
                              std::string(300, 'x') + "\r\n..y\r\n\r\n"}};
    for (const BodyCase& row : rows)
        EXPECT_EQ(BodyFrom(row.input, row.singleDotEnd), row.body) << row.name;
}

struct MergeCase {
    const char* name;
    std::string body;
    std::string content;
    std::string result;
};

TEST(TextMerge, ConvertsJudgingByTheBodySoFar)
{
    const MergeCase rows[] = {{"BareLf", "\r\n", "a\nb", "\r\na\r\nb"},
                              {"CrLf", "\r\n", "a\r\nb", "\r\na\r\nb"},
                              {"Dots", "\r\n", ".x\n.y\n", "\r\n..x\r\n..y\r\n"},
                              {"LeadingLfThenDot", "\r\n", "\n.", "\r\n\r\n.."},
                              {"LfAfterBodyCr", "text\r", "\nz", "text\r\nz"},
                              {"DotContinuingALine", "\r\na", ".b", "\r\na.b"},
                              {"DotAfterBareLfInBody", "x\n", ".", "x\n.."},
                              {"NulEndsTheContent", "\r\n", std::string("ab\0\ncd", 6), "\r\nab"},
                              {"Empty", "\r\n", "", "\r\n"},
                              {"DotInsideLine", "\r\n", "a.b.\n", "\r\na.b.\r\n"}};
    for (const MergeCase& row : rows) {
        std::string body = row.body;
        MergeText(body, row.content);
        EXPECT_EQ(body, row.result) << row.name;
    }
}

TEST(PromptLine, ReadsWholeAnswersAndCutsAtTheLineEnd)
{
    const std::string longAnswer(200, 'a');
    FILE* stream = StreamOf(longAnswer + "\nx\r\ny\rz\nlast");
    std::string answer;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(PromptLine("To", nullptr, answer, stream));
    EXPECT_EQ(answer, longAnswer);
    ASSERT_TRUE(PromptLine("To", "Add one more or leave blank", answer, stream));
    EXPECT_EQ(answer, "x");
    ASSERT_TRUE(PromptLine(nullptr, nullptr, answer, stream));
    EXPECT_EQ(answer, "y");
    ASSERT_TRUE(PromptLine("Subject", nullptr, answer, stream));
    EXPECT_EQ(answer, "last");
    EXPECT_FALSE(PromptLine("Subject", nullptr, answer, stream));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "To: To (Add one more or leave blank): Subject: Subject: ");
    std::fclose(stream);
}

TEST(StringListTest, KeepsOrderAndSurvivesManyNodes)
{
    StringList list;
    EXPECT_TRUE(list.IsEmpty());
    for (int i = 0; i < 200000; ++i) AppendString(std::to_string(i), list);
    EXPECT_EQ(list.First()->text, "0");
    EXPECT_EQ(list.First()->next->text, "1");
}

TEST(PriorityNumber, ReadsLikeAtoiWithoutOverflow)
{
    const struct {
        const char* text;
        int number;
    } rows[] = {{"3x", 3},
                {" +2", 2},
                {"high", 0},
                {"", 0},
                {"99999999999999999999", INT_MAX},
                {"-99999999999999999999", INT_MIN},
                {"4294967297", INT_MAX}};  // must not wrap round to 1
    for (const auto& row : rows) EXPECT_EQ(ReadNumber(row.text), row.number) << row.text;
}

TEST(ProgramName, IsTheLastPathComponent)
{
    SKIP_ON_WINDOWS("only a backslash ends the directory part of argument 0");
    EXPECT_STREQ(ProgramNameOf("/usr/local/bin/quillex"), "quillex");
    EXPECT_STREQ(ProgramNameOf("./tools/ql.exe"), "ql.exe");
    EXPECT_STREQ(ProgramNameOf("quillex"), "quillex");
    EXPECT_STREQ(ProgramNameOf("dir/"), "");
}

// Options act in their order: receivers before -u stay mail receivers.
TEST(OptionLoop, ReceiversFollowTheNewsModeOfTheirMoment)
{
    std::string args[] = {"quillex", "to@example.com", "-ccarl@example.com", "-u", "local.test"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data()};
    CSMTPEmail mail;
    FILE* input = nullptr;
    ResetFrontendState();
    EXPECT_EQ(ReadOptions(5, argv, mail, input), 0);
    ResetFrontendState();
    EXPECT_STREQ(mail.GetHeader("To", ""), "to@example.com");
    EXPECT_STREQ(mail.GetHeader("Cc", ""), "carl@example.com");
    EXPECT_STREQ(mail.GetHeader("Newsgroups", ""), "local.test");
}

}  // namespace

TEST(Outbox, EnvelopeKeepsEveryFieldAndRetriesDoubleToAnHour)
{
    OutboxEnvelope kept;
    kept.server = "submission://u@mx.example";
    kept.sender = "a@example.test";
    kept.receivers = {"b@example.test", "c@example.test"};
    kept.extras.notify = "FAILURE";
    kept.tries = 3;
    kept.nextTry = 1234;
    kept.lastError = "SERVER_ERROR (451\r\nlater)";
    OutboxEnvelope read;
    ASSERT_TRUE(ParseEnvelope(EnvelopeText(kept), read));
    EXPECT_EQ(read.receivers, kept.receivers);
    EXPECT_EQ(read.extras.notify, "FAILURE");
    EXPECT_EQ(read.lastError, "SERVER_ERROR (451  later)");
    EXPECT_EQ(read.server, kept.server);
    EXPECT_EQ(read.tries, 3);
    const std::string whole = EnvelopeText(kept);
    EXPECT_FALSE(ParseEnvelope(whole.substr(0, whole.size() - 4), read));  // cut short
    const long long waits[] = {300, 300, 600, 1200, 2400, 3600, 3600};
    for (int tries = 0; tries < 7; ++tries) EXPECT_EQ(RetryDelay(tries), waits[tries]);
}
