#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Tls.h"
#include "platform/TlsCommon.h"

namespace {

const std::string kHex = "57F66C560E749DABC33AD3000CFAC1E14C68C3A7B344C29F729984FBD02358BF";

TEST(ParseFingerprint, TakesSha256AndSixtyFourHexDigitsWithAnyColonsAndCase)
{
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"SHA256:" + kHex, true},
        {"sha256:57f66c560e749dabc33ad3000cfac1e14c68c3a7b344c29f729984fbd02358bf", true},
        {"SHA256:57:F6:6C:56:0E:74:9D:AB:C3:3A:D3:00:0C:FA:C1:E1:4C:68:C3:A7:B3:44:C2:9F:72:99:"
         "84:FB:D0:23:58:BF",
         true},
        {kHex, false},  // no algorithm
        {"SHA1:" + kHex, false},
        {"SHA256:" + kHex.substr(2), false},  // 62 digits
        {"SHA256:" + kHex + "00", false},     // 66 digits
        {"SHA256:" + kHex.substr(1) + "G", false},
        {"SHA256: " + kHex, false},
        {"SHA256\x1a" + kHex, false},
        {"", false},
    };
    for (const auto& c : cases) {
        std::string hex = "unchanged";
        EXPECT_EQ(platform::ParseFingerprint(c.text, &hex), c.valid) << c.text;
        EXPECT_EQ(hex, c.valid ? kHex : "unchanged") << c.text;
    }
}

TEST(TlsPolicy, PinsCompareEveryByteAndAddressesAreToldFromNames)
{
    EXPECT_TRUE(platform::PinMatches(kHex, kHex));
    EXPECT_FALSE(platform::PinMatches(kHex, kHex.substr(0, 63) + "E"));
    EXPECT_FALSE(platform::PinMatches(kHex, kHex.substr(0, 32)));
    EXPECT_FALSE(platform::PinMatches("", ""));
    for (const char* address : {"127.0.0.1", "::1", "2001:db8::25", "255.255.255.255"})
        EXPECT_TRUE(platform::IsAddressLiteral(address)) << address;
    for (const char* name :
         {"localhost", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4.", "10.0.0.1x"})
        EXPECT_FALSE(platform::IsAddressLiteral(name)) << name;
    std::vector<std::string> names;
    for (int i = 1; i < 1101; ++i) names.push_back("n" + std::to_string(i));
    EXPECT_EQ(platform::NameMismatch(names, "h\x1B"),
              "certificate name mismatch: the certificate is for n1, n2, n3, n4, n5, n6, n7, n8, "
              "n9, n10 and 1090 more; expected h\\x1B");
}

}  // namespace
