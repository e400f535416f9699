// process.cpp - Linux: the running executable, its id and its end.
#include "platform/platform.h"

#include "platform/fault_backend.h"

#include <cerrno>
#include <unistd.h>

int plat_exe_path(char* buf, size_t size) {
    if (!buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) >= size - 1) {
        errno = ENAMETOOLONG; // the path may have been cut
        buf[0] = 0;
        return -1;
    }
    buf[n] = 0;
    return 0;
}

int plat_process_id() {
    return static_cast<int>(getpid());
}

// Ends at once: a given-up backup thread may still hold locks that the normal
// exit path (static destructors, stdio flush) would need.
void plat_exit_process(int code) {
    fault_write_counts_at_exit();
    _exit(code);
}
