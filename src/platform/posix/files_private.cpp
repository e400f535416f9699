// files_private.cpp - Linux: owner-only files for key material.
//
// The machine key file, the schedule digest and the mail queue must not be
// readable by other users; open(2) with mode 0600 and an fchmod for files that
// existed before (umask-proof, and narrows files left by older builds).
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* plat_open_private(const char* path, plat_private_mode mode) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    flags |= mode == PLAT_PRIVATE_CREATE_NEW ? O_EXCL : O_TRUNC;
    int fd = open(path, flags, S_IRUSR | S_IWUSR);
    if (fd < 0) return nullptr;
    if (fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}
