// agent_test.cpp - the watchdog with a short slice, the backup thread's job
// loop on a private mailslot, the mode word and the dump file name.
#include "agent/agent.h"
#include "backup/block_pool.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "common/timing.h"
#include "platform/platform.h"

#include "support/wine.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The log's lines without their timestamps.
std::vector<std::string> messages(const fs::path& log) {
    std::vector<std::string> out;
    std::istringstream in(slurp(log));
    std::string line;
    while (std::getline(in, line)) {
        size_t cut = line.find("] ");
        out.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
    }
    return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l == text) return true;
    return false;
}

// Index of the first line equal to text at or after from, or -1.
int find_from(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); i++)
        if (lines[i] == text) return static_cast<int>(i);
    return -1;
}

class AgentTiming : public ::testing::Test {
  protected:
    temp_dir dir;
    fs::path log;
    void SetUp() override {
        log = dir.path / "agent.log";
        ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    }
    void TearDown() override {
        agent_log_close();
        timing_set_for_tests(timing_defaults());
    }
    void set_slices(uint32_t watchdog_ms, uint32_t job_wait_ms) {
        timing t = timing_defaults();
        t.watchdog_slice_ms = watchdog_ms;
        t.job_wait_scale_ms = job_wait_ms;
        timing_set_for_tests(t);
    }
};

// The watchdog writes its dump beside the test program, named by the second
// it was made, and these cases count and remove such dumps: they run one
// after the other in one process (one test entry of their own), never beside
// each other.
class AgentDump : public AgentTiming {};

struct hung_body {
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
};

int hang_without_bumping(void* arg) {
    hung_body* h = static_cast<hung_body*>(arg);
    while (!h->release.load())
        plat_sleep_ms(5);
    h->finished.store(true);
    return 0;
}

int bump_for_a_while(void*) {
    // Runs through many watchdog slices, but keeps bumping.
    for (int i = 0; i < 600; i++) {
        keepalive_bump();
        plat_sleep_ms(2);
    }
    return 0;
}

int end_with_five(void*) {
    return 5;
}

std::vector<fs::path> dumps_of_this_executable() {
    char exe[1024];
    std::vector<fs::path> out;
    if (plat_exe_path(exe, sizeof exe) != 0) return out;
    const fs::path self(exe);
    // The dump drops an ".exe" suffix where there is one.
    std::string base = self.filename().string();
    if (self.extension() == ".exe") base = self.stem().string();
    const std::regex name(std::regex_replace(base, std::regex("[.]"), "\\.") +
                          "_[0-9]{8}_[0-9]{6}\\.dmp");
    for (const auto& entry : fs::directory_iterator(self.parent_path()))
        if (std::regex_match(entry.path().filename().string(), name)) out.push_back(entry.path());
    return out;
}

// Whether no dump can be written here at all: a 32-bit build in Wine's WoW64
// mode (support/wine.h). Tries one dump when the watchdog's is missing.
bool dumps_fail_under_wine_wow64(const fs::path& folder) {
    const std::string probe = (folder / "probe.dmp").string();
    if (plat_write_dump(probe.c_str(), nullptr, nullptr) == 0) {
        fs::remove(probe);
        return false;
    }
    return wine_wow64_cannot_dump(plat_last_error());
}

} // namespace

TEST_F(AgentDump, WatchdogDumpsAndGivesUpAThreadThatStopsBumping) {
    set_slices(150, 1);
    for (const auto& old : dumps_of_this_executable())
        fs::remove(old);
    hung_body body;
    plat_thread* t = plat_thread_start(hang_without_bumping, &body);
    ASSERT_NE(t, nullptr);
    keepalive_bump();
    const uint32_t seen = keepalive_value();
    EXPECT_TRUE(agent_watchdog(t));

    const auto lines = messages(log);
    int at = find_from(lines,
                       "Backup thread timed out after 0 seconds (keepalive: " +
                           std::to_string(static_cast<int>(seen)) + "); Aborting backup.",
                       0);
    ASSERT_GE(at, 0) << slurp(log);
    at = find_from(lines, "Backup thread terminated successfully.", at);
    ASSERT_GE(at, 0);
    EXPECT_GE(find_from(lines, "Backup thread exited abnormally (exit code 1).", at), 0);

    const auto dumps = dumps_of_this_executable();
    if (dumps.empty() && dumps_fail_under_wine_wow64(dir.path)) {
        std::printf("[     NOTE ] dump not checked: %s\n", k_wine_wow64_dump_reason);
    } else {
        ASSERT_EQ(dumps.size(), 1u);
        if (plat_is_windows) { // a minidump of the whole process
            char magic[4] = {};
            std::ifstream(dumps[0], std::ios::binary).read(magic, sizeof magic);
            EXPECT_EQ(std::string(magic, sizeof magic), "MDMP");
        } else { // a text dump, which tells where the keys lie: owner only
            const std::string dump = slurp(dumps[0]);
            EXPECT_NE(dump.find("Backtrace of the hung thread:"), std::string::npos)
                << dump.substr(0, 400);
            EXPECT_NE(dump.find("Memory map:"), std::string::npos);
            EXPECT_EQ(fs::status(dumps[0]).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write);
        }
    }
    for (const auto& d : dumps)
        fs::remove(d);

    // Where the thread was only given up, let it finish before the test ends.
    body.release.store(true);
    if (plat_thread_needs_process_exit())
        while (!body.finished.load())
            plat_sleep_ms(2);
    plat_thread_close(t);
}

struct stuck_writer {
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
};

// Writes job-log lines until told to stop; blocks once nobody reads them.
int write_job_log_lines(void* arg) {
    stuck_writer* w = static_cast<stuck_writer*>(arg);
    const std::string line(4000, 'j');
    while (!w->stop.load())
        job_log_printf("%s\n", line.c_str());
    w->finished.store(true);
    return 0;
}

// The backup thread stuck in a job-log write (a full disk, a pipe nobody
// reads) must not hold up the watchdog: it logs, dumps and gives the thread
// up within its slice.
TEST_F(AgentDump, WatchdogActsWhileTheBackupThreadIsStuckWritingItsJobLog) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    set_slices(300, 1);
    for (const auto& old : dumps_of_this_executable())
        fs::remove(old);
    const std::string pipe = (dir.path / "stuck.tbs.log").string();
    ASSERT_EQ(0, std::system(("mkfifo '" + pipe + "'").c_str()));
    auto reader = std::make_unique<std::fstream>(pipe, std::ios::in | std::ios::out);
    ASSERT_TRUE(reader->is_open()); // a reader that never reads
    ASSERT_EQ(job_log_open(pipe.c_str()), 0);
    stuck_writer w;
    plat_thread* t = plat_thread_start(write_job_log_lines, &w);
    ASSERT_NE(t, nullptr);
    keepalive_reset();
    auto watched = std::async(std::launch::async, [t] { return agent_watchdog(t); });
    const bool acted = watched.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(acted) << "the watchdog waited on the stuck job log";

    // Let the writer go: without a reader its writes fail at once.
    w.stop.store(true);
    reader.reset();
    EXPECT_TRUE(watched.get());
    while (!w.finished.load())
        plat_sleep_ms(2);
    job_log_close();
    plat_thread_close(t);

    const auto lines = messages(log);
    int at = -1;
    for (size_t i = 0; i < lines.size() && at < 0; i++)
        if (std::regex_match(lines[i], std::regex("Backup thread timed out after 0 seconds "
                                                  "\\(keepalive: [0-9]+\\); Aborting backup\\.")))
            at = static_cast<int>(i);
    ASSERT_GE(at, 0) << slurp(log);
    at = find_from(lines, "Backup thread terminated successfully.", at);
    ASSERT_GE(at, 0) << slurp(log);
    EXPECT_GE(find_from(lines, "Backup thread exited abnormally (exit code 1).", at), 0);
    const auto dumps = dumps_of_this_executable();
    EXPECT_EQ(dumps.size(), 1u);
    for (const auto& d : dumps)
        fs::remove(d);
}

struct idle_wait {
    intptr_t socket;
    std::atomic<bool> finished{false};
};

// Blocks in a wait that a signal cuts short, then returns 0 as if done.
int wait_then_return(void* arg) {
    idle_wait* w = static_cast<idle_wait*>(arg);
    plat_socket_wait_readable(w->socket, 20000);
    w->finished.store(true);
    return 0;
}

// On Linux the dump asks the hung thread for its backtrace by a signal, which
// may end the wait it hung in: the thread then returns on its own. It was
// given up all the same, and the log says so.
TEST_F(AgentDump, WatchdogReportsAGivenUpThreadAsEndedAbnormally) {
    if (plat_is_windows)
        GTEST_SKIP() << "the Windows dump leaves the thread alone (PlatformThread covers the code)";
    set_slices(200, 1);
    for (const auto& old : dumps_of_this_executable())
        fs::remove(old);
    uint16_t port = 0;
    idle_wait w;
    w.socket = plat_tcp_listen("127.0.0.1", 0, &port);
    ASSERT_NE(w.socket, -1);
    plat_thread* t = plat_thread_start(wait_then_return, &w);
    ASSERT_NE(t, nullptr);
    keepalive_reset();
    EXPECT_TRUE(agent_watchdog(t));
    const auto lines = messages(log);
    const int at = find_from(lines, "Backup thread terminated successfully.", 0);
    ASSERT_GE(at, 0) << slurp(log);
    EXPECT_GE(find_from(lines, "Backup thread exited abnormally (exit code 1).", at), 0)
        << slurp(log);
    EXPECT_FALSE(contains(lines, "Backup thread exited normally.")) << slurp(log);
    // A thread that was only given up finishes before its socket goes.
    if (plat_thread_needs_process_exit())
        while (!w.finished.load())
            plat_sleep_ms(2);
    plat_thread_close(t);
    plat_socket_close(w.socket);
    for (const auto& d : dumps_of_this_executable())
        fs::remove(d);
}

TEST_F(AgentTiming, WatchdogNeverKillsAThreadThatKeepsBumping) {
    set_slices(500, 1);
    plat_thread* t = plat_thread_start(bump_for_a_while, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(agent_watchdog(t));
    plat_thread_close(t);
    const auto lines = messages(log);
    EXPECT_TRUE(contains(lines, "Backup thread exited normally.")) << slurp(log);
    EXPECT_EQ(slurp(log).find("timed out"), std::string::npos);
}

TEST_F(AgentTiming, WatchdogLogsAnAbnormalExitCode) {
    plat_thread* t = plat_thread_start(end_with_five, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(agent_watchdog(t));
    plat_thread_close(t);
    EXPECT_TRUE(contains(messages(log), "Backup thread exited abnormally (exit code 5)."));
}

// A mailslot name of this test process, in the platform's own form.
static std::string test_slot(const char* what) {
    if (plat_is_windows)
        return "\\\\.\\mailslot\\Tavni-test\\" + std::to_string(plat_process_id()) + "\\" + what;
    return "Tavni-test/" + std::to_string(plat_process_id()) + "/" + what;
}

// Text matched literally inside a regular expression.
static std::string regex_quote(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

TEST_F(AgentTiming, BackupThreadEndsWithOneWhenTheMailslotIsTaken) {
    const std::string name = test_slot("agent-taken");
    plat_mailslot* other = plat_mailslot_create(name.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(backup_thread_run(nullptr, 1, name.c_str()), 1);
    plat_mailslot_close(other);
    const auto lines = messages(log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex("ipc_rx_setup\\(" + regex_quote(name) +
                                              "\\) failed with error code: [1-9][0-9]*\\.")))
        << lines[1];
    EXPECT_EQ(slurp(log).find("ctfs_init"), std::string::npos);
}

struct loop_args {
    std::string initial;
    std::string mailslot;
};

int run_loop(void* arg) {
    loop_args* a = static_cast<loop_args*>(arg);
    return backup_thread_run(a->initial.c_str(), 1, a->mailslot.c_str());
}

TEST_F(AgentTiming, JobLoopRunsQueuedJobsAndSkipsAnImmediateRequeue) {
    // One job wait is long enough for this test to queue its messages.
    set_slices(3600000, 1500);
    loop_args args{(dir.path / "a.tbs").string(), test_slot("agent-loop")};
    const std::string b = (dir.path / "b.tbs").string();
    plat_thread* t = plat_thread_start(run_loop, &args);
    ASSERT_NE(t, nullptr);
    const std::string waiting = "Waiting 1 second(s) for additional jobs via IPC.";
    while (!contains(messages(log), waiting)) {
        ASSERT_EQ(plat_thread_wait(t, 1), PLAT_WAIT_TIMEOUT) << slurp(log);
    }
    plat_mailslot* tx = plat_mailslot_open(args.mailslot.c_str());
    ASSERT_NE(tx, nullptr);
    for (const std::string& job : {args.initial, b, b, args.initial}) {
        ASSERT_EQ(plat_mailslot_write(tx, "", 1), 0); // each sender's probe
        ASSERT_EQ(plat_mailslot_write(tx, job.c_str(), job.size() + 1), 0);
    }
    plat_mailslot_close(tx);
    ASSERT_EQ(plat_thread_wait(t, 60000), PLAT_WAIT_ENDED);
    int code = -1;
    EXPECT_EQ(plat_thread_exit_code(t, &code), 0);
    EXPECT_EQ(code, 0);
    plat_thread_close(t);

    const std::string a = args.initial;
    const std::string skip = "The job that just completed was queued to run again; Skipping.";
    const std::vector<std::string> expected = {
        "Enabling crash dumps.",
        "ipc_rx_setup(" + args.mailslot + ") succeeded.",
        "ctfs_init() succeeded.",
        // Once per process: the workers every job uses, from the processors.
        "Block workers: " + std::to_string(block_pool_default_workers()) + " (" +
            std::to_string(plat_cpu_count()) + " processor(s), at most 8).",
        "initial procjob('" + a + "') begin",
        "See '" + a + ".log' for details.",
        "initial procjob('" + a + "') completed",
        waiting,
        skip,
        "procjob('" + b + "') begin",
        "See '" + b + ".log' for details.",
        "procjob('" + b + "') completed",
        waiting,
        skip,
        "procjob('" + a + "') begin",
        "See '" + a + ".log' for details.",
        "procjob('" + a + "') completed",
        waiting,
        "No new jobs were queued; Finished processing backup jobs; Exiting normally.",
    };
    // The job's own result is procjob's business: only that it was logged.
    std::vector<std::string> got = messages(log);
    for (auto& line : got)
        line = std::regex_replace(
            line, std::regex(" completed (successfully|with error code -?[0-9]+)$"), " completed");
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(fs::exists(b + ".log"));
}

TEST(AgentEntry, ModeWordIsFoundBySubstringCrashFirst) {
    const char* none[] = {"tavni-backup"};
    const char* bad[] = {"tavni-backup", "foreground"};
    const char* bg[] = {"tavni-backup", "xxbackgroundyy", "/j.tbs"};
    const char* both[] = {"tavni-backup", "background-crash"};
    EXPECT_EQ(agent_parse_mode(1, none), AGENT_MODE_NONE);
    EXPECT_EQ(agent_parse_mode(2, bad), AGENT_MODE_INVALID);
    EXPECT_EQ(agent_parse_mode(3, bg), AGENT_MODE_BACKGROUND);
    EXPECT_EQ(agent_parse_mode(2, both), AGENT_MODE_CRASH);
}

TEST(AgentEntry, DumpNameDropsOnlyARealExeSuffix) {
    plat_systime t{2026, 3, 2, 4, 5, 6, 7, 8};
    char out[256];
    ASSERT_EQ(crash_dump_path("C:\\Tavni\\tavni-backup.exe", &t, out, sizeof out), 0);
    EXPECT_STREQ(out, "C:\\Tavni\\tavni-backup_20260304_050607.dmp");
    ASSERT_EQ(crash_dump_path("C:\\Tavni\\TAVNI-BACKUP.EXE", &t, out, sizeof out), 0);
    EXPECT_STREQ(out, "C:\\Tavni\\TAVNI-BACKUP_20260304_050607.dmp");
    ASSERT_EQ(crash_dump_path("/opt/tavni/tavni-backup", &t, out, sizeof out), 0);
    EXPECT_STREQ(out, "/opt/tavni/tavni-backup_20260304_050607.dmp");
    t.year = 999; // the year is space-padded, not zero-padded
    ASSERT_EQ(crash_dump_path("/x", &t, out, sizeof out), 0);
    EXPECT_STREQ(out, "/x_ 9990304_050607.dmp");
    char small[10];
    EXPECT_EQ(crash_dump_path("/opt/tavni/tavni-backup", &t, small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}
