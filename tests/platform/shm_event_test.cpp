// shm_event_test.cpp - the named shared area and the automatic-reset event,
// seen through separate opens as another process would.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string test_name(const char* what) {
    return "/Tavni-test." + std::to_string(plat_process_id()) + "." + what;
}

} // namespace

TEST(PlatformShm, WritesAreSeenByAnotherOpenAndTheNameEndsWithItsHolder) {
    const std::string name = test_name("area");
    void* creator_view = nullptr;
    plat_shm* creator = plat_shm_create(name.c_str(), 4672, &creator_view);
    ASSERT_NE(creator, nullptr);
    void* reader_view = nullptr;
    plat_shm* reader = plat_shm_open(name.c_str(), 4672, &reader_view);
    ASSERT_NE(reader, nullptr);
    memcpy(static_cast<char*>(creator_view) + 4660, "tick", 4);
    EXPECT_EQ(memcmp(static_cast<char*>(reader_view) + 4660, "tick", 4), 0);

    // A reader never maps more than the area holds (Windows rounds an area
    // up to whole pages, so ask for far more).
    void* big_view = nullptr;
    plat_shm* big = plat_shm_open(name.c_str(), 1 << 20, &big_view);
    EXPECT_EQ(big, nullptr);
    plat_shm_close(big);

    // A second creator (a second agent) shares the same bytes; its close
    // leaves the name to the first.
    void* second_view = nullptr;
    plat_shm* second = plat_shm_create(name.c_str(), 4672, &second_view);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(memcmp(static_cast<char*>(second_view) + 4660, "tick", 4), 0);
    plat_shm_close(second);
    plat_shm_close(reader);
    reader = plat_shm_open(name.c_str(), 4672, &reader_view);
    EXPECT_NE(reader, nullptr);
    plat_shm_close(reader);

    plat_shm_close(creator);
    EXPECT_EQ(plat_shm_open(name.c_str(), 4672, &reader_view), nullptr);
}

TEST(PlatformEvent, ASignalIsConsumedOnceHoweverOftenItWasSent) {
    const std::string name = test_name("event");
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
    plat_event* owner = plat_event_create(name.c_str());
    ASSERT_NE(owner, nullptr);
    EXPECT_FALSE(plat_event_check(owner));

    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_TRUE(plat_event_check(owner));
    EXPECT_FALSE(plat_event_check(owner));
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_TRUE(plat_event_check(owner));
    EXPECT_FALSE(plat_event_check(owner));
    plat_event_close(sender);

    plat_event_close(owner);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
}

TEST(PlatformEvent, SignalsLeftWithoutALiveOwnerDoNotReachTheNextOne) {
    // POSIX names outlive their processes; on Windows an event with no
    // handle left is gone by itself, and one that a sender still holds is
    // the same event for the next agent.
    if (plat_is_windows) GTEST_SKIP() << "Windows events end with their last handle";
    const std::string name = test_name("stale");
    plat_event* first = plat_event_create(name.c_str());
    ASSERT_NE(first, nullptr);
    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr);
    plat_event_close(first); // the owner ends; the sender still holds it open
    EXPECT_EQ(plat_event_signal(sender), 0);
    plat_event* next = plat_event_create(name.c_str());
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(plat_event_check(next));
    plat_event_close(sender);
    plat_event_close(next);
}

TEST(PlatformEvent, MissingEventNeverReadsAsSignalled) {
    EXPECT_FALSE(plat_event_check(nullptr));
    EXPECT_EQ(plat_event_signal(nullptr), -1);
}
