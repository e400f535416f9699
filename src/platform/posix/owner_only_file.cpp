// owner_only_file.cpp - Linux: files that hold or protect keys, readable by
// their owner only.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct fd_holder {
    int fd;
    ~fd_holder() {
        if (fd >= 0) close(fd);
    }
};

} // namespace

int plat_write_file_owner_only(const char* path, const void* data, size_t len) {
    fd_holder f{open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (f.fd < 0) return -1;
    // A file left by an older version may carry wider rights; narrow them.
    if (fchmod(f.fd, 0600) != 0) return -1;
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(f.fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    int fd = f.fd;
    f.fd = -1;
    return close(fd) == 0 ? 0 : -1;
}
