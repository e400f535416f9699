// test_files.h - a private temporary folder per test and whole-file reads
// that see the logs' CR LF line ends (Windows text mode) as "\n".
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

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
