#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "frontend/Body.h"
#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"

namespace {

// A stream holding exactly text, read from its start.
FILE* StreamOf(const std::string& text)
{
    FILE* stream = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), stream);
    std::rewind(stream);
    return stream;
}

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

class BodyInput : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyInput, DotRulesAndLineEnds)
{
    EXPECT_EQ(BodyFrom(GetParam().input, GetParam().singleDotEnd), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BodyInput,
    ::testing::Values(
        BodyCase{"Nothing", 0, "", "\r\n"},
        BodyCase{"BareLfBecomesCrLf", 0, "one\ntwo\n", "one\r\ntwo\r\n\r\n"},
        BodyCase{"CrLfStays", 0, "one\r\ntwo\r\n", "one\r\ntwo\r\n\r\n"},
        BodyCase{"LastLineWithoutEnd", 0, "one\ntwo", "one\r\ntwo\r\n"},
        BodyCase{"LoneCrStays", 0, "a\rb\n", "a\rb\r\n\r\n"},
        BodyCase{"DotDoubledWithoutDotEnd", 0, ".\nafter\n", "..\r\nafter\r\n\r\n"},
        BodyCase{"DotLineEnds", 1, "keep\n.\nlost\n", "keep\r\n\r\n"},
        BodyCase{"DotCrLfEnds", 1, "keep\r\n.\r\nlost\r\n", "keep\r\n\r\n"},
        BodyCase{"FinalDotWithoutLineEnd", 1, "keep\n.", "keep\r\n\r\n"},
        BodyCase{"TwoDots", 1, "..\n", "...\r\n\r\n"},
        BodyCase{"DotBlank", 1, ". \n", ".. \r\n\r\n"},
        BodyCase{"DotLetter", 1, ".x\n", "..x\r\n\r\n"},
        BodyCase{"DotInsideLine", 1, "a.\n", "a.\r\n\r\n"},
        BodyCase{"LongLineIsOneLine", 0, std::string(300, 'x') + "\n.y\n",
                 std::string(300, 'x') + "\r\n..y\r\n\r\n"}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

struct MergeCase {
    const char* name;
    std::string body;
    std::string content;
    std::string result;
};

class TextMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(TextMerge, ConvertsJudgingByTheBodySoFar)
{
    std::string body = GetParam().body;
    MergeText(body, GetParam().content);
    EXPECT_EQ(body, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextMerge,
    ::testing::Values(
        MergeCase{"BareLf", "\r\n", "a\nb", "\r\na\r\nb"},
        MergeCase{"CrLf", "\r\n", "a\r\nb", "\r\na\r\nb"},
        MergeCase{"Dots", "\r\n", ".x\n.y\n", "\r\n..x\r\n..y\r\n"},
        MergeCase{"LeadingLfThenDot", "\r\n", "\n.", "\r\n\r\n.."},
        MergeCase{"LfAfterBodyCr", "text\r", "\nz", "text\r\nz"},
        MergeCase{"DotContinuingALine", "\r\na", ".b", "\r\na.b"},
        MergeCase{"DotAfterBareLfInBody", "x\n", ".", "x\n.."},
        MergeCase{"NulEndsTheContent", "\r\n", std::string("ab\0\ncd", 6), "\r\nab"},
        MergeCase{"Empty", "\r\n", "", "\r\n"},
        MergeCase{"DotInsideLine", "\r\n", "a.b.\n", "\r\na.b.\r\n"}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return info.param.name; });

class TextFiles : public ::testing::Test {
protected:
    void SetUp() override { ResetFrontendState(); }
    void TearDown() override { ResetFrontendState(); }

    std::string Write(const char* name, const std::string& content)
    {
        const std::string path = ::testing::TempDir() + "quillex_frontend_" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
        return path;
    }
};

TEST_F(TextFiles, TwoFilesJoinWithoutSeparator)
{
    AppendString(Write("a", "a"), g_TextFiles);
    AppendString(Write("dotb", ".b"), g_TextFiles);
    std::string body = AssembleBody(g_BodyLines);
    EXPECT_EQ(MergeTextFiles(body, g_TextFiles), 0);
    EXPECT_EQ(body, "\r\na.b");
}

TEST_F(TextFiles, MissingFileIsReportedOnlyWhenVerboseOrDebug)
{
    const std::string missing = ::testing::TempDir() + "quillex_frontend_no_such_file";
    AppendString(missing, g_TextFiles);
    for (int flags = 0; flags < 3; ++flags) {
        g_Verbose = flags == 1;
        g_Debug = flags == 2;
        std::string body = "\r\n";
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(MergeTextFiles(body, g_TextFiles), -1);
        const std::string expected =
            flags ? "quillex: Text attachment file '" + missing + "' was not found. Aborting.\n" : "";
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected);
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

}  // namespace
