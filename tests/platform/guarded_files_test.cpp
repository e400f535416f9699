// guarded_files_test.cpp - the platform's file writers at names a stranger
// prepared (a symbolic link, a hard link, a pipe, another user's file), its
// read streams, and the descriptors a child process gets.
#include "platform/platform.h"

#include "support/test_files.h"
#include "support/wine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Each writer of the platform, tried at one name: true when it opened.
struct writer {
    const char* name;
    std::function<bool(const char*)> open;
};

bool close_file(plat_file f) {
    if (f == PLAT_NO_FILE) return false;
    plat_file_close(f);
    return true;
}

bool close_stream(FILE* f) {
    if (!f) return false;
    fclose(f);
    return true;
}

std::vector<writer> all_writers() {
    return {
        {"plat_file_create", [](const char* p) { return close_file(plat_file_create(p, false)); }},
        {"plat_file_create owner-only",
         [](const char* p) { return close_file(plat_file_create(p, true)); }},
        {"plat_file_open_write", [](const char* p) { return close_file(plat_file_open_write(p)); }},
        {"plat_open_private truncate",
         [](const char* p) { return close_stream(plat_open_private(p, PLAT_PRIVATE_TRUNCATE)); }},
        {"plat_open_private new",
         [](const char* p) { return close_stream(plat_open_private(p, PLAT_PRIVATE_CREATE_NEW)); }},
        {"plat_log_open", [](const char* p) { return close_file(plat_log_open(p, false)); }},
        {"plat_log_open owner-only",
         [](const char* p) { return close_file(plat_log_open(p, true)); }},
    };
}

} // namespace

TEST(GuardedFiles, NoWriterFollowsALinkPlantedAtItsName) {
    temp_dir d;
    const std::string victim = (d.path / "victim").string(), link = (d.path / "planted").string();
    std::ofstream(victim, std::ios::binary) << "keep me";
    std::error_code ec;
    fs::create_symlink(victim, link, ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    if (under_wine())
        GTEST_SKIP() << "Wine follows links that Windows would open as reparse points";
    for (const writer& w : all_writers()) {
        EXPECT_FALSE(w.open(link.c_str())) << w.name;
        EXPECT_EQ(bytes_of(victim), "keep me") << w.name;
    }
    if (!plat_is_windows) {
        // The dump of a crash lies beside the executable: the same rule.
        EXPECT_EQ(plat_write_dump(link.c_str(), nullptr, nullptr), -1);
        EXPECT_EQ(bytes_of(victim), "keep me");
    }
    // Nothing is created through a dangling link either.
    const std::string dangling = (d.path / "dangling").string();
    fs::create_symlink(d.path / "created", dangling);
    for (const writer& w : all_writers())
        EXPECT_FALSE(w.open(dangling.c_str())) << w.name;
    EXPECT_FALSE(fs::exists(d.path / "created"));
}

TEST(GuardedFiles, NoWriterWritesAFileThatHasAnotherName) {
    temp_dir d;
    const std::string victim = (d.path / "victim").string(), link = (d.path / "planted").string();
    std::ofstream(victim, std::ios::binary) << "keep me";
    std::error_code ec;
    fs::create_hard_link(victim, link, ec);
    if (ec) GTEST_SKIP() << "no hard links here: " << ec.message();
    for (const writer& w : all_writers()) {
        EXPECT_FALSE(w.open(link.c_str())) << w.name;
        EXPECT_EQ(bytes_of(victim), "keep me") << w.name;
    }
    if (!plat_is_windows) {
        EXPECT_EQ(plat_write_dump(link.c_str(), nullptr, nullptr), -1);
        EXPECT_EQ(bytes_of(victim), "keep me");
    }
    // Once the file has one name again, it is the agent's to write.
    fs::remove(victim);
    plat_file f = plat_file_create(link.c_str(), false);
    ASSERT_NE(f, PLAT_NO_FILE);
    plat_file_close(f);
    EXPECT_EQ(bytes_of(link), "");
}

// A file of another user cannot be made private by narrowing its mode: its
// owner may open it up again, or already holds it open.
TEST(GuardedFiles, OwnerOnlyWritersRefuseAnotherUsersFile) {
    if (plat_is_windows) GTEST_SKIP() << "Windows keeps the folder's access list";
    temp_dir d;
    const std::string theirs = (d.path / "theirs").string();
    std::ofstream(theirs, std::ios::binary) << "planted";
    fs::permissions(theirs, fs::perms::all);
    if (std::system(("chown 65534 '" + theirs + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "giving a file away needs root";
    EXPECT_EQ(plat_file_create(theirs.c_str(), true), PLAT_NO_FILE);
    EXPECT_EQ(plat_last_error(), EPERM);
    EXPECT_EQ(plat_open_private(theirs.c_str(), PLAT_PRIVATE_TRUNCATE), nullptr);
    EXPECT_EQ(plat_log_open(theirs.c_str(), true), PLAT_NO_FILE);
    EXPECT_EQ(bytes_of(theirs), "planted");
    EXPECT_EQ(fs::status(theirs).permissions(), fs::perms::all);
    // A file without secrets (the process log) may be someone else's.
    plat_file f = plat_log_open(theirs.c_str(), false);
    EXPECT_NE(f, PLAT_NO_FILE);
    plat_file_close(f);
}

TEST(GuardedFiles, WritersRefusePipesAndNeverWaitForThem) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    temp_dir d;
    const std::string pipe = (d.path / "pipe").string();
    ASSERT_EQ(0, std::system(("mkfifo '" + pipe + "'").c_str()));
    for (const writer& w : all_writers()) {
        auto opened = std::async(std::launch::async, [&] { return w.open(pipe.c_str()); });
        if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            std::ifstream reader(pipe); // lets the waiting open return
            ADD_FAILURE() << w.name << " waited for the pipe's reader";
        }
        EXPECT_FALSE(opened.get()) << w.name;
    }
    // Reading streams do not wait for a writer either.
    auto read = std::async(std::launch::async, [&] {
        FILE* f = plat_fopen_read(pipe.c_str(), false);
        const int error = errno;
        if (f) fclose(f);
        return f ? 0 : error;
    });
    if (read.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::ofstream writer(pipe);
        ADD_FAILURE() << "plat_fopen_read waited for the pipe's writer";
    }
    EXPECT_EQ(read.get(), EINVAL);
    EXPECT_EQ(plat_fopen_read(d.path.string().c_str(), false), nullptr);
    EXPECT_EQ(errno, EISDIR);
}

TEST(GuardedFiles, ReadStreamsReadFilesAsFopenDoes) {
    temp_dir d;
    const std::string text = (d.path / "text").string();
    std::ofstream(text, std::ios::binary) << "one\r\ntwo\n";
    FILE* f = plat_fopen_read(text.c_str(), false);
    ASSERT_NE(f, nullptr);
    char buf[32] = {};
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 9u);
    fclose(f);
    f = plat_fopen_read(text.c_str(), true);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    EXPECT_STREQ(buf, plat_is_windows ? "one\n" : "one\r\n");
    fclose(f);
    errno = 0;
    EXPECT_EQ(plat_fopen_read((d.path / "missing").string().c_str(), false), nullptr);
    EXPECT_EQ(errno, ENOENT);
}
