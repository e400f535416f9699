// mailslot_test.cpp - the job mailslot's platform side: ownership, message
// boundaries, empty and over-long messages.
#include "platform/platform.h"
#include "support/wine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string test_name(const char* what) {
    // Windows mailslots live below \\.\mailslot\ with backslashes.
    if (plat_is_windows)
        return "\\\\.\\mailslot\\Tavni-test\\" + std::to_string(plat_process_id()) + "\\" + what;
    return "Tavni-test/" + std::to_string(plat_process_id()) + "/" + what;
}

} // namespace

TEST(PlatformMailslot, OneOwnerAndNoSenderWithoutOwner) {
    const std::string name = test_name("owner");
    EXPECT_EQ(plat_mailslot_open(name.c_str()), nullptr);
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(plat_mailslot_create(name.c_str()), nullptr);
    EXPECT_NE(plat_last_error(), 0);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    EXPECT_NE(tx, nullptr);
    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
    // The name is free again once its owner closed it.
    EXPECT_EQ(plat_mailslot_open(name.c_str()), nullptr);
    rx = plat_mailslot_create(name.c_str());
    EXPECT_NE(rx, nullptr);
    plat_mailslot_close(rx);
}

TEST(PlatformMailslot, MessagesKeepTheirBoundariesAndOrder) {
    const std::string name = test_name("order");
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);

    char buf[1024];
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), -1); // nothing waiting: no wait either

    const std::string full(1024, 'f');
    const std::string too_long(2000, 'L');
    ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0);
    ASSERT_EQ(plat_mailslot_write(tx, full.data(), full.size()), 0);
    ASSERT_EQ(plat_mailslot_write(tx, too_long.data(), too_long.size()), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "next", 4), 0);

    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 1);
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 1024);
    EXPECT_EQ(std::string(buf, 1024), full);
    // Too long for the buffer: refused, but consumed, so the next one follows.
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), PLAT_MAILSLOT_TOO_LONG);
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "next");
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), -1);

    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
}

TEST(PlatformMailslot, AnEmptyMessageArrivesAsOne) {
    if (under_wine()) GTEST_SKIP() << "Wine delivers no zero-byte mailslot message";
    const std::string name = test_name("empty");
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(plat_mailslot_write(tx, "", 0), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "z", 1), 0);
    char buf[16];
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 0);
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 1);
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), -1);
    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
}

TEST(PlatformMailslot, SenderFailsOnceTheReceiverIsGone) {
    if (plat_is_windows) GTEST_SKIP() << "a mailslot client may write after the server closed";
    const std::string name = test_name("gone");
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    plat_mailslot_close(rx);
    EXPECT_EQ(plat_mailslot_write(tx, "x", 1), -1);
    plat_mailslot_close(tx);
}
