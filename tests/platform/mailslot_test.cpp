// mailslot_test.cpp - the job mailslot's platform side: ownership, message
// boundaries, empty and over-long messages.
#include "platform/platform.h"
#include "support/test_files.h"
#include "support/wine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Messages wait for the reader however long it is busy, up to the receiver's
// queue; past that the sender is told (Linux), and nothing is lost in between.
TEST(PlatformMailslot, AFullQueueFailsTheSenderAndLosesNothing) {
    const std::string name = test_name("full");
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    auto message = [](int i) { return "/jobs/" + std::to_string(i) + ".tbs"; };
    // Wine's mailslot blocks its writer long before Windows' would.
    const int queued = under_wine() ? 200 : PLAT_MAILSLOT_QUEUE_MAX;
    int sent = 0;
    for (; sent < queued; sent++) {
        const std::string m = message(sent);
        ASSERT_EQ(plat_mailslot_write(tx, m.c_str(), m.size() + 1), 0) << sent;
    }
    if (!plat_is_windows) {
        bool refused = false;
        for (int i = 0; i < 100 && !refused; i++) {
            const std::string m = message(sent);
            if (plat_mailslot_write(tx, m.c_str(), m.size() + 1) == 0)
                sent++;
            else
                refused = true;
        }
        EXPECT_TRUE(refused) << "the sender was never told that the queue is full";
    }
    char buf[64];
    for (int i = 0; i < sent; i++) {
        const std::string m = message(i);
        ASSERT_EQ(plat_mailslot_read(rx, buf, sizeof buf), static_cast<long>(m.size() + 1)) << i;
        ASSERT_STREQ(buf, m.c_str());
    }
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), -1);
    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
}

// Linux: a socket file left by a killed agent is replaced by the next one.
TEST(PlatformMailslot, ASocketLeftBehindIsReplaced) {
    if (plat_is_windows) GTEST_SKIP() << "a Windows mailslot ends with its owner";
    const std::string name = test_name("left");
    char folder[512];
    ASSERT_EQ(plat_mailslot_folder(-1, true, folder, sizeof folder), 0);
    std::string file = name;
    for (char& c : file)
        if (c == '/') c = '.';
    const std::filesystem::path left = std::filesystem::path(folder) / file;
    std::ofstream(left) << "left behind";
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr) << plat_last_error();
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(plat_mailslot_write(tx, "new", 3), 0);
    char buf[8];
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 3);
    plat_mailslot_close(tx);
    plat_mailslot_close(rx);
    // The owner leaves nothing behind when it closes.
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(left)));
    EXPECT_FALSE(std::filesystem::exists(left.string() + ".lock"));
}

// Linux, as root: a user's mailslot folder is used only when it is a real
// folder of that user's that no one else may write. The user id is one no
// account has, so that no agent of this machine is disturbed.
TEST(PlatformMailslot, AFolderIsUsedOnlyWhenItIsTheUsersAlone) {
    if (plat_is_windows) GTEST_SKIP() << "Windows mailslots have no folder";
    namespace fs = std::filesystem;
    char path[512];
    ASSERT_EQ(plat_mailslot_folder(-1, true, path, sizeof path), 0);
    if (std::string(path) != "/run/tavni-backup") GTEST_SKIP() << "needs root to give folders away";
    const int64_t uid = 3999999999LL;
    const fs::path folder = "/tmp/tavni-backup-3999999999";
    const fs::path aside = "/tmp/tavni-backup-aside-3999999999";
    fs::remove_all(folder);
    fs::remove_all(aside);
    auto run = [](const std::string& line) {
        plat_process* p = plat_process_start(line.c_str());
        plat_wait_result r = PLAT_WAIT_FAILED;
        uint32_t code = 1;
        if (p && plat_process_wait(p, 30000, &r) == 0 && r == PLAT_WAIT_ENDED)
            plat_process_exit_code(p, &code);
        plat_process_close(p);
        return code;
    };

    EXPECT_EQ(plat_mailslot_folder(uid, true, path, sizeof path),
              -1); // missing; not made for another
    EXPECT_EQ(std::string(path), folder.string());
    EXPECT_FALSE(fs::exists(folder));
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(plat_mailslot_folder(uid, false, path, sizeof path), -1) << "root's, not the user's";
    ASSERT_EQ(run("chown 3999999999 " + folder.string()), 0u);
    EXPECT_EQ(plat_mailslot_folder(uid, false, path, sizeof path), 0);
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(plat_mailslot_folder(uid, false, path, sizeof path), -1) << "others may write";
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::remove);
    fs::rename(folder, aside);
    fs::create_directory_symlink(aside, folder);
    EXPECT_EQ(plat_mailslot_folder(uid, false, path, sizeof path), -1) << "a link";
    EXPECT_EQ(plat_mailslot_open("Tavni-test/x", uid), nullptr);
    fs::remove(folder);
    fs::remove_all(aside);
    // Numbers past the 32-bit user ids never wrap onto a real user (root's
    // folder among them).
    for (int64_t bad : {int64_t{4294967295LL}, int64_t{4294967296LL}, int64_t{1} << 40}) {
        EXPECT_EQ(plat_mailslot_folder(bad, false, path, sizeof path), -1) << bad;
        EXPECT_STREQ(path, "") << bad;
        EXPECT_EQ(plat_mailslot_open("Tavni-test/x", bad), nullptr) << bad;
    }
}

// Linux, as root: the folder below /tmp where a user's mailslots go can be
// made first by anyone. A user whose folder another made (root here,
// unreadable to the user) passes it over for a folder of the user's own,
// and a sender finds the agent there. The user is this test program again,
// started as a user id no account has; it needs no home folder.
TEST(PlatformMailslot, AUsersFolderMadeByAnotherIsPassedOver) {
    if (plat_is_windows) GTEST_SKIP() << "Windows mailslots have no folder";
    namespace fs = std::filesystem;
    char path[512];
    ASSERT_EQ(plat_mailslot_folder(-1, true, path, sizeof path), 0);
    if (std::string(path) != "/run/tavni-backup") GTEST_SKIP() << "needs root to be another user";
    if (!can_restart_self()) GTEST_SKIP() << "the program cannot start itself again";
    const std::string uid = "3999999998";
    const fs::path usual = "/tmp/tavni-backup-" + uid;
    auto clear = [&] {
        std::error_code ec;
        fs::remove_all(usual, ec);
        for (const auto& e : fs::directory_iterator("/tmp", ec))
            if (e.path().filename().string().rfind("tavni-backup-" + uid + ".", 0) == 0)
                fs::remove_all(e.path(), ec);
    };
    clear();
    fs::create_directory(usual);
    fs::permissions(usual, fs::perms::owner_all);

    char exe[4096];
    ASSERT_EQ(plat_exe_path(exe, sizeof exe), 0);
    const std::string name = test_name("passed");
    const std::string line = "setpriv --reuid=" + uid + " --regid=" + uid +
                             " --clear-groups env TAVNI_TEST_MAILSLOT=" + name + " " + exe +
                             " --gtest_filter=PlatformMailslot.UserOfTheFolderTest";
    plat_process* user = plat_process_start(line.c_str());
    ASSERT_NE(user, nullptr);
    plat_mailslot* tx = nullptr;
    plat_wait_result r = PLAT_WAIT_TIMEOUT;
    for (int i = 0; i < 3000 && !tx && r == PLAT_WAIT_TIMEOUT; i++) { // until the user's is up
        tx = plat_mailslot_open(name.c_str(), std::stoll(uid));
        if (!tx) plat_process_wait(user, 10, &r);
    }
    ASSERT_NE(tx, nullptr) << "no mailslot of the user's was found";
    EXPECT_EQ(plat_mailslot_write(tx, "found", 5), 0);
    plat_mailslot_close(tx);
    char found[512];
    EXPECT_EQ(plat_mailslot_folder(std::stoll(uid), false, found, sizeof found), 0);
    EXPECT_EQ(std::string(found).rfind(usual.string() + ".", 0), 0u) << found;
    ASSERT_EQ(plat_process_wait(user, 60000, &r), 0);
    ASSERT_EQ(r, PLAT_WAIT_ENDED);
    uint32_t code = 1;
    ASSERT_EQ(plat_process_exit_code(user, &code), 0);
    plat_process_close(user);
    EXPECT_EQ(code, 0u) << "the user's side failed";
    // Root's folder is its own again; the one it made is left as it was.
    EXPECT_TRUE(fs::is_directory(usual));
    EXPECT_TRUE(fs::is_empty(usual));
    clear();
}

// Run only as the user of the test above: its folder is taken, so it takes
// one of its own (the same on every call), names the one passed over, and
// reads the message the test sends it there.
TEST(PlatformMailslot, UserOfTheFolderTest) {
    const char* name = getenv("TAVNI_TEST_MAILSLOT");
    if (!name) GTEST_SKIP() << "the helper of AUsersFolderMadeByAnotherIsPassedOver";
    char folder[512], passed[512], again[512];
    ASSERT_EQ(plat_mailslot_folder(-1, true, folder, sizeof folder, passed, sizeof passed), 0);
    EXPECT_EQ(std::string(folder).rfind(std::string(passed) + ".", 0), 0u) << folder;
    EXPECT_EQ(std::string(passed).rfind("/tmp/tavni-backup-", 0), 0u) << passed;
    plat_mailslot* rx = plat_mailslot_create(name);
    ASSERT_NE(rx, nullptr) << plat_last_error();
    ASSERT_EQ(plat_mailslot_folder(-1, false, again, sizeof again), 0);
    EXPECT_STREQ(again, folder);
    char buf[64];
    long n = -1;
    for (int i = 0; i < 6000 && n < 0; i++) {
        n = plat_mailslot_read(rx, buf, sizeof buf);
        if (n < 0) plat_sleep_ms(10);
    }
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "found");
    plat_mailslot_close(rx);
}
