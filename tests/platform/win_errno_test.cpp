// win_errno_test.cpp - the Windows translation of system codes to errno, held
// against the numbers files and callers have always seen: every code up to
// 2000 gives the same errno (or none) as the fixed table below.
// Built for Windows only.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

// The translation as numbers: errno, then the system codes that give it.
int expected_errno(int code) {
    static const struct {
        int err;
        int codes[10];
    } table[] = {
        {22, {1, 12, 13, 87, 131, 123}},
        {2, {2, 3, 15, 18, 53, 67, 161, 206}},
        {24, {4}},
        {13, {5, 16, 33, 65, 82, 83, 108, 132, 158, 167}},
        {9, {6, 114, 130}},
        {12, {7, 8, 9, 1816}},
        {7, {10}},
        {8, {11}},
        {18, {17}},
        {17, {80, 183}},
        {11, {89, 164, 215}},
        {32, {109}},
        {28, {112}},
        {10, {128, 129}},
        {41, {145}},
    };
    if (code <= 0) return -1;
    for (const auto& row : table)
        for (int c : row.codes)
            if (c == code) return row.err;
    return -1;
}

} // namespace

TEST(WinErrors, SystemCodesKeepTheirErrno) {
    EXPECT_EQ(22, plat_errno_for_error(87));
    EXPECT_EQ(2, plat_errno_for_error(206));
    EXPECT_EQ(13, plat_errno_for_error(5));
    EXPECT_EQ(12, plat_errno_for_error(1816));
    EXPECT_EQ(17, plat_errno_for_error(183));
    EXPECT_EQ(41, plat_errno_for_error(145));
    EXPECT_EQ(10, plat_errno_for_error(129));
    EXPECT_EQ(-1, plat_errno_for_error(14));
    EXPECT_EQ(-1, plat_errno_for_error(0));
    EXPECT_EQ(-1, plat_errno_for_error(-5));
    for (int code = 1; code <= 2000; code++)
        EXPECT_EQ(expected_errno(code), plat_errno_for_error(code)) << "code " << code;
}
