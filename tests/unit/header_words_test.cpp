#include <gtest/gtest.h>

#include <string>

#include "mime/HeaderWords.h"

namespace {

std::string Rep(const char* text, int count)
{
    std::string out;
    while (count-- > 0) out += text;
    return out;
}

struct WordRow {
    const char* name;
    std::string text;
    const char* charset;
    std::size_t column;
    std::string expected;
};

TEST(HeaderWords, EncodedWords)
{
    const std::string q = "=?utf-8?Q?";
    const WordRow rows[] = {
        {"Q shorter", "Caf\xc3\xa9 au lait", "utf-8", 9, q + "Caf=C3=A9_au_lait?="},
        {"B shorter", "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1", "utf-8", 9,
         "=?utf-8?B?zqnOvM6tzrPOsQ==?="},
        {"a tie is Q, the blank inside", "a \xc3\xa9", "UTF-8", 9, "=?UTF-8?Q?a_=C3=A9?="},
        {"control bytes encoded", std::string("a\0\tb", 4), "utf-8", 9, q + "a=00=09b?="},
        {"other charset, bytes", "Gr\374\337e", "iso-8859-1", 9, "=?iso-8859-1?B?R3L832U=?="},
        {"word of 75", "\xc3\xa9" + Rep("a", 57) + "b", "utf-8", 1,
         q + "=C3=A9" + Rep("a", 57) + "?=\r\n\t" + q + "b?="},
        {"line of 78", "\xc3\xa9" + Rep("a", 52), "utf-8", 9,
         q + "=C3=A9" + Rep("a", 51) + "?=\r\n\t" + q + "a?="},
        {"character not split", Rep("a", 60) + "\xc3\xa9", "utf-8", 1,
         q + Rep("a", 60) + "?=\r\n\t=?utf-8?B?w6k=?="},
        {"no room on the first line", "\xc3\xa9", "utf-8", 70, "\r\n\t=?utf-8?B?w6k=?="},
    };
    for (const WordRow& row : rows)
        EXPECT_EQ(EncodeWords(row.text, row.charset, row.column), row.expected) << row.name;
    EXPECT_EQ(EncodeUnstructured("Subject", "plain  ASCII =?x?Q?y?=", "utf-8"),
              "plain  ASCII =?x?Q?y?=");
}

TEST(HeaderWords, ExtendedParameterContinuations)
{
    const std::string ae = "%C3%A4";
    EXPECT_EQ(EncodeExtendedParameter("filename", "Pr\xc3\xa4sentation 1.pdf", "utf-8"),
              "filename*=utf-8''Pr" + ae + "sentation%201.pdf");
    EXPECT_EQ(
        EncodeExtendedParameter("filename", Rep("\xc3\xa4", 30) + ".pdf", "utf-8"),
        "filename*0*=utf-8''" + Rep(ae.c_str(), 9) + ";\r\n\tfilename*1*=" + Rep(ae.c_str(), 10) +
            ";\r\n\tfilename*2*=" + Rep(ae.c_str(), 10) + ";\r\n\tfilename*3*=" + ae + ".pdf");
}

}  // namespace
