#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "mail/CSMTPHeader.h"

namespace {

std::string Written(const std::unique_ptr<CSMTPHeader>& chain)
{
    return Captured([&](FILE* file) { chain->Write(file); });
}

TEST(HeaderChain, FindAndReplaceKeepPlaceAndFirstSpelling)
{
    std::unique_ptr<CSMTPHeader> chain;
    EXPECT_EQ(CSMTPHeader::Find("X-Sender", chain.get()), nullptr);
    CSMTPHeader* sender = CSMTPHeader::Set("X-Sender", "me@example.test", chain, 0);
    EXPECT_EQ(CSMTPHeader::Find("X-Sende", chain.get()), nullptr);
    EXPECT_EQ(CSMTPHeader::Find("x-sender", chain.get()), sender);
    CSMTPHeader::Set("Subject", "A", chain, 0);
    CSMTPHeader::Set("Organization", "", chain, 0);
    CSMTPHeader::Set("SUBJECT", "B", chain, 0);
    CSMTPHeader::Set("X-Sender", sender->m_Value.c_str(), chain, 0);
    EXPECT_EQ(Written(chain), "X-Sender: me@example.test\r\nSubject: B\r\nOrganization: \r\n");
}

// Appending joins with a comma and folds once the line passes 75
// characters; after a fold the line holds LF, TAB and the item.
TEST(HeaderChain, AppendJoinsAndFoldsOnlyPast75)
{
    const std::string a74(74, 'a'), a75(75, 'a'), a76(76, 'a'), b73(73, 'b');
    const struct {
        std::string replaced;  // set first, without appending
        std::vector<std::string> appended;
        std::string value;
    } rows[] = {
        {"", {"A", "B"}, "A,B"},
        {"", {a74, "b"}, a74 + ",b"},
        {"", {a75, "b"}, a75 + ",b"},
        {"", {a76, "b"}, a76 + ",\r\n\tb"},
        // counter 2 + 73 = 75 after the fold: no fold yet; then 77
        {"", {a76, b73, "c", "d"}, a76 + ",\r\n\t" + b73 + ",c,\r\n\td"},
        // a replaced value is never folded but counts
        {"x,\r\n\tshort", {"y"}, "x,\r\n\tshort,y"},
    };
    for (const auto& row : rows) {
        std::unique_ptr<CSMTPHeader> chain;
        if (!row.replaced.empty()) CSMTPHeader::Set("To", row.replaced.c_str(), chain, 0);
        for (const std::string& item : row.appended) CSMTPHeader::Set("To", item.c_str(), chain, 1);
        EXPECT_EQ(chain->m_Value, row.value);
    }
}

TEST(HeaderChain, LongChainDestroysWithoutRecursionLimit)
{
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader* last = CSMTPHeader::Set("N0", "v", chain, 0);
    for (int i = 0; i < 200000; ++i) {
        last->m_Next = std::make_unique<CSMTPHeader>();
        last = last->m_Next.get();
        last->m_Name = "N1";
    }
    chain.reset();
}

}  // namespace
