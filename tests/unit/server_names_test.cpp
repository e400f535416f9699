// Server names of sources in both path styles, the parent folders made before
// an item, and the share-root completion.
#include "backup/server_names.h"

#include <gtest/gtest.h>

namespace {

std::string name_of(const char* path, bool mirror, path_style style) {
    std::string name = "unset";
    if (server_name_form(path, mirror, style, &name) != 0) return "<skipped>";
    return name;
}

} // namespace

TEST(ServerNames, MirroredWindowsForms) {
    const path_style w = PATH_STYLE_WINDOWS;
    EXPECT_EQ(name_of("C:\\Users\\Bob", true, w), "C Drive/Users/Bob");
    EXPECT_EQ(name_of("d:\\data", true, w), "d Drive/data"); // the letter as written
    EXPECT_EQ(name_of("C:\\", true, w), "C Drive/");
    EXPECT_EQ(name_of("\\\\nas\\data\\docs", true, w), "nas data Share/docs");
    EXPECT_EQ(name_of("\\\\nas\\data\\docs\\2024\\q1", true, w), "nas data Share/docs/2024/q1");
    EXPECT_EQ(name_of("\\\\nas\\data", true, w), "nas data Share/");
    EXPECT_EQ(name_of("\\\\nas\\data\\", true, w), "nas data Share/");
    // Forms without a server name are skipped.
    EXPECT_EQ(name_of("\\\\nas", true, w), "<skipped>");
    EXPECT_EQ(name_of("\\\\nas\\", true, w), "<skipped>");
    EXPECT_EQ(name_of("\\\\\\data", true, w), "<skipped>");
    EXPECT_EQ(name_of("C:relative", true, w), "<skipped>");
    EXPECT_EQ(name_of("relative\\dir", true, w), "<skipped>");
    EXPECT_EQ(name_of("1:\\x", true, w), "<skipped>");
    EXPECT_EQ(name_of("", true, w), "<skipped>");
}

TEST(ServerNames, UnmirroredTakesTheLastName) {
    const path_style w = PATH_STYLE_WINDOWS;
    EXPECT_EQ(name_of("C:\\Users\\Bob", false, w), "Bob");
    EXPECT_EQ(name_of("\\\\nas\\data\\docs", false, w), "docs");
    EXPECT_EQ(name_of("\\\\nas\\data", false, w), "data");
    EXPECT_EQ(name_of("C:file.txt", false, w), "file.txt");
    EXPECT_EQ(name_of("plain", false, w), "plain");
    // A Windows path keeps its forward slashes: they are no separator there.
    EXPECT_EQ(name_of("C:\\a/b", false, w), "a/b");
}

TEST(ServerNames, PosixForms) {
    const path_style p = PATH_STYLE_POSIX;
    EXPECT_EQ(name_of("/home/bob/docs", true, p), "Root/home/bob/docs");
    EXPECT_EQ(name_of("/", true, p), "Root/");
    EXPECT_EQ(name_of("home/bob", true, p), "<skipped>");
    EXPECT_EQ(name_of("/home/bob/docs", false, p), "docs");
    EXPECT_EQ(name_of("docs", false, p), "docs");
    // Backslashes and drive-like names are ordinary characters on POSIX.
    EXPECT_EQ(name_of("/srv/a\\b", true, p), "Root/srv/a\\b");
    EXPECT_EQ(name_of("C:x", false, p), "C:x");
}

TEST(ServerNames, ParentFoldersOutermostFirst) {
    typedef std::vector<std::string> list;
    EXPECT_EQ(server_parent_folders("", "C Drive/Users/Bob"), (list{"C Drive", "C Drive/Users"}));
    EXPECT_EQ(server_parent_folders("/Dest/", "C Drive/Users/Bob"),
              (list{"/Dest/C Drive", "/Dest/C Drive/Users"}));
    EXPECT_EQ(server_parent_folders("/", "nas data Share/docs"), (list{"/nas data Share"}));
    EXPECT_EQ(server_parent_folders("/", "nas data Share/"), (list{"/nas data Share"}));
    EXPECT_EQ(server_parent_folders("/B/", "Root/home/bob/docs"),
              (list{"/B/Root", "/B/Root/home", "/B/Root/home/bob"}));
    EXPECT_TRUE(server_parent_folders("/B/", "Bob").empty());
}

TEST(ServerNames, ShareRootCompletion) {
    const path_style w = PATH_STYLE_WINDOWS;
    EXPECT_EQ(share_root_complete("\\\\nas\\data", w), "\\\\nas\\data\\");
    EXPECT_EQ(share_root_complete("\\\\nas\\data\\", w), "\\\\nas\\data\\");
    EXPECT_EQ(share_root_complete("\\\\nas\\data\\docs", w), "\\\\nas\\data\\docs");
    EXPECT_EQ(share_root_complete("\\\\nas", w), "\\\\nas");
    EXPECT_EQ(share_root_complete("C:\\Users", w), "C:\\Users");
    EXPECT_EQ(share_root_complete("//nas/data", PATH_STYLE_POSIX), "//nas/data");
    EXPECT_EQ(share_root_complete("\\\\nas\\data", PATH_STYLE_POSIX), "\\\\nas\\data");
}

TEST(ServerNames, MirrorSetting) {
    EXPECT_FALSE(mirror_setting(nullptr));
    EXPECT_FALSE(mirror_setting("0"));
    EXPECT_FALSE(mirror_setting("off"));
    EXPECT_TRUE(mirror_setting("1"));
    EXPECT_TRUE(mirror_setting("-1"));
}
