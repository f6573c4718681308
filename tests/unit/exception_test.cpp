#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/CSMTPException.h"

namespace {

TEST(SmtpErrorTable, FourteenFixedTexts)
{
    EXPECT_STREQ(SmtpErrorText[SUCCESS], "Success");
    EXPECT_STREQ(SmtpErrorText[BAD_ARGUMENTS_FROM_FORM], "Bad arguments from form");
    EXPECT_STREQ(SmtpErrorText[FAILED_TO_CONNECT], "FAILED_TO_CONNECT");
    EXPECT_STREQ(SmtpErrorText[FAILED_TO_RESOLVE_HOST_IP_NAME], "Failed to resolve the host IP name");
    EXPECT_STREQ(SmtpErrorText[FAILED_TO_OPEN_TEMPFILE], "Failed to open temporary file");
    EXPECT_STREQ(SmtpErrorText[UNKNOWN_ERROR], "Unknown error");
    for (int code = 0; code < SMTP_ERROR_COUNT; ++code) EXPECT_NE(SmtpErrorText[code], nullptr);
}

TEST(CSMTPExceptionText, EmptyStreamGivesEmptyString)
{
    CSMTPException e(SERVER_ERROR);
    ASSERT_NE(e.what(), nullptr);
    EXPECT_STREQ(e.what(), "");
}

TEST(CSMTPExceptionText, ComposedPiecesAndFreezing)
{
    CSMTPException e(FAILED_TO_CONNECT);
    e << "Failed to connect to server \"" << "mx" << "\" port " << std::uint16_t(25)
      << ". The error code was: " << -3;
    EXPECT_STREQ(e.what(), "Failed to connect to server \"mx\" port 25. The error code was: -3");
    e << " more";
    EXPECT_STREQ(e.what(), "Failed to connect to server \"mx\" port 25. The error code was: -3");
}

TEST(CSMTPExceptionText, CopyTakesUnfrozenStreamAndCode)
{
    CSMTPException source(FAILED_TO_SEND);
    source << "send() failed with error " << 32;
    CSMTPException copy(source);
    source << " later";
    EXPECT_EQ(copy.m_Code, FAILED_TO_SEND);
    EXPECT_STREQ(copy.what(), "send() failed with error 32");
    EXPECT_STREQ(source.what(), "send() failed with error 32 later");
}

TEST(CSMTPExceptionText, ThrownCopyCaughtAsStandardException)
{
    try {
        CSMTPException e(BAD_ARGUMENTS_FROM_FORM);
        e << "refused";
        throw e;
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "refused");
        EXPECT_EQ(dynamic_cast<const CSMTPException&>(caught).m_Code, BAD_ARGUMENTS_FROM_FORM);
    }
}

}  // namespace
