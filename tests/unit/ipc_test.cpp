// ipc_test.cpp - the job mailslot module: result codes, probes, empty,
// over-long and unterminated messages, on private mailslot names.
#include "agent/ipc.h"
#include "runtime/log.h"
#include "platform/platform.h"
#include "support/test_files.h"
#include "support/wine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string test_name(const char* what) {
    // Windows mailslots live below \\.\mailslot\ with backslashes.
    if (plat_is_windows)
        return "\\\\.\\mailslot\\Tavni-test\\" + std::to_string(plat_process_id()) + "\\ipc\\" +
               what;
    return "Tavni-test/" + std::to_string(plat_process_id()) + "/ipc/" + what;
}

} // namespace

TEST(IpcReceiver, ReadBeforeSetUpIsRefused) {
    ipc_rx_close();
    char buf[16];
    size_t len = 0;
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_NOT_SETUP);
}

TEST(IpcReceiver, SetUpFailsWhileAnotherOwnsTheName) {
    const std::string name = test_name("owned");
    plat_mailslot* other = plat_mailslot_create(name.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ipc_rx_setup(name.c_str()), IPC_RX_SETUP_FAILED);
    EXPECT_NE(plat_last_error(), 0);
    char buf[16];
    size_t len = 0;
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_NOT_SETUP);
    plat_mailslot_close(other);
}

TEST(IpcReceiver, ProbesAndOverlongMessagesAreDropped) {
    const std::string name = test_name("rx");
    ASSERT_EQ(ipc_rx_setup(name.c_str()), IPC_OK);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);

    char buf[IPC_MESSAGE_MAX];
    size_t len = 0;
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_READ_FAILED); // nothing waiting

    const std::string longest(1023, 'p'); // 1023 characters and the NUL fit
    const std::string too_long(1500, 'x');
    ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "/jobs/a.tbs", 12), 0);
    ASSERT_EQ(plat_mailslot_write(tx, too_long.data(), too_long.size()), 0);
    ASSERT_EQ(plat_mailslot_write(tx, longest.c_str(), longest.size() + 1), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "/jobs/b.tbs", 12), 0);

    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_EQ(len, 12u);
    EXPECT_STREQ(buf, "/jobs/a.tbs");
    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_EQ(len, 1024u);
    EXPECT_EQ(std::string(buf), longest);
    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_STREQ(buf, "/jobs/b.tbs");
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_READ_FAILED);

    plat_mailslot_close(tx);
    ipc_rx_close();
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_NOT_SETUP);
}

TEST(IpcReceiver, AnEmptyMessageEndsReading) {
    if (under_wine()) GTEST_SKIP() << "Wine delivers no zero-byte mailslot message";
    const std::string name = test_name("empty");
    ASSERT_EQ(ipc_rx_setup(name.c_str()), IPC_OK);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(plat_mailslot_write(tx, "", 0), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "/jobs/b.tbs", 12), 0);
    char buf[IPC_MESSAGE_MAX];
    size_t len = 0;
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_EMPTY_MESSAGE);
    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_STREQ(buf, "/jobs/b.tbs");
    plat_mailslot_close(tx);
    ipc_rx_close();
}

TEST(IpcReceiver, NothingPastTheReceivedBytesIsTouched) {
    const std::string name = test_name("bounds");
    ASSERT_EQ(ipc_rx_setup(name.c_str()), IPC_OK);
    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(plat_mailslot_write(tx, "abc", 3), 0); // no terminator
    char buf[8];
    memset(buf, 'X', sizeof buf);
    size_t len = 0;
    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(std::string(buf, sizeof buf), "abcXXXXX");
    plat_mailslot_close(tx);
    ipc_rx_close();
}

TEST(IpcSender, NoReceiverMeansNoAgent) {
    EXPECT_EQ(ipc_tx_setup(test_name("nobody").c_str()), IPC_TX_OPEN_FAILED);
    EXPECT_EQ(ipc_tx_write("x", 2), IPC_TX_WRITE_FAILED);
}

TEST(IpcSender, ProbeThenPathAndOverlongOrEmptyMessagesAreRefused) {
    const std::string name = test_name("tx");
    plat_mailslot* rx = plat_mailslot_create(name.c_str());
    ASSERT_NE(rx, nullptr);
    ASSERT_EQ(ipc_tx_setup(name.c_str()), IPC_OK);

    const std::string longest(1023, 'q');
    const std::string too_long(1024, 'q');
    EXPECT_EQ(ipc_tx_write(longest.c_str(), longest.size() + 1), IPC_OK);
    EXPECT_EQ(ipc_tx_write(too_long.c_str(), too_long.size() + 1), IPC_TX_WRITE_FAILED);
    EXPECT_EQ(ipc_tx_write("", 0), IPC_TX_WRITE_FAILED);
    ipc_tx_close();

    char buf[2048];
    ASSERT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 0);
    ASSERT_EQ(plat_mailslot_read(rx, buf, sizeof buf), 1024);
    EXPECT_EQ(std::string(buf), longest);
    EXPECT_EQ(plat_mailslot_read(rx, buf, sizeof buf), -1); // the refused ones never went out
    plat_mailslot_close(rx);
}

// A hundred jobs queued while the agent is busy, each by its own sender with
// its probe, all wait and arrive in order (the kernel's own datagram queue
// alone holds five such pairs).
TEST(IpcReceiver, AHundredQueuedJobsAllArriveInOrder) {
    const std::string name = test_name("hundred");
    ASSERT_EQ(ipc_rx_setup(name.c_str()), IPC_OK);
    for (int i = 0; i < 100; i++) {
        const std::string job = "/jobs/" + std::to_string(i) + ".tbs";
        plat_mailslot* tx = plat_mailslot_open(name.c_str());
        ASSERT_NE(tx, nullptr) << i;
        ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0) << i;
        ASSERT_EQ(plat_mailslot_write(tx, job.c_str(), job.size() + 1), 0) << i;
        plat_mailslot_close(tx);
    }
    char buf[IPC_MESSAGE_MAX];
    size_t len = 0;
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK) << i;
        EXPECT_EQ(std::string(buf), "/jobs/" + std::to_string(i) + ".tbs");
    }
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_READ_FAILED);
    ipc_rx_close();
}

// Linux, as root: another user (nobody) writes to the agent's mailslot a
// zero-byte message (which would end the job loop) and a path, sixty times
// over. Every one is refused and logged (the first hundred, then a count);
// the agent's own job behind them is read as if they had never come.
TEST(IpcReceiver, StrangersAreRefusedAndLoggedAndNeverEndTheLoop) {
    if (plat_is_windows) GTEST_SKIP() << "a Windows mailslot has no sender to check";
    char folder[512];
    ASSERT_EQ(plat_mailslot_folder(-1, true, folder, sizeof folder), 0);
    if (std::string(folder) != "/run/tavni-backup") GTEST_SKIP() << "needs root to be a stranger";
    temp_dir dir;
    const auto log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    const std::string name = test_name("stranger");
    ASSERT_EQ(ipc_rx_setup(name.c_str()), IPC_OK);

    // The socket's file name is the mailslot name with dots for slashes.
    std::string file = name;
    for (char& c : file)
        if (c == '/') c = '.';
    const std::string line =
        "setpriv --reuid=nobody --regid=nogroup --clear-groups -- perl -MSocket -e "
        "\"socket(S,PF_UNIX,SOCK_DGRAM,0) or die; connect(S,pack_sockaddr_un(shift)) or die "
        "qq(connect: $!); my $n = shift; for my $i (1..$n) { for (@ARGV) { "
        "defined(send(S, ($_ eq q(-) ? q() : $_ . chr(0)), 0)) or die qq(send: $!) } }\" " +
        std::string(folder) + "/" + file + " 60 - /tmp/evil/x";
    plat_process* stranger = plat_process_start(line.c_str());
    ASSERT_NE(stranger, nullptr);
    plat_wait_result r = PLAT_WAIT_FAILED;
    ASSERT_EQ(plat_process_wait(stranger, 60000, &r), 0);
    ASSERT_EQ(r, PLAT_WAIT_ENDED);
    uint32_t code = 1;
    ASSERT_EQ(plat_process_exit_code(stranger, &code), 0);
    plat_process_close(stranger);
    EXPECT_EQ(code, 0u) << "the stranger could not reach the mailslot";

    plat_mailslot* tx = plat_mailslot_open(name.c_str());
    ASSERT_NE(tx, nullptr);
    ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0);
    ASSERT_EQ(plat_mailslot_write(tx, "/jobs/mine.tbs", 15), 0);
    plat_mailslot_close(tx);
    char buf[IPC_MESSAGE_MAX];
    size_t len = 0;
    ASSERT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_OK);
    EXPECT_STREQ(buf, "/jobs/mine.tbs");
    EXPECT_EQ(ipc_rx_read(buf, sizeof buf, &len), IPC_RX_READ_FAILED);
    ipc_rx_close();
    agent_log_close();

    const std::string text = slurp(log);
    EXPECT_EQ(count_of(text, "Refused a job mailslot message from user 65534 (process "), 100u)
        << text;
    EXPECT_EQ(count_of(text, "Further refused job mailslot messages are counted, not logged."), 1u);
    EXPECT_EQ(count_of(text, "120 job mailslot messages from other users were refused in all."),
              1u);
}
