// shm_event.cpp - Linux: the named progress area (POSIX shared memory) and the
// terminate event (a named FIFO beside it in /dev/shm).
//
// Windows removes a named object when its last handle closes; POSIX names
// outlive their processes. So every agent that creates an object holds a
// shared flock on it (for the event, on a companion ".holders" object), and
// the last one to close it, the one that can turn its lock exclusive, removes
// the name. A name left by a killed agent is reused by the next one; its
// stale event signals are dropped when no live agent holds the event, and
// until then openers do not find it, as on Windows. Every lock is taken
// without waiting: anyone who may read an object may also lock it.
//
// The area is the agent's alone to write (mode 0644) and is written with
// pwrite, never through a mapping, and read with pread: nothing another
// process does to its size can fault the agent or a reader. The event is a
// FIFO rather than a semaphore for the same reason: a semaphore is a mapped
// file that every signaller may write, and so truncate under the agent. A
// signal is a byte written to the FIFO (mode 0622); a check takes every byte
// waiting without blocking; an opener finds no reader, and so no event, when
// no agent holds it.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const plat_progress_area_name = "/Tavni.Tavni Backup.Backup Progress Information";
const char* const plat_terminate_event_name = "/Tavni.Tavni Backup.Terminate Backup Event";

namespace {

// Everyone reads; only the creator's user writes.
const mode_t readable = 0644;
// Everyone may signal the event; only its creator's user may take signals.
const mode_t signallable = 0622;

void close_keep_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Sets the mode of an open object of this user's to want (by descriptor, so
// umask-proof and link-proof) and keeps it only when it is of the wanted
// type, belongs to this user or root and grants nothing in forbidden. fd, or
// -1 with fd closed and errno set (EPERM for a refused object).
int keep_if_owned(int fd, mode_t type, mode_t want, mode_t forbidden) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_keep_errno(fd);
        return -1;
    }
    const uid_t me = geteuid();
    if ((st.st_mode & S_IFMT) == type && st.st_uid == me && (st.st_mode & 07777) != want) {
        if (fchmod(fd, want) != 0 || fstat(fd, &st) != 0) {
            close_keep_errno(fd);
            return -1;
        }
    }
    if ((st.st_mode & S_IFMT) != type || (st.st_uid != me && st.st_uid != 0) ||
        (st.st_mode & forbidden) != 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

// Opens or creates a shared-memory object for this process to write. An
// object that a stranger made, or that others may write, is refused: whoever
// may write it could change its size under the agent or fake its contents.
int open_own(const char* name) {
    int fd = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, readable);
    if (fd < 0) return -1;
    return keep_if_owned(fd, S_IFREG, readable, 022);
}

// True when no other process holds the lock; keeps a shared lock where it
// can. Never waits: a stranger holding the lock must not stall the agent.
bool lock_shared_first(int fd) {
    bool first = flock(fd, LOCK_EX | LOCK_NB) == 0;
    flock(fd, LOCK_SH | LOCK_NB);
    return first;
}

bool is_last_holder(int fd) {
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// True when a creator still holds fd's object. A name whose holders are all
// gone was left by a killed agent: on Windows it would have vanished with its
// last handle, so openers must not find it ("no agent is running").
bool held_by_a_creator(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return true;
    flock(fd, LOCK_UN);
    return false;
}

} // namespace

struct plat_shm {
    int fd;
    size_t size;
    std::string name;
    bool holder; // made by plat_shm_create: writes, and takes part in removing the name
};

plat_shm* plat_shm_create(const char* name, size_t size, plat_shm_step* failed) {
    // The area is written through its descriptor, never mapped: only the
    // object itself can fail.
    if (failed) *failed = PLAT_SHM_OBJECT;
    if (!name || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open_own(name);
    if (fd < 0) return nullptr;
    lock_shared_first(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        close_keep_errno(fd);
        return nullptr;
    }
    if (failed) *failed = PLAT_SHM_MADE;
    return new plat_shm{fd, size, name, true};
}

int plat_shm_write(plat_shm* s, const void* data, size_t size) {
    if (!s || !s->holder || (!data && size != 0)) {
        errno = EINVAL;
        return -1;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(s->fd, p + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

plat_shm* plat_shm_open(const char* name) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (!held_by_a_creator(fd)) {
        close(fd);
        errno = ENOENT;
        return nullptr;
    }
    return new plat_shm{fd, 0, name, false};
}

long plat_shm_read(plat_shm* s, void* buf, size_t size) {
    if (!s || (!buf && size != 0)) {
        errno = EINVAL;
        return -1;
    }
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(s->fd, p + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break; // the area ends here
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

void plat_shm_close(plat_shm* s) {
    if (!s) return;
    if (s->holder && is_last_holder(s->fd)) shm_unlink(s->name.c_str());
    close(s->fd);
    delete s;
}

struct plat_event {
    int fd;         // the FIFO: read end for a creator, write end for an opener
    int holders_fd; // -1 for an opener that is not an agent
    std::string name;
};

static std::string holders_name(const char* name) {
    return std::string(name) + ".holders";
}

static std::string fifo_path(const char* name) {
    return std::string("/dev/shm") + name + ".fifo";
}

// Opens the FIFO's read end and checks it: a FIFO of this user's or root's,
// readable by no one else, so that no stranger can take a signal away. The
// mode is set on the open object, never by path; O_NOFOLLOW refuses a link.
static int open_fifo_reader(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    return keep_if_owned(fd, S_IFIFO, signallable, 0044);
}

plat_event* plat_event_create(const char* name) {
    if (!name || name[0] != '/' || strchr(name + 1, '/')) {
        errno = EINVAL;
        return nullptr;
    }
    int holders = open_own(holders_name(name).c_str());
    if (holders < 0) return nullptr;
    // With no live holder whatever stands at the name is stale (or planted):
    // it goes, so that signals sent while no agent ran cannot stop the next
    // agent's first job.
    const bool first = lock_shared_first(holders);
    const std::string path = fifo_path(name);
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; attempt++) {
        if (first) unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) break;
        fd = open_fifo_reader(path);
        // What fails the check is no agent's event (a link, a file, a FIFO
        // that others may read): it goes, even while a holder lives, since
        // anyone who may read the holders object may hold its lock.
        if (fd < 0 && (errno == ELOOP || errno == EPERM) && unlink(path.c_str()) != 0) break;
    }
    if (fd < 0) {
        close_keep_errno(holders);
        return nullptr;
    }
    return new plat_event{fd, holders, name};
}

plat_event* plat_event_open(const char* name) {
    if (!name || name[0] != '/') {
        errno = EINVAL;
        return nullptr;
    }
    // No reader (no live agent) refuses the open: ENXIO.
    int fd = open(fifo_path(name).c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        errno = ENOENT;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return nullptr;
    }
    return new plat_event{fd, -1, name};
}

int plat_event_signal(plat_event* e) {
    if (!e) {
        errno = EINVAL;
        return -1;
    }
    // A reader gone since the open must fail the call, not end this process
    // with SIGPIPE: the signal is held back and taken away unseen.
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    const char signal_byte = 1;
    ssize_t n;
    do {
        n = write(e->fd, &signal_byte, 1);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    if (n < 0 && saved == EPIPE) {
        timespec none{0, 0};
        sigtimedwait(&pipe_only, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // A full FIFO holds signals enough: the event is signalled already.
    if (n == 1 || (n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK))) return 0;
    errno = n < 0 ? saved : EIO;
    return -1;
}

bool plat_event_check(plat_event* e) {
    if (!e || e->holders_fd < 0) return false;
    // Several signals before one check count once, as with an event: every
    // byte waiting is taken.
    bool signalled = false;
    char bytes[256];
    for (;;) {
        ssize_t n = read(e->fd, bytes, sizeof bytes);
        if (n > 0) {
            signalled = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return signalled;
    }
}

void plat_event_close(plat_event* e) {
    if (!e) return;
    if (e->holders_fd >= 0) {
        if (is_last_holder(e->holders_fd)) {
            unlink(fifo_path(e->name.c_str()).c_str());
            shm_unlink(holders_name(e->name.c_str()).c_str());
        }
        close(e->holders_fd);
    }
    close(e->fd);
    delete e;
}
