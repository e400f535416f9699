// Tests of the text helpers: hex, durations, error texts, split, replace.
#include "common/text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

TEST(Text, HexRoundTrip) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x10};
    char out[7];
    EXPECT_STREQ(hex_encode(bytes, 3, out), "00AB10");
    EXPECT_EQ(hex_lower(bytes, 3), "00ab10");
    unsigned char back[2];
    hex_decode("aB0f", 2, back);
    EXPECT_EQ(back[0], 0xAB);
    EXPECT_EQ(back[1], 0x0F);
}

TEST(Text, DurationText) {
    char out[9];
    struct { uint32_t s; const char* t; } cases[] = {{0, "00:00:00"},   {59, "00:00:59"},    {61, "00:01:01"},
                                                     {3600, "01:00:00"}, {3725, "01:02:05"},  {36000, "10:00:00"},
                                                     {359999, "99:59:59"}, {400000, "99:06:40"}};
    for (auto& c : cases) {
        EXPECT_EQ(duration_text(c.s, out), 8);
        EXPECT_STREQ(out, c.t) << c.s;
    }
}

TEST(Text, ErrorTextKeepsErrno) {
    errno = 1234;
    EXPECT_STREQ(error_text(99999), "Unknown error");
    EXPECT_EQ(errno, 1234);
    EXPECT_STRNE(error_text(ENOENT), "Unknown error");
}

TEST(Text, SplitDropsEmptyPieces) {
    blob_list* l = split_to_list(",a,,b,", ",", nullptr);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(blob_list_count(l), 2);
    EXPECT_STREQ(static_cast<char*>(blob_list_get(l, 1)), "b");
    split_to_list("whole", ",", l);
    split_to_list("", ",", l);
    EXPECT_EQ(blob_list_count(l), 3);
    errno = 0;
    EXPECT_EQ(split_to_list("x", "", l), nullptr);
    EXPECT_EQ(errno, EINVAL);
    blob_list_free(l);
}

TEST(Text, ReplaceAllStopsAtCapacity) {
    char buf[32] = "a\rb\rc\r";
    replace_all(buf, sizeof buf, "\r", "");
    EXPECT_STREQ(buf, "abc");
    char small[7] = "x.x.x";
    replace_all(small, sizeof small, ".", "--");
    EXPECT_STREQ(small, "x--x.x"); // the second replacement would reach the capacity
}

TEST(Text, CopyFitsOnlyWhenTheTerminatorFits) {
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(copy_fits(out, sizeof out, "abcdef", 3));
    EXPECT_STREQ(out, "abc");
    errno = 0;
    EXPECT_FALSE(copy_fits(out, sizeof out, "wxyz", 4));
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(out, "abc"); // untouched
    EXPECT_FALSE(copy_fits(nullptr, 8, "a", 1));
}
