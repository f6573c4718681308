#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "frontend/Aliases.h"
#include "mail/HeaderAddresses.h"
#include "mail/RawMessage.h"

namespace {

struct AddressRow {
    const char* value;
    std::vector<std::string> expected;  // empty with ok false: refused
    bool ok;
};

TEST(HeaderAddresses, Forms)
{
    const AddressRow rows[] = {
        {"a@example.test", {"a@example.test"}, true},
        {"a@example.test, b@example.test,,", {"a@example.test", "b@example.test"}, true},
        {"Jane Q. Roe <jane@example.test>", {"jane@example.test"}, true},
        {"\"Roe, Jane\" <jane@example.test>, x@example.test",
         {"jane@example.test", "x@example.test"},
         true},
        {"undisclosed-recipients:;", {}, true},
        {"team: a@example.test, B <b@example.test>;, c@example.test",
         {"a@example.test", "b@example.test", "c@example.test"},
         true},
        {"\"john.doe\"@example.test", {"john.doe@example.test"}, true},
        {"\"john doe\"@example.test", {"\"john doe\"@example.test"}, true},
        {"\"a\\\"b\"@example.test", {"\"a\\\"b\"@example.test"}, true},
        {"a@example.test (Jane (the) Roe), (c) <b@example.test>",
         {"a@example.test", "b@example.test"},
         true},
        {"Jane\r\n Roe\r\n\t<jane@example.test>", {"jane@example.test"}, true},
        {"=?utf-8?Q?Jos=C3=A9_Roe?= <jose@example.test>", {"jose@example.test"}, true},
        {"=?utf-8?B?Sm9zw6k=?= <jose@b\303\274cher.example>", {"jose@b\303\274cher.example"}, true},
        {"<@relay.test,@other.test:a@example.test>", {"a@example.test"}, true},
        {"a@[192.0.2.1]", {"a@[192.0.2.1]"}, true},
        {"a@[192.0.2.1\r\n ]", {"a@[192.0.2.1 ]"}, true},
        {"root", {"root"}, true},
        {"<>", {}, true},
        {"\"open@example.test", {}, false},
        {"a@example.test (open", {}, false},
        {"Jane <jane@example.test", {}, false},
        {"Jane Roe", {}, false},
        {"a@", {}, false},
    };
    for (const AddressRow& row : rows) {
        std::vector<std::string> found;
        EXPECT_EQ(ParseAddressList(row.value, found), row.ok) << row.value;
        if (row.ok) {
            EXPECT_EQ(found, row.expected) << row.value;
        }
    }
}

// The wire form of an input, with and without the dot line ending it.
struct WireRow {
    std::string input;
    bool dotEnds;
    std::string expected;
};

std::string Wire(const std::string& input, bool dotEnds)
{
    FILE* in = StreamOf(input);
    const std::string text = Captured([&](FILE* out) {
        WireWriter writer(out);
        EXPECT_TRUE(writer.CopyFrom(in, dotEnds));
        EXPECT_TRUE(writer.Finish());
    });
    std::fclose(in);
    return text;
}

TEST(RawMessage, WireForm)
{
    const WireRow rows[] = {
        {"a\nb\n", true, "a\r\nb"},
        {"a\r\nb\r\n\r\n", true, "a\r\nb\r\n"},
        {"a\n.\nb\n", true, "a"},
        {"a\n.\r\nb\n", true, "a"},
        {"a\n.", true, "a"},
        {"a\n.\nb\n", false, "a\r\n..\r\nb"},
        {"a\n.", false, "a\r\n.."},
        {".a\n..\n", true, "..a\r\n..."},
        {"bare\rcr\r", true, "bare\r\ncr"},
        {".\r.\n", true, ""},
        {"x\r.\r\nRSET\r\n", false, "x\r\n..\r\nRSET"},
        {"", true, ""},
    };
    for (const WireRow& row : rows)
        EXPECT_EQ(Wire(row.input, row.dotEnds), row.expected) << row.input;
}

// Only the address token gains the domain; a value that does not parse stays.
TEST(LocalNames, QualifiedHeaderValues)
{
    const char* const rows[][2] = {
        {" root\r\n", " root@d.test\r\n"},
        {" root (Cron\r\n Daemon)\r\n", " root@d.test (Cron\r\n Daemon)\r\n"},
        {" Jane <jane>, a@x.test,\"q r\"", " Jane <jane@d.test>, a@x.test,\"q r\"@d.test"},
        {" t: a, <b>; <>, <@r.test:c@x.test>", " t: a@d.test, <b@d.test>; <>, <@r.test:c@x.test>"},
        {" Jane Roe, x", " Jane Roe, x@d.test"},
        {" root, (open", " root, (open"},
    };
    for (const auto& row : rows) EXPECT_EQ(QualifyHeaderValue(row[0], "d.test"), row[1]) << row[0];
}

TEST(LocalNames, AliasesFile)
{
    LocalNames names;
    int bad = 0;
    ASSERT_TRUE(
        ParseAliases("# c\nRoot: a@x.test,\n  # d\n  b\n\nDEFAULT: c@x.test\n", names, &bad));
    EXPECT_EQ(ResolveReceivers({"root", "who", "e@x.test", "a@x.test"}, names),
              (std::vector<std::string>{"a@x.test", "b", "c@x.test", "e@x.test"}));
    for (const char* text : {"a: b@x.test\nno colon\n", "a: b\nx: |/bin/cmd\n"}) {
        EXPECT_FALSE(ParseAliases(text, names, &bad));
        EXPECT_EQ(bad, 2);
    }
}

}  // namespace
