// shm_event.cpp - Linux: the named progress area (POSIX shared memory) and the
// terminate event (a POSIX named semaphore).
//
// Windows removes a named object when its last handle closes; POSIX names
// outlive their processes. So every agent that creates an object holds a
// shared flock on it (for the event, on a companion ".holders" object), and
// the last one to close it, the one that can turn its lock exclusive, removes
// the name. A name left by a killed agent is reused by the next one; its
// stale event signals are dropped when no live agent holds the event, and
// until then openers do not find it, as on Windows.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
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

const mode_t everyone = 0666;

// Opens or creates a shared-memory name readable and writable by every user
// whatever the umask. The chmod fails harmlessly on another user's object.
int open_shared(const char* name, bool create) {
    int fd = shm_open(name, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), everyone);
    if (fd >= 0 && create) fchmod(fd, everyone);
    return fd;
}

// True when no other process holds the lock; keeps a shared lock either way.
bool lock_shared_first(int fd) {
    bool first = flock(fd, LOCK_EX | LOCK_NB) == 0;
    flock(fd, LOCK_SH);
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
    void* view;
    size_t size;
    std::string name;
    bool holder; // made by plat_shm_create: takes part in removing the name
};

static plat_shm* map_area(const char* name, size_t size, void** view, bool create) {
    if (!name || !view || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open_shared(name, create);
    if (fd < 0) return nullptr;
    if (create) {
        lock_shared_first(fd);
    } else if (!held_by_a_creator(fd)) {
        close(fd);
        errno = ENOENT;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (static_cast<size_t>(st.st_size) < size) {
        // A reader never maps past the object's end (that would fault).
        if (!create || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            int saved = create ? errno : EINVAL;
            close(fd);
            errno = saved;
            return nullptr;
        }
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    *view = p;
    return new plat_shm{fd, p, size, name, create};
}

plat_shm* plat_shm_create(const char* name, size_t size, void** view) {
    return map_area(name, size, view, true);
}

plat_shm* plat_shm_open(const char* name, size_t size, void** view) {
    return map_area(name, size, view, false);
}

void plat_shm_close(plat_shm* s) {
    if (!s) return;
    munmap(s->view, s->size);
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

plat_event* plat_event_create(const char* name) {
    if (!name || name[0] != '/') {
        errno = EINVAL;
        return nullptr;
    }
    int holders = open_shared(holders_name(name).c_str(), true);
    if (holders < 0) return nullptr;
    // With no live holder any existing semaphore is stale: signals sent while
    // no agent ran must not stop the next agent's first job.
    if (lock_shared_first(holders)) sem_unlink(name);
    sem_t* sem = sem_open(name, O_CREAT, everyone, 0);
    if (sem == SEM_FAILED) {
        int saved = errno;
        close(holders);
        errno = saved;
        return nullptr;
    }
    // sem_open applies the umask; glibc keeps the semaphore in /dev/shm.
    std::string file = std::string("/dev/shm/sem.") + (name + 1);
    chmod(file.c_str(), everyone);
    return new plat_event{sem, holders, name};
}

plat_event* plat_event_open(const char* name) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    int holders = open_shared(holders_name(name).c_str(), false);
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
