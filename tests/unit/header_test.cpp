#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mail/CSMTPHeader.h"

namespace {

std::string Written(const CSMTPHeader* chain)
{
    std::FILE* f = std::tmpfile();
    if (chain) chain->Write(f);
    std::string out(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    out.resize(std::fread(&out[0], 1, out.size(), f));
    std::fclose(f);
    return out;
}

TEST(HeaderChain, ReplaceKeepsPlaceAndFirstSpelling)
{
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader::Set("Subject", "A", chain, 0);
    CSMTPHeader::Set("To", "x@example.test", chain, 0);
    CSMTPHeader::Set("SUBJECT", "B", chain, 0);
    EXPECT_EQ(Written(chain.get()), "Subject: B\r\nTo: x@example.test\r\n");
}

TEST(HeaderChain, FindMissesAndEmptyChain)
{
    std::unique_ptr<CSMTPHeader> chain;
    EXPECT_EQ(CSMTPHeader::Find("From", chain.get()), nullptr);
    CSMTPHeader::Set("From", "a", chain, 0);
    EXPECT_EQ(CSMTPHeader::Find("Fro", chain.get()), nullptr);
    EXPECT_EQ(CSMTPHeader::Find("from", chain.get()), chain.get());
}

TEST(HeaderChain, ReplaceWithOwnValueAndEmptyValue)
{
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader* node = CSMTPHeader::Set("X-Sender", "me@example.test", chain, 0);
    CSMTPHeader::Set("X-Sender", node->m_Value.c_str(), chain, 0);
    CSMTPHeader::Set("Organization", "", chain, 0);
    EXPECT_EQ(Written(chain.get()), "X-Sender: me@example.test\r\nOrganization: \r\n");
}

TEST(HeaderChain, AppendJoinsWithBareComma)
{
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader::Set("To", "A", chain, 1);
    CSMTPHeader::Set("To", "B", chain, 1);
    EXPECT_EQ(chain->m_Value, "A,B");
}

struct FoldCase {
    std::size_t firstLength;
    const char* separator;
};

class HeaderFold : public ::testing::TestWithParam<FoldCase> {};

TEST_P(HeaderFold, FoldsOnlyPast75)
{
    std::unique_ptr<CSMTPHeader> chain;
    const std::string first(GetParam().firstLength, 'a');
    CSMTPHeader::Set("To", first.c_str(), chain, 1);
    CSMTPHeader::Set("To", "b", chain, 1);
    EXPECT_EQ(chain->m_Value, first + GetParam().separator + "b");
}

INSTANTIATE_TEST_SUITE_P(Boundaries, HeaderFold,
                         ::testing::Values(FoldCase{74, ","}, FoldCase{75, ","},
                                           FoldCase{76, ",\r\n\t"}, FoldCase{120, ",\r\n\t"}));

TEST(HeaderChain, CounterRestartsAfterFoldCountingTabAndLineFeed)
{
    std::unique_ptr<CSMTPHeader> chain;
    const std::string first(76, 'a');
    CSMTPHeader::Set("To", first.c_str(), chain, 1);
    // After the fold the line holds LF, TAB and the item: 2 + length.
    const std::string second(73, 'b');  // counter 75: no fold yet
    CSMTPHeader::Set("To", second.c_str(), chain, 1);
    CSMTPHeader::Set("To", "c", chain, 1);  // counter 75 + 2 = 77
    CSMTPHeader::Set("To", "d", chain, 1);
    EXPECT_EQ(chain->m_Value, first + ",\r\n\t" + second + ",c,\r\n\td");
}

TEST(HeaderChain, ReplacedValueIsNeverFoldedButCounts)
{
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader::Set("To", "x,\r\n\tshort", chain, 0);
    CSMTPHeader::Set("To", "y", chain, 1);
    EXPECT_EQ(chain->m_Value, "x,\r\n\tshort,y");
}

TEST(HeaderChain, LongChainDestroysWithoutRecursionLimit)
{
    static const char* const name[] = {"N0", "N1"};
    std::unique_ptr<CSMTPHeader> chain;
    CSMTPHeader* last = CSMTPHeader::Set(name[0], "v", chain, 0);
    for (int i = 0; i < 200000; ++i) {
        last->m_Next = std::make_unique<CSMTPHeader>();
        last = last->m_Next.get();
        last->m_Name = name[1];
    }
    chain.reset();
    SUCCEED();
}

}  // namespace
