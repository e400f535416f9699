// log_test.cpp - timestamped lines: format, limits, whole lines under two
// threads, and the job log's fallback to the debug output.
#include "agent/log.h"
#include "platform/platform.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

const char* const stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{4}\\] ";
const size_t stamp_len = 26; // "2026-12-07 23:41:16.0275] "

} // namespace

TEST(LogFormat, MillisecondsHaveFourDigitsAndThereIsNoOpeningBracket) {
    plat_systime t{2026, 3, 2, 4, 5, 6, 7, 5};
    char line[LOG_LINE_MAX + 1];
    size_t n = log_format_line_at(line, &t, "hello\n");
    EXPECT_EQ(std::string(line, n), "2026-03-04 05:06:07.0005] hello\n");
    t.milliseconds = 999;
    n = log_format_line_at(line, &t, "x");
    EXPECT_EQ(std::string(line, n), "2026-03-04 05:06:07.0999] x");
}

TEST(LogFormat, LongMessageIsCutAndTheLineToo) {
    temp_dir dir;
    const fs::path log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    const std::string big(20000, 'm');
    agent_log_printf("%s\n", big.c_str());
    agent_log_printf("after\n");
    agent_log_close();
    const std::string text = slurp(log);
    // The cut line has no line end, so the next line runs on after it.
    ASSERT_GE(text.size(), static_cast<size_t>(LOG_LINE_MAX));
    const std::string first = text.substr(0, LOG_LINE_MAX);
    EXPECT_TRUE(
        std::regex_search(first.substr(0, stamp_len), std::regex(std::string("^") + stamp)));
    EXPECT_EQ(first.substr(stamp_len), std::string(LOG_LINE_MAX - stamp_len, 'm'));
    EXPECT_TRUE(
        std::regex_match(text.substr(LOG_LINE_MAX), std::regex(std::string(stamp) + "after\n")));
}

TEST(LogFormat, MessageWithoutLineEndRunsIntoTheNext) {
    temp_dir dir;
    const fs::path log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    agent_log_printf("part one; ");
    agent_log_printf("part %d\n", 2);
    agent_log_close();
    EXPECT_TRUE(std::regex_match(
        slurp(log), std::regex(std::string(stamp) + "part one; " + stamp + "part 2\n")));
}

TEST(LogWriters, TwoThreadsNeverInterleaveWithinALine) {
    temp_dir dir;
    const fs::path log = dir.path / "agent.log";
    ASSERT_EQ(agent_log_open(log.string().c_str()), 0);
    const int lines = 3000;
    const std::string pad(200, '.');
    auto writer = [&](char who) {
        for (int i = 0; i < lines; i++)
            agent_log_printf("%c %d %s %c\n", who, i, pad.c_str(), who);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();
    agent_log_close();

    std::istringstream in(slurp(log));
    const std::regex whole(std::string(stamp) + "([AB]) [0-9]+ \\.{200} ([AB])");
    std::string line;
    int count[2] = {0, 0};
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 80);
        ASSERT_EQ(m[1], m[2]);
        count[m[1] == "A" ? 0 : 1]++;
    }
    EXPECT_EQ(count[0], lines);
    EXPECT_EQ(count[1], lines);
}

TEST(LogWriters, JobLogThatCannotBeOpenedGoesToTheDebugOutput) {
    if (plat_is_windows) GTEST_SKIP() << "the debug output is not the standard error stream";
    temp_dir dir;
    const fs::path job_log = dir.path / "missing-folder" / "job.tbs.log";
    EXPECT_EQ(job_log_open(job_log.string().c_str()), -1);
    ::testing::internal::CaptureStderr();
    job_log_printf("Initialized log file '%s'\n", "job.tbs");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(
        std::regex_match(err, std::regex(std::string(stamp) + "Initialized log file 'job.tbs'\n")));
    EXPECT_FALSE(fs::exists(job_log));
}

TEST(LogWriters, OpeningEmptiesTheLogAndAnotherEmptyingLeavesNoHole) {
    temp_dir dir;
    const fs::path log = dir.path / "job.tbs.log";
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    job_log_printf("first run\n");
    job_log_close();
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    job_log_printf("second run\n");
    // Another process empties the log while this one still writes it (a
    // second agent in the same folder): our next line starts the file.
    FILE* other = fopen(log.string().c_str(), "w");
    ASSERT_NE(other, nullptr);
    fclose(other);
    job_log_printf("still here\n");
    job_log_close();
    EXPECT_TRUE(std::regex_match(slurp(log), std::regex(std::string(stamp) + "still here\n")));
}

TEST(LogWriters, DebugLinesAreCutAndEndWithCrLf) {
    if (plat_is_windows) GTEST_SKIP() << "the debug output is not the standard error stream";
    const std::string big(400, 'd');
    ::testing::internal::CaptureStderr();
    debug_printf("%s", big.c_str());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(DEBUG_LINE_MAX, 'd') + "\r\n");
}

TEST(LogWriters, ProcessLogLinesAreDroppedWhileItIsClosed) {
    if (plat_is_windows) GTEST_SKIP() << "the debug output is not the standard error stream";
    agent_log_close();
    ::testing::internal::CaptureStderr();
    agent_log_printf("nowhere\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}
