#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/CSMTPException.h"

namespace {

TEST(CSMTPExceptionText, ComposedPiecesFreezeAtTheFirstRead)
{
    CSMTPException e(FAILED_TO_CONNECT);
    EXPECT_STREQ(CSMTPException(SERVER_ERROR).what(), "");
    e << "Failed to connect to server \""
      << "mx"
      << "\" port " << std::uint16_t(25) << ". The error code was: " << -3;
    EXPECT_STREQ(e.what(), "Failed to connect to server \"mx\" port 25. The error code was: -3");
    e << " more";
    EXPECT_STREQ(e.what(), "Failed to connect to server \"mx\" port 25. The error code was: -3");
}

// A throw copies the exception: the copy takes the text composed so far.
TEST(CSMTPExceptionText, ThrownCopyCaughtAsStandardException)
{
    CSMTPException source(BAD_ARGUMENTS_FROM_FORM);
    source << "refused";
    try {
        throw source;
    } catch (const std::exception& caught) {
        source << " later";
        EXPECT_STREQ(caught.what(), "refused");
        EXPECT_EQ(dynamic_cast<const CSMTPException&>(caught).m_Code, BAD_ARGUMENTS_FROM_FORM);
    }
    EXPECT_STREQ(source.what(), "refused later");
}

}  // namespace
