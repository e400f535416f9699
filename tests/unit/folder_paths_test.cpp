// Absolute folder paths and parent folders, by text and on real folders.
#include "backup/folder_paths.h"

#include "platform/platform.h"
#include "support/local_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

TEST(FolderPaths, ParentOfAbsolute) {
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
}

TEST(FolderPaths, AbsoluteFolderAndParentOnDisk) {
    TempDir t;
    std::string sub = t.dir("a/b");
    char out[FOLDER_PATH_SIZE];
    char cwd[FOLDER_PATH_SIZE];
    ASSERT_EQ(0, plat_get_cwd(cwd, sizeof cwd));
    ASSERT_EQ(0, plat_set_cwd(t.path.string().c_str()));
    ASSERT_NE(nullptr, absolute_folder_path("a/b", out, sizeof out));
    EXPECT_EQ(fs::canonical(sub).string(), out);
    char again[FOLDER_PATH_SIZE];
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
}
