// win_platform_test.cpp - facts of the Windows back end that the agent and
// the desktop program rely on: error codes, object names, the mailslot's
// message rules, the shared area and event seen through a second handle,
// killing a hung thread, and the dump file format. Built for Windows only.
#include "platform/platform.h"

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

TEST_F(WinPlatform, MailslotHasOneOwnerAndNeedsOneForSenders) {
    std::string name = test_mailslot_name();
    EXPECT_EQ(nullptr, plat_mailslot_open(name.c_str()));
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(nullptr, rx);
    EXPECT_EQ(nullptr, plat_mailslot_create(name.c_str()));
    plat_mailslot_close(rx);
    // Once the owner is gone the name is free again.
    rx = plat_mailslot_create(name.c_str());
    EXPECT_NE(nullptr, rx);
    plat_mailslot_close(rx);
}

TEST_F(WinPlatform, MailslotKeepsMessageBoundariesAndOrder) {
    std::string name = test_mailslot_name();
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(nullptr, rx);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(nullptr, tx);

    std::string longest(1023, 'p');
    const char probe = 0;
    ASSERT_EQ(0, plat_mailslot_write(tx, &probe, 1));
    ASSERT_EQ(0, plat_mailslot_write(tx, "C:\\jobs\\a.tbs", 14));
    ASSERT_EQ(0, plat_mailslot_write(tx, longest.c_str(), longest.size() + 1));
    ASSERT_EQ(0, plat_mailslot_write(tx, "", 0));

    char buf[1024];
    EXPECT_EQ(1, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_EQ(14, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_STREQ("C:\\jobs\\a.tbs", buf);
    ASSERT_EQ(1024, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_EQ(longest, std::string(buf));
    EXPECT_EQ(0, plat_mailslot_read(rx, buf, sizeof buf));
    EXPECT_EQ(-1, plat_mailslot_read(rx, buf, sizeof buf));

    plat_mailslot_close(tx);
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

TEST_F(WinPlatform, SharedAreaIsOneBlockForEveryHandle) {
    std::string name = "Global\\Tavni/Test/" + test_name("Area");
    const size_t size = 4672;
    void* view_b = nullptr;
    EXPECT_EQ(nullptr, plat_shm_open(name.c_str(), size, &view_b));

    void* view_a = nullptr;
    plat_shm* a = plat_shm_create(name.c_str(), size, &view_a);
    ASSERT_NE(nullptr, a) << plat_last_error();
    ASSERT_NE(nullptr, view_a);
    // A paging-file mapping starts zeroed.
    const unsigned char* bytes = static_cast<const unsigned char*>(view_a);
    EXPECT_EQ(0, bytes[0]);
    EXPECT_EQ(0, bytes[size - 1]);

    plat_shm* b = plat_shm_open(name.c_str(), size, &view_b);
    ASSERT_NE(nullptr, b);
    memcpy(static_cast<char*>(view_a) + 64, "Backing up...", 14);
    EXPECT_STREQ("Backing up...", static_cast<const char*>(view_b) + 64);

    // Creating an existing area opens it as it is.
    void* view_c = nullptr;
    plat_shm* c = plat_shm_create(name.c_str(), size, &view_c);
    ASSERT_NE(nullptr, c);
    EXPECT_STREQ("Backing up...", static_cast<const char*>(view_c) + 64);

    plat_shm_close(c);
    plat_shm_close(b);
    plat_shm_close(a);
    plat_shm_close(nullptr);
}

TEST_F(WinPlatform, EventResetsAfterOneCheckAndSignalsCountOnce) {
    std::string name = "Global\\Tavni/Test/" + test_name("Event");
    EXPECT_EQ(nullptr, plat_event_open(name.c_str()));
    plat_event* owner = plat_event_create(name.c_str());
    ASSERT_NE(nullptr, owner);
    plat_event* other = plat_event_open(name.c_str());
    ASSERT_NE(nullptr, other);

    EXPECT_FALSE(plat_event_check(owner));
    ASSERT_EQ(0, plat_event_signal(other));
    ASSERT_EQ(0, plat_event_signal(other));
    EXPECT_TRUE(plat_event_check(owner));
    EXPECT_FALSE(plat_event_check(owner));

    EXPECT_FALSE(plat_event_check(nullptr));
    EXPECT_EQ(-1, plat_event_signal(nullptr));
    plat_event_close(other);
    plat_event_close(owner);
}

volatile bool hang_forever = true;

int hang(void*) {
    while (hang_forever)
        plat_sleep_ms(10);
    return 0;
}

int give_seven(void* arg) {
    *static_cast<int*>(arg) = 1;
    return 7;
}

TEST_F(WinPlatform, ThreadExitCodeAndWaitResults) {
    int ran = 0;
    plat_thread* t = plat_thread_start(give_seven, &ran);
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(PLAT_WAIT_ENDED, plat_thread_wait(t, 0xFFFFFFFFu));
    int code = -1;
    ASSERT_EQ(0, plat_thread_exit_code(t, &code));
    EXPECT_EQ(7, code);
    EXPECT_EQ(1, ran);
    plat_thread_close(t);

    EXPECT_EQ(nullptr, plat_thread_start(nullptr, nullptr));
    EXPECT_EQ(PLAT_WAIT_FAILED, plat_thread_wait(nullptr, 0));
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
    ASSERT_EQ(0, plat_write_dump(path.c_str(), nullptr, nullptr)) << plat_last_error();

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
