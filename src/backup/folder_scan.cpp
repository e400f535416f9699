// folder_scan.cpp - the recursive folder scan with its callback.
//
// One path buffer is reused down the tree: each level appends its names to
// the path of the level above and cuts them off again.
#include "backup/folder_scan.h"

#include "backup/cluster.h"
#include "backup/filters.h"
#include "backup/os_error.h"
#include "common/name_match.h"
#include "common/owner.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <memory>

uint32_t filetime_to_seconds(const uint64_t* filetime) {
    if (!filetime) return 0;
    uint64_t ms = *filetime / 10000 - 11644473600000ULL;
    return static_cast<uint32_t>(ms / 1000);
}

uint32_t attributes_to_mode(uint32_t attributes) {
    bool folder = (attributes & PLAT_ATTR_DIRECTORY) != 0;
    bool readonly = (attributes & PLAT_ATTR_READONLY) != 0;
    if (folder) return readonly ? 040444 : 040777;
    return readonly ? 0100444 : 0100777;
}

namespace {

struct scan_state {
    const scan_options* opt;
    int match_flags;
    bool use_pattern;
    uint32_t cluster;
    path_style style;
    int list_error;
    scan_entry entry;
};

bool name_wanted(const scan_state* st, const char* name) {
    return !st->use_pattern || shell_pattern_match(st->opt->pattern, name, st->match_flags) == 0;
}

int report(scan_state* st, const plat_file_info& info) {
    scan_entry& e = st->entry;
    e.mode = attributes_to_mode(info.attributes);
    e.mtime = filetime_to_seconds(&info.write_time);
    e.size = info.size;
    e.size_on_disk = size_on_disk(info.size, st->cluster);
    e.flags = SCAN_ENTRY_HAS_STATUS;
    return st->opt->callback(&e, st->opt->user);
}

using ahead_holder = owner<plat_dir_ahead, plat_dir_ahead_close>;

// A listing read ahead is used when its read began at most this long before
// the scan reached its folder.
const uint32_t SCAN_AHEAD_MAX_AGE_MS = 500;

// Starts reading ahead the listing of the next subfolder of dir, the folder
// whose path fills entry.path[0, len); null when there is none.
plat_dir_ahead* read_next_folder_ahead(scan_state* st, const plat_dir* dir, size_t len,
                                       bool add_sep) {
    plat_file_info next;
    if (!(st->opt->flags & SCAN_DESCEND) || !plat_dir_peek_folder(dir, &next)) return nullptr;
    const size_t name_len = strlen(next.name);
    if (len + 1 + name_len + 1 > SCAN_PATH_SIZE) return nullptr;
    char path[SCAN_PATH_SIZE];
    memcpy(path, st->entry.path, len);
    size_t at = len;
    if (add_sep) path[at++] = path_separator(st->style);
    memcpy(path + at, next.name, name_len + 1);
    return plat_dir_read_ahead(path);
}

// Scans the folder whose path fills entry.path[0, len); listed_ahead, when not
// null, may hold its listing. Gives SCAN_GO_ON to go on, or the result that
// ends the scan.
int scan_level(scan_state* st, size_t len, plat_dir_ahead* listed_ahead) {
    scan_entry& e = st->entry;
    const uint32_t flags = st->opt->flags;
    e.path[len] = 0;
    e.path_length = static_cast<uint32_t>(len);
    plat_file_info info;
    owner<plat_dir, plat_dir_close> dir(
        plat_dir_open_ahead(listed_ahead, e.path, &info, SCAN_AHEAD_MAX_AGE_MS));
    if (!dir) {
        int code = plat_last_error();
        if (plat_error_is_access_denied(code)) return SCAN_GO_ON;
        st->list_error = code;
        return SCAN_LIST_FAILED;
    }
    if (!(flags & SCAN_NO_EXCLUSIONS) && is_builtin_exclusion(e.path, true)) return SCAN_GO_ON;

    const char sep = path_separator(st->style);
    const bool add_sep = !(len > 0 && e.path[len - 1] == sep);
    ahead_holder next_folder; // the listing of the next subfolder, read ahead
    for (bool more = true; more; more = plat_dir_next(dir.get(), &info) == 0) {
        if (strcmp(info.name, ".") == 0 || strcmp(info.name, "..") == 0) continue;
        size_t name_len = strlen(info.name);
        size_t full = len + (add_sep ? 1 : 0) + name_len;
        if (full + 1 > SCAN_PATH_SIZE) continue; // would not fit: passed over
        size_t at = len;
        if (add_sep) e.path[at++] = sep;
        memcpy(e.path + at, info.name, name_len + 1);
        e.path_length = static_cast<uint32_t>(full);

        bool is_dir = (info.attributes & PLAT_ATTR_DIRECTORY) != 0;
        bool skip = (info.attributes & PLAT_ATTR_REPARSE) != 0 ||
                    (!(flags & SCAN_NO_EXCLUSIONS) && is_builtin_exclusion(e.path, is_dir));
        if (!skip && is_dir && (flags & SCAN_DESCEND)) {
            bool descend = true;
            if (flags & SCAN_FOLDERS_FIRST) {
                // A folder whose name misses the pattern is still entered.
                if (name_wanted(st, info.name)) {
                    int r = report(st, info);
                    if (r == SCAN_SKIP_FOLDER)
                        descend = false;
                    else if (r != SCAN_GO_ON)
                        return r;
                }
            }
            if (descend) {
                const ahead_holder listed(next_folder.release());
                next_folder.reset(read_next_folder_ahead(st, dir.get(), len, add_sep));
                int r = scan_level(st, full, listed.get());
                if (r != SCAN_GO_ON) return r;
                e.path[full] = 0; // the level below reused the buffer
                e.path_length = static_cast<uint32_t>(full);
            }
            if (flags & SCAN_FOLDERS_FIRST) skip = true;
        }
        if (!skip && name_wanted(st, info.name)) {
            int r = report(st, info);
            if (r != SCAN_GO_ON && r != SCAN_SKIP_FOLDER) return r;
        }
        e.path[len] = 0;
    }
    return SCAN_GO_ON;
}

} // namespace

int scan_folder(const char* root, const scan_options* options) {
    if (!options) {
        errno = EINVAL;
        return -1;
    }
    if (!options->callback) return 0;
    std::unique_ptr<scan_state> st(new scan_state());
    if (!absolute_folder_path(root, st->entry.path, sizeof st->entry.path)) return -1;
    st->opt = options;
    st->match_flags = (options->flags & SCAN_FOLD_CASE) ? SHELL_MATCH_CASEFOLD : 0;
    st->use_pattern = options->pattern && *options->pattern;
    st->style = native_path_style();
    st->cluster = cluster_size(st->entry.path);
    int r = scan_level(st.get(), strlen(st->entry.path), nullptr);
    if (r == SCAN_LIST_FAILED) {
        plat_set_last_error(st->list_error);
        errno_from_last_error();
        return -1;
    }
    errno = 0;
    return 0;
}
