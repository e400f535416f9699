// Times and server paths as tavni-ctl's reading verbs take them: every
// field checked, nothing carried into the next month or minute, and paths
// that could climb out refused.
#include "tools/ctl/ctl_text.h"

#include <gtest/gtest.h>

TEST(CtlText, AMissingTimeIsADash) {
    EXPECT_EQ(ctl_time_text(0), "-");
    EXPECT_EQ(ctl_time_text(1765324800), time_text_local(1765324800));
}

TEST(CtlText, ServerPathsAreNormalAndNeverClimb) {
    std::string out;
    EXPECT_TRUE(ctl_server_path("", &out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(ctl_server_path("/", &out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(ctl_server_path("//1/Today//Root/x/", &out));
    EXPECT_EQ(out, "1/Today/Root/x");
    EXPECT_FALSE(ctl_server_path("/1/../2", &out));
    EXPECT_FALSE(ctl_server_path("/1/./2", &out));
    EXPECT_FALSE(ctl_server_path("/" + std::string(2000, 'a'), &out));
}
