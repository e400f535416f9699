// The files-and-folders section of the platform layer on this machine.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Dir {
    fs::path p = fs::temp_directory_path() /
                 ("tavni-platfs-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Dir() {
        fs::remove_all(p);
        fs::create_directories(p);
    }
    ~Dir() { fs::remove_all(p); }
    std::string at(const char* rel) const { return (p / rel).string(); }
};

} // namespace

TEST(PlatformFs, ListingIsSortedWithDotFirst) {
    Dir d;
    std::ofstream(d.at("b.txt")) << "12345";
    std::ofstream(d.at("A.txt")) << "1";
    fs::create_directory(d.at("c"));
    plat_file_info e;
    plat_dir* dir = plat_dir_open(d.p.string().c_str(), &e);
    ASSERT_NE(nullptr, dir);
    std::vector<std::string> names{e.name};
    EXPECT_TRUE(e.attributes & PLAT_ATTR_DIRECTORY); // "." carries the folder's own status
    while (plat_dir_next(dir, &e) == 0) {
        names.push_back(e.name);
        if (names.back() == "b.txt") {
            EXPECT_EQ(5, e.size);
            EXPECT_FALSE(e.attributes & PLAT_ATTR_DIRECTORY);
        }
    }
    plat_dir_close(dir);
    if (!plat_is_windows) {
        EXPECT_EQ((std::vector<std::string>{".", "..", "A.txt", "b.txt", "c"}), names);
    }
    EXPECT_EQ(nullptr, plat_dir_open(d.at("missing").c_str(), &e));
    EXPECT_FALSE(plat_error_is_access_denied(plat_last_error()));
    EXPECT_TRUE(plat_error_is_access_denied(plat_is_windows ? 5 : EACCES));
    EXPECT_EQ(nullptr, plat_dir_open(d.at("b.txt").c_str(), &e));
    plat_dir_close(nullptr);
}

// A pipe without a writer would hold its reader's open for ever.
TEST(PlatformFs, PipesAreNeitherListedNorWaitedOn) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    Dir d;
    std::ofstream(d.at("file")) << "x";
    ASSERT_EQ(0, std::system(("mkfifo '" + d.at("pipe") + "'").c_str()));
    plat_file_info e;
    plat_dir* dir = plat_dir_open(d.p.string().c_str(), &e);
    ASSERT_NE(nullptr, dir);
    std::vector<std::string> names{e.name};
    while (plat_dir_next(dir, &e) == 0)
        names.push_back(e.name);
    plat_dir_close(dir);
    EXPECT_EQ((std::vector<std::string>{".", "..", "file"}), names);

    const std::string pipe = d.at("pipe");
    int error = 0; // the last error belongs to the thread that opened
    auto opened = std::async(std::launch::async, [&] {
        plat_file f = plat_file_open_read(pipe.c_str());
        error = plat_last_error();
        return f;
    });
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::ofstream writer(pipe); // lets the waiting open return
        ADD_FAILURE() << "opening a pipe waited for a writer";
    }
    plat_file f = opened.get();
    EXPECT_EQ(PLAT_NO_FILE, f);
    EXPECT_EQ(EINVAL, error);
    if (f != PLAT_NO_FILE) plat_file_close(f);
    plat_file g = plat_file_open_read(d.at("file").c_str());
    ASSERT_NE(PLAT_NO_FILE, g);
    char c = 0;
    EXPECT_EQ(1, plat_file_read(g, &c, 1)); // an ordinary file reads as before
    plat_file_close(g);
}

TEST(PlatformFs, FilesReadWriteSeekAndRename) {
    Dir d;
    std::string a = d.at("a.bin"), b = d.at("b.bin");
    plat_file f = plat_file_create(a.c_str(), true);
    ASSERT_NE(PLAT_NO_FILE, f);
    EXPECT_EQ(6, plat_file_write(f, "abcdef", 6));
    EXPECT_EQ(0, plat_file_close(f));
    if (!plat_is_windows) {
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(a).permissions());
    }
    f = plat_file_open_read(a.c_str());
    ASSERT_NE(PLAT_NO_FILE, f);
    EXPECT_EQ(6, plat_file_seek(f, 0, PLAT_SEEK_END));
    EXPECT_EQ(2, plat_file_seek(f, 2, PLAT_SEEK_SET));
    char buf[8] = {0};
    EXPECT_EQ(4, plat_file_read(f, buf, sizeof buf));
    EXPECT_STREQ("cdef", buf);
    EXPECT_EQ(0, plat_file_read(f, buf, sizeof buf));
    plat_file_close(f);
    EXPECT_EQ(0, plat_file_close(PLAT_NO_FILE));

    plat_file_info st;
    ASSERT_EQ(0, plat_file_status(a.c_str(), &st));
    EXPECT_EQ(6, st.size);
    EXPECT_EQ(st.mtime, static_cast<int64_t>((st.write_time - 116444736000000000ULL) / 10000000));
    std::ofstream(b) << "x";
    EXPECT_EQ(-1, plat_rename(a.c_str(), b.c_str())); // never replaces
    EXPECT_EQ(0, plat_unlink(b.c_str()));
    EXPECT_EQ(0, plat_rename(a.c_str(), b.c_str()));
    EXPECT_FALSE(plat_exists(a.c_str()));
    EXPECT_TRUE(plat_exists(b.c_str()));
    EXPECT_EQ(0, plat_mkdir(d.at("sub").c_str(), true));
    EXPECT_TRUE(plat_is_folder(d.at("sub").c_str()));
    EXPECT_EQ(-1, plat_mkdir(d.at("sub").c_str(), true));
    EXPECT_EQ(0, plat_rmdir(d.at("sub").c_str()));
    uint32_t cluster = 0;
    uint64_t space = 0;
    EXPECT_EQ(0, plat_volume_cluster_size(d.p.string().c_str(), &cluster));
    EXPECT_GT(cluster, 0u);
    EXPECT_EQ(0, plat_volume_free_space(d.p.string().c_str(), &space));
    char type[32];
    EXPECT_EQ(0, plat_fs_type(d.p.string().c_str(), type, sizeof type));
    if (!plat_is_windows) {
        fs::create_symlink(b, d.at("link"));
        ASSERT_EQ(0, plat_file_status(d.at("link").c_str(), &st));
        EXPECT_TRUE(st.attributes & PLAT_ATTR_REPARSE);
        EXPECT_EQ(0, plat_fs_type("/proc", type, sizeof type));
        EXPECT_STREQ("proc", type);
    }
}
