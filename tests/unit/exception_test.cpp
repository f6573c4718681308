#include <gtest/gtest.h>

#include "core/CSMTPException.h"

// The text is fixed when it is first read: later pieces change nothing.
TEST(CSMTPExceptionText, ComposedPiecesFreezeAtTheFirstRead)
{
    CSMTPException e(FAILED_TO_CONNECT);
    e << "port " << 25;
    EXPECT_STREQ(e.what(), "port 25");
    e << " more";
    EXPECT_STREQ(e.what(), "port 25");
}
