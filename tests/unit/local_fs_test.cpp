// Local file system helpers and the folder scan, on real temporary folders.
#include "backup/local_fs.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char name[] = "tavni-lfs-XXXXXX";
        path = fs::temp_directory_path() / name;
        for (int i = 0; fs::exists(path); i++)
            path = fs::temp_directory_path() /
                   ("tavni-lfs-" + std::to_string(rand()) + "-" + std::to_string(i));
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto& e : fs::recursive_directory_iterator(
                 path, fs::directory_options::skip_permission_denied, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    // rel uses '/'; the paths returned use the platform's separator.
    std::string file(const std::string& rel, const std::string& body = "x") {
        fs::path p = path / fs::path(rel).make_preferred();
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << body;
        return p.string();
    }
    std::string dir(const std::string& rel) {
        fs::path p = path / fs::path(rel).make_preferred();
        fs::create_directories(p);
        return p.string();
    }
};

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

TEST(LocalFsValues, SizesTimesModesVersions) {
    EXPECT_EQ(4096, size_on_disk(1, 4096));
    EXPECT_EQ(0, size_on_disk(0, 4096));
    EXPECT_EQ(8192, size_on_disk(8192, 4096));
    EXPECT_EQ(8193, size_on_disk(8193, 0));
    uint64_t epoch = 116444736000000000ULL;
    EXPECT_EQ(0u, filetime_to_seconds(&epoch));
    uint64_t later = epoch + 10000000ULL * 86400;
    EXPECT_EQ(86400u, filetime_to_seconds(&later));
    EXPECT_EQ(0u, filetime_to_seconds(nullptr));
    EXPECT_EQ(0100444u, attributes_to_mode(PLAT_ATTR_READONLY));
    EXPECT_EQ(040777u, attributes_to_mode(PLAT_ATTR_DIRECTORY | PLAT_ATTR_ARCHIVE));
    EXPECT_EQ(040444u, attributes_to_mode(PLAT_ATTR_DIRECTORY | PLAT_ATTR_READONLY));
    EXPECT_EQ(0100777u, attributes_to_mode(PLAT_ATTR_HIDDEN));
    EXPECT_EQ(1, os_version_code_for(4, 10));
    EXPECT_EQ(2, os_version_code_for(4, 90));
    EXPECT_EQ(3, os_version_code_for(4, 0));
    EXPECT_EQ(4, os_version_code_for(5, 0));
    EXPECT_EQ(5, os_version_code_for(5, 1));
    EXPECT_EQ(6, os_version_code_for(5, 2));
    EXPECT_EQ(0, os_version_code_for(6, 1));
    EXPECT_EQ(2, platform_family());
}

TEST(LocalFsValues, ErrnoTranslation) {
    EXPECT_EQ(22, errno_for_windows_error(87));
    EXPECT_EQ(2, errno_for_windows_error(206));
    EXPECT_EQ(13, errno_for_windows_error(5));
    EXPECT_EQ(12, errno_for_windows_error(1816));
    EXPECT_EQ(17, errno_for_windows_error(183));
    EXPECT_EQ(41, errno_for_windows_error(145));
    EXPECT_EQ(10, errno_for_windows_error(129));
    EXPECT_EQ(-1, errno_for_windows_error(14));
    EXPECT_EQ(-1, errno_for_windows_error(0));
    if (plat_is_windows) GTEST_SKIP();
    plat_set_last_error(ENOTDIR); // on Linux the last error is errno itself
    errno_from_last_error();
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ(ENOTDIR, last_os_error_number());
    char buf[16];
    EXPECT_EQ(-1, registry_read_string("SOFTWARE\\X", "ProductId", buf, sizeof buf));
    EXPECT_EQ(ENOENT, errno);
}

TEST(LocalFsPaths, ParentAndClusterRoots) {
    char out[64];
    EXPECT_EQ(3u, parent_of_absolute(out, sizeof out, "C:\\x.ini", PATH_STYLE_WINDOWS));
    EXPECT_STREQ("C:\\", out);
    EXPECT_EQ(6u, parent_of_absolute(out, sizeof out, "C:\\a\\b\\desktop.ini", PATH_STYLE_WINDOWS));
    EXPECT_STREQ("C:\\a\\b", out);
    EXPECT_EQ(0u, parent_of_absolute(out, sizeof out, "C:\\", PATH_STYLE_WINDOWS));
    EXPECT_STREQ("", out);
    EXPECT_EQ(4u, parent_of_absolute(out, sizeof out, "C:\\a\\b\\", PATH_STYLE_WINDOWS));
    EXPECT_STREQ("C:\\a", out);
    EXPECT_EQ(1u, parent_of_absolute(out, sizeof out, "/x.ini", PATH_STYLE_POSIX));
    EXPECT_STREQ("/", out);
    EXPECT_EQ(0u, parent_of_absolute(out, sizeof out, "/", PATH_STYLE_POSIX));
    EXPECT_EQ(0u, parent_of_absolute(out, 3, "C:\\a\\b\\c", PATH_STYLE_WINDOWS)); // too small

    cluster_query_root("c:\\data\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("c:\\", out);
    cluster_query_root("\\\\srv\\share\\dir\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("\\\\srv\\share\\", out);
    cluster_query_root("\\\\srv\\share", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("\\\\srv\\share\\", out);
    cluster_query_root("relative\\x", PATH_STYLE_WINDOWS, out, sizeof out);
    EXPECT_STREQ("", out);
}

TEST(LocalFsPaths, AbsoluteFolderAndParentOnDisk) {
    TempDir t;
    std::string sub = t.dir("a/b");
    char out[SCAN_PATH_SIZE];
    char cwd[SCAN_PATH_SIZE];
    ASSERT_EQ(0, plat_get_cwd(cwd, sizeof cwd));
    ASSERT_EQ(0, plat_set_cwd(t.path.string().c_str()));
    ASSERT_NE(nullptr, absolute_folder_path("a/b", out, sizeof out));
    EXPECT_EQ(fs::canonical(sub).string(), out);
    char again[SCAN_PATH_SIZE];
    ASSERT_EQ(0, plat_get_cwd(again, sizeof again));
    EXPECT_EQ(fs::canonical(t.path).string(), again); // restored
    errno = 0;
    EXPECT_EQ(nullptr, absolute_folder_path("missing", out, sizeof out));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(nullptr, absolute_folder_path("", out, sizeof out));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, absolute_folder_path("/abc/def", out, 4));
    plat_set_cwd(cwd);
    std::string f = t.file("a/b/desktop.ini");
    EXPECT_EQ(sub.size(), parent_folder(out, sizeof out, f.c_str()));
    EXPECT_EQ(sub, out);
    EXPECT_GT(cluster_size(t.path.string().c_str()), 0u);
    EXPECT_EQ(cluster_size(t.path.string().c_str()), cluster_size(sub.c_str()));
}

TEST(LocalFsSecurity, RecordOfThisPlatform) {
    TempDir t;
    std::string f = t.file("s.txt");
    fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    security_record* rec = security_read(f.c_str());
    ASSERT_NE(nullptr, rec);
    if (!plat_is_windows) {
        EXPECT_EQ(4, rec->kind);
        EXPECT_EQ(17, security_size(rec));
        uint8_t out[17];
        EXPECT_EQ(-1, security_serialise(rec, out, 16));
        ASSERT_EQ(0, security_serialise(rec, out, sizeof out));
        EXPECT_EQ(4, out[0]);
        EXPECT_EQ(12, out[1]);
        EXPECT_EQ(0, out[2] | out[3] | out[4]);
        uint32_t mode =
            out[13] | out[14] << 8 | out[15] << 16 | static_cast<uint32_t>(out[16]) << 24;
        EXPECT_EQ(0100640u, mode);
    }
    security_free(rec);
    EXPECT_EQ(-1, security_size(nullptr));
    EXPECT_EQ(-1, security_serialise(nullptr, nullptr, 0));
    errno = 0;
    EXPECT_EQ(nullptr, security_read(""));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, security_read((t.path / "missing").string().c_str()));
    EXPECT_EQ(ENOENT, errno);
    security_record attr = {2, 0x21, nullptr};
    uint8_t head[5];
    EXPECT_EQ(5, security_size(&attr));
    ASSERT_EQ(0, security_serialise(&attr, head, sizeof head));
    EXPECT_EQ(2, head[0]);
    EXPECT_EQ(0x21, head[1]);
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
