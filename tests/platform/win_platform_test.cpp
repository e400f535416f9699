// win_platform_test.cpp - facts of the Windows back end that the agent and
// the desktop program rely on beyond the shared platform tests: system error
// codes and texts, the objects' names, the mailslot's error codes, the shared
// area's global name, killing a hung thread, and the dump file format.
// Built for Windows only.
#include "platform/platform.h"

#include "support/wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Names of this test process only, so that a running agent is not touched.
std::string test_name(const char* base) {
    return std::string(base) + " " + std::to_string(plat_process_id());
}

std::string test_mailslot_name() {
    return "\\\\.\\mailslot\\Tavni\\Test\\" + test_name("Jobs");
}

bool ends_with_exe(const char* path) {
    size_t n = strlen(path);
    if (n < 4) return false;
    const char* tail = path + n - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'e' && (tail[2] | 0x20) == 'x' &&
           (tail[3] | 0x20) == 'e';
}

class WinPlatform : public ::testing::Test {};

const int kErrorSemTimeout = 121; // empty mailslot with read time-out 0
const int kErrorInsufficientBuffer = 122;
const int kErrorFileNotFound = 2;

TEST_F(WinPlatform, ConstantsAndNamesAreTheWindowsOnes) {
    EXPECT_EQ('\\', plat_path_sep);
    EXPECT_TRUE(plat_path_fold_case);
    EXPECT_STREQ("\\\\.\\mailslot\\Tavni\\Tavni Backup\\Backup Job Mailslot",
                 plat_job_mailslot_name);
    EXPECT_STREQ("Global\\Tavni/Tavni Backup/Backup Progress Information", plat_progress_area_name);
    EXPECT_STREQ("Global\\Tavni/Tavni Backup/Terminate Backup Event", plat_terminate_event_name);
}

TEST_F(WinPlatform, ErrorTextComesFromTheMessageTableWithoutLineEnd) {
    char buf[256];
    plat_error_text(kErrorFileNotFound, buf, sizeof buf);
    ASSERT_GT(strlen(buf), 0u);
    EXPECT_EQ(nullptr, strchr(buf, '\r'));
    EXPECT_EQ(nullptr, strchr(buf, '\n'));

    // A small buffer gets a cut, terminated text.
    char small[6];
    memset(small, 'x', sizeof small);
    plat_error_text(kErrorFileNotFound, small, sizeof small);
    EXPECT_EQ(5u, strlen(small));

    // A code the table does not know still yields a text.
    plat_error_text(0x7ABCDEF0, buf, sizeof buf);
    EXPECT_GT(strlen(buf), 0u);

    plat_set_last_error(kErrorInsufficientBuffer);
    EXPECT_EQ(kErrorInsufficientBuffer, plat_last_error());
}

TEST_F(WinPlatform, ExePathNamesTheRunningExecutable) {
    char path[1024];
    ASSERT_EQ(0, plat_exe_path(path, sizeof path));
    EXPECT_TRUE(ends_with_exe(path)) << path;
    EXPECT_NE(nullptr, strchr(path, '\\')) << path;

    // A buffer too small for the path is a failure, never a cut path.
    char tiny[4];
    EXPECT_EQ(-1, plat_exe_path(tiny, sizeof tiny));
    EXPECT_EQ(kErrorInsufficientBuffer, plat_last_error());
}

TEST_F(WinPlatform, EmptyMailslotFailsAtOnceWithTheTimeOutError) {
    plat_mailslot* rx = plat_mailslot_create(test_mailslot_name().c_str());
    ASSERT_NE(nullptr, rx) << plat_last_error();
    char buf[1024];
    uint32_t start = plat_tick_ms();
    EXPECT_EQ(-1, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_EQ(kErrorSemTimeout, plat_last_error());
    // "At once": far below any wait the agent would notice.
    EXPECT_LT(plat_tick_ms() - start, 5000u);
    plat_mailslot_close(rx);
}

TEST_F(WinPlatform, OversizedMailslotMessageIsDroppedNotStuck) {
    std::string name = test_mailslot_name();
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(nullptr, rx);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(nullptr, tx);

    std::vector<char> big(2000, 'b');
    ASSERT_EQ(0, plat_mailslot_write(tx, big.data(), big.size()));
    ASSERT_EQ(0, plat_mailslot_write(tx, "next", 5));

    char buf[1024];
    EXPECT_EQ(PLAT_MAILSLOT_TOO_LONG, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_EQ(kErrorInsufficientBuffer, plat_last_error());
    // The message after the oversized one is reachable.
    EXPECT_EQ(5, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_STREQ("next", buf);

    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
}

TEST_F(WinPlatform, GlobalAreaAndEventAreOpenToASecondHandle) {
    std::string area = "Global\\Tavni/Test/" + test_name("Area");
    std::string event = "Global\\Tavni/Test/" + test_name("Event");
    plat_shm* a = plat_shm_create(area.c_str(), 4672, nullptr);
    ASSERT_NE(nullptr, a) << plat_last_error();
    plat_shm* b = plat_shm_open(area.c_str());
    ASSERT_NE(nullptr, b) << plat_last_error();
    char record[4672] = {};
    memcpy(record + 64, "Backing up...", 14);
    ASSERT_EQ(0, plat_shm_write(a, record, sizeof record));
    char seen[4672];
    // The reader sees the whole area (Windows rounds it up to whole pages).
    ASSERT_GE(plat_shm_read(b, seen, sizeof seen), 4672);
    EXPECT_STREQ("Backing up...", seen + 64);
    plat_shm_close(b);
    plat_shm_close(a);

    plat_event* owner = plat_event_create(event.c_str());
    ASSERT_NE(nullptr, owner) << plat_last_error();
    plat_event* sender = plat_event_open(event.c_str());
    ASSERT_NE(nullptr, sender) << plat_last_error();
    ASSERT_EQ(0, plat_event_signal(sender));
    EXPECT_TRUE(plat_event_check(owner));
    EXPECT_FALSE(plat_event_check(owner));
    plat_event_close(sender);
    plat_event_close(owner);
}

volatile bool hang_forever = true;

int hang(void*) {
    while (hang_forever)
        plat_sleep_ms(10);
    return 0;
}

TEST_F(WinPlatform, HungThreadIsReallyTerminatedWithTheGivenCode) {
    EXPECT_FALSE(plat_thread_needs_process_exit());
    plat_thread* t = plat_thread_start(hang, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(PLAT_WAIT_TIMEOUT, plat_thread_wait(t, 20));
    ASSERT_EQ(0, plat_thread_terminate(t, 1));
    // After the termination the next wait returns with the thread ended.
    ASSERT_EQ(PLAT_WAIT_ENDED, plat_thread_wait(t, 0xFFFFFFFFu));
    int code = -1;
    ASSERT_EQ(0, plat_thread_exit_code(t, &code));
    EXPECT_EQ(1, code);
    plat_thread_close(t);
}

TEST_F(WinPlatform, DumpIsAMinidumpFileNextToTheGivenPath) {
    char exe[1024];
    ASSERT_EQ(0, plat_exe_path(exe, sizeof exe));
    std::string path(exe, strlen(exe) - 4);
    path += "_test.dmp";
    if (plat_write_dump(path.c_str(), nullptr, nullptr) != 0) {
        const int error = plat_last_error();
        remove(path.c_str());
        if (wine_wow64_cannot_dump(error)) GTEST_SKIP() << k_wine_wow64_dump_reason;
        FAIL() << "the dump was not written: error " << error;
    }

    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    char magic[4] = {0, 0, 0, 0};
    size_t got = fread(magic, 1, sizeof magic, f);
    fclose(f);
    remove(path.c_str());
    ASSERT_EQ(4u, got);
    EXPECT_EQ(0, memcmp(magic, "MDMP", 4));

    // A folder that does not exist gives a failure, not a crash.
    EXPECT_EQ(-1, plat_write_dump("Z:\\no\\such\\folder\\x.dmp", nullptr, nullptr));
    EXPECT_EQ(-1, plat_write_dump("", nullptr, nullptr));
}

} // namespace
