// shm_event_test.cpp - the named shared area and the automatic-reset event,
// seen through separate opens as another process would.
#include "platform/platform.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string test_name(const char* what) {
    return "/Tavni-test." + std::to_string(plat_process_id()) + "." + what;
}

} // namespace

TEST(PlatformShm, WritesAreSeenByAnotherOpenAndTheNameEndsWithItsHolder) {
    const std::string name = test_name("area");
    plat_shm* creator = plat_shm_create(name.c_str(), 4672, nullptr);
    ASSERT_NE(creator, nullptr);
    plat_shm* reader = plat_shm_open(name.c_str());
    ASSERT_NE(reader, nullptr);
    std::string record(4672, '\0');
    record.replace(4660, 4, "tick");
    ASSERT_EQ(plat_shm_write(creator, record.data(), record.size()), 0);
    char seen[4672];
    ASSERT_GE(plat_shm_read(reader, seen, sizeof seen), 4672);
    EXPECT_EQ(memcmp(seen + 4660, "tick", 4), 0);
    // A reader cannot write.
    EXPECT_EQ(plat_shm_write(reader, record.data(), record.size()), -1);

    // A second creator (a second agent) shares the same bytes; its close
    // leaves the name to the first.
    plat_shm* second = plat_shm_create(name.c_str(), 4672, nullptr);
    ASSERT_NE(second, nullptr);
    record.replace(4660, 4, "tock");
    ASSERT_EQ(plat_shm_write(second, record.data(), record.size()), 0);
    ASSERT_GE(plat_shm_read(reader, seen, sizeof seen), 4672);
    EXPECT_EQ(memcmp(seen + 4660, "tock", 4), 0);
    plat_shm_close(second);
    plat_shm_close(reader);
    reader = plat_shm_open(name.c_str());
    EXPECT_NE(reader, nullptr);
    plat_shm_close(reader);

    plat_shm_close(creator);
    EXPECT_EQ(plat_shm_open(name.c_str()), nullptr);
}

TEST(PlatformEvent, ASignalIsConsumedOnceHoweverOftenItWasSent) {
    const std::string name = test_name("event");
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
    plat_event* owner = plat_event_create(name.c_str());
    ASSERT_NE(owner, nullptr);
    EXPECT_FALSE(plat_event_check(owner));

    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr);
    EXPECT_TRUE(plat_event_accepts_caller(sender, nullptr)) << "the creator's own user";
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
    // The sender may be told that no one listens any more; either way the
    // signal must not reach the next owner.
    plat_event_signal(sender);
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

// A creator that is killed cannot remove its names; on Linux they stay. The
// next opener (tavni-ctl stop, progress) must still find no agent, as it
// would on Windows, where the objects end with their last handle. The
// creator is this test program itself, started again as the helper below.
TEST(PlatformNamedObjects, AKilledCreatorLeavesNothingToOpen) {
    if (plat_is_windows) GTEST_SKIP() << "Windows objects end with their last handle";
    char exe[4096];
    ASSERT_EQ(plat_exe_path(exe, sizeof exe), 0);
    const std::string name = test_name("killed");
    const std::string ready = std::string("/tmp") + name + ".ready";
    std::remove(ready.c_str());
    const std::string line = "sh -c \"TAVNI_TEST_HOLDER=" + name + " exec " + program_runner() +
                             "'" + exe +
                             "' --gtest_filter=PlatformNamedObjects.HolderForTheKillTest\"";
    plat_process* child = plat_process_start(line.c_str());
    ASSERT_NE(child, nullptr);
    bool up = false;
    for (int i = 0; i < 2000 && !up; i++) { // until the helper says it holds both
        FILE* f = fopen(ready.c_str(), "rb");
        up = f != nullptr;
        if (f) fclose(f);
        plat_wait_result r = PLAT_WAIT_FAILED;
        if (!up) plat_process_wait(child, 10, &r);
        if (r == PLAT_WAIT_ENDED) break;
    }
    ASSERT_TRUE(up) << "the helper did not come up";
    plat_shm* live_area = plat_shm_open(name.c_str());
    plat_event* live_event = plat_event_open(name.c_str());
    EXPECT_NE(live_area, nullptr);
    EXPECT_NE(live_event, nullptr);
    plat_shm_close(live_area);
    plat_event_close(live_event);

    ASSERT_EQ(plat_process_terminate(child, 137), 0); // SIGKILL: nothing is cleaned up
    plat_process_close(child);
    std::remove(ready.c_str());
    EXPECT_EQ(plat_shm_open(name.c_str()), nullptr);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);

    // The next creator takes the names over and is found again; its close
    // removes them.
    plat_shm* area = plat_shm_create(name.c_str(), 64, nullptr);
    plat_event* event = plat_event_create(name.c_str());
    ASSERT_NE(area, nullptr);
    ASSERT_NE(event, nullptr);
    plat_event* opened = plat_event_open(name.c_str());
    EXPECT_NE(opened, nullptr);
    plat_event_close(opened);
    plat_event_close(event);
    plat_shm_close(area);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
}

// Run only as the helper of the test above: holds an area and an event of
// the given name until it is killed.
TEST(PlatformNamedObjects, HolderForTheKillTest) {
    const char* name = getenv("TAVNI_TEST_HOLDER");
    if (!name) GTEST_SKIP() << "the helper of AKilledCreatorLeavesNothingToOpen";
    plat_shm* area = plat_shm_create(name, 64, nullptr);
    plat_event* event = plat_event_create(name);
    ASSERT_NE(area, nullptr);
    ASSERT_NE(event, nullptr);
    FILE* f = fopen((std::string("/tmp") + name + ".ready").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    for (int i = 0; i < 600; i++) // killed long before; bounded all the same
        plat_sleep_ms(100);
    plat_event_close(event);
    plat_shm_close(area);
}

static std::string read_bytes_of(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Linux: the file in /dev/shm that stands for the event of this name.
static std::filesystem::path event_file(const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string file = entry.path().filename().string();
        if (file.find(name.substr(1)) != std::string::npos &&
            file.find(".holders") == std::string::npos)
            return entry.path();
    }
    return {};
}

// Linux: whoever may signal the event cannot fault the agent through it, as
// anyone who may write a semaphore's file can by shrinking it.
TEST(PlatformEvent, ShrinkingTheEventsFilesNeverFaultsItsOwner) {
    if (plat_is_windows) GTEST_SKIP() << "Windows events are not files";
    const std::string name = test_name("shrunk");
    plat_event* owner = plat_event_create(name.c_str());
    ASSERT_NE(owner, nullptr);
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        if (entry.path().filename().string().find(name.substr(1)) == std::string::npos) continue;
        std::error_code ec;
        std::filesystem::resize_file(entry.path(), 0, ec); // a FIFO cannot be resized
    }
    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr);
    EXPECT_FALSE(plat_event_check(owner));
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_TRUE(plat_event_check(owner));
    plat_event_close(sender);
    plat_event_close(owner);
}

// Linux: a process that can replace the event's file (its maker) swaps
// it between a file and a link to a private file while agents create the
// event. The link is never followed: the private file keeps its mode.
TEST(PlatformEvent, ALinkSwappedInAtTheNameIsNeverFollowed) {
    if (plat_is_windows) GTEST_SKIP() << "Windows events are not files";
    namespace fs = std::filesystem;
    const std::string name = test_name("swapped");
    const fs::path target = fs::temp_directory_path() / (name.substr(1) + ".private");
    std::ofstream(target) << "private";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    // A live agent holds the event, so later creators keep the name as found.
    plat_event* keeper = plat_event_create(name.c_str());
    ASSERT_NE(keeper, nullptr);
    const fs::path sem = event_file(name);
    ASSERT_FALSE(sem.empty());
    fs::remove(sem);
    const std::string swapper =
        "perl -e \"my ($n, $t) = @ARGV; for (1..2000000) { symlink($t, qq($n.l)); "
        "rename(qq($n.l), $n); open(my $f, q(>), qq($n.f)) or die; print $f chr(0) x 32; "
        "close($f); rename(qq($n.f), $n); }\" " +
        sem.string() + " " + target.string();
    plat_process* p = plat_process_start(swapper.c_str());
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 2000 && !fs::exists(fs::symlink_status(sem)); i++) {
        plat_wait_result r = PLAT_WAIT_FAILED;
        plat_process_wait(p, 5, &r);
    }
    for (int i = 0; i < 10000; i++)
        plat_event_close(plat_event_create(name.c_str()));
    plat_process_terminate(p, 137);
    plat_process_close(p);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    plat_event_close(keeper);
    std::error_code ec;
    for (const fs::path& f :
         {sem, fs::path(sem.string() + ".l"), fs::path(sem.string() + ".f"), target})
        fs::remove(f, ec);
}

// Linux: anyone who may read the holders object may hold its lock and so
// pose as a live agent; a link planted at the event's name is cleared all the
// same, never followed, and the event works.
TEST(PlatformEvent, ALinkAtTheNameIsClearedWhileAHolderLives) {
    if (plat_is_windows) GTEST_SKIP() << "Windows events are not files";
    namespace fs = std::filesystem;
    const std::string name = test_name("cleared");
    const fs::path target = fs::temp_directory_path() / (name.substr(1) + ".private");
    std::ofstream(target) << "private";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    plat_event* holder = plat_event_create(name.c_str());
    ASSERT_NE(holder, nullptr);
    const fs::path file = event_file(name);
    ASSERT_FALSE(file.empty());
    fs::remove(file);
    fs::create_symlink(target, file);
    plat_event* agent = plat_event_create(name.c_str());
    ASSERT_NE(agent, nullptr) << plat_last_error();
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(file)));
    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_TRUE(plat_event_check(agent));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read_bytes_of(target), "private");
    plat_event_close(sender);
    plat_event_close(agent);
    plat_event_close(holder);
    fs::remove(target);
}

// Linux: a link at the event's name (the name of a killed agent's event, or
// one a user who may replace it set) is not followed by a sender, which
// would otherwise signal whatever socket the link leads to.
TEST(PlatformEvent, ASenderNeverFollowsALinkAtTheName) {
    if (plat_is_windows) GTEST_SKIP() << "Windows events are not files";
    namespace fs = std::filesystem;
    const std::string target_name = test_name("target");
    const std::string name = test_name("linked");
    plat_event* target = plat_event_create(target_name.c_str());
    ASSERT_NE(target, nullptr);
    const fs::path link = fs::path("/dev/shm") / (name.substr(1) + ".sock");
    fs::remove(link);
    fs::create_symlink(event_file(target_name), link);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
    EXPECT_FALSE(plat_event_check(target));
    fs::remove(link);
    plat_event_close(target);
}

// Linux: an agent's close removes its own socket file, never the one a later
// agent put at the name meanwhile (after the first one's file was removed,
// or when it was replaced as a link would be).
TEST(PlatformEvent, ACloseLeavesTheSocketThatReplacedItsOwn) {
    if (plat_is_windows) GTEST_SKIP() << "Windows events are not files";
    const std::string name = test_name("replaced");
    plat_event* first = plat_event_create(name.c_str());
    ASSERT_NE(first, nullptr);
    std::filesystem::remove(event_file(name));
    plat_event* second = plat_event_create(name.c_str());
    ASSERT_NE(second, nullptr);
    plat_event_close(first);
    plat_event* sender = plat_event_open(name.c_str());
    ASSERT_NE(sender, nullptr) << "the first agent's close took the second one's socket";
    EXPECT_EQ(plat_event_signal(sender), 0);
    EXPECT_TRUE(plat_event_check(second));
    plat_event_close(sender);
    plat_event_close(second);
    EXPECT_EQ(plat_event_open(name.c_str()), nullptr);
}
