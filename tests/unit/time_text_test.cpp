// Times as the programs print and take them: local with its offset, read
// back as the same moment in any zone, and nothing carried into the next
// month or minute.
#include "runtime/time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

// The times of --at and diff: a text with anything left over or a
// field out of range is refused instead of read as another time; an offset
// from UTC, in each form a person may write it, moves the time by itself.
TEST(TimeText, PointsInTimeAreReadWholeOrRefused) {
    const int64_t day = 1796688000; // 2026-12-08 00:00:00 UTC
    const int64_t t = day + 21 * 3600 + 30 * 60;
    EXPECT_EQ(time_text_parse("1700000000"), 1700000000);
    EXPECT_EQ(time_text_parse("2026-12-08"), day);
    EXPECT_EQ(time_text_parse("2026-12-08 21:30"), t);
    EXPECT_EQ(time_text_parse("2026-12-08T21:30:15"), t + 15);
    EXPECT_EQ(time_text_parse("2026-12-08 21:30:15Z"), t + 15);
    EXPECT_EQ(time_text_parse("2026-12-08 21:30:15 +0100"), t + 15 - 3600);
    EXPECT_EQ(time_text_parse("2026-12-08 21:30+01:00"), t - 3600);
    EXPECT_EQ(time_text_parse("2026-12-08T21:30:00-0530"), t + 5 * 3600 + 1800);
    EXPECT_EQ(time_text_parse("2026-12-08 21:30 -05"), t + 5 * 3600);
    EXPECT_EQ(time_text_parse("2026-12-08 +0200"), day - 2 * 3600);
    EXPECT_EQ(time_text_parse("2024-02-29 00:00:00"), 1709164800); // a leap day
    for (const char* bad :
         {"", "yesterday", "2026-12-08 9pm", "2026-12-08 21", "2026-12-08 21:30:", "2026-13-08",
          "2026-12-08 24:00", "2026-12-08 21:60", "2026-12-08x", "1234567890123",
          "2026-12-08 21:30 +1", "2026-12-08 21:30 +01:0", "2026-12-08 21:30 +0160",
          "2026-12-08 21:30 +1500", "2026-12-08 21:30 CET", "2026-12-08 21:30 +0100 ",
          "2026-12-08 21:30Zx", "1970-01-01 00:00 +0100", "2025-04-31", "2025-02-29"})
        EXPECT_EQ(time_text_parse(bad), -1) << bad;
}

// What the listings print reads back as the same moment, whatever the zone,
// and names its offset.
TEST(TimeText, ShownTimesCarryTheirOffsetAndReadBack) {
    for (int64_t t : {int64_t{1796765415}, int64_t{1783000000}, int64_t{172800}})
        EXPECT_EQ(time_text_parse(time_text_local(t)), t) << time_text_local(t);
#ifndef _WIN32 // zones given by TZ rules: the C library of Linux
    const char* old_tz = getenv("TZ");
    const std::string saved = old_tz ? old_tz : "";
    for (const char* zone :
         {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (int64_t t : {int64_t{1796765415}, int64_t{1783000000}, int64_t{172800}}) {
            const std::string shown = time_text_local(t);
            EXPECT_EQ(time_text_parse(shown), t) << zone << " " << shown;
        }
    }
    setenv("TZ", "IST-5:30", 1);
    tzset();
    EXPECT_EQ(time_text_local(1796765415), "2026-12-09 03:00:15 +0530");
    if (old_tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
#endif
}
