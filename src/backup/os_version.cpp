// os_version.cpp - which system the agent runs on, in the codes it reports.
//
// The system's version is read once; the codes are pure arithmetic on it.
#include "backup/os_version.h"

#include "backup/path_style.h"
#include "platform/platform.h"

#include <cstring>

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

enum { WINDOWS_FOLDER_SIZE = 4096 };

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
            char windir[WINDOWS_FOLDER_SIZE];
            if (plat_windows_directory(windir, sizeof windir) == 0 && strlen(windir) >= 3)
                memcpy(root, windir, 3);
            else
                memcpy(root, "C:\\", 3);
        }
    }
    return root;
}
