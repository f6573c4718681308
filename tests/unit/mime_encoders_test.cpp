#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "TestSupport.h"
#include "mime/Encoders.h"

namespace {

std::string Base64(const std::string& data)
{
    return EncodeBase64(data.data(), data.size());
}

std::string Qp(const std::string& text)
{
    return EncodeQuotedPrintable(text.data(), text.size());
}

struct Row {
    const char* name;
    std::string input;
    std::string expected;
};

TEST(Base64Encoder, LinesAndPadding)
{
    const std::string line57 = std::string(57, '\0');
    const std::string line76 = std::string(76, 'A') + "\r\n";
    const Row rows[] = {
        {"empty", "", ""},
        {"one byte", "M", "TQ==\r\n"},
        {"two bytes", "Ma", "TWE=\r\n"},
        {"three bytes", "Man", "TWFu\r\n"},
        {"57 bytes", line57, line76},
        {"58 bytes", line57 + "M", line76 + "TQ==\r\n"},
        {"114 bytes", line57 + line57, line76 + line76},
        {"high bits", "\xff\xfe\xfd", "//79\r\n"},
    };
    for (const Row& row : rows) EXPECT_EQ(Base64(row.input), row.expected) << row.name;
}

std::string RandomBytes(std::mt19937& rng, std::size_t n, const std::string& alphabet = "")
{
    std::string data(n, '\0');
    for (char& c : data)
        c = alphabet.empty() ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
    return data;
}

// What an encoder makes of data given in pieces of up to most - 1 bytes.
template <class Encoder, class Byte>
std::string InPieces(const std::string& data, std::mt19937& rng, unsigned most)
{
    std::string out;
    Encoder encoder;
    for (std::size_t at = 0, n; at < data.size(); at += n) {
        n = std::min<std::size_t>(data.size() - at, rng() % most);
        encoder.Encode(reinterpret_cast<const Byte*>(data.data()) + at, n, out);
    }
    encoder.Finish(out);
    return out;
}

// Pieces of any size give the same bytes as the whole input.
TEST(Base64Encoder, PiecesGiveTheSameBytes)
{
    std::mt19937 rng(1);
    for (int round = 0; round < 200; ++round) {
        const std::string data = RandomBytes(rng, rng() % 400);
        ASSERT_EQ((InPieces<Base64Encoder, unsigned char>(data, rng, 70)), Base64(data))
            << "round " << round;
    }
}

TEST(QuotedPrintableEncoder, Table)
{
    const std::string x72 = std::string(72, 'x');
    const std::string x73 = std::string(73, 'x');
    const Row rows[] = {
        {"empty", "", ""},
        {"equals sign", "x=1", "x=3D1=\r\n"},
        {"e acute", "\xe9", "=E9=\r\n"},
        {"DEL", "\x7f", "=7F=\r\n"},
        {"control byte", "\x01", "=01=\r\n"},
        {"CR LF text", "ab\r\ncd\r\n", "ab\r\ncd\r\n"},
        {"text of CR LF", "\r\n", "\r\n"},
        {"bare LF becomes CR LF", "ab\ncd\n", "ab\r\ncd\r\n"},
        {"bare CR is encoded", "a\rb", "a=0Db=\r\n"},
        {"CR before CR LF", "a\r\r\n", "a=0D\r\n"},
        {"blank before LF", " \n", "=20\r\n"},
        {"blank before CR LF", "a \r\n", "a=20\r\n"},
        {"TAB before CR LF", "a\t\r\n", "a=09\r\n"},
        {"only the last blank", "a  \r\n", "a =20\r\n"},
        {"blank before bare CR", "a \rb", "a =0Db=\r\n"},
        {"blank inside a line", "a b\tc\r\n", "a b\tc\r\n"},
        {"blank at the end", "a ", "a =\r\n"},
        {"72 characters", x72, x72 + "=\r\n"},
        {"73 characters", x73, x73 + "=\r\n"},
        {"74 characters", x73 + "y", x73 + "=\r\ny=\r\n"},
        {"73 characters and CR LF", x73 + "\r\n", x73 + "=\r\n\r\n"},
        {"CR LF is never split", x72 + "\r\nz", x72 + "\r\nz=\r\n"},
        {"73 characters and a dot", x73 + ".", x73 + "=\r\n=2E=\r\n"},
        {"73 characters and a dot line end", x73 + ".\r\n", x73 + "=\r\n=2E\r\n"},
        {"dot after a hard break stays", "a\r\n.b\r\n", "a\r\n.b\r\n"},
        {"encoded byte across the limit", x72 + "\xe9z", x72 + "=E9=\r\nz=\r\n"},
        {"blank at the limit before CR LF", x72 + " \r\n", x72 + "=20=\r\n\r\n"},
        {"zero byte in memory", std::string("a\0b", 3), "a=00b=\r\n"},
    };
    for (const Row& row : rows) EXPECT_EQ(Qp(row.input), row.expected) << row.name;
}

// Lines stay within 76 characters, no bare CR or LF and no trailing white
// space leave the encoder, whatever the input and however it is cut.
TEST(QuotedPrintableEncoder, LinesStayWithinLimitsForAnyInput)
{
    std::mt19937 rng(3);
    const std::string alphabets[] = {"", "ab .\t\r\n=", "xxxxxxxxxxxxxxxxxxx \r\n.", "\xe9 x\n"};
    for (int round = 0; round < 400; ++round) {
        const std::string data = RandomBytes(rng, rng() % 600, alphabets[round % 4]);
        const std::string whole = Qp(data);
        ASSERT_EQ((InPieces<QuotedPrintableEncoder, char>(data, rng, 9)), whole)
            << "round " << round;

        bool afterSoftBreak = false;
        for (std::size_t start = 0, end; start < whole.size(); start = end + 2) {
            end = whole.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "output ends with CR LF";
            const std::string line = whole.substr(start, end - start);
            ASSERT_LE(line.size(), 76u);
            ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare CR or LF";
            const char last = line.empty() ? 0 : line.back();
            ASSERT_TRUE(last != ' ' && last != '\t' && !(afterSoftBreak && line[0] == '.')) << line;
            afterSoftBreak = last == '=';
        }
    }
}

TEST(QuotedPrintableEncoder, TextToFileStopsAtZeroByte)
{
    const auto write = [](FILE* output) {
        EXPECT_TRUE(EncodeQuotedPrintableText("a=b\r\n\0ignored", output));
    };
    EXPECT_EQ(Captured(write), "a=3Db\r\n");
}

}  // namespace
