#include <gtest/gtest.h>

#include <string>

#include "TestClock.h"
#include "TestSupport.h"
#include "mail/ArpaDate.h"
#include "mail/CSMTPEmail.h"

namespace {

class DateTest : public ::testing::Test {
protected:
    std::string DateIn(const char* tz, std::time_t now)
    {
        m_Env.Set("TZ", tz);
        FixedClock clock(now);
        char buffer[kArpaDateCapacity];
        return arpadate(buffer);
    }

    ScopedEnvironment m_Env;
};

// Zone names have three letters, the most that every C runtime's TZ takes.
TEST_F(DateTest, ZonesAndDayCorrections)
{
    const struct {
        const char* tz;
        std::time_t now;
        const char* expected;
    } rows[] = {
        {"UTC0", 1796517368, "Sun, 6 Dec 2026 00:36:08 GMT"},
        {"XXX-1", 1796517368, "Sun, 6 Dec 2026 01:36:08 +0100"},
        // 03:30 on 1 January UTC is still the old year here.
        {"EST5", 1798774200, "Thu, 31 Dec 2026 22:30:00 -0500"},
        {"IST-5:30", 1784000100, "Tue, 14 Jul 2026 09:05:00 +0530"},
        // 12:00 on 31 December UTC is already the new year here.
        {"LIN-14", 1798718400, "Fri, 1 Jan 2027 02:00:00 +1400"},
        // 22:00 on 28 February UTC is 1 March here.
        {"AES-10", 1803852000, "Mon, 1 Mar 2027 08:00:00 +1000"},
        {"UTC0", 1773651900, "Mon, 16 Mar 2026 09:05:00 GMT"},
    };
    for (const auto& row : rows) EXPECT_EQ(DateIn(row.tz, row.now), row.expected) << row.tz;
}

TEST_F(DateTest, SetDateKeepsAnExistingDateOfAnyCase)
{
    CSMTPEmail mail;
    mail.SetHeader("date", "yesterday", 0);
    mail.SetDate();
    EXPECT_EQ(mail.m_Headers->m_Value, "yesterday");
    EXPECT_EQ(mail.m_Headers->m_Next, nullptr);
}

}  // namespace
