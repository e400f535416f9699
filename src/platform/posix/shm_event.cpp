// shm_event.cpp - Linux: the named progress area (POSIX shared memory) and the
// terminate event (a POSIX named semaphore).
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
// process does to its size can fault the agent or a reader.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <semaphore.h>
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
// Everyone may signal the event.
const mode_t everyone = 0666;

void close_keep_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Opens or creates a shared-memory object for this process to write. The
// mode is set on the open object (umask-proof). An object that a stranger
// made, or that others may write, is refused: whoever may write it could
// change its size under the agent or fake its contents.
int open_own(const char* name) {
    int fd = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, readable);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_keep_errno(fd);
        return -1;
    }
    const uid_t me = geteuid();
    if (st.st_uid == me && (st.st_mode & 07777) != readable) {
        if (fchmod(fd, readable) != 0 || fstat(fd, &st) != 0) {
            close_keep_errno(fd);
            return -1;
        }
    }
    if (!S_ISREG(st.st_mode) || (st.st_uid != me && st.st_uid != 0) || (st.st_mode & 022) != 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
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

plat_shm* plat_shm_create(const char* name, size_t size) {
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
    sem_t* sem;
    int holders_fd; // -1 for an opener that is not an agent
    std::string name;
};

static std::string holders_name(const char* name) {
    return std::string(name) + ".holders";
}

// Creates the semaphore open to everyone without setting its mode by path:
// the umask is cleared around sem_open, which would otherwise apply it. The
// process entry creates the event before it starts any other thread that
// creates files. glibc opens an existing name with O_NOFOLLOW, so a link
// planted there fails the call instead of being followed.
static sem_t* open_semaphore(const char* name) {
    mode_t old = umask(0);
    sem_t* sem = sem_open(name, O_CREAT, everyone, 0);
    int saved = errno;
    umask(old);
    errno = saved;
    return sem;
}

plat_event* plat_event_create(const char* name) {
    if (!name || name[0] != '/') {
        errno = EINVAL;
        return nullptr;
    }
    int holders = open_own(holders_name(name).c_str());
    if (holders < 0) return nullptr;
    // With no live holder any existing semaphore is stale: signals sent while
    // no agent ran must not stop the next agent's first job.
    bool first = lock_shared_first(holders);
    if (first) sem_unlink(name);
    sem_t* sem = open_semaphore(name);
    if (sem == SEM_FAILED && first && errno == ELOOP) {
        // A link planted after the stale name went: remove it and try again.
        sem_unlink(name);
        sem = open_semaphore(name);
    }
    if (sem == SEM_FAILED) {
        close_keep_errno(holders);
        return nullptr;
    }
    return new plat_event{sem, holders, name};
}

plat_event* plat_event_open(const char* name) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    int holders = shm_open(holders_name(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    bool live = holders >= 0 && held_by_a_creator(holders);
    if (holders >= 0) close(holders);
    if (!live) {
        errno = ENOENT;
        return nullptr;
    }
    sem_t* sem = sem_open(name, 0);
    if (sem == SEM_FAILED) return nullptr;
    return new plat_event{sem, -1, name};
}

int plat_event_signal(plat_event* e) {
    if (!e) {
        errno = EINVAL;
        return -1;
    }
    return sem_post(e->sem);
}

bool plat_event_check(plat_event* e) {
    if (!e) return false;
    if (sem_trywait(e->sem) != 0) return false;
    // Several signals before one check count once, as with an event.
    while (sem_trywait(e->sem) == 0) {
    }
    return true;
}

void plat_event_close(plat_event* e) {
    if (!e) return;
    sem_close(e->sem);
    if (e->holders_fd >= 0) {
        if (is_last_holder(e->holders_fd)) {
            sem_unlink(e->name.c_str());
            shm_unlink(holders_name(e->name.c_str()).c_str());
        }
        close(e->holders_fd);
    }
    delete e;
}
