#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "vrc_debug.h"

TEST(Log, CopyIsEmptyAtStart)
{
    char buf[100];
    EXPECT_EQ(vrc_log_copy(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}
