// cluster.cpp - cluster sizes of volumes and the space a file takes on disk.
//
// The volume's root is found by text (drive, share or the path itself); the
// system is asked once per drive letter or device.
#include "backup/cluster.h"

#include "common/text.h"
#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

enum { ROOT_SIZE = 4096 };

} // namespace

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
    char root[ROOT_SIZE];
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
