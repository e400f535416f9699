// local_fs.cpp - local file system helpers and the recursive folder scan.
//
// Everything that touches the system goes through platform.h; the rest is
// string and arithmetic work that runs the same on both platforms.
#include "backup/local_fs.h"

#include "common/name_match.h"
#include "common/mem.h"
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct version_info {
    bool known;
    uint32_t platform_id, major, minor;
};

const version_info& cached_version() {
    static version_info v = {false, 0, 0, 0};
    if (!v.known) {
        if (plat_os_version(&v.platform_id, &v.major, &v.minor) == 0) v.known = true;
    }
    return v;
}

int os_error_number = 0; // the platform code behind the last translation

bool copy_fits(char* out, size_t out_size, const char* text, size_t len) {
    if (!out || len + 1 > out_size) {
        errno = ERANGE;
        return false;
    }
    memcpy(out, text, len);
    out[len] = 0;
    return true;
}

bool is_rooted(const char* path, path_style style) {
    if (style == PATH_STYLE_POSIX) return path[0] == '/';
    if (isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\')
        return true;
    return path[0] == '\\' && path[1] == '\\';
}

} // namespace

int platform_family() {
    const version_info& v = cached_version();
    return v.known && v.platform_id == 1 ? 1 : 2;
}

int os_version_code_for(uint32_t major, uint32_t minor) {
    if (major == 4) {
        if (minor == 10) return 1;
        if (minor == 90) return 2;
        return 3;
    }
    if (major == 5) {
        if (minor == 0) return 4;
        if (minor == 1) return 5;
        return 6;
    }
    return 0;
}

int os_version_code() {
    const version_info& v = cached_version();
    return v.known ? os_version_code_for(v.major, v.minor) : 0;
}

const char* system_drive_root() {
    static char root[4] = {0};
    if (!root[0]) {
        if (native_path_style() == PATH_STYLE_POSIX) {
            root[0] = '/';
        } else {
            char windir[SCAN_PATH_SIZE];
            if (plat_windows_directory(windir, sizeof windir) == 0 && strlen(windir) >= 3)
                memcpy(root, windir, 3);
            else
                memcpy(root, "C:\\", 3);
        }
    }
    return root;
}

// ---- security record --------------------------------------------------------

security_record* security_read(const char* path) {
    if (!path || !*path) {
        errno = EINVAL;
        return nullptr;
    }
    uint8_t* buf = static_cast<uint8_t*>(mem_alloc(SECURITY_BUFFER_SIZE));
    uint8_t kind = 0;
    uint32_t value = 0;
    if (plat_file_security(path, &kind, &value, buf, SECURITY_BUFFER_SIZE) != 0) {
        errno_from_last_error();
        free(buf);
        return nullptr;
    }
    security_record* rec = static_cast<security_record*>(mem_zalloc(sizeof *rec));
    rec->kind = kind;
    rec->value = value;
    if (kind == 2 || value > SECURITY_BUFFER_SIZE) {
        free(buf);
        rec->bytes = nullptr;
        if (kind != 2) rec->value = 0;
    } else {
        rec->bytes = buf;
    }
    return rec;
}

void security_free(security_record* rec) {
    if (!rec) return;
    free(rec->bytes);
    free(rec);
}

int32_t security_size(const security_record* rec) {
    if (!rec) return -1;
    if (rec->kind == 2 || !rec->bytes) return SECURITY_HEAD_SIZE;
    return static_cast<int32_t>(rec->value) + SECURITY_HEAD_SIZE;
}

int security_serialise(const security_record* rec, uint8_t* out, size_t out_size) {
    if (!rec || !out) return -1;
    int32_t need = security_size(rec);
    if (need < 0 || static_cast<size_t>(need) > out_size) return -1;
    out[0] = rec->kind;
    for (int i = 0; i < 4; i++)
        out[1 + i] = static_cast<uint8_t>(rec->value >> (8 * i));
    if (need > SECURITY_HEAD_SIZE)
        memcpy(out + SECURITY_HEAD_SIZE, rec->bytes,
               static_cast<size_t>(need) - SECURITY_HEAD_SIZE);
    return 0;
}

// ---- paths ------------------------------------------------------------------

char* absolute_folder_path(const char* path, char* out, size_t out_size) {
    if (!path || !*path || !out || out_size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (is_rooted(path, native_path_style()))
        return copy_fits(out, out_size, path, strlen(path)) ? out : nullptr;

    char saved[SCAN_PATH_SIZE];
    if (plat_get_cwd(saved, sizeof saved) != 0) {
        errno_from_last_error();
        return nullptr;
    }
    if (plat_set_cwd(path) != 0) {
        errno_from_last_error();
        return nullptr;
    }
    int rc = plat_get_cwd(out, out_size);
    if (rc != 0) errno_from_last_error();
    int e = errno;
    plat_set_cwd(saved);
    errno = e;
    return rc == 0 ? out : nullptr;
}

size_t parent_of_absolute(char* out, size_t out_size, const char* absolute, path_style style) {
    if (!out || out_size == 0) return 0;
    out[0] = 0;
    if (!absolute) return 0;
    size_t len = strlen(absolute);
    char sep = path_separator(style);
    if (style == PATH_STYLE_WINDOWS && len == 3 && absolute[1] == ':' && absolute[2] == '\\')
        return 0;
    if (style == PATH_STYLE_POSIX && len == 1 && absolute[0] == '/') return 0;
    if (len > 0 && absolute[len - 1] == sep) len--;
    size_t cut = len;
    while (cut > 0 && absolute[cut - 1] != sep)
        cut--;
    if (cut == 0) return 0; // no separator: nothing holds it
    cut--;                  // index of the last separator
    size_t keep = cut;
    if (style == PATH_STYLE_WINDOWS && cut == 2 && absolute[1] == ':') keep = 3; // "C:\"
    if (style == PATH_STYLE_POSIX && cut == 0) keep = 1;                         // "/"
    if (keep == 0 || keep + 1 > out_size) return 0;
    memcpy(out, absolute, keep);
    out[keep] = 0;
    return keep;
}

size_t parent_folder(char* out, size_t out_size, const char* path) {
    if (!out || out_size == 0) return 0;
    char abs[SCAN_PATH_SIZE];
    if (!absolute_folder_path(path, abs, sizeof abs)) {
        out[0] = 0;
        return 0;
    }
    return parent_of_absolute(out, out_size, abs, native_path_style());
}

// ---- volumes, sizes, times --------------------------------------------------

void cluster_query_root(const char* path, path_style style, char* out, size_t out_size) {
    if (!out || out_size == 0) return;
    out[0] = 0;
    if (!path) return;
    if (style == PATH_STYLE_POSIX) {
        copy_fits(out, out_size, path, strlen(path));
        return;
    }
    if (path[0] && path[1] == ':') {
        char root[4] = {path[0], ':', '\\', 0};
        copy_fits(out, out_size, root, 3);
        return;
    }
    if (path[0] == '\\' && path[1] == '\\') {
        const char* p = strchr(path + 2, '\\');
        if (p) p = strchr(p + 1, '\\');
        if (p) {
            copy_fits(out, out_size, path, static_cast<size_t>(p - path) + 1);
        } else {
            size_t n = strlen(path);
            if (copy_fits(out, out_size, path, n) && n + 2 <= out_size) {
                out[n] = '\\';
                out[n + 1] = 0;
            }
        }
    }
}

uint32_t cluster_size(const char* path) {
    if (!path) return 0;
    path_style style = native_path_style();
    char root[SCAN_PATH_SIZE];
    cluster_query_root(path, style, root, sizeof root);
    uint32_t bytes = 0;
    if (style == PATH_STYLE_WINDOWS) {
        static uint32_t by_drive[256];
        if (path[0] && path[1] == ':') {
            uint32_t& slot =
                by_drive[static_cast<unsigned char>(tolower(static_cast<unsigned char>(path[0])))];
            if (!slot && plat_volume_cluster_size(root, &bytes) == 0) slot = bytes;
            return slot;
        }
        return plat_volume_cluster_size(root[0] ? root : nullptr, &bytes) == 0 ? bytes : 0;
    }
    // Linux: cached per device.
    static struct {
        uint64_t device;
        uint32_t bytes;
    } cache[32];
    static int used = 0;
    plat_file_info info;
    bool have_device = plat_file_status(path, &info) == 0;
    if (have_device)
        for (int i = 0; i < used; i++)
            if (cache[i].device == info.device) return cache[i].bytes;
    if (plat_volume_cluster_size(path, &bytes) != 0) return 0;
    if (have_device && used < 32) cache[used++] = {info.device, bytes};
    return bytes;
}

int64_t size_on_disk(int64_t size, int64_t cluster) {
    if (size <= 0 || cluster <= 0) return size;
    int64_t whole = size / cluster + (size % cluster ? 1 : 0);
    return whole * cluster;
}

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

// ---- folder scan ------------------------------------------------------------

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

// Scans the folder whose path fills entry.path[0, len). Gives SCAN_GO_ON to go
// on, or the result that ends the scan.
int scan_level(scan_state* st, size_t len) {
    scan_entry& e = st->entry;
    const uint32_t flags = st->opt->flags;
    e.path[len] = 0;
    e.path_length = static_cast<uint32_t>(len);
    plat_file_info info;
    std::unique_ptr<plat_dir, void (*)(plat_dir*)> dir(plat_dir_open(e.path, &info),
                                                       plat_dir_close);
    if (!dir) {
        int code = plat_last_error();
        if (plat_error_is_access_denied(code)) return SCAN_GO_ON;
        st->list_error = code;
        return SCAN_LIST_FAILED;
    }
    if (!(flags & SCAN_NO_EXCLUSIONS) && is_builtin_exclusion(e.path, true)) return SCAN_GO_ON;

    const char sep = path_separator(st->style);
    const bool add_sep = !(len > 0 && e.path[len - 1] == sep);
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
                int r = scan_level(st, full);
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
    int r = scan_level(st.get(), strlen(st->entry.path));
    if (r == SCAN_LIST_FAILED) {
        plat_set_last_error(st->list_error);
        errno_from_last_error();
        return -1;
    }
    errno = 0;
    return 0;
}

// ---- errors and registry ----------------------------------------------------

int errno_for_windows_error(int code) {
    static const struct {
        int err;
        int codes[10];
    } table[] = {
        {22, {1, 12, 13, 87, 131, 123}},
        {2, {2, 3, 15, 18, 53, 67, 161, 206}},
        {24, {4}},
        {13, {5, 16, 33, 65, 82, 83, 108, 132, 158, 167}},
        {9, {6, 114, 130}},
        {12, {7, 8, 9, 1816}},
        {7, {10}},
        {8, {11}},
        {18, {17}},
        {17, {80, 183}},
        {11, {89, 164, 215}},
        {32, {109}},
        {28, {112}},
        {10, {128, 129}},
        {41, {145}},
    };
    if (code <= 0) return -1;
    for (const auto& row : table)
        for (int c : row.codes)
            if (c == code) return row.err;
    return -1;
}

void errno_from_last_error() {
    int code = plat_last_error();
    os_error_number = code;
    if (!plat_is_windows) {
        errno = code;
        return;
    }
    int e = errno_for_windows_error(code);
    if (e >= 0) errno = e;
}

int last_os_error_number() {
    return os_error_number;
}

int registry_read_string(const char* key, const char* value, char* buf, size_t size) {
    if (!key || !value || !buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (plat_registry_read_string(key, value, buf, size) != 0) {
        errno_from_last_error();
        return -1;
    }
    return 0;
}
