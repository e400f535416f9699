// progress_test.cpp - the progress area as another process reads it, and the
// terminate event, on private names.
#include "runtime/log.h"
#include "runtime/progress.h"
#include "platform/platform.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

struct progress_names {
    std::string area = "/Tavni-test." + std::to_string(plat_process_id()) + ".progress";
    std::string event = "/Tavni-test." + std::to_string(plat_process_id()) + ".terminate";
};

// What a desktop program sees: a copy of the area, decoded.
bool read_area(const std::string& name, progress_record* r, uint8_t* raw = nullptr) {
    plat_shm* area = plat_shm_open(name.c_str());
    if (!area) return false;
    uint8_t bytes[PROGRESS_RECORD_SIZE];
    long got = plat_shm_read(area, bytes, sizeof bytes);
    plat_shm_close(area);
    if (got != PROGRESS_RECORD_SIZE) return false;
    progress_decode(bytes, r);
    if (raw) memcpy(raw, bytes, sizeof bytes);
    return true;
}

class ProgressArea : public ::testing::Test {
  protected:
    progress_names names;
    void SetUp() override {
        ASSERT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), 0);
    }
    void TearDown() override { progress_close(); }
};

} // namespace

TEST_F(ProgressArea, StartsInitializingWithItsCreationTime) {
    progress_record r;
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_STREQ(r.status_text, "Initializing...");
    plat_systime now;
    plat_local_time(&now);
    EXPECT_EQ(r.created_time[0], now.year);
    EXPECT_EQ(r.total_bytes, 0u);
    EXPECT_EQ(r.item_name[0], 0);
}

TEST_F(ProgressArea, FieldsSitAtTheirOffsetsLittleEndian) {
    progress_set_total(0x0102030405060708ull);
    progress_set_start_tick(0xA1B2C3D4u);
    progress_set_job_name("Nightly");
    progress_record r;
    uint8_t raw[PROGRESS_RECORD_SIZE];
    ASSERT_TRUE(read_area(names.area, &r, raw));
    const uint8_t total[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(memcmp(raw + 0, total, 8), 0);
    const uint8_t tick[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(memcmp(raw + 4660, tick, 4), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(raw + 64), "Initializing...");
    EXPECT_STREQ(reinterpret_cast<const char*>(raw + 304), "Nightly");
}

TEST_F(ProgressArea, ItemsAccumulateBytesAndCountsByKind) {
    progress_set_total(1000);
    progress_begin_item("/src/a", 100);
    progress_end_item(PROGRESS_END_SENT);
    progress_begin_item("/src/b", 50);
    progress_item_bytes(20);
    progress_record r;
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_STREQ(r.item_name, "/src/b");
    EXPECT_EQ(r.item_size, 50u);
    EXPECT_EQ(r.item_done, 20u);
    EXPECT_EQ(r.done_bytes, 100u);
    progress_end_item(PROGRESS_END_CURRENT);
    progress_begin_item("/src/c", 7);
    progress_end_item(PROGRESS_END_FAILED);
    progress_end_item(9); // other kinds add the bytes but count nothing
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(r.done_bytes, 100u + 50u + 7u + 7u);
    EXPECT_EQ(r.item_done, 7u);
    EXPECT_EQ(r.items_sent, 1u);
    EXPECT_EQ(r.items_current, 1u);
    EXPECT_EQ(r.items_failed, 1u);
    EXPECT_EQ(r.total_bytes, 1000u);

    progress_complete();
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_STREQ(r.status_text, "Complete");
    EXPECT_EQ(r.item_name[0], 0);
    EXPECT_EQ(r.items_sent, 1u); // counters are never reset
}

// Items past 4 GiB: every size and sum is 64-bit on every build, so on a
// 32-bit agent nothing wraps at 2^32.
TEST_F(ProgressArea, SizesPastFourGibibytesDoNotWrap) {
    const uint64_t gib4 = 1ull << 32;
    progress_set_total(3 * gib4 + 5);
    progress_begin_item("/src/huge", gib4 + 4096);
    progress_item_bytes(gib4 + 7);
    progress_record r;
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(r.item_size, gib4 + 4096);
    EXPECT_EQ(r.item_done, gib4 + 7);
    progress_end_item(PROGRESS_END_SENT);
    progress_begin_item("/src/exact", gib4);
    progress_end_item(PROGRESS_END_CURRENT);
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(r.done_bytes, 2 * gib4 + 4096);
    EXPECT_EQ(r.item_done, gib4);
    EXPECT_EQ(r.total_bytes, 3 * gib4 + 5);
}

TEST_F(ProgressArea, TextsAreCutAtTheirFieldAndShorterOnesReplaceCompletely) {
    const std::string long_status(300, 's');
    progress_set_status(long_status.c_str());
    progress_set_job_name("A rather long job name");
    progress_set_job_name("Short");
    progress_record r;
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(std::string(r.status_text, PROGRESS_TEXT_SIZE), std::string(PROGRESS_TEXT_SIZE, 's'));
    EXPECT_EQ(std::string(r.job_name, PROGRESS_TEXT_SIZE),
              std::string("Short") + std::string(235, '\0'));
    const std::string long_item(5000, 'i');
    progress_begin_item(long_item.c_str(), 1);
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(std::string(r.item_name, PROGRESS_ITEM_SIZE), std::string(PROGRESS_ITEM_SIZE, 'i'));
    EXPECT_NE(r.created_time[0], 0); // the item did not run into the fields behind it
}

TEST_F(ProgressArea, TerminateEventIsConsumedByOneCheck) {
    EXPECT_FALSE(terminate_requested());
    plat_event* desktop = plat_event_open(names.event.c_str());
    ASSERT_NE(desktop, nullptr);
    plat_event_signal(desktop);
    plat_event_signal(desktop);
    EXPECT_TRUE(terminate_requested());
    EXPECT_FALSE(terminate_requested());
    plat_event_close(desktop);
}

// The paced check of a file walk sees a stop a clock tick later at most, and
// takes it away as the plain check does.
TEST_F(ProgressArea, PacedCheckSeesAStopWithinATick) {
    EXPECT_FALSE(terminate_requested_paced());
    plat_event* desktop = plat_event_open(names.event.c_str());
    ASSERT_NE(desktop, nullptr);
    plat_event_signal(desktop);
    const uint32_t start = plat_tick_ms();
    bool seen = false;
    while (!seen && plat_tick_ms() - start < 10000)
        seen = terminate_requested_paced();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(terminate_requested());
    plat_event_close(desktop);
}

TEST(ProgressAreaLifetime, ClosingRemovesTheAreaAndTheEvent) {
    progress_names names;
    ASSERT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), 0);
    progress_close();
    progress_record r;
    EXPECT_FALSE(read_area(names.area, &r));
    EXPECT_EQ(plat_event_open(names.event.c_str()), nullptr);
    EXPECT_FALSE(terminate_requested());
}

TEST(ProgressAreaLifetime, WithoutAnAreaEverythingIsANoOp) {
    // A name both platforms refuse stands for a failed set-up.
    const std::string bad = "no\\such/area";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(progress_open_names(bad.c_str(), bad.c_str()), -1);
    ::testing::internal::GetCapturedStderr();
    progress_set_status("Backing up...");
    progress_begin_item("x", 1);
    progress_end_item(PROGRESS_END_SENT);
    progress_complete();
    EXPECT_FALSE(terminate_requested());
    progress_close();
}

// A failed set-up says in the process log which step failed: the named
// object on both platforms; on Windows also a section of the name that is
// too small to be mapped whole (made first, with another size, by someone
// else).
TEST(ProgressAreaLifetime, AFailedSetUpNamesTheStepThatFailed) {
    temp_dir dir;
    const auto log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    const std::string bad = "no\\such/area";
    EXPECT_EQ(progress_open_names(bad.c_str(), bad.c_str()), -1);
    if (plat_is_windows) {
        progress_names names;
        plat_shm* small = plat_shm_create(names.area.c_str(), 64, nullptr);
        ASSERT_NE(small, nullptr);
        EXPECT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), -1);
        plat_shm_close(small);
    }
    progress_close();
    agent_log_close();
    const std::string text = slurp(log);
    EXPECT_NE(text.find("] Could not create file mapping object (Error "), std::string::npos)
        << text;
    if (plat_is_windows) {
        EXPECT_NE(text.find("] Could not map view of file (Error "), std::string::npos) << text;
    }
    EXPECT_EQ(text.find("InitSecDesc() failed."), std::string::npos);
    EXPECT_EQ(text.find("SetSecDescDacl() failed."), std::string::npos);
}

// Linux: the area's object as another process finds it in /dev/shm.
static std::filesystem::path area_file(const std::string& name) {
    return std::filesystem::path("/dev/shm") / name.substr(1);
}

// Linux: only the agent's user may write the area, and by default read it
// (mode 0600 whatever the umask: it names the paths being backed up), and
// whatever someone with that right does to its size, the agent's next update
// neither faults nor fails: the record is whole again after it.
TEST_F(ProgressArea, OnlyTheAgentWritesAndAResizedAreaNeverFaultsIt) {
    if (plat_is_windows) GTEST_SKIP() << "a Windows section cannot be resized";
    namespace fs = std::filesystem;
    const fs::path file = area_file(names.area);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    progress_record r;
    for (uintmax_t size : {uintmax_t(0), uintmax_t(100), uintmax_t(1) << 20}) {
        fs::resize_file(file, size);
        progress_set_status("Backing up...");
        progress_begin_item("/data/file", 7);
        ASSERT_TRUE(read_area(names.area, &r)) << size;
        EXPECT_STREQ(r.status_text, "Backing up...");
        EXPECT_STREQ(r.item_name, "/data/file");
    }
}

// Linux, as root: an area that another user made before the agent started is
// not used (its maker could resize it or fake its contents); progress is then
// unavailable, as after any failed set-up.
TEST(ProgressAreaLifetime, AnAreaMadeByAnotherUserIsRefused) {
    if (plat_is_windows) GTEST_SKIP() << "Windows areas are open to every user by design";
    progress_names names;
    temp_dir dir;
    const auto log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    const auto file = area_file(names.area);
    std::ofstream(file) << "planted";
    plat_process* p = plat_process_start(("chown nobody " + file.string()).c_str());
    ASSERT_NE(p, nullptr);
    plat_wait_result r = PLAT_WAIT_FAILED;
    uint32_t code = 1;
    ASSERT_EQ(plat_process_wait(p, 30000, &r), 0);
    ASSERT_EQ(plat_process_exit_code(p, &code), 0);
    plat_process_close(p);
    if (code != 0) {
        std::filesystem::remove(file);
        agent_log_close();
        GTEST_SKIP() << "needs root to give the area away";
    }
    EXPECT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), -1);
    progress_set_status("Backing up...");
    progress_close();
    agent_log_close();
    EXPECT_EQ(read_bytes(file), "planted");
    std::filesystem::remove(file);
    EXPECT_NE(slurp(log).find("Could not create file mapping object (Error 1). Backup progress "
                              "information will not be available."),
              std::string::npos)
        << slurp(log);
}

// Linux: anyone who may read the area or the event's holders object may lock
// it. A stranger's lock held there never stalls the agent's start.
TEST(ProgressAreaLifetime, ALockHeldByAnotherProcessNeverStallsTheAgent) {
    if (plat_is_windows) GTEST_SKIP() << "Windows objects take no file locks";
    namespace fs = std::filesystem;
    progress_names names;
    temp_dir dir;
    const fs::path area = area_file(names.area);
    const fs::path holders = area_file(names.event + ".holders");
    for (const fs::path& f : {area, holders}) {
        std::ofstream(f).put('\0');
        fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
    }
    const fs::path ready = dir.path / "locked";
    const std::string line = "flock -x " + area.string() + " flock -x " + holders.string() +
                             " sh -c \"touch " + ready.string() + "; exec sleep 600\"";
    plat_process* locker = plat_process_start(line.c_str());
    ASSERT_NE(locker, nullptr);
    for (int i = 0; i < 3000 && !fs::exists(ready); i++) {
        plat_wait_result r = PLAT_WAIT_FAILED;
        plat_process_wait(locker, 10, &r);
        ASSERT_NE(r, PLAT_WAIT_ENDED) << "the locker ended early";
    }
    ASSERT_TRUE(fs::exists(ready));
    EXPECT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), 0);
    progress_set_status("Backing up...");
    progress_record r;
    EXPECT_TRUE(read_area(names.area, &r));
    EXPECT_STREQ(r.status_text, "Backing up...");
    progress_close();
    plat_process_terminate(locker, 137);
    plat_process_close(locker);
    std::error_code ec;
    fs::remove(area, ec);
    fs::remove(holders, ec);
    fs::remove(area_file(names.event + ".sock"), ec);
}

// A file found current counts as begun and ended; a run of them reaches the
// area with the next other update at the latest.
TEST_F(ProgressArea, APassedItemCountsAsBegunAndEnded) {
    progress_begin_item("/src/a-longer-name", 10);
    progress_end_item(PROGRESS_END_SENT);
    progress_pass_item("/src/b", 30, PROGRESS_END_CURRENT);
    progress_set_total(500);
    progress_record r;
    uint8_t raw[PROGRESS_RECORD_SIZE];
    ASSERT_TRUE(read_area(names.area, &r, raw));
    EXPECT_STREQ(r.item_name, "/src/b");
    EXPECT_EQ(r.item_size, 30u);
    EXPECT_EQ(r.item_done, 30u);
    EXPECT_EQ(r.done_bytes, 40u);
    EXPECT_EQ(r.items_current, 1u);
    EXPECT_EQ(r.items_sent, 1u);
    // The longer name before left nothing behind.
    const size_t name_at = 64 + 2 * PROGRESS_TEXT_SIZE;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw) + name_at, 16),
              std::string("/src/b") + std::string(10, '\0'));
    for (int i = 0; i < 1000; i++)
        progress_pass_item("/src/many", 1, PROGRESS_END_CURRENT);
    progress_begin_item("/src/next", 9);
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_EQ(r.items_current, 1001u);
    EXPECT_EQ(r.done_bytes, 1040u);
    EXPECT_STREQ(r.item_name, "/src/next");
}

// With no other update coming, a passed item is published once 50 ms have gone
// by since the last publication.
TEST_F(ProgressArea, APassedItemAloneIsPublishedAfterTheInterval) {
    progress_set_total(1); // publishes now
    const uint32_t start = plat_tick_ms();
    while (plat_tick_ms() - start < 60)
        std::this_thread::yield();
    progress_pass_item("/src/late", 3, PROGRESS_END_FAILED);
    progress_record r;
    ASSERT_TRUE(read_area(names.area, &r));
    EXPECT_STREQ(r.item_name, "/src/late");
    EXPECT_EQ(r.items_failed, 1u);
}

// The installation's word on who reads the area: the first word that is no
// comment; anything unknown keeps the area the user's and is said to be
// unknown.
TEST(ProgressReaders, TheSettingsFirstWordDecides) {
    temp_dir dir;
    const auto file = dir.path / "progress.readers";
    bool unknown = true;
    EXPECT_EQ(progress_readers_setting(file.string().c_str(), &unknown), PLAT_SHM_OWNER);
    EXPECT_FALSE(unknown) << "no file";
    const struct {
        const char* text;
        plat_shm_readers readers;
        bool unknown;
    } cases[] = {
        {"group\n", PLAT_SHM_GROUP, false},
        {"everyone", PLAT_SHM_EVERYONE, false},
        {"# who reads the progress area\n\n  \teveryone  # all users\r\n", PLAT_SHM_EVERYONE,
         false},
        {"group everyone\n", PLAT_SHM_GROUP, false},
        {"\n# nothing set\n", PLAT_SHM_OWNER, false},
        {"Everyone\n", PLAT_SHM_OWNER, true},
        {"groups\n", PLAT_SHM_OWNER, true},
        {"everyoneelse-and-a-word-longer-than-any-setting\n", PLAT_SHM_OWNER, true},
        {"owner\n", PLAT_SHM_OWNER, true},
    };
    for (const auto& c : cases) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
        unknown = !c.unknown;
        EXPECT_EQ(progress_readers_setting(file.string().c_str(), &unknown), c.readers) << c.text;
        EXPECT_EQ(unknown, c.unknown) << c.text;
    }
}

// Linux: the agent reads the setting from its installation folder (its
// current folder) when it makes the area, and says so when the word means
// nothing.
TEST(ProgressReaders, TheAreasModeFollowsTheInstallation) {
    if (plat_is_windows) GTEST_SKIP() << "Windows areas carry a null access list";
    namespace fs = std::filesystem;
    temp_dir dir;
    fs::create_directories(dir.path / "etc");
    const auto log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    char cwd[4096];
    ASSERT_EQ(plat_get_cwd(cwd, sizeof cwd), 0);
    ASSERT_EQ(plat_set_cwd(dir.path.string().c_str()), 0);
    progress_names names;
    const fs::perms rw = fs::perms::owner_read | fs::perms::owner_write;
    const struct {
        const char* text;
        fs::perms mode;
    } cases[] = {
        {"group\n", rw | fs::perms::group_read},
        {"everyone\n", rw | fs::perms::group_read | fs::perms::others_read},
        {"all\n", rw},
    };
    for (const auto& c : cases) {
        std::ofstream(dir.path / "etc" / "progress.readers", std::ios::trunc) << c.text;
        EXPECT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), 0);
        EXPECT_EQ(fs::status(area_file(names.area)).permissions(), c.mode) << c.text;
        progress_close();
    }
    plat_set_cwd(cwd);
    agent_log_close();
    EXPECT_EQ(count_of(slurp(log), "etc/progress.readers names neither \"group\" nor "
                                   "\"everyone\"; the progress area is readable by the agent's "
                                   "user and root only."),
              1u)
        << slurp(log);
}

// Linux, as root: a stranger (nobody) sends stop signals 150 times over.
// None stops the job; each is logged up to a hundred, then counted, and the
// total is logged at the end. Root's own stop among them works.
TEST(ProgressAreaLifetime, AStrangersStopIsRefusedAndLogged) {
    if (plat_is_windows) GTEST_SKIP() << "every user may signal a Windows event";
    progress_names names;
    temp_dir dir;
    const auto log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    ASSERT_EQ(progress_open_names(names.area.c_str(), names.event.c_str()), 0);
    const std::string socket = "/dev/shm" + names.event + ".sock";
    const std::string line =
        "setpriv --reuid=nobody --regid=nogroup --clear-groups -- perl -MSocket -e "
        "\"socket(S,PF_UNIX,SOCK_DGRAM,0) or die; connect(S,pack_sockaddr_un(shift)) or die "
        "qq(connect: $!); for my $i (1..shift) { defined(send(S, chr(1), 0)) or die "
        "qq(send: $!) }\" " +
        socket + " ";
    // The agent checks for a stop (and so drains the kernel's short queue)
    // all the while, as it does during a job.
    auto stranger_sends = [&](int count) {
        plat_process* p = plat_process_start((line + std::to_string(count)).c_str());
        if (!p) return 1u;
        plat_wait_result r = PLAT_WAIT_TIMEOUT;
        bool stopped = false;
        for (int i = 0; i < 6000 && r == PLAT_WAIT_TIMEOUT; i++) {
            stopped = terminate_requested() || stopped;
            plat_process_wait(p, 10, &r);
        }
        stopped = terminate_requested() || stopped;
        uint32_t code = 1;
        if (r == PLAT_WAIT_ENDED) plat_process_exit_code(p, &code);
        plat_process_close(p);
        EXPECT_FALSE(stopped) << "a stranger's stop was taken";
        return code;
    };
    if (stranger_sends(100) != 0) {
        progress_close();
        agent_log_close();
        GTEST_SKIP() << "needs root to be a stranger";
    }
    ASSERT_EQ(stranger_sends(50), 0u);
    plat_event* own = plat_event_open(names.event.c_str());
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(plat_event_signal(own), 0);
    plat_event_close(own);
    EXPECT_TRUE(terminate_requested());
    EXPECT_FALSE(terminate_requested());
    progress_close();
    agent_log_close();
    const std::string text = slurp(log);
    EXPECT_EQ(count_of(text, "Refused a stop request from user 65534 (process "), 100u) << text;
    EXPECT_EQ(count_of(text, "Further refused stop requests are counted, not logged."), 1u);
    EXPECT_EQ(count_of(text, "150 stop requests from other users were refused in all."), 1u);
}
