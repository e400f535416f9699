// files_private.cpp - Linux: files written where others may plant names, the
// owner-only files for key material, read streams and the log files.
//
// A file beside a schedule can be replaced by a stranger with a symbolic link
// to a file of root's, a hard link, or a pipe; the guarded open below refuses
// each before it changes anything. Key files get mode 0600 with an fchmod for
// files that existed before (umask-proof, and narrows files left by older
// builds). Every descriptor is close-on-exec, so commands never inherit them.
#include "platform/platform.h"
#include "platform/posix/files_internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int open_guarded(const char* path, int guard, mode_t create_mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    // No O_TRUNC: the file is emptied only once it is known to be ours to
    // empty. O_NONBLOCK: a pipe without a reader fails instead of waiting.
    int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (!(guard & GUARD_EXISTING)) flags |= O_CREAT;
    if (guard & GUARD_NEW) flags |= O_EXCL;
    if (guard & GUARD_APPEND) flags |= O_APPEND;
    int fd;
    do {
        fd = open(path, flags, create_mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;

    struct stat st;
    int error = 0;
    const bool owner_only = (guard & GUARD_OWNER_ONLY) != 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (owner_only && st.st_uid != geteuid()) {
        error = EPERM; // its owner could read it, whatever mode it gets now
    } else if (S_ISREG(st.st_mode)) {
        if (st.st_nlink > 1)
            error = EMLINK;
        else if ((guard & GUARD_EMPTY) && st.st_size != 0 && ftruncate(fd, 0) != 0)
            error = errno;
        else if (owner_only && (st.st_mode & 07777) != 0600 && fchmod(fd, 0600) != 0)
            error = errno;
    } else if (!(guard & GUARD_ANY_KIND)) {
        error = EINVAL;
    }
    if (error == 0) {
        // Writes may wait again, as on any file: a full pipe holds its writer.
        int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) error = errno;
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int write_all_no_sigpipe(int fd, const void* data, size_t len) {
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    // A SIGPIPE already waiting belongs to someone else: leave it alone.
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);

    const char* p = static_cast<const char*>(data);
    int result = 0;
    int error = 0;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            result = -1;
            break;
        }
        if (n == 0) {
            error = EIO;
            result = -1;
            break;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    if (error == EPIPE && !was_pending) {
        // Consume the signal this write raised while it is still blocked.
        const struct timespec none = {0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return result;
}

FILE* plat_open_private(const char* path, plat_private_mode mode) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    const int guard =
        GUARD_OWNER_ONLY | (mode == PLAT_PRIVATE_CREATE_NEW ? GUARD_NEW : GUARD_EMPTY);
    int fd = open_guarded(path, guard, S_IRUSR | S_IWUSR);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

FILE* plat_fopen_read(const char* path, bool) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    FILE* f = error ? nullptr : fdopen(fd, "r");
    if (!f) {
        if (!error) error = errno;
        close(fd);
        errno = error;
    }
    return f;
}

namespace {

// Log descriptors known to be regular files. Writing a file never raises
// SIGPIPE, so their lines skip the three signal-mask calls a pipe needs; a
// descriptor leaves the set when plat_file_close closes it, before its number
// can be handed out again.
enum { REGULAR_LOG_FDS = 1024 };
std::atomic<uint64_t> g_regular_logs[REGULAR_LOG_FDS / 64];

bool is_regular_log(int fd) {
    if (fd < 0 || fd >= REGULAR_LOG_FDS) return false;
    return (g_regular_logs[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) & 1u;
}

int write_all_plain(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

void forget_regular_log(int fd) {
    if (fd < 0 || fd >= REGULAR_LOG_FDS) return;
    g_regular_logs[fd / 64].fetch_and(~(uint64_t{1} << (fd % 64)));
}

plat_file plat_log_open(const char* path, bool owner_only) {
    const int guard =
        GUARD_EMPTY | GUARD_APPEND | GUARD_ANY_KIND | (owner_only ? GUARD_OWNER_ONLY : 0);
    int fd = open_guarded(path, guard, owner_only ? 0600 : 0666);
    if (fd < 0) return PLAT_NO_FILE;
    struct stat st;
    if (fd < REGULAR_LOG_FDS && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        g_regular_logs[fd / 64].fetch_or(uint64_t{1} << (fd % 64));
    return fd;
}

int plat_log_write(plat_file f, const char* text, size_t len) {
    if (f == PLAT_NO_FILE) {
        errno = EBADF;
        return -1;
    }
    if (is_regular_log(f)) return write_all_plain(f, text, len);
    return write_all_no_sigpipe(f, text, len);
}

int plat_replace_private_file(const char* path, const void* data, size_t len) {
    if (!path || (!data && len != 0)) {
        errno = EINVAL;
        return -1;
    }
    if (plat_fault_check(PLAT_FAULT_OPEN)) return -1;
    const std::string temp = std::string(path) + ".tmp";
    // A leftover (or a link planted there) goes: the temporary file is made new.
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) return -1;
    int fd = open_guarded(temp.c_str(), GUARD_OWNER_ONLY | GUARD_NEW, S_IRUSR | S_IWUSR);
    if (fd < 0) return -1;
    int error = 0;
    if (write_all_no_sigpipe(fd, data, len) != 0 || fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temp.c_str(), path) != 0) error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        errno = error;
        return -1;
    }
    return 0;
}
