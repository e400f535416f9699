// folder_paths.cpp - absolute folder paths and the folder holding a file.
//
// Only absolute_folder_path touches the system (the current directory); the
// parent is string work that runs the same for both path styles.
#include "backup/folder_paths.h"

#include "backup/os_error.h"
#include "common/text.h"
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

bool is_rooted(const char* path, path_style style) {
    if (style == PATH_STYLE_POSIX) return path[0] == '/';
    if (isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\')
        return true;
    return path[0] == '\\' && path[1] == '\\';
}

} // namespace

char* absolute_folder_path(const char* path, char* out, size_t out_size) {
    if (!path || !*path || !out || out_size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (is_rooted(path, native_path_style()))
        return copy_fits(out, out_size, path, strlen(path)) ? out : nullptr;

    char saved[FOLDER_PATH_SIZE];
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
    char abs[FOLDER_PATH_SIZE];
    if (!absolute_folder_path(path, abs, sizeof abs)) {
        out[0] = 0;
        return 0;
    }
    return parent_of_absolute(out, out_size, abs, native_path_style());
}
