// host.cpp - Linux: the facts that identify the machine. Each source is
// optional; the Windows figures have these stand-ins: sysinfo for the physical
// memory, the first non-loopback interface for the adapter, the file-system
// id of "/" for the volume serial, /etc/machine-id for the product id and the
// DMI product UUID for the hardware profile.
#include "common/text.h"
#include "platform/platform.h"
#include "common/owner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {
struct fd_holder {
    int fd;
    explicit fd_holder(int f) : fd(f) {}
    ~fd_holder() {
        if (fd >= 0) close(fd);
    }
};
} // namespace

uint32_t plat_host_total_memory() {
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    unsigned long long total = static_cast<unsigned long long>(si.totalram) * si.mem_unit;
    return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

int plat_host_env(const char* name, char* buf, size_t size) {
    copy_bounded(buf, size, "");
    const char* v = getenv(name);
    if (!v) return -1;
    copy_bounded(buf, size, v);
    return 0;
}

int plat_host_adapter_address(uint8_t* addr, size_t cap) {
    owner<struct if_nameindex, if_freenameindex> names(if_nameindex());
    if (!names) return -1;
    fd_holder sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int fd = sock.fd;
    int result = -1;
    unsigned best_index = 0;
    for (struct if_nameindex* i = names.get(); fd >= 0 && i->if_index != 0; i++) {
        struct ifreq req;
        memset(&req, 0, sizeof req);
        copy_bounded(req.ifr_name, sizeof req.ifr_name, i->if_name);
        if (ioctl(fd, SIOCGIFFLAGS, &req) != 0 || (req.ifr_flags & IFF_LOOPBACK)) continue;
        if (ioctl(fd, SIOCGIFHWADDR, &req) != 0) continue;
        // The list is not promised to be ordered: keep the lowest index.
        if (result >= 0 && i->if_index > best_index) continue;
        size_t n = 6 <= cap ? 6 : cap;
        memcpy(addr, req.ifr_hwaddr.sa_data, n);
        result = static_cast<int>(n);
        best_index = i->if_index;
    }
    return result;
}

// Reads the first line of a small file, without its line end.
static int read_line(const char* path, char* buf, size_t size) {
    copy_bounded(buf, size, "");
    owner<FILE, fclose> file(fopen(path, "re")); // "e": close-on-exec
    if (!file) return -1;
    char line[256];
    if (!fgets(line, sizeof line, file.get())) return -1;
    line[strcspn(line, "\r\n")] = 0;
    if (!line[0]) return -1;
    copy_bounded(buf, size, line);
    return 0;
}

int plat_host_product_id(char* buf, size_t size) {
    return read_line("/etc/machine-id", buf, size);
}

int plat_host_hw_profile(char* buf, size_t size) {
    char uuid[128];
    if (read_line("/sys/class/dmi/id/product_uuid", uuid, sizeof uuid) != 0) {
        copy_bounded(buf, size, "");
        return -1;
    }
    char braced[132];
    snprintf(braced, sizeof braced, "{%s}", uuid);
    copy_bounded(buf, size, braced);
    return 0;
}

int plat_windows_directory(char* buf, size_t size) {
    copy_bounded(buf, size, "/");
    return 0;
}

size_t plat_drive_roots(char* buf, size_t size) {
    if (size < 3) return 0;
    buf[0] = '/';
    buf[1] = 0;
    buf[2] = 0;
    return 2;
}

int plat_drive_kind(const char* root) {
    struct statvfs st;
    return statvfs(root, &st) == 0 ? PLAT_DRIVE_FIXED : PLAT_DRIVE_UNKNOWN;
}

int plat_volume_info(const char* root, char* label, size_t label_size, uint32_t* serial,
                     char* fs_name, size_t fs_size) {
    copy_bounded(label, label_size, "");
    copy_bounded(fs_name, fs_size, "");
    struct statvfs st;
    if (statvfs(root, &st) != 0) return -1;
    *serial = static_cast<uint32_t>(st.f_fsid);
    return 0;
}
