// Which runs a retention policy keeps: spans as typed, each rule's buckets
// (ISO weeks across a year's end included), the calendar span before the
// newest run, and the runs that are always kept.
#include "tools/server/retention.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Seconds since 1970 of a UTC date and hour, counted day by day: an oracle
// independent of the module's date arithmetic.
int64_t at(int y, int m, int d, int h = 12) {
    static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t days = 0;
    for (int yy = 1970; yy < y; yy++)
        days += (yy % 4 == 0 && yy % 100 != 0) || yy % 400 == 0 ? 366 : 365;
    for (int mm = 1; mm < m; mm++)
        days += len[mm - 1] + (mm == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0));
    days += d - 1;
    return days * 86400 + h * 3600;
}

// The kept runs' ids, each with its reasons joined.
std::map<int64_t, std::string> kept(const retention_policy& p,
                                    const std::vector<retention_run>& runs) {
    std::map<int64_t, std::string> out;
    for (const retention_verdict& v : retention_apply(p, runs)) {
        if (!v.keep) continue;
        std::string r;
        for (const std::string& s : v.reasons)
            r += (r.empty() ? "" : ", ") + s;
        out[v.id] = r;
    }
    return out;
}

TEST(Retention, SpansAreReadAsTypedAndOddOnesRefused) {
    retention_span s;
    std::string err;
    ASSERT_TRUE(retention_span_parse("1y6m", &s, &err)) << err;
    EXPECT_EQ(s.years, 1u);
    EXPECT_EQ(s.months, 6u);
    EXPECT_EQ(retention_span_text(s), "1y6m");
    ASSERT_TRUE(retention_span_parse("36h", &s, &err)) << err;
    EXPECT_EQ(s.hours, 36u);
    EXPECT_EQ(s.years, 0u);
    ASSERT_TRUE(retention_span_parse("1m15d", &s, &err)) << err;
    EXPECT_EQ(retention_span_text(s), "1m15d");
    for (const char* bad : {"", "5", "d", "3w", "1d1d", "1234567d", "-1d", "1d ", "1.5d"})
        EXPECT_FALSE(retention_span_parse(bad, &s, &err)) << bad;
}

TEST(Retention, TheNewestPerBucketIsKeptForTheLastBucketsThatHaveRuns) {
    // Three runs on one day, one the day before, none for a week, one more.
    std::vector<retention_run> runs = {
        {1, at(2026, 11, 30)},    {2, at(2026, 12, 8, 9)},  {3, at(2026, 12, 9, 8)},
        {4, at(2026, 12, 9, 13)}, {5, at(2026, 12, 9, 20)},
    };
    retention_policy p;
    p.daily = 3;
    auto k = kept(p, runs);
    ASSERT_EQ(k.size(), 3u);
    EXPECT_EQ(k[5], "newest, daily 2026-12-09");
    EXPECT_EQ(k[2], "daily 2026-12-08");
    EXPECT_EQ(k[1], "daily 2026-11-30"); // a day without runs is no bucket

    p = retention_policy();
    p.last = 2;
    p.hourly = 1;
    k = kept(p, runs);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[5], "newest, last 1, hourly 2026-12-09 20h");
    EXPECT_EQ(k[4], "last 2");

    p = retention_policy();
    p.monthly = 2;
    p.yearly = 5;
    k = kept(p, runs);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[5], "newest, monthly 2026-12, yearly 2026");
    EXPECT_EQ(k[1], "monthly 2026-11");
}

TEST(Retention, WeeksAreIsoWeeksAcrossTheYearsEnd) {
    // 2026-12-31 is a Thursday of 2026-W53, as are 2027-01-01 and -03;
    // 2027-01-04 begins 2027-W01. 2024-12-30, a Monday, is in 2025-W01.
    std::vector<retention_run> runs = {
        {1, at(2024, 12, 30)},   {2, at(2026, 12, 31)},  {3, at(2027, 1, 1)},
        {4, at(2027, 1, 3, 23)}, {5, at(2027, 1, 4, 0)},
    };
    retention_policy p;
    p.weekly = 3;
    auto k = kept(p, runs);
    ASSERT_EQ(k.size(), 3u);
    EXPECT_EQ(k[5], "newest, weekly 2027-W01");
    EXPECT_EQ(k[4], "weekly 2026-W53");
    EXPECT_EQ(k[1], "weekly 2025-W01");
}

TEST(Retention, WithinCountsBackByTheCalendarFromTheNewestRun) {
    // A month before March 31 is the end of February.
    std::vector<retention_run> runs = {
        {1, at(2026, 2, 27)},
        {2, at(2026, 2, 28)},
        {3, at(2026, 3, 31)},
    };
    retention_policy p;
    std::string err;
    ASSERT_TRUE(retention_span_parse("1m", &p.within, &err)) << err;
    auto k = kept(p, runs);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[3], "newest, within 1m");
    EXPECT_EQ(k[2], "within 1m");
    // Hours count too, and a year back from a leap day is February 28.
    ASSERT_TRUE(retention_span_parse("1y1h", &p.within, &err)) << err;
    runs = {{1, at(2023, 2, 28, 10)}, {2, at(2023, 2, 28, 11)}, {3, at(2024, 2, 29, 12)}};
    k = kept(p, runs);
    EXPECT_EQ(k.count(1), 0u);
    EXPECT_EQ(k.count(2), 1u);
}

TEST(Retention, TheNewestAndLockedRunsAreAlwaysKept) {
    retention_policy p;
    EXPECT_TRUE(retention_policy_empty(p));
    std::vector<retention_run> runs = {
        {7, at(2026, 1, 1)}, {8, at(2026, 1, 2), true}, {9, at(2026, 1, 3)}, {10, at(2026, 1, 3)}};
    auto verdicts = retention_apply(p, runs);
    ASSERT_EQ(verdicts.size(), 4u);
    EXPECT_EQ(verdicts[0].id, 10); // a tie goes to the larger id
    auto k = kept(p, runs);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[10], "newest");
    EXPECT_EQ(k[8], "locked");
    EXPECT_TRUE(kept(p, {}).empty());
    p.yearly = 1;
    EXPECT_FALSE(retention_policy_empty(p));
}

} // namespace
