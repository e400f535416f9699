// The pre- and post-backup command runner: time-out setting, the texts and
// lines of each outcome, the report rule by phase, termination of a child
// that runs too long, the user's stop, and the watchdog's keepalive.
#include "backup/command.h"

#include "common/keepalive.h"
#include "runtime/log.h"
#include "common/timing.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_reports;
bool g_stop = false;

void capture_report(const char* message) {
    g_reports.push_back(message);
}
bool fake_flag() {
    return g_stop;
}

std::string exit_command(int code) {
    return plat_is_windows ? "cmd /c exit " + std::to_string(code)
                           : "sh -c \"exit " + std::to_string(code) + "\"";
}

// A command that runs about 30 seconds unless it is ended. On Linux the shell
// leaves its process id in pid_file first; Windows has no such shell, and
// ping is a single process that waits a second between its echoes.
std::string long_command(const fs::path& pid_file) {
    if (plat_is_windows) return "ping -n 30 127.0.0.1";
    return "sh -c \"echo $$ > " + pid_file.string() + "; exec sleep 30\"";
}

// True while the process of the id in pid_file still runs (Linux only).
bool recorded_process_runs(const fs::path& pid_file) {
    std::string pid;
    std::ifstream in(pid_file);
    return !plat_is_windows && (in >> pid) && fs::exists("/proc/" + pid);
}

std::string missing_file_text() {
    char buf[512];
    return plat_error_text(2, buf, sizeof buf); // the "file not found" code on both platforms
}

class CommandRunner : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tavni_cmd_" + std::to_string(std::random_device{}()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        log_path_ = (dir_ / "job.log").string();
        ASSERT_EQ(job_log_open(log_path_.c_str()), 0);
        timing t = timing_defaults();
        t.command_slice_ms = 10;
        t.command_hour_ms = 300;
        timing_set_for_tests(t);
        g_reports.clear();
        g_stop = false;
        command_hooks hooks = {capture_report, fake_flag};
        command_set_hooks_for_tests(&hooks);
    }
    void TearDown() override {
        command_set_hooks_for_tests(nullptr);
        timing_set_for_tests(timing_defaults());
        job_log_close();
        fs::remove_all(dir_);
    }
    // The messages of the job log, without their timestamps.
    std::vector<std::string> lines() {
        std::ifstream in(log_path_);
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line)) {
            size_t cut = line.find("] ");
            out.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
        }
        return out;
    }
    bool has_line(const std::string& text) {
        for (const std::string& l : lines())
            if (l == text) return true;
        return false;
    }
    std::string log_text() {
        std::string all;
        for (const std::string& l : lines())
            all += l + "\n";
        return all;
    }

    fs::path dir_;
    std::string log_path_;
};

} // namespace

TEST(CommandSettings, TimeoutHoursAndFatalValues) {
    EXPECT_EQ(command_timeout_hours(nullptr), 24);
    EXPECT_EQ(command_timeout_hours(""), 24);
    EXPECT_EQ(command_timeout_hours("0"), 24);
    EXPECT_EQ(command_timeout_hours("97"), 24);
    EXPECT_EQ(command_timeout_hours("-3"), 24);
    EXPECT_EQ(command_timeout_hours("abc"), 24);
    EXPECT_EQ(command_timeout_hours("99999999999999999999"), 24);
    EXPECT_EQ(command_timeout_hours("96"), 96);
    EXPECT_EQ(command_timeout_hours("1"), 1);
    EXPECT_EQ(command_timeout_hours(" 12"), 12);

    EXPECT_FALSE(command_fatal_setting(nullptr));
    EXPECT_FALSE(command_fatal_setting("0"));
    EXPECT_FALSE(command_fatal_setting("no"));
    EXPECT_TRUE(command_fatal_setting("1"));
    EXPECT_TRUE(command_fatal_setting("2"));
}

TEST_F(CommandRunner, TimeoutHoursInTheRunningLine) {
    const std::string cmd = exit_command(0);
    const char* values[] = {nullptr, "0", "97", "x", "96"};
    for (const char* v : values) {
        int fatal_flag = 0;
        EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), false, v, &fatal_flag),
                  COMMAND_JOB_CONTINUES);
    }
    std::vector<std::string> running;
    for (const std::string& l : lines())
        if (l.rfind("Running pre-backup command: ", 0) == 0) running.push_back(l);
    ASSERT_EQ(running.size(), 5u);
    const std::string day =
        "Running pre-backup command: '" + cmd + "' (with a timeout of 24 hours)";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(running[i], day);
    EXPECT_EQ(running[4], "Running pre-backup command: '" + cmd + "' (with a timeout of 96 hours)");
}

TEST_F(CommandRunner, SuccessLogsInOrderAndContinues) {
    const std::string cmd = exit_command(0);
    int fatal_flag = 0;
    EXPECT_EQ(command_run(COMMAND_POST_BACKUP, cmd.c_str(), true, nullptr, &fatal_flag),
              COMMAND_JOB_CONTINUES);
    EXPECT_EQ(fatal_flag, 0);
    EXPECT_TRUE(g_reports.empty());
    std::vector<std::string> got = lines();
    if (plat_is_windows) return; // the redirection lines depend on the Windows version
    std::vector<std::string> want = {
        "Skipping disabling Wow64FsRedirection.",
        "Running post-backup command: '" + cmd + "' (with a timeout of 24 hours)",
        "Successfully executed post-backup command (exit code 0).",
        "Skipping reverting Wow64FsRedirection.",
    };
    EXPECT_EQ(got, want);
}

TEST_F(CommandRunner, NonZeroExitByFatalSetting) {
    const std::string cmd = exit_command(3);
    const std::string text = "Pre-Backup command '" + cmd + "' returned non-zero exit code 3";

    int fatal_flag = 0;
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), true, nullptr, &fatal_flag),
              COMMAND_JOB_ENDS);
    EXPECT_EQ(fatal_flag, 1);
    EXPECT_TRUE(has_line(text + "; Exit code 3; Aborting (pre-backup command failure is fatal)."))
        << log_text();
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], text);

    fatal_flag = 0;
    g_reports.clear();
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), false, nullptr, &fatal_flag),
              COMMAND_JOB_CONTINUES);
    EXPECT_EQ(fatal_flag, 0);
    EXPECT_TRUE(has_line(text + "; Continuing (pre-backup command failure not fatal)."))
        << log_text();
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(CommandRunner, FatalPostBackupFailureLeavesTheReporterAlone) {
    // The job's report is already made when the post-backup command runs; a
    // second report call would silence the reporter for every later job.
    const std::string cmd = exit_command(5);
    int fatal_flag = 0;
    EXPECT_EQ(command_run(COMMAND_POST_BACKUP, cmd.c_str(), true, nullptr, &fatal_flag),
              COMMAND_JOB_ENDS);
    EXPECT_EQ(fatal_flag, 1);
    EXPECT_TRUE(has_line(
        "Post-Backup command '" + cmd +
        "' returned non-zero exit code 5; Exit code 5; Aborting (post-backup command failure is "
        "fatal)."))
        << log_text();
    EXPECT_TRUE(g_reports.empty());

    fatal_flag = 0;
    command_run(COMMAND_POST_BACKUP, cmd.c_str(), false, nullptr, &fatal_flag);
    EXPECT_EQ(fatal_flag, 0);
    EXPECT_TRUE(has_line(
        "Post-Backup command '" + cmd +
        "' returned non-zero exit code 5; Continuing (post-backup command failure not fatal)."));
}

TEST_F(CommandRunner, MissingProgramIsNotStarted) {
    const std::string cmd = "tavni-no-such-program-4711 --flag";
    const std::string text =
        "Pre-Backup command '" + cmd + "' failed on CreateProcess(): " + missing_file_text();
    int fatal_flag = 0;
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), true, nullptr, &fatal_flag),
              COMMAND_JOB_ENDS);
    EXPECT_EQ(fatal_flag, 1);
    EXPECT_TRUE(has_line(text + "; Aborting (pre-command failure is fatal).")) << log_text();
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], text);

    fatal_flag = 0;
    g_reports.clear();
    EXPECT_EQ(command_run(COMMAND_POST_BACKUP, cmd.c_str(), false, nullptr, &fatal_flag),
              COMMAND_JOB_CONTINUES);
    EXPECT_TRUE(has_line("Post-Backup command '" + cmd + "' failed on CreateProcess(): " +
                         missing_file_text() + "; Continuing (post-command failure not fatal)."))
        << log_text();
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(CommandRunner, TimedOutChildIsTerminated) {
    const fs::path pid_file = dir_ / "pid";
    // One hour is 300 ms here.
    const std::string cmd = long_command(pid_file);
    int fatal_flag = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), false, "1", &fatal_flag),
              COMMAND_JOB_CONTINUES);
    EXPECT_EQ(fatal_flag, 0);
    EXPECT_TRUE(
        has_line("Pre-Backup command '" + cmd +
                 "' timed out after 300 milliseconds; Continuing (pre-command failure not fatal)."))
        << log_text();
    EXPECT_TRUE(has_line("Successfully terminated the pre-backup command process."));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20))
        << "the runner waited for the child";
    if (!plat_is_windows) {
        ASSERT_TRUE(fs::exists(pid_file));
    }
    EXPECT_FALSE(recorded_process_runs(pid_file)) << "the timed-out child still exists";
    EXPECT_TRUE(g_reports.empty());

    // Fatal: the job ends and the report carries the time-out text.
    fatal_flag = 0;
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), true, "1", &fatal_flag),
              COMMAND_JOB_ENDS);
    EXPECT_EQ(fatal_flag, 1);
    const std::string text = "Pre-Backup command '" + cmd + "' timed out after 300 milliseconds";
    EXPECT_TRUE(has_line(text + "; Aborting backup (pre-command failure is fatal)."));
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0], text);
}

TEST_F(CommandRunner, UserStopEndsTheCommandAndTheJob) {
    const fs::path pid_file = dir_ / "pid";
    const std::string cmd = long_command(pid_file);
    g_stop = true;
    int fatal_flag = 0;
    // A 24-hour time-out: only the stop can end this run.
    EXPECT_EQ(command_run(COMMAND_PRE_BACKUP, cmd.c_str(), false, nullptr, &fatal_flag),
              COMMAND_JOB_ENDS);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0],
              "The backup started but did not complete because it was terminated by the user "
              "(during execution of the pre-backup command).");
    std::vector<std::string> got = lines();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], "Successfully terminated the pre-backup command process.");
    if (plat_is_windows) // reverted only by a 32-bit process on 64-bit Windows; else error 1
        EXPECT_NE(got.back().find(" Wow64FsRedirection"), std::string::npos) << got.back();
    else
        EXPECT_EQ(got.back(), "Skipping reverting Wow64FsRedirection.");
    EXPECT_FALSE(recorded_process_runs(pid_file));
}

TEST_F(CommandRunner, KeepaliveMovesWhileWaiting) {
    const std::string cmd = plat_is_windows ? exit_command(0) : "sleep 0.1";
    const uint32_t before = keepalive_value();
    int fatal_flag = 0;
    command_run(COMMAND_PRE_BACKUP, cmd.c_str(), false, nullptr, &fatal_flag);
    EXPECT_NE(keepalive_value(), before);
    EXPECT_TRUE(has_line("Successfully executed pre-backup command (exit code 0)."));
}
