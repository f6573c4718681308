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

class AddressFileLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(AddressFileLines, FilteredEntries)
{
    const std::string path = TempPath(std::string("addr_") + GetParam().name);
    PutFile(path, GetParam().bytes);
    CSMTPEmail mail;
    mail.AddTo(("@" + path).c_str());
    EXPECT_EQ(Receivers(mail), GetParam().receivers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressFileLines,
    ::testing::Values(LineCase{"empty_line", "a@x.test\n\nb@x.test\n", "a@x.test,,b@x.test"},
                      LineCase{"plus", "first+tag@x.test\n", "first+tag@x.test"},
                      LineCase{"comma", "a@x.test, b@x.test\n", "a@x.test"},
                      LineCase{"tab_first", "\ta@x.test\n", ""},
                      LineCase{"hash_first", "# comment\n", ""},
                      LineCase{"high_byte", "ab\xe9@x.test\n", "ab"},
                      LineCase{"crlf", "a@x.test\r\nb@x.test\r\n", "a@x.test,b@x.test"},
                      LineCase{"no_final_lf", "a@x.test\nb@x.test", "a@x.test,b@x.test"},
                      LineCase{"display_name", "Jane Roe <jane@x.test>\n", "jane@x.test"},
                      LineCase{"no_lines", "", "<null>"}, LineCase{"one_empty_line", "\n", ""},
                      LineCase{"long_line", std::string(200, 'a') + "@x.test\n",
                               std::string(200, 'a') + "@x.test"}),
    [](const ::testing::TestParamInfo<LineCase>& test) { return std::string(test.param.name); });

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
        try {
            mail.AddBcc(row.entry.c_str());
            ADD_FAILURE() << "accepted " << row.entry;
        } catch (const CSMTPException& e) {
            EXPECT_EQ(e.m_Code, BAD_ARGUMENTS_FROM_FORM);
            if (!row.text.empty()) {
                EXPECT_EQ(e.what(), row.text);
            }
        }
        EXPECT_FALSE(mail.m_Receivers.has_value()) << row.entry;
    }
}

}  // namespace
