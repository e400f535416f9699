// Times and server paths as tavni-ctl's reading verbs take them: every
// field checked, nothing carried into the next month or minute, and paths
// that could climb out refused.
#include "tools/ctl/ctl_text.h"

#include <gtest/gtest.h>

TEST(CtlText, TimesAreSecondsOrUtcDatesAndPrintBack) {
    EXPECT_EQ(ctl_parse_time("0"), 0);
    EXPECT_EQ(ctl_parse_time("1765324800"), 1765324800);
    EXPECT_EQ(ctl_parse_time("2025-12-10"), 1765324800);
    EXPECT_EQ(ctl_parse_time("2025-12-10 01:02"), 1765324800 + 3720);
    EXPECT_EQ(ctl_parse_time("2025-12-10T01:02:03Z"), 1765324800 + 3723);
    EXPECT_EQ(ctl_parse_time("2024-02-29 00:00:00"), 1709164800);
    EXPECT_EQ(ctl_time_text(1765324800 + 3723), "2025-12-10 01:02:03 UTC");
    EXPECT_EQ(ctl_time_text(0), "-");
    for (const char* bad : {"", "yesterday", "2025-12-10 1:02", "2025-12-10 01:02:", "2025-13-01",
                            "2025-02-29", "2025-04-31", "2025-12-10 24:00", "2025-12-10 01:60",
                            "1969-12-31", "2025-12-10 01:02:03 +0100", "1234567890123"})
        EXPECT_EQ(ctl_parse_time(bad), -1) << bad;
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
