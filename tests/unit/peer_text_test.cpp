#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "transport/Reply.h"
#include "transport/Session.h"

namespace {

// Replies keep their line ends and TABs; every other control shows as hex.
TEST(PeerText, ControlsAndBrokenUtf8ShowAsHexAndTheRestStays)
{
    const struct {
        std::string bytes, shown, reply;
    } rows[] = {
        {"b\u00FCcher \u20AC \U0001F4E7", "b\u00FCcher \u20AC \U0001F4E7", ""},
        {std::string("a\0b", 3), "a\\x00b", ""},
        {"mx.example \\ ok", "mx.example \\ ok", ""},
        {"\xFF\xC3\xBC", "\\xFF\xC3\xBC", ""},
        {"ok\rquillex: sent", "ok\\x0Dquillex: sent", ""},
        {"250 OK\r", "250 OK\\x0D", "250 OK\r"},
        {"\x1B[2K\t\x7F\r\n", "\\x1B[2K\\x09\\x7F\\x0D\\x0A", "\\x1B[2K\t\\x7F\r\n"},
        {"\u009B31m", "\\xC2\\x9B31m", ""},  // a C1 control, though valid UTF-8
        {"\xFF\xC3(\xE2\x82", "\\xFF\\xC3(\\xE2\\x82", ""},
        {"\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80",
         "\\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80", ""},  // overlong, surrogate, too big
    };
    for (const auto& row : rows) {
        EXPECT_EQ(core::PrintablePeerText(row.bytes), row.shown) << row.shown;
        EXPECT_EQ(transport::PrintableReply(row.bytes.data(), row.bytes.size()),
                  row.reply.empty() ? row.shown : row.reply);
    }
}

TEST(PeerText, ACommandWithALineBreakBeforeItsEndIsRefused)
{
    EXPECT_NO_THROW(transport::RefuseLineBreaks("MAIL FROM:<a@x.test>\r\n"));
    for (const char* line : {"MAIL FROM:<=?utf-8?Q?J=C3=BCrgen?=\r\n\t<j@x.test>>\r\n",
                             "RCPT TO:<a@x.test>\rRSET\r\n", "HELO x\n\r\n"})
        EXPECT_THROW(transport::RefuseLineBreaks(line), CSMTPException) << line;
    const auto hidden = [] {
        transport::RefuseLineBreaks("AUTHINFO PASS se\ncret\r\n", "AUTHINFO PASS <hidden>");
    };
    EXPECT_EQ(ThrownText(hidden, BAD_ARGUMENTS_FROM_FORM),
              "A line break after \"AUTHINFO PASS <hidden>\" would make the server read two "
              "commands. Aborting.");
}

}  // namespace
