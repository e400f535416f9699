// filters.cpp - excluded sources, sync folders, folder filters and the
// built-in exclusions.
//
// Path tests are plain string work in an explicit style so that both styles
// run on every machine; only is_builtin_exclusion and the shortcut list touch
// the file system.
#include "backup/filters.h"

#include "backup/folder_scan.h"
#include "backup/os_version.h"
#include "common/name_match.h"
#include "runtime/log.h"
#include "common/text.h"
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool is_sep(char c, path_style style) {
    return style == PATH_STYLE_WINDOWS ? c == '\\' : c == '/';
}

bool same_n(const char* a, const char* b, size_t n, path_style style) {
    return style == PATH_STYLE_WINDOWS ? compare_nocase_n(a, b, n) == 0 : strncmp(a, b, n) == 0;
}

bool same(const char* a, const char* b, path_style style) {
    return style == PATH_STYLE_WINDOWS ? compare_nocase(a, b) == 0 : strcmp(a, b) == 0;
}

bool any_at_or_below(const blob_list* list, const char* path, path_style style) {
    if (!list || !path) return false;
    for (int32_t i = 0; i < blob_list_count(list); i++) {
        const char* base = static_cast<const char*>(blob_list_get(list, i));
        if (base && path_at_or_below(base, path, style) != 0) return true;
    }
    return false;
}

// Does any of the filter's patterns match the name?
bool filter_matches(const folder_filter* f, const char* name) {
    for (int32_t i = 0; i < f->pattern_count; i++)
        if (f->patterns && f->patterns[i] && wildcard_match(name, f->patterns[i])) return true;
    return false;
}

} // namespace

int path_at_or_below(const char* base, const char* path, path_style style) {
    if (!base || !path || !*base) return 0;
    size_t n = strlen(base);
    if (!same_n(base, path, n, style)) return 0;
    if (path[n] == 0) return 2;
    if (is_sep(path[n], style)) return 1;
    if (style == PATH_STYLE_WINDOWS && n == 2 && base[1] == ':') return 1;
    // A root given with its separator ("C:\", "\\srv\share\", "/") holds what
    // follows it too.
    if (is_sep(base[n - 1], style)) return 1;
    return 0;
}

bool is_excluded_source(const blob_list* excluded, const char* path, path_style style) {
    return any_at_or_below(excluded, path, style);
}

bool is_sync_folder(const blob_list* sync, const char* path, path_style style) {
    return any_at_or_below(sync, path, style);
}

const folder_filter* find_folder_filter(const blob_list* filters, const char* path,
                                        path_style style) {
    if (!filters || !path) return nullptr;
    for (int32_t i = 0; i < blob_list_count(filters); i++) {
        const folder_filter* f = static_cast<const folder_filter*>(blob_list_get(filters, i));
        if (!f) continue;
        char folder[FILTER_FOLDER_SIZE];
        copy_bounded(folder, sizeof folder, f->folder); // the record may lack its zero
        if (same(folder, path, style)) return f;
    }
    return nullptr;
}

bool has_folder_filter(const blob_list* filters, const char* path, path_style style) {
    return find_folder_filter(filters, path, style) != nullptr;
}

bool filter_skips_file(const blob_list* filters, const folder_filter* filter, const char* path,
                       path_style style) {
    if (!filter || !path) return true;
    const char* name = nullptr;
    for (const char* p = path; *p; p++)
        if (is_sep(*p, style)) name = p + 1;
    if (!name) return true;

    const folder_filter* f = filter;
    for (;;) {
        bool match = filter_matches(f, name);
        bool exclude = (f->flags & FILTER_EXCLUDE) != 0;
        if (match) return exclude;
        if (!(f->flags & FILTER_INHERIT)) return !exclude;

        // Unmatched and inheriting: the nearest ancestor folder with a filter
        // of its own decides. Each step shortens the folder, so this ends.
        char folder[FILTER_FOLDER_SIZE];
        copy_bounded(folder, sizeof folder, f->folder);
        const folder_filter* parent = nullptr;
        for (;;) {
            char* cut = nullptr;
            for (char* p = folder; *p; p++)
                if (is_sep(*p, style)) cut = p;
            if (!cut) break;
            if (cut == folder && style == PATH_STYLE_POSIX) {
                if (folder[1] == 0) break; // "/" was the last candidate
                folder[1] = 0;             // "/x" goes up to "/"
            } else {
                *cut = 0;
            }
            parent = find_folder_filter(filters, folder, style);
            if (parent) break;
        }
        if (!parent) return false;
        f = parent;
    }
}

bool builtin_exclusion_by_name(const char* path, bool is_directory, path_style style,
                               const blob_list* shortcut_folders) {
    static const char* const folders[] = {"$recycle.bin", "system volume information", "recycler",
                                          "$recycler"};
    static const char* const files[] = {"hiberfil.sys", "pagefile.sys"};
    static const char* const file_patterns[] = {"*.lnk"};
    if (!path) return true;

    if (shortcut_folders) {
        for (int32_t i = 0; i < blob_list_count(shortcut_folders); i++) {
            const char* s = static_cast<const char*>(blob_list_get(shortcut_folders, i));
            if (s && same(s, path, style)) return true;
        }
    }
    const char* slash = strrchr(path, path_separator(style));
    if (!slash) {
        debug_printf("ERROR converting path name to file name: '%s'\n", path);
        return true;
    }
    // Only the entry's own name is compared, in lower case.
    std::string lowered(slash + 1);
    for (char& c : lowered)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const char* name = lowered.c_str();
    if (is_directory) {
        for (const char* f : folders)
            if (strcmp(name, f) == 0) return true;
        return false;
    }
    for (const char* f : files)
        if (strcmp(name, f) == 0) return true;
    for (const char* p : file_patterns)
        if (shell_pattern_match(p, name, 0) == 0) return true;
    return false;
}

bool is_pseudo_fs_type(const char* type) {
    static const char* const kinds[] = {
        "proc",      "sysfs",       "devtmpfs", "devpts",    "cgroup",     "cgroup2", "securityfs",
        "debugfs",   "tracefs",     "pstore",   "bpf",       "configfs",   "fusectl", "mqueue",
        "hugetlbfs", "binfmt_misc", "efivarfs", "selinuxfs", "rpc_pipefs", "nsfs",    "autofs",
    };
    if (!type) return false;
    for (const char* k : kinds)
        if (strcmp(type, k) == 0) return true;
    return false;
}

bool is_builtin_exclusion(const char* path, bool is_directory) {
    path_style style = native_path_style();
    const blob_list* shortcuts = style == PATH_STYLE_WINDOWS ? folder_shortcut_folders() : nullptr;
    if (builtin_exclusion_by_name(path, is_directory, style, shortcuts)) return true;
    if (is_directory && style == PATH_STYLE_POSIX) {
        // Kernel views (/proc, /sys, ...) would never end as a walk.
        int saved = errno;
        char type[64];
        bool pseudo = plat_fs_type(path, type, sizeof type) == 0 && is_pseudo_fs_type(type);
        errno = saved;
        if (pseudo) return true;
    }
    return false;
}

bool desktop_ini_marks_shortcut(const char* path) {
    static const char marker[] = "{0AFACED1-E828-11D1-9187-B532F1E9575D}";
    int saved = errno;
    FILE* f = plat_fopen_read(path, false);
    if (!f) {
        errno = saved;
        return false;
    }
    // Lines of at most 512 bytes; a longer line is taken in pieces. A marker
    // split across two pieces is not seen, as the line reader never joins them.
    char line[513];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        for (char* p = line; *p; p++)
            *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
        if (strstr(line, marker)) found = true;
    }
    fclose(f);
    errno = saved;
    return found;
}

namespace {

int shortcut_scan_callback(const scan_entry* entry, void* user) {
    blob_list* list = static_cast<blob_list*>(user);
    if ((entry->mode & 0170000) == 040000) return SCAN_GO_ON;
    if (desktop_ini_marks_shortcut(entry->path)) {
        char folder[SCAN_PATH_SIZE];
        if (parent_folder(folder, sizeof folder, entry->path) > 0)
            blob_list_append_text(list, folder);
    }
    return SCAN_GO_ON;
}

} // namespace

const blob_list* folder_shortcut_folders() {
    static blob_list* list = nullptr;
    if (list) return list;
    list = blob_list_new(10, 5, blob_list_default_destroy);
    if (native_path_style() != PATH_STYLE_WINDOWS) return list;

    char windir[SCAN_PATH_SIZE];
    if (plat_windows_directory(windir, sizeof windir) != 0) return list;
    char root[SCAN_PATH_SIZE + 32];
    if (platform_family() == 1)
        snprintf(root, sizeof root, "%s", windir);
    else if (os_version_code() == 3)
        snprintf(root, sizeof root, "%s\\Profiles", windir);
    else
        snprintf(root, sizeof root, "%sDocuments and Settings", system_drive_root());

    scan_options opt = {};
    opt.flags = SCAN_FOLD_CASE | SCAN_DESCEND | SCAN_NO_EXCLUSIONS;
    opt.pattern = "desktop.ini";
    opt.callback = shortcut_scan_callback;
    opt.user = list;
    scan_folder(root, &opt);
    return list;
}
