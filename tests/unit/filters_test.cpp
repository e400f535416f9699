// Filters, path prefixes, built-in exclusions and both name matchers, in
// Windows style and POSIX style on every machine.
#include "backup/filters.h"
#include "common/name_match.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

const path_style WIN = PATH_STYLE_WINDOWS;
const path_style POSIX = PATH_STYLE_POSIX;

// Builds a folder_filter record directly and appends it to the list.
void add_filter(blob_list* list, const char* folder, int32_t flags,
                std::initializer_list<const char*> patterns) {
    folder_filter f = {};
    f.flags = flags;
    strncpy(f.folder, folder, sizeof f.folder - 1);
    f.pattern_count = static_cast<int32_t>(patterns.size());
    f.patterns = static_cast<char**>(calloc(patterns.size(), sizeof(char*)));
    int i = 0;
    for (const char* p : patterns)
        f.patterns[i++] = strdup(p);
    blob_list_insert(list, &f, sizeof f, blob_list_count(list));
}

struct FilterList {
    blob_list* list = blob_list_new(10, 10, folder_filter_destroy);
    ~FilterList() { blob_list_free(list); }
    const folder_filter* get(const char* folder, path_style st = WIN) {
        return find_folder_filter(list, folder, st);
    }
};

struct PathList {
    blob_list* list = blob_list_new(10, 10, blob_list_default_destroy);
    PathList(std::initializer_list<const char*> paths) {
        for (const char* p : paths)
            blob_list_append_text(list, p);
    }
    ~PathList() { blob_list_free(list); }
};

} // namespace

TEST(WildcardMatch, OnlyStarIsSpecialAndCaseIsIgnored) {
    EXPECT_TRUE(wildcard_match("A.TMP", "*.tmp"));
    EXPECT_TRUE(wildcard_match("", "*"));
    EXPECT_TRUE(wildcard_match("anything", "**"));
    EXPECT_TRUE(wildcard_match("~lock", "~*"));
    EXPECT_FALSE(wildcard_match("lock~", "~*"));
    EXPECT_TRUE(wildcard_match("AxxBc", "a*b*c"));
    EXPECT_FALSE(wildcard_match("ab", "a*b*c"));
    EXPECT_FALSE(wildcard_match("ab", "a?")); // '?' is ordinary
    EXPECT_TRUE(wildcard_match("a?", "A?"));
    EXPECT_TRUE(wildcard_match("[x]", "[X]")); // '[' is ordinary
    EXPECT_FALSE(wildcard_match("x", "[x]"));
    EXPECT_TRUE(wildcard_match("a\\b", "a\\*")); // '\' is ordinary
    EXPECT_FALSE(wildcard_match("abc", "ab"));
    EXPECT_FALSE(wildcard_match("ab", "abc"));
    EXPECT_TRUE(wildcard_match("abcbc", "*bc")); // needs a second try of the star
    EXPECT_FALSE(wildcard_match(nullptr, "*"));
}

TEST(WildcardMatch, HostilePatternStaysFast) {
    std::string name(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 200; i++)
        pattern += "*a";
    pattern += "*b";
    EXPECT_FALSE(wildcard_match(name.c_str(), pattern.c_str()));
}

TEST(ShellPatternMatch, BasicsAndBrackets) {
    EXPECT_EQ(0, shell_pattern_match("*.lnk", "x.lnk", 0));
    EXPECT_EQ(1, shell_pattern_match("*.lnk", "x.LNK", 0));
    EXPECT_EQ(0, shell_pattern_match("*.lnk", "x.LNK", SHELL_MATCH_CASEFOLD));
    EXPECT_EQ(0, shell_pattern_match("a?c", "abc", 0));
    EXPECT_EQ(1, shell_pattern_match("a?c", "ac", 0));
    EXPECT_EQ(0, shell_pattern_match("[a-c]x", "bx", 0));
    EXPECT_EQ(1, shell_pattern_match("[a-c]x", "dx", 0));
    EXPECT_EQ(0, shell_pattern_match("[!a-c]x", "dx", 0));
    EXPECT_EQ(0, shell_pattern_match("[^a-c]x", "dx", 0));
    EXPECT_EQ(1, shell_pattern_match("[^a-c]x", "ax", 0));
    EXPECT_EQ(0, shell_pattern_match("[]]", "]", 0));
    EXPECT_EQ(0, shell_pattern_match("[A-C]", "b", SHELL_MATCH_CASEFOLD));
    EXPECT_EQ(1, shell_pattern_match("[A-C]", "b", 0));
    EXPECT_EQ(0, shell_pattern_match("[ab", "[ab", 0)); // unclosed: ordinary '['
    EXPECT_EQ(1, shell_pattern_match("[ab", "a", 0));
    EXPECT_EQ(1, shell_pattern_match(nullptr, "a", 0));
}

TEST(ShellPatternMatch, TheFiveFlags) {
    // 0x01: '/' only by '/'.
    EXPECT_EQ(0, shell_pattern_match("a*c", "ab/c", 0));
    EXPECT_EQ(1, shell_pattern_match("a*c", "ab/c", SHELL_MATCH_PATHNAME));
    EXPECT_EQ(1, shell_pattern_match("a?c", "a/c", SHELL_MATCH_PATHNAME));
    EXPECT_EQ(1, shell_pattern_match("a[/]c", "a/c", SHELL_MATCH_PATHNAME));
    EXPECT_EQ(0, shell_pattern_match("*/c", "ab/c", SHELL_MATCH_PATHNAME));
    EXPECT_EQ(1, shell_pattern_match("*/x", "a/b/x", SHELL_MATCH_PATHNAME));
    // 0x02: backslash escapes unless NOESCAPE.
    EXPECT_EQ(0, shell_pattern_match("a\\*", "a*", 0));
    EXPECT_EQ(1, shell_pattern_match("a\\*", "ab", 0));
    EXPECT_EQ(1, shell_pattern_match("a\\*", "a*", SHELL_MATCH_NOESCAPE));
    EXPECT_EQ(0, shell_pattern_match("a\\*", "a\\bc", SHELL_MATCH_NOESCAPE));
    // 0x04: a leading period needs a literal period.
    EXPECT_EQ(0, shell_pattern_match("*", ".profile", 0));
    EXPECT_EQ(1, shell_pattern_match("*", ".profile", SHELL_MATCH_PERIOD));
    EXPECT_EQ(1, shell_pattern_match("?profile", ".profile", SHELL_MATCH_PERIOD));
    EXPECT_EQ(0, shell_pattern_match(".*", ".profile", SHELL_MATCH_PERIOD));
    EXPECT_EQ(1, shell_pattern_match("d/*", "d/.x", SHELL_MATCH_PERIOD | SHELL_MATCH_PATHNAME));
    EXPECT_EQ(0, shell_pattern_match("d/*", "d/.x", SHELL_MATCH_PERIOD));
    // 0x08: the match may stop before a '/'.
    EXPECT_EQ(1, shell_pattern_match("abc", "abc/def", 0));
    EXPECT_EQ(0, shell_pattern_match("abc", "abc/def", SHELL_MATCH_LEADING_DIR));
    EXPECT_EQ(0, shell_pattern_match("a*", "ab/c", SHELL_MATCH_LEADING_DIR | SHELL_MATCH_PATHNAME));
    EXPECT_EQ(1, shell_pattern_match("a*", "ab/c", SHELL_MATCH_PATHNAME));
    // 0x10: case.
    EXPECT_EQ(0, shell_pattern_match("DESKTOP.INI", "desktop.ini", SHELL_MATCH_CASEFOLD));
}

TEST(PathAtOrBelow, WindowsTable) {
    EXPECT_EQ(0, path_at_or_below("C:\\Data", "C:\\Database", WIN));
    EXPECT_EQ(1, path_at_or_below("C:\\Data", "C:\\Data\\x", WIN));
    EXPECT_EQ(1, path_at_or_below("C:", "C:\\x", WIN));
    EXPECT_EQ(2, path_at_or_below("C:\\Data", "c:\\data", WIN));
    EXPECT_EQ(0, path_at_or_below("C:\\Data\\x", "C:\\Data", WIN));
    EXPECT_EQ(1, path_at_or_below("C:\\", "C:\\x", WIN)); // a root with its separator
    EXPECT_EQ(1, path_at_or_below("\\\\srv\\share", "\\\\SRV\\Share\\a", WIN));
    EXPECT_EQ(0, path_at_or_below("", "C:\\x", WIN)); // empty base holds nothing
    EXPECT_EQ(0, path_at_or_below("C:\\Data", "C:/Data/x", WIN));
}

TEST(PathAtOrBelow, PosixIsExact) {
    EXPECT_EQ(2, path_at_or_below("/home/bob", "/home/bob", POSIX));
    EXPECT_EQ(1, path_at_or_below("/home/bob", "/home/bob/x", POSIX));
    EXPECT_EQ(0, path_at_or_below("/home/bob", "/home/bobby", POSIX));
    EXPECT_EQ(0, path_at_or_below("/home/bob", "/HOME/bob", POSIX));
    EXPECT_EQ(1, path_at_or_below("/", "/etc", POSIX));
    EXPECT_EQ(0, path_at_or_below("C:", "C:\\x", POSIX));
}

TEST(SelectionLists, ExcludedSyncAndFilterFolders) {
    PathList xsrc{"C:\\Temp", "D:"};
    EXPECT_TRUE(is_excluded_source(xsrc.list, "c:\\temp\\a.txt", WIN));
    EXPECT_TRUE(is_excluded_source(xsrc.list, "D:\\anything", WIN));
    EXPECT_FALSE(is_excluded_source(xsrc.list, "C:\\Templates", WIN));
    EXPECT_FALSE(is_excluded_source(nullptr, "C:\\Temp", WIN));
    PathList sync{"/srv/mirror"};
    EXPECT_TRUE(is_sync_folder(sync.list, "/srv/mirror/a", POSIX));
    EXPECT_FALSE(is_sync_folder(sync.list, "/srv/MIRROR/a", POSIX));

    FilterList f;
    add_filter(f.list, "C:\\Data", 1, {"*.tmp"});
    EXPECT_TRUE(has_folder_filter(f.list, "c:\\DATA", WIN));
    EXPECT_FALSE(has_folder_filter(f.list, "C:\\Data\\Sub", WIN));
    EXPECT_FALSE(has_folder_filter(f.list, "c:\\DATA", POSIX));
}

TEST(FilterSkipsFile, SkipListAndKeepList) {
    FilterList f;
    add_filter(f.list, "C:\\Data", 1, {"*.tmp", "*.bak"}); // 'C:\Data|1|*.tmp; *.bak ;'
    add_filter(f.list, "C:\\Docs", 0, {"*.doc"});          // 'C:\Docs|0|*.doc'
    const folder_filter* data = f.get("C:\\Data");
    const folder_filter* docs = f.get("C:\\Docs");
    ASSERT_TRUE(data && docs);
    EXPECT_TRUE(filter_skips_file(f.list, data, "C:\\Data\\x.TMP", WIN));
    EXPECT_TRUE(filter_skips_file(f.list, data, "C:\\Data\\x.bak", WIN));
    EXPECT_FALSE(filter_skips_file(f.list, data, "C:\\Data\\x.doc", WIN));
    EXPECT_FALSE(filter_skips_file(f.list, docs, "C:\\Docs\\a.DOC", WIN));
    EXPECT_TRUE(filter_skips_file(f.list, docs, "C:\\Docs\\a.txt", WIN));
    EXPECT_TRUE(filter_skips_file(f.list, data, "no-separator.doc", WIN));
    EXPECT_TRUE(filter_skips_file(f.list, nullptr, "C:\\Data\\x.doc", WIN));
}

TEST(FilterSkipsFile, InheritanceFromNearestAncestor) {
    FilterList f;
    add_filter(f.list, "C:\\Data\\Sub", 2, {"*.doc"});
    add_filter(f.list, "C:\\Data", 1, {"*.tmp"});
    const folder_filter* sub = f.get("C:\\Data\\Sub");
    ASSERT_TRUE(sub);
    EXPECT_FALSE(filter_skips_file(f.list, sub, "C:\\Data\\Sub\\a.txt", WIN));
    EXPECT_TRUE(filter_skips_file(f.list, sub, "C:\\Data\\Sub\\a.tmp", WIN));
    EXPECT_FALSE(filter_skips_file(f.list, sub, "C:\\Data\\Sub\\a.doc", WIN));
    // Case-insensitive search for the ancestor.
    FilterList g;
    add_filter(g.list, "C:\\DATA\\SUB", 2, {"*.doc"});
    add_filter(g.list, "c:\\data", 1, {"*.tmp"});
    EXPECT_TRUE(filter_skips_file(g.list, g.get("c:\\data\\sub"), "C:\\Data\\Sub\\a.TMP", WIN));
}

TEST(FilterSkipsFile, TwoLevelsUpAndNoAncestor) {
    FilterList f;
    add_filter(f.list, "C:\\Data\\A\\B", 2, {"*.doc"});
    add_filter(f.list, "C:\\Data", 1, {"*.tmp"});
    EXPECT_TRUE(filter_skips_file(f.list, f.get("C:\\Data\\A\\B"), "C:\\Data\\A\\B\\x.tmp", WIN));
    EXPECT_FALSE(filter_skips_file(f.list, f.get("C:\\Data\\A\\B"), "C:\\Data\\A\\B\\x.txt", WIN));

    FilterList lone;
    add_filter(lone.list, "C:\\Data", 3, {"*.tmp"});
    EXPECT_FALSE(filter_skips_file(lone.list, lone.get("C:\\Data"), "C:\\Data\\x.doc", WIN));
    EXPECT_TRUE(filter_skips_file(lone.list, lone.get("C:\\Data"), "C:\\Data\\x.tmp", WIN));

    // An inheriting parent sends the search further up.
    FilterList chain;
    add_filter(chain.list, "/d/a/b", 2, {"*.doc"});
    add_filter(chain.list, "/d/a", 2, {"*.txt"});
    add_filter(chain.list, "/", 1, {"*.tmp"});
    const folder_filter* b = chain.get("/d/a/b", POSIX);
    ASSERT_TRUE(b);
    EXPECT_TRUE(filter_skips_file(chain.list, b, "/d/a/b/x.tmp", POSIX));
    EXPECT_TRUE(filter_skips_file(chain.list, b, "/d/a/b/x.TMP", POSIX)); // names fold case
    EXPECT_FALSE(filter_skips_file(chain.list, b, "/d/a/b/x.txt", POSIX));
    EXPECT_FALSE(filter_skips_file(chain.list, b, "/d/a/b/x.bin", POSIX));
}

TEST(BuiltinExclusion, NamesInWindowsStyle) {
    EXPECT_TRUE(builtin_exclusion_by_name("C:\\PAGEFILE.SYS", false, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("C:\\hiberfil.sys", false, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("D:\\Links\\x.LNK", false, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("D:\\RECYCLER", true, WIN, nullptr));
    EXPECT_FALSE(builtin_exclusion_by_name("D:\\recycler", false, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("E:\\System Volume Information", true, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("E:\\$Recycle.Bin", true, WIN, nullptr));
    EXPECT_FALSE(builtin_exclusion_by_name("E:\\pagefile.sys", true, WIN, nullptr));
    EXPECT_FALSE(builtin_exclusion_by_name("E:\\x.lnk.txt", false, WIN, nullptr));
    EXPECT_TRUE(builtin_exclusion_by_name("noseparator", false, WIN, nullptr));
    PathList shortcuts{"C:\\Documents and Settings\\bob\\NetHood\\Share"};
    EXPECT_TRUE(builtin_exclusion_by_name("c:\\documents and settings\\BOB\\nethood\\share", true,
                                          WIN, shortcuts.list));
    EXPECT_FALSE(builtin_exclusion_by_name("C:\\Data", true, WIN, shortcuts.list));
    EXPECT_TRUE(builtin_exclusion_by_name("/home/x/pagefile.sys", false, POSIX, nullptr));
    EXPECT_FALSE(builtin_exclusion_by_name("/home/x/a\\pagefile.sys", false, POSIX, nullptr));
}

TEST(BuiltinExclusion, PseudoFileSystemsOnThisMachine) {
    EXPECT_TRUE(is_pseudo_fs_type("proc"));
    EXPECT_TRUE(is_pseudo_fs_type("sysfs"));
    EXPECT_FALSE(is_pseudo_fs_type("ext4"));
    if (native_path_style() != PATH_STYLE_POSIX) GTEST_SKIP();
    EXPECT_TRUE(is_builtin_exclusion("/proc", true));
    EXPECT_TRUE(is_builtin_exclusion("/sys", true));
    EXPECT_FALSE(is_builtin_exclusion("/tmp", true));
    EXPECT_FALSE(is_builtin_exclusion("/proc", false)); // only folders are tested by type
    EXPECT_EQ(0, blob_list_count(folder_shortcut_folders()));
}

TEST(FolderShortcuts, DesktopIniMarker) {
    std::string base = ::testing::TempDir() + "tavni-desktop-ini-";
    auto write = [&](const char* name, const std::string& body) {
        std::string p = base + name;
        FILE* f = fopen(p.c_str(), "wb");
        fwrite(body.data(), 1, body.size(), f);
        fclose(f);
        return p;
    };
    std::string yes =
        write("yes", "[.ShellClassInfo]\r\nCLSID2={0afaced1-e828-11d1-9187-b532f1e9575d}\r\n");
    std::string no = write("no", "[.ShellClassInfo]\r\nIconFile=x.ico\r\n");
    std::string longline =
        write("long", std::string(600, 'x') + "{0AFACED1-E828-11D1-9187-B532F1E9575D}\n");
    EXPECT_TRUE(desktop_ini_marks_shortcut(yes.c_str()));
    EXPECT_FALSE(desktop_ini_marks_shortcut(no.c_str()));
    EXPECT_TRUE(desktop_ini_marks_shortcut(longline.c_str())); // found in the second piece
    errno = 1234;
    EXPECT_FALSE(desktop_ini_marks_shortcut((base + "missing").c_str()));
    EXPECT_EQ(1234, errno);
    for (const std::string& p : {yes, no, longline})
        remove(p.c_str());
}

// A desktop.ini in a folder being backed up may be a pipe that a local user
// made: reading it must not wait for a writer that never comes.
TEST(FolderShortcuts, DesktopIniThatIsAPipeIsNotWaitedOn) {
    if (plat_is_windows) GTEST_SKIP() << "Windows folders hold no pipes";
    const std::string pipe =
        ::testing::TempDir() + "tavni-desktop-ini-pipe-" + std::to_string(plat_process_id());
    remove(pipe.c_str());
    ASSERT_EQ(0, std::system(("mkfifo '" + pipe + "'").c_str()));
    auto read =
        std::async(std::launch::async, [&] { return desktop_ini_marks_shortcut(pipe.c_str()); });
    if (read.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::ofstream writer(pipe); // lets the waiting open return
        ADD_FAILURE() << "reading a pipe named desktop.ini waited for a writer";
    }
    EXPECT_FALSE(read.get());
    remove(pipe.c_str());
}
