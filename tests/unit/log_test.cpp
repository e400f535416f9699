// log_test.cpp - timestamped lines: format, limits, whole lines under two
// threads, the job log's fallback to the debug output, and log files at names
// a stranger prepared.
#include "runtime/log.h"
#include "platform/platform.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

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

// A name with a line end must not forge lines: a message carrying control
// characters is written as one line, with them escaped and, in that message
// alone, backslashes doubled; every other message, Windows paths included,
// stays exactly as formatted.
TEST(LogFormat, ControlCharactersInAMessageAreEscapedOnOneLine) {
    plat_systime t{2026, 3, 2, 4, 5, 6, 7, 5};
    char line[LOG_LINE_MAX + 1];
    const std::string at = "2026-03-04 05:06:07.0005] ";
    size_t n = log_format_line_at(line, &t, "FILE: 'C:\\new\\report.txt' ...\n");
    EXPECT_EQ(std::string(line, n), at + "FILE: 'C:\\new\\report.txt' ...\n");
    n = log_format_line_at(line, &t,
                           "FILE: 'a\\b\n2026-01-01 00:00:00.0000] User terminated the backup.\r"
                           "\t\x1b\x7f' ...\n");
    EXPECT_EQ(std::string(line, n),
              at + "FILE: 'a\\\\b\\n2026-01-01 00:00:00.0000] User terminated the backup.\\r"
                   "\\t\\x1B\\x7F' ...\n");
    // Only the closing line end is one; a message without one gets none.
    n = log_format_line_at(line, &t, "x\n\n");
    EXPECT_EQ(std::string(line, n), at + "x\\n\n");
    n = log_format_line_at(line, &t, "x\ny");
    EXPECT_EQ(std::string(line, n), at + "x\\ny");
}

TEST(LogFormat, AnEscapedMessageIsCutAtTheLineLimit) {
    temp_dir dir;
    const fs::path log = dir.path / "job.log";
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    const std::string lines(LOG_LINE_MAX, '\n'); // each takes two characters escaped
    job_log_printf("name %s\n", lines.c_str());
    job_log_printf("after\n");
    job_log_close();
    const std::string text = slurp(log);
    ASSERT_GE(text.size(), static_cast<size_t>(LOG_LINE_MAX));
    const std::string first = text.substr(0, LOG_LINE_MAX);
    EXPECT_EQ(first.find('\n'), std::string::npos);
    EXPECT_EQ(first.compare(stamp_len, 7, "name \\n"), 0);
    EXPECT_TRUE(
        std::regex_match(text.substr(LOG_LINE_MAX), std::regex(std::string(stamp) + "after\n")));
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

// A stranger who may write the schedule's folder plants names where the job
// log will be: a link to a file of root's, or a hard link to one. The job
// then runs with its lines on the debug output, and the file is untouched.
TEST(LogFiles, JobLogIsNeverWrittenThroughALinkPlantedAtItsName) {
    temp_dir dir;
    const fs::path victim = dir.path / "victim";
    std::ofstream(victim, std::ios::binary) << "keep me\n";
    const fs::path log = dir.path / "job.tbs.log";
    std::error_code ec;
    fs::create_symlink(victim, log, ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    EXPECT_EQ(job_log_open(log.string().c_str()), -1);
    job_log_printf("a line that must not reach the victim\n");
    job_log_close();
    EXPECT_EQ(read_bytes(victim), "keep me\n");
    EXPECT_EQ(agent_log_open(log.string().c_str()), -1); // the process log alike
    agent_log_close();
    EXPECT_EQ(read_bytes(victim), "keep me\n");

    // A dangling link does not make the agent create its target either.
    const fs::path dangling = dir.path / "dangling.log";
    fs::create_symlink(dir.path / "made-by-the-agent", dangling);
    EXPECT_EQ(job_log_open(dangling.string().c_str()), -1);
    EXPECT_FALSE(fs::exists(dir.path / "made-by-the-agent"));
}

// The job log lists every path the job backs up.
TEST(LogFiles, JobLogIsReadableByItsOwnerOnly) {
    if (plat_is_windows) GTEST_SKIP() << "Windows keeps the folder's access list";
    temp_dir dir;
    const fs::path log = dir.path / "job.tbs.log";
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    job_log_printf("new\n");
    job_log_close();
    const auto owner_rw = fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(fs::status(log).permissions(), owner_rw);
    // A log left by an older run, readable by everyone, is narrowed too.
    fs::permissions(log, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    job_log_printf("second\n");
    job_log_close();
    EXPECT_EQ(fs::status(log).permissions(), owner_rw);
    EXPECT_TRUE(std::regex_match(slurp(log), std::regex(std::string(stamp) + "second\n")));
}

// A pipe is a valid log as long as someone reads it, but the agent never
// waits for a reader, and a reader that goes away does not end the process.
TEST(LogFiles, PipeAsJobLogIsNeverWaitedForAndMayLoseItsReader) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    temp_dir dir;
    const std::string pipe = (dir.path / "job.tbs.log").string();
    ASSERT_EQ(0, std::system(("mkfifo '" + pipe + "'").c_str()));
    auto opened = std::async(std::launch::async, [&] { return job_log_open(pipe.c_str()); });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::ifstream reader(pipe); // lets the waiting open return
        ADD_FAILURE() << "opening a pipe as the job log waited for a reader";
    }
    EXPECT_EQ(opened.get(), -1);
    job_log_close();

    {
        std::fstream reader(pipe, std::ios::in | std::ios::out); // a reader that stays
        ASSERT_TRUE(reader.is_open());
        ASSERT_EQ(job_log_open(pipe.c_str()), 0);
        job_log_printf("through the pipe\n");
        std::string line;
        ASSERT_TRUE(std::getline(reader, line));
        EXPECT_TRUE(
            std::regex_match(line + "\n", std::regex(std::string(stamp) + "through the pipe\n")));
    }
    // The reader has gone: the line is lost, the process lives on.
    job_log_printf("nobody reads this\n");
    job_log_close();
    SUCCEED();
}

// A file's first line is held and written with the line that decides it; under
// another writer the two stay together, each with its own time stamp.
TEST(LogWriters, AHeldLineAndTheNextOneAreWrittenTogether) {
    temp_dir dir;
    const fs::path log = dir.path / "job.tbs.log";
    ASSERT_EQ(job_log_open(log.string().c_str()), 0);
    const int pairs = 2000;
    const std::string pad(300, '.');
    std::thread other([&] {
        for (int i = 0; i < pairs; i++)
            job_log_printf("other %d %s\n", i, pad.c_str());
    });
    for (int i = 0; i < pairs; i++) {
        log_held_line held;
        job_log_hold(&held, "FILE: 'f%d' ...\n", i);
        if (i % 2)
            job_log_printf_after(&held, "FILE: Current; Not backing up: 'f%d'\n", i);
        else
            job_log_write_held(&held);
    }
    other.join();
    job_log_close();

    std::istringstream in(slurp(log));
    const std::regex first(std::string(stamp) + "FILE: 'f([0-9]+)' \\.\\.\\.");
    const std::regex second(std::string(stamp) + "FILE: Current; Not backing up: 'f([0-9]+)'");
    const std::regex from_other(std::string(stamp) + "other [0-9]+ \\.{300}");
    std::string line, held_name;
    int firsts = 0, seconds = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!held_name.empty()) {
            ASSERT_TRUE(std::regex_match(line, m, second))
                << "after f" << held_name << ": " << line;
            ASSERT_EQ(m[1], held_name);
            held_name.clear();
            seconds++;
        } else if (std::regex_match(line, m, first)) {
            firsts++;
            if (std::stoi(m[1]) % 2) held_name = m[1];
        } else {
            ASSERT_TRUE(std::regex_match(line, from_other)) << line.substr(0, 80);
        }
    }
    EXPECT_EQ(firsts, pairs);
    EXPECT_EQ(seconds, pairs / 2);
}

TEST(LogWriters, HeldLinesGoToTheDebugOutputInOrderWithoutAJobLog) {
    if (plat_is_windows) GTEST_SKIP() << "the debug output is not the standard error stream";
    job_log_close();
    ::testing::internal::CaptureStderr();
    log_held_line held;
    job_log_hold(&held, "FILE: '%s' ...\n", "a");
    job_log_printf_after(&held, "FILE: Skipping '%s' due to filter.\n", "a");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex(std::string(stamp) + "FILE: 'a' \\.\\.\\.\n" +
                                                 stamp + "FILE: Skipping 'a' due to filter.\n")))
        << err;
}

// A log descriptor number that a regular file had before is reused for a pipe:
// writing the pipe after its reader left still must not end the process.
TEST(LogFiles, APipeOnTheNumberOfAClosedRegularLogIsStillWrittenSafely) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    temp_dir dir;
    const std::string pipe = (dir.path / "job.tbs.log").string();
    ASSERT_EQ(0, std::system(("mkfifo '" + pipe + "'").c_str()));
    auto reader = std::make_unique<std::fstream>(pipe, std::ios::in | std::ios::out);
    ASSERT_TRUE(reader->is_open());
    const std::string plain = (dir.path / "plain.log").string();
    ASSERT_EQ(job_log_open(plain.c_str()), 0);
    job_log_printf("to the file\n");
    job_log_close(); // its number is free again, and the pipe below takes it
    ASSERT_EQ(job_log_open(pipe.c_str()), 0);
    job_log_printf("through the pipe\n");
    std::string line;
    ASSERT_TRUE(std::getline(*reader, line));
    reader.reset();
    job_log_printf("nobody reads this\n");
    job_log_close();
    EXPECT_NE(slurp(plain).find("to the file\n"), std::string::npos);
}
