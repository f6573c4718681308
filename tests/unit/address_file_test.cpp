#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "mail/AddressFile.h"
#include "mail/CSMTPEmail.h"

namespace {

std::string Dir()
{
    return ::testing::TempDir();
}

std::string WriteFile(const std::string& name, const std::string& bytes)
{
    const std::string path = Dir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string Receivers(const CSMTPEmail& mail)
{
    return mail.m_Receivers ? *mail.m_Receivers : "<null>";
}

struct LineCase {
    const char* name;
    std::string bytes;
    const char* receivers;
};

class AddressFileLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(AddressFileLines, FilteredEntries)
{
    const std::string path = WriteFile(std::string("addr_") + GetParam().name, GetParam().bytes);
    CSMTPEmail mail;
    mail.AddTo(("@" + path).c_str());
    EXPECT_EQ(Receivers(mail), GetParam().receivers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddressFileLines,
    ::testing::Values(
        LineCase{"empty_line", "a@x.test\n\nb@x.test\n", "a@x.test,,b@x.test"},
        LineCase{"plus", "first+tag@x.test\n", "first+tag@x.test"},
        LineCase{"comma", "a@x.test, b@x.test\n", "a@x.test"},
        LineCase{"tab_first", "\ta@x.test\n", ""},
        LineCase{"hash_first", "# comment\n", ""},
        LineCase{"high_byte", "ab\xe9@x.test\n", "ab"},
        LineCase{"crlf", "a@x.test\r\nb@x.test\r\n", "a@x.test,b@x.test"},
        LineCase{"no_final_lf", "a@x.test\nb@x.test", "a@x.test,b@x.test"},
        LineCase{"display_name", "Jane Roe <jane@x.test>\n", "jane@x.test"},
        LineCase{"no_lines", "", "<null>"},
        LineCase{"one_empty_line", "\n", ""}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(AddressFile, LongLineIsOneEntry)
{
    const std::string local(200, 'a');
    const std::string path = WriteFile("addr_long", local + "@x.test\n");
    CSMTPEmail mail;
    mail.AddTo(("@" + path).c_str());
    EXPECT_EQ(Receivers(mail), local + "@x.test");
}

// Lines of address files allow no path separators, so nested files are
// named relative to the current directory.
class InTempDir {
public:
    InTempDir() : m_Old(std::filesystem::current_path()) { std::filesystem::current_path(Dir()); }
    ~InTempDir() { std::filesystem::current_path(m_Old); }

private:
    std::filesystem::path m_Old;
};

TEST(AddressFile, NestedFileReadInPlaceUnderSameHeader)
{
    InTempDir here;
    WriteFile("addr_inner", "b@x.test\nc@x.test\n");
    const std::string outer = WriteFile("addr_outer", "a@x.test\n@addr_inner\nd@x.test\n");
    CSMTPEmail mail;
    mail.AddCc(("@" + outer).c_str());
    EXPECT_EQ(Receivers(mail), "a@x.test,b@x.test,c@x.test,d@x.test");
    EXPECT_STREQ(mail.GetHeader("Cc", ""), "a@x.test,b@x.test,c@x.test,d@x.test");
}

TEST(AddressFile, SelfNamingFileRefusedAsTooDeep)
{
    InTempDir here;
    WriteFile("addr_self", "a@x.test\n@addr_self\n");
    CSMTPEmail mail;
    try {
        mail.AddTo("@addr_self");
        ADD_FAILURE() << "accepted";
    } catch (const CSMTPException& e) {
        EXPECT_EQ(e.m_Code, BAD_ARGUMENTS_FROM_FORM);
        EXPECT_STREQ(e.what(),
                     "Address file \"@addr_self\" is nested too deep (more than 16 levels). Aborting.");
    }
    // A refused file adds none of its receivers.
    EXPECT_FALSE(mail.HasReceivers());
}

TEST(AddressFile, MissingFileAndBareAtRefused)
{
    for (const std::string& entry : {"@" + Dir() + "no_such_file", std::string("@")}) {
        CSMTPEmail mail;
        try {
            mail.AddBcc(entry.c_str());
            ADD_FAILURE() << "accepted " << entry;
        } catch (const CSMTPException& e) {
            EXPECT_EQ(e.m_Code, BAD_ARGUMENTS_FROM_FORM);
            EXPECT_EQ(std::string(e.what()),
                      "Failed to open address file \"" + entry + "\". Aborting.");
        }
        EXPECT_FALSE(mail.m_Receivers.has_value());
    }
}

TEST(AddressFile, DirectoryIsRefusedNotTakenAsEmpty)
{
    CSMTPEmail mail;
    EXPECT_THROW(mail.AddTo(("@" + Dir()).c_str()), CSMTPException);
    EXPECT_FALSE(mail.m_Receivers.has_value());
}

}  // namespace
