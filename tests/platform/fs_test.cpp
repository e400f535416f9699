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
#include <cstring>
#include <thread>
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

// A listing as "name size|error" lines, "." and ".." left out; null gives "".
static std::string listing_text(plat_dir* dir, plat_file_info first) {
    std::string out;
    if (!dir) return out;
    plat_file_info e = first;
    do {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        out += std::string(e.name) + " " +
               (e.status_error ? "error " + std::to_string(e.status_error)
                               : std::to_string(e.size)) +
               "\n";
    } while (plat_dir_next(dir, &e) == 0);
    plat_dir_close(dir);
    return out;
}

// A listing read ahead (its status reads shared among threads on Linux) is the
// listing plat_dir_open gives, with the same calls counted by the fault
// switch; one that began too long ago, or of another folder, is read afresh.
TEST(PlatformFs, ListingReadAheadIsTheListingOfItsFolder) {
    Dir d;
    for (int i = 0; i < 600; i++)
        std::ofstream(d.at(("f" + std::to_string(1000 + i)).c_str())) << std::string(i % 97, 'x');
    fs::create_directory(d.at("m1"));
    fs::create_directory(d.at("m2"));
    const std::string folder = d.p.string();
    plat_file_info first;
    const std::string direct = listing_text(plat_dir_open(folder.c_str(), &first), first);
    ASSERT_NE(direct.find("f1599 17\n"), std::string::npos);

    plat_dir_ahead* a = plat_dir_read_ahead(folder.c_str());
    EXPECT_EQ(plat_is_windows, a == nullptr);
    EXPECT_EQ(direct, listing_text(plat_dir_open_ahead(a, folder.c_str(), &first, 60000), first));
    plat_dir_ahead_close(a);

    // Of another folder: that folder, listed now.
    a = plat_dir_read_ahead(folder.c_str());
    EXPECT_EQ("", listing_text(plat_dir_open_ahead(a, d.at("m1").c_str(), &first, 60000), first));
    plat_dir_ahead_close(a);

    // Begun longer ago than allowed: the entry made since is listed.
    a = plat_dir_read_ahead(folder.c_str());
    const uint32_t started = plat_tick_ms();
    std::ofstream(d.at("late")) << "1";
    while (plat_tick_ms() - started < 2)
        std::this_thread::yield();
    EXPECT_NE(listing_text(plat_dir_open_ahead(a, folder.c_str(), &first, 0), first).find("late 1\n"),
              std::string::npos);
    plat_dir_ahead_close(a);
    plat_dir_ahead_close(nullptr);

    if (PLAT_FAULT_COMPILED_IN) {
        // The 5th status read fails, and each way counts one listing and one
        // status read per entry.
        const plat_fault_plan plan{PLAT_FAULT_STATUS, 5, false, plat_is_windows ? 5 : EIO,
                                   PLAT_FAULT_FAIL};
        ASSERT_EQ(0, plat_fault_arm(&plan));
        const std::string failed = listing_text(plat_dir_open(folder.c_str(), &first), first);
        const uint64_t lists = plat_fault_count(PLAT_FAULT_LIST);
        const uint64_t statuses = plat_fault_count(PLAT_FAULT_STATUS);
        ASSERT_EQ(0, plat_fault_arm(&plan));
        a = plat_dir_read_ahead(folder.c_str());
        EXPECT_EQ(failed,
                  listing_text(plat_dir_open_ahead(a, folder.c_str(), &first, 60000), first));
        plat_dir_ahead_close(a);
        EXPECT_EQ(lists, plat_fault_count(PLAT_FAULT_LIST));
        EXPECT_EQ(statuses, plat_fault_count(PLAT_FAULT_STATUS));
        plat_fault_arm(nullptr);
        if (!plat_is_windows) {
            EXPECT_NE(failed.find("f1004 error " + std::to_string(EIO)), std::string::npos);
        }
    }
}

// However deep a walk goes, a process holds at most PLAT_DIR_READS_AHEAD_MAX
// read-aheads; past them folders are listed on the spot, and a closed one
// makes room again.
TEST(PlatformFs, ReadsAheadAreBoundedWhateverTheDepth) {
    Dir d;
    const std::string folder = d.p.string();
    std::vector<plat_dir_ahead*> held;
    for (int i = 0; i < 3 * PLAT_DIR_READS_AHEAD_MAX; i++)
        held.push_back(plat_dir_read_ahead(folder.c_str()));
    int started = 0;
    for (plat_dir_ahead* a : held)
        started += a != nullptr;
    EXPECT_EQ(plat_is_windows ? 0 : static_cast<int>(PLAT_DIR_READS_AHEAD_MAX), started);
    plat_file_info first;
    EXPECT_EQ("", listing_text(plat_dir_open_ahead(held.back(), folder.c_str(), &first, 60000),
                               first));
    plat_dir_ahead_close(held.front());
    held.front() = plat_dir_read_ahead(folder.c_str());
    EXPECT_EQ(plat_is_windows, held.front() == nullptr);
    for (plat_dir_ahead* a : held)
        plat_dir_ahead_close(a);
}

// The next subfolder still to come, links and files passed over.
TEST(PlatformFs, PeekingFindsTheNextFolderToCome) {
    if (plat_is_windows) GTEST_SKIP() << "a Windows listing is read as it is walked";
    Dir d;
    fs::create_directory(d.at("a"));
    std::ofstream(d.at("b")) << "1";
    fs::create_directory_symlink(d.at("a"), d.at("c"));
    fs::create_directory(d.at("d"));
    plat_file_info e, peeked;
    plat_dir* dir = plat_dir_open(d.p.string().c_str(), &e);
    ASSERT_NE(nullptr, dir);
    std::string seen;
    do {
        seen += std::string(e.name) + ">" +
                (plat_dir_peek_folder(dir, &peeked) ? peeked.name : "none") + " ";
    } while (plat_dir_next(dir, &e) == 0);
    plat_dir_close(dir);
    EXPECT_EQ(".>a ..>a a>d b>d c>d d>none ", seen);
    EXPECT_FALSE(plat_dir_peek_folder(nullptr, &peeked));
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
