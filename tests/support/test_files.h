// test_files.h - a private temporary folder per test and whole-file reads
// that see the logs' CR LF line ends (Windows text mode) as "\n".
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

// A fresh path under the temporary folder that no other test process uses:
// ctest runs each test in a process of its own, side by side, and in every
// one of them the random seed is the same and a counter starts again at 0.
inline std::filesystem::path unique_temp_path(const std::string& tag) {
    static std::atomic<int> n{0};
    return std::filesystem::temp_directory_path() /
           ("tavni-" + tag + "-" + std::to_string(plat_process_id()) + "-" + std::to_string(n++));
}

// The emulator that runs this build's programs, with a space after it, where
// the build runs under one; empty otherwise. Put before a program of this
// build in a command line.
#ifndef TAVNI_TEST_RUNNER
#define TAVNI_TEST_RUNNER ""
#endif
inline std::string program_runner() {
    const std::string runner = TAVNI_TEST_RUNNER;
    return runner.empty() ? runner : runner + " ";
}

// Whether the test program can start itself again, as a "threadsafe" death
// test does: not under user-mode emulation, where the kernel cannot start
// the program (and a forked child of the emulator may hang).
inline bool can_restart_self() {
    return program_runner().empty();
}

struct temp_dir {
    std::filesystem::path path;
    temp_dir() {
        path = std::filesystem::temp_directory_path() /
               ("tavni-test-" + std::to_string(plat_process_id()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The file's bytes as they are.
inline std::string read_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A log or other text file, with Windows line ends read as "\n".
inline std::string slurp(const std::filesystem::path& p) {
    std::string text = read_bytes(p);
    if (plat_is_windows) text = std::regex_replace(text, std::regex("\r\n"), "\n");
    return text;
}

// How many times part occurs in text, overlaps included.
inline size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}
