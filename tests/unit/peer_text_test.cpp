#include <gtest/gtest.h>

#include <string>

#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "transport/Reply.h"
#include "transport/Session.h"

namespace {

TEST(PeerText, ControlsAndBrokenUtf8ShowAsHexAndTheRestStays)
{
    const struct {
        std::string bytes;
        std::string shown;
    } rows[] = {
        {"mail.example.com", "mail.example.com"},
        {"b\xC3\xBC"
         "cher \xE2\x82\xAC \xF0\x9F\x93\xA7",
         "b\xC3\xBC"
         "cher \xE2\x82\xAC \xF0\x9F\x93\xA7"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"ok\rquillex: Email was successfully sent.",
         "ok\\x0Dquillex: Email was successfully sent."},
        {"\x1B[2K\t\n\x7F", "\\x1B[2K\\x09\\x0A\\x7F"},
        {"\xC2\x9B"
         "31m",
         "\\xC2\\x9B31m"},                               // a C1 control, though valid UTF-8
        {"\xFF\xC3(\xE2\x82", "\\xFF\\xC3(\\xE2\\x82"},  // stray, cut short, truncated
        {"\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80",
         "\\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(core::PrintablePeerText(row.bytes), row.shown) << row.shown;
}

TEST(PeerText, RepliesKeepTheirLineEndsAndTabs)
{
    const std::string plain = "250-mx\tready\r\n250 OK\n";
    EXPECT_EQ(transport::PrintableReply(plain.data(), plain.size()), plain);
    const char bytes[] = "550 \x1B]0;x\x07\r\r\n550 a\0b\r\n";
    const std::string hostile(bytes, sizeof bytes - 1);
    EXPECT_EQ(transport::PrintableReply(hostile.data(), hostile.size()),
              "550 \\x1B]0;x\\x07\\x0D\r\n550 a\\x00b\r\n");
}

TEST(PeerText, ACommandWithALineBreakBeforeItsEndIsRefused)
{
    for (const char* line : {"MAIL FROM:<a@x.test>\r\n", "QUIT\r\n", "AUTH LOGIN"})
        EXPECT_NO_THROW(transport::RefuseLineBreaks(line)) << line;
    for (const char* line : {"MAIL FROM:<=?utf-8?Q?J=C3=BCrgen?=\r\n\t<j@x.test>>\r\n",
                             "RCPT TO:<a@x.test>\rRSET\r\n", "HELO x\n\r\n"}) {
        try {
            transport::RefuseLineBreaks(line);
            ADD_FAILURE() << "not refused: " << line;
        } catch (const CSMTPException& error) {
            EXPECT_EQ(error.m_Code, BAD_ARGUMENTS_FROM_FORM);
            EXPECT_NE(std::string(error.what()).find("line break"), std::string::npos);
        }
    }
}

}  // namespace
