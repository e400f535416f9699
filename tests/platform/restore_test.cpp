// restore_test.cpp - the restore's held folders and files (platform/server.h)
// against names a stranger prepared or swaps: links at a folder, at a
// temporary name, a folder renamed and replaced by a link while it is held,
// and what a stored security record may set.
#include "platform/server.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

typedef std::unique_ptr<plat_restore_dir, void (*)(plat_restore_dir*)> dir_ptr;
typedef std::unique_ptr<plat_restore_file, void (*)(plat_restore_file*)> file_ptr;
dir_ptr held(plat_restore_dir* d) {
    return dir_ptr(d, plat_restore_dir_close);
}
file_ptr made(plat_restore_file* f) {
    return file_ptr(f, plat_restore_close);
}

// Writes text through a new temporary file in d and gives it name.
int restore_one(plat_restore_dir* d, const char* name, const std::string& text, bool replace) {
    std::string temp = std::string(name) + ".tavni-part";
    file_ptr f = made(plat_restore_create(d, temp.c_str()));
    if (!f) return -1;
    fwrite(text.data(), 1, text.size(), plat_restore_stream(f.get()));
    int dropped = 0;
    if (plat_restore_finish(f.get(), 0, nullptr, 0, 0, 1000000000, &dropped) != 0) return -1;
    return plat_restore_commit(f.get(), name, replace);
}

// Whether links can be made here (not on every Windows, not always under Wine).
bool can_link(const fs::path& dir) {
    std::error_code ec;
    fs::create_directory_symlink(dir, dir / "probe-link", ec);
    if (ec) return false;
    fs::remove(dir / "probe-link", ec);
    return true;
}

uint8_t* le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    return p + 4;
}

} // namespace

TEST(Restore, FoldersAreMadeAndEnteredAndFilesGetTheirNames) {
    temp_dir d;
    dir_ptr root = held(plat_restore_root((d.path / "out" / "deep").string().c_str(), true));
    ASSERT_TRUE(root);
    dir_ptr sub = held(plat_restore_subdir(root.get(), "sub"));
    ASSERT_TRUE(sub);
    EXPECT_EQ(plat_restore_what(root.get(), "sub"), PLAT_RESTORE_FOLDER);
    EXPECT_EQ(plat_restore_what(root.get(), "none"), PLAT_RESTORE_NONE);
    // An existing folder is entered as it is.
    dir_ptr again = held(plat_restore_subdir(root.get(), "sub"));
    EXPECT_TRUE(again);
    ASSERT_EQ(restore_one(sub.get(), "f.txt", "contents", false), 0);
    fs::path f = d.path / "out" / "deep" / "sub" / "f.txt";
    EXPECT_EQ(bytes_of(f), "contents");
    EXPECT_FALSE(fs::exists(d.path / "out" / "deep" / "sub" / "f.txt.tavni-part"));
    EXPECT_EQ(plat_restore_what(sub.get(), "f.txt"), PLAT_RESTORE_FILE);
    if (!plat_is_windows)
        EXPECT_EQ(fs::status(d.path / "out" / "deep" / "sub").permissions() & fs::perms::all,
                  fs::perms::owner_all);
    // No replacing without asking; a folder is never replaced.
    EXPECT_NE(restore_one(sub.get(), "f.txt", "second", false), 0);
    EXPECT_EQ(bytes_of(f), "contents");
    EXPECT_EQ(restore_one(sub.get(), "f.txt", "second", true), 0);
    EXPECT_EQ(bytes_of(f), "second");
    EXPECT_NE(restore_one(root.get(), "sub", "over a folder", true), 0);
    EXPECT_TRUE(fs::is_directory(d.path / "out" / "deep" / "sub"));
    // A file where a folder must be, and names that are not one plain name.
    put(d.path / "out" / "deep" / "plain", "x");
    EXPECT_FALSE(plat_restore_subdir(root.get(), "plain"));
    EXPECT_FALSE(plat_restore_subdir(root.get(), ".."));
    EXPECT_FALSE(plat_restore_create(root.get(), "a/b"));
}

TEST(Restore, LinksAreNeverFollowed) {
    temp_dir d;
    if (!can_link(d.path)) GTEST_SKIP() << "no symbolic links here";
    fs::create_directories(d.path / "out");
    fs::create_directories(d.path / "outside");
    put(d.path / "victim", "root's own");
    fs::create_directory_symlink(d.path / "outside", d.path / "out" / "linked");
    fs::create_symlink(d.path / "victim", d.path / "out" / "f.txt.tavni-part");
    dir_ptr root = held(plat_restore_root((d.path / "out").string().c_str(), false));
    ASSERT_TRUE(root);
    // A link where a folder must be fails, whatever it names.
    EXPECT_FALSE(plat_restore_subdir(root.get(), "linked"));
    EXPECT_EQ(plat_restore_what(root.get(), "linked"), PLAT_RESTORE_LINK);
    // A link left at a temporary name goes itself; what it names stays.
    ASSERT_EQ(restore_one(root.get(), "f.txt", "restored", false), 0);
    EXPECT_EQ(bytes_of(d.path / "out" / "f.txt"), "restored");
    EXPECT_EQ(bytes_of(d.path / "victim"), "root's own");
    EXPECT_TRUE(fs::is_empty(d.path / "outside"));
}

TEST(Restore, ASwappedTemporaryNameIsNotCommitted) {
    temp_dir d;
    if (!can_link(d.path)) GTEST_SKIP() << "no symbolic links here";
    fs::create_directories(d.path / "out");
    put(d.path / "victim", "root's own");
    const fs::perms victim_perms = fs::status(d.path / "victim").permissions();
    dir_ptr root = held(plat_restore_root((d.path / "out").string().c_str(), false));
    ASSERT_TRUE(root);
    file_ptr f = made(plat_restore_create(root.get(), "big.tavni-part"));
    ASSERT_TRUE(f);
    fputs("data", plat_restore_stream(f.get()));
    // The stranger moves the temporary file away and plants a link instead.
    fs::rename(d.path / "out" / "big.tavni-part", d.path / "out" / "moved");
    fs::create_symlink(d.path / "victim", d.path / "out" / "big.tavni-part");
    uint8_t rec[12];
    le32(le32(le32(rec, 0), 0), 06777);
    int dropped = 0;
    EXPECT_EQ(plat_restore_finish(f.get(), 4, rec, sizeof rec, 0, 1000000000, &dropped), 0);
    EXPECT_EQ(plat_restore_commit(f.get(), "big", false), -1);
    EXPECT_TRUE(plat_error_is_swapped(plat_last_error()));
    f.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(d.path / "out" / "big")));
    EXPECT_EQ(bytes_of(d.path / "victim"), "root's own");
    EXPECT_EQ(fs::status(d.path / "victim").permissions(), victim_perms);
}

TEST(Restore, AHeldFolderSwappedForALinkIsStillTheOneWrittenInto) {
    temp_dir d;
    if (plat_is_windows) GTEST_SKIP() << "Windows refuses to rename a held folder";
    if (!can_link(d.path)) GTEST_SKIP() << "no symbolic links here";
    fs::create_directories(d.path / "out");
    fs::create_directories(d.path / "cron.d");
    dir_ptr root = held(plat_restore_root((d.path / "out").string().c_str(), false));
    ASSERT_TRUE(root);
    dir_ptr sub = held(plat_restore_subdir(root.get(), "b"));
    ASSERT_TRUE(sub);
    fs::rename(d.path / "out" / "b", d.path / "out" / "b.old");
    fs::create_directory_symlink(d.path / "cron.d", d.path / "out" / "b");
    ASSERT_EQ(restore_one(sub.get(), "z.txt", "late", false), 0);
    EXPECT_TRUE(fs::is_empty(d.path / "cron.d"));
    EXPECT_EQ(bytes_of(d.path / "out" / "b.old" / "z.txt"), "late");
}

TEST(Restore, SetIdBitsOnlyForTheStoredOwnerWhenAsked) {
    temp_dir d;
    if (plat_is_windows) GTEST_SKIP() << "Windows records hold an access list";
    dir_ptr root = held(plat_restore_root(d.path.string().c_str(), false));
    ASSERT_TRUE(root);
    // Owner, group and mode as a stored record gives them; the process's own
    // owner and group, so that the case holds as root and as anyone else.
    fs::path probe = d.path / "probe";
    put(probe, "");
    uint8_t kind = 0, rec[64];
    uint32_t len = 0;
    ASSERT_EQ(plat_file_security(probe.string().c_str(), &kind, &len, rec, sizeof rec), 0);
    ASSERT_EQ(kind, 4);
    le32(rec + 8, 04755);
    struct Case {
        const char* name;
        int flags;
        fs::perms want;
        int dropped;
    } cases[] = {
        {"plain", 0, fs::perms(0755), PLAT_RESTORE_DROPPED_SETID},
        {"same", PLAT_RESTORE_SAME_OWNER, fs::perms(04755), 0},
    };
    for (const Case& c : cases) {
        std::string temp = std::string(c.name) + ".tavni-part";
        file_ptr f = made(plat_restore_create(root.get(), temp.c_str()));
        ASSERT_TRUE(f);
        int dropped = -1;
        ASSERT_EQ(plat_restore_finish(f.get(), 4, rec, 12, c.flags, 1234567890, &dropped), 0);
        ASSERT_EQ(plat_restore_commit(f.get(), c.name, false), 0);
        EXPECT_EQ(dropped, c.dropped) << c.name;
        EXPECT_EQ(fs::status(d.path / c.name).permissions() & fs::perms::mask, c.want) << c.name;
        plat_file_info info;
        ASSERT_EQ(plat_file_status((d.path / c.name).string().c_str(), &info), 0);
        EXPECT_EQ(info.mtime, 1234567890) << c.name;
    }
    // Another owner: as root it is given and the bits kept with --same-owner;
    // as anyone else nothing is given and the bits go.
    le32(rec, 65534);
    le32(rec + 4, 65534);
    file_ptr f = made(plat_restore_create(root.get(), "other.tavni-part"));
    ASSERT_TRUE(f);
    int dropped = -1;
    int r = plat_restore_finish(f.get(), 4, rec, 12, PLAT_RESTORE_SAME_OWNER, 0, &dropped);
    ASSERT_EQ(r, 0);
    ASSERT_EQ(plat_restore_commit(f.get(), "other", false), 0);
    uint8_t got_kind = 0, got[64];
    uint32_t got_len = 0;
    ASSERT_EQ(plat_file_security((d.path / "other").string().c_str(), &got_kind, &got_len, got,
                                 sizeof got),
              0);
    if (memcmp(got, rec, 8) == 0) { // the owner was given: root
        EXPECT_EQ(dropped, 0);
        EXPECT_EQ(fs::status(d.path / "other").permissions() & fs::perms::mask, fs::perms(04755));
    } else {
        EXPECT_EQ(dropped, PLAT_RESTORE_DROPPED_SETID);
        EXPECT_EQ(fs::status(d.path / "other").permissions() & fs::perms::mask, fs::perms(0755));
    }
}
