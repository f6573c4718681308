#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "mail/CSMTPEmail.h"

namespace {

struct LineCase {
    const char* name;
    std::string bytes;
    std::string receivers;
};

TEST(AddressFileLines, FilteredEntries)
{
    const LineCase rows[] = {
        {"empty_line", "a@x.test\n\nb@x.test\n", "a@x.test,,b@x.test"},
        {"plus", "first+tag@x.test\n", "first+tag@x.test"},
        {"comma", "a@x.test, b@x.test\n", "a@x.test"},
        {"tab_first", "\ta@x.test\n", ""},
        {"hash_first", "# comment\n", ""},
        {"high_byte", "ab\xe9@x.test\n", "ab"},
        {"crlf", "a@x.test\r\nb@x.test\r\n", "a@x.test,b@x.test"},
        {"no_final_lf", "a@x.test\nb@x.test", "a@x.test,b@x.test"},
        {"display_name", "Jane Roe <jane@x.test>\n", "jane@x.test"},
        {"no_lines", "", "<null>"},
        {"one_empty_line", "\n", ""},
        {"long_line", std::string(200, 'a') + "@x.test\n", std::string(200, 'a') + "@x.test"}};
    for (const LineCase& row : rows) {
        const std::string path = PutFile(TempPath(std::string("addr_") + row.name), row.bytes);
        CSMTPEmail mail;
        mail.AddTo(("@" + path).c_str());
        EXPECT_EQ(Receivers(mail), row.receivers) << row.name;
    }
}

// Lines of address files allow no path separators, so nested files are
// named relative to the current directory.
class AddressFile : public ::testing::Test {
protected:
    AddressFile() : m_Old(std::filesystem::current_path())
    {
        std::filesystem::current_path(::testing::TempDir());
    }
    ~AddressFile() override { std::filesystem::current_path(m_Old); }

private:
    std::filesystem::path m_Old;
};

TEST_F(AddressFile, NestedFileReadInPlaceUnderSameHeader)
{
    PutFile("addr_inner", "b@x.test\nc@x.test\n");
    PutFile("addr_outer", "a@x.test\n@addr_inner\nd@x.test\n");
    CSMTPEmail mail;
    mail.AddCc("@addr_outer");
    EXPECT_EQ(Receivers(mail), "a@x.test,b@x.test,c@x.test,d@x.test");
    EXPECT_STREQ(mail.GetHeader("Cc", ""), "a@x.test,b@x.test,c@x.test,d@x.test");
}

// A refused file adds none of its receivers.
TEST_F(AddressFile, RefusedFiles)
{
    PutFile("addr_self", "a@x.test\n@addr_self\n");
    const struct {
        std::string entry;
        std::string text;  // empty: the text depends on the system
    } rows[] = {
        {"@addr_self",
         "Address file \"@addr_self\" is nested too deep (more than 16 levels). Aborting."},
        {"@no_such_file", "Failed to open address file \"@no_such_file\". Aborting."},
        {"@", "Failed to open address file \"@\". Aborting."},
        {"@.", ""},  // a directory, never taken as an empty list
    };
    for (const auto& row : rows) {
        CSMTPEmail mail;
        const std::string text =
            ThrownText([&] { mail.AddBcc(row.entry.c_str()); }, BAD_ARGUMENTS_FROM_FORM);
        EXPECT_NE(text, "<no exception>") << row.entry;
        EXPECT_TRUE(row.text.empty() || text == row.text) << text;
        EXPECT_FALSE(mail.m_Receivers.has_value()) << row.entry;
    }
}

}  // namespace
