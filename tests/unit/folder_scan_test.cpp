// The folder scan on real temporary folders, and the time and mode values of
// its entries.
#include "backup/folder_scan.h"

#include "platform/platform.h"
#include "support/local_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> collected;
int collect(const scan_entry* e, void* user) {
    const std::string* root = static_cast<const std::string*>(user);
    std::string rel(e->path + root->size() + 1);
    for (char& c : rel)
        if (c == plat_path_sep) c = '/';
    if ((e->mode & 0170000) == 040000) rel += "/";
    collected.push_back(rel);
    return SCAN_GO_ON;
}

std::vector<std::string> scan(const std::string& root, uint32_t flags,
                              const char* pattern = nullptr, int* rc = nullptr) {
    collected.clear();
    scan_options o = {flags, pattern, collect, const_cast<std::string*>(&root)};
    int r = scan_folder(root.c_str(), &o);
    if (rc) *rc = r;
    return collected;
}

} // namespace

TEST(ScanValues, TimesAndModes) {
    uint64_t epoch = 116444736000000000ULL;
    EXPECT_EQ(0u, filetime_to_seconds(&epoch));
    uint64_t later = epoch + 10000000ULL * 86400;
    EXPECT_EQ(86400u, filetime_to_seconds(&later));
    EXPECT_EQ(0u, filetime_to_seconds(nullptr));
    EXPECT_EQ(0100444u, attributes_to_mode(PLAT_ATTR_READONLY));
    EXPECT_EQ(040777u, attributes_to_mode(PLAT_ATTR_DIRECTORY | PLAT_ATTR_ARCHIVE));
    EXPECT_EQ(040444u, attributes_to_mode(PLAT_ATTR_DIRECTORY | PLAT_ATTR_READONLY));
    EXPECT_EQ(0100777u, attributes_to_mode(PLAT_ATTR_HIDDEN));
}

TEST(ScanFolder, OrderOfFoldersAndContents) {
    TempDir t;
    t.file("b.txt");
    t.file("d/x.txt");
    t.file("d/e/y.txt");
    std::string root = t.path.string();
    std::vector<std::string> after = {"b.txt", "d/e/y.txt", "d/e/", "d/x.txt", "d/"};
    std::vector<std::string> before = {"b.txt", "d/", "d/e/", "d/e/y.txt", "d/x.txt"};
    EXPECT_EQ(after, scan(root, SCAN_DESCEND));
    EXPECT_EQ(before, scan(root, SCAN_DESCEND | SCAN_FOLDERS_FIRST));
    std::vector<std::string> flat = {"b.txt", "d/"};
    EXPECT_EQ(flat, scan(root, 0));
    std::vector<std::string> named = {"d/e/y.txt"};
    EXPECT_EQ(std::vector<std::string>{}, scan(root, SCAN_DESCEND, "Y.TXT"));
    EXPECT_EQ(named, scan(root, SCAN_DESCEND | SCAN_FOLD_CASE, "Y.TXT"));
}

TEST(ScanFolder, CallbackResultsAndExclusions) {
    TempDir t;
    t.file("a/1.txt");
    t.file("b/2.txt");
    t.file("x.lnk");
    t.file("RECYCLER/3.txt");
    std::string root = t.path.string();
    // 103 for a folder reported first keeps the scan out of it.
    collected.clear();
    scan_options o = {SCAN_DESCEND | SCAN_FOLDERS_FIRST, nullptr,
                      [](const scan_entry* e, void*) {
                          collected.push_back(e->path);
                          std::string p(e->path);
                          const std::string a = std::string(1, plat_path_sep) + "a";
                          return p.size() > 2 && p.substr(p.size() - 2) == a ? 103 : 102;
                      },
                      nullptr};
    ASSERT_EQ(0, scan_folder(root.c_str(), &o));
    for (const std::string& p : collected)
        EXPECT_EQ(std::string::npos, p.find("1.txt"));
    EXPECT_EQ(0, errno);
    // Another result stops the scan at once and is not an error.
    int calls = 0;
    o.user = &calls;
    o.callback = [](const scan_entry*, void* u) {
        ++*static_cast<int*>(u);
        return 7;
    };
    EXPECT_EQ(0, scan_folder(root.c_str(), &o));
    EXPECT_EQ(1, calls);
    // Built-in exclusions apply unless 0x20 is set.
    std::vector<std::string> all = scan(root, SCAN_DESCEND);
    EXPECT_EQ((std::vector<std::string>{"a/1.txt", "a/", "b/2.txt", "b/"}), all);
    all = scan(root, SCAN_DESCEND | SCAN_NO_EXCLUSIONS);
    std::sort(all.begin(), all.end()); // Windows lists in its own order
    EXPECT_EQ((std::vector<std::string>{"RECYCLER/", "RECYCLER/3.txt", "a/", "a/1.txt", "b/",
                                        "b/2.txt", "x.lnk"}),
              all);
    // Failures: no options, unresolvable root, no callback.
    EXPECT_EQ(-1, scan_folder(root.c_str(), nullptr));
    EXPECT_EQ(-1, scan_folder((root + "/missing").c_str(), &o));
    o.callback = nullptr;
    EXPECT_EQ(0, scan_folder(root.c_str(), &o));
}

TEST(ScanFolder, LinksDeniedFoldersAndLongPaths) {
    if (plat_is_windows) GTEST_SKIP();
    TempDir t;
    t.file("keep.txt");
    t.file("locked/secret.txt");
    fs::create_symlink(t.path / "keep.txt", t.path / "link.txt");
    fs::create_directory_symlink(t.path / "locked", t.path / "loop");
    // A chain of folders just short of 4096 bytes: a short name still fits
    // below it, a long one does not and is passed over.
    std::string name(200, 'd');
    fs::path p = t.path;
    while (p.string().size() + 201 < 4060)
        p /= name;
    fs::create_directories(p);
    char cwd[SCAN_PATH_SIZE];
    ASSERT_EQ(0, plat_get_cwd(cwd, sizeof cwd));
    ASSERT_EQ(0, plat_set_cwd(p.string().c_str()));
    std::ofstream("near.txt") << "x";
    std::ofstream(std::string(80, 'f') + ".txt") << "x";
    ASSERT_EQ(0, plat_set_cwd(cwd));
    fs::permissions(t.path / "locked", fs::perms::none);
    std::error_code ec;
    fs::directory_iterator probe(t.path / "locked", ec);
    bool can_read_everything = !ec;
    int rc = 0;
    std::vector<std::string> got = scan(t.path.string(), SCAN_DESCEND, "*.txt", &rc);
    EXPECT_EQ(0, rc);
    // Links are never followed; the locked folder is passed over unless this
    // user (root) reads it anyway.
    ASSERT_EQ(can_read_everything ? 3u : 2u, got.size());
    EXPECT_EQ("near.txt", got[0].substr(got[0].size() - 8));
    EXPECT_EQ("keep.txt", got[1]);
    if (can_read_everything) {
        EXPECT_EQ("locked/secret.txt", got[2]);
    }
}
