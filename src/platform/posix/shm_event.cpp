// shm_event.cpp - Linux: the named progress area (POSIX shared memory) and the
// terminate event (a named datagram socket beside it in /dev/shm).
//
// Windows removes a named object when its last handle closes; POSIX names
// outlive their processes. So every agent that creates an object holds a
// shared flock on it (for the event, on a companion ".holders" object), and
// the last one to close it, the one that can turn its lock exclusive, removes
// the name (each agent removes its own event socket). A name left by a
// killed agent is reused by the next one: openers do not find it until then
// (its socket takes no connection), as on Windows, and the next agent binds
// a new socket in its place, so that signals sent to the old one are gone
// with it. Every lock is taken without waiting: anyone who may read an
// object may also lock it.
//
// The area is the agent's alone to write (mode 0600, or 0640 or 0644 as the
// installation asks: it names the paths being backed up) and is written with
// pwrite, never through a mapping, and read with pread: nothing another
// process does to its size can fault the agent or a reader. The event is a
// datagram socket rather than a semaphore for the same reason: a semaphore is
// a mapped file that every signaller may write, and so truncate under the
// agent; and a socket tells its receiver who sent each signal. A signal is a
// datagram (anyone may send: mode 0666); a check takes the datagrams waiting
// without blocking and counts only those the kernel says came from the
// agent's own user or root, the others are reported and dropped; an opener
// finds no receiver, and so no event, when no agent holds it, and reaches
// only a socket at the name, never what a link there leads to.
#include "platform/platform.h"
#include "platform/posix/credentials_internal.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

const char* const plat_progress_area_name = "/Tavni.Tavni Backup.Backup Progress Information";
const char* const plat_terminate_event_name = "/Tavni.Tavni Backup.Terminate Backup Event";

namespace {

// The modes of plat_shm_readers; only the creator's user writes.
mode_t area_mode(plat_shm_readers readers) {
    return readers == PLAT_SHM_EVERYONE ? 0644 : readers == PLAT_SHM_GROUP ? 0640 : 0600;
}
// The holders companion object: every agent may lock it.
const mode_t lockable = 0644;

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

// Opens or creates a shared-memory object for this process to write, with
// the given mode. An object that a stranger made, or that others may write,
// is refused: whoever may write it could change its size under the agent or
// fake its contents.
int open_own(const char* name, mode_t mode) {
    int fd = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    return keep_if_owned(fd, S_IFREG, mode, 022);
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

plat_shm* plat_shm_create(const char* name, size_t size, plat_shm_step* failed,
                          plat_shm_readers readers) {
    // The area is written through its descriptor, never mapped: only the
    // object itself can fail.
    if (failed) *failed = PLAT_SHM_OBJECT;
    if (!name || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open_own(name, area_mode(readers));
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
    int fd;         // the socket: bound for a creator, connected for an opener
    int holders_fd; // -1 for an opener that is not an agent
    std::string name;
    plat_event_refused_fn on_refused;
    void* context;
    // A creator's socket file, so that its close removes that file and no
    // later agent's; an opener's: the user whose socket it reached.
    dev_t dev;
    ino_t ino;
    uid_t owner;
};

namespace {

// How long a signal waits for room in the receiver's queue. The agent drains
// it at least once a second while a job runs; a stranger who floods it
// delays a signal, and only a signal that found no room in that time fails.
const long signal_wait_ms = 3000;
// Datagrams taken by one check at most: a stranger who keeps the queue full
// cannot hold the agent in its check. What is left waits for the next one.
const int check_max = 4096;

std::string holders_name(const char* name) {
    return std::string(name) + ".holders";
}

std::string socket_path(const char* name) {
    return std::string("/dev/shm") + name + ".sock";
}


// Binds a socket for the event and puts it at path; the descriptor, with the
// file's device and inode in *st, or -1. Every datagram carries its sender's
// credentials (SO_PASSCRED before the name exists). The socket is made in a
// fresh private folder (mkdtemp: no one else can have made it or can write
// in it), given its mode there and renamed to path, replacing whatever stood
// there without following it.
int bind_event(const std::string& path, struct stat* st) {
    char dir[] = "/dev/shm/.tavni-event-XXXXXX";
    if (!mkdtemp(dir)) return -1;
    const std::string inner = std::string(dir) + "/s";
    sockaddr_un addr;
    socklen_t len;
    int fd = -1;
    int error = 0;
    if (!plat_local_address(inner, &addr, &len) ||
        (fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) < 0) {
        error = errno;
    } else {
        const int on = 1;
        // Anyone may send (mode 0666); the credentials decide.
        if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
            bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            chmod(inner.c_str(), 0666) != 0 || lstat(inner.c_str(), st) != 0 ||
            rename(inner.c_str(), path.c_str()) != 0)
            error = errno;
    }
    unlink(inner.c_str());
    rmdir(dir);
    if (error != 0) {
        if (fd >= 0) close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Connects fd to the socket file at path, never through a link: the file is
// held by an O_PATH descriptor, checked to be a socket, and reached through
// that descriptor's name in /proc (the path itself only where /proc is
// missing, after the same check by name). *owner gets the file's owner.
// 0, or -1 with errno.
int connect_to_socket_file(int fd, const std::string& path, uid_t* owner) {
    int held = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (held < 0) return -1;
    struct stat st;
    if (fstat(held, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        close(held);
        errno = ECONNREFUSED;
        return -1;
    }
    *owner = st.st_uid;
    sockaddr_un addr;
    socklen_t len;
    int rc = -1;
    if (plat_local_address("/proc/self/fd/" + std::to_string(held), &addr, &len)) {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
        if (rc != 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0) {
            struct stat named;
            if (lstat(path.c_str(), &named) == 0 && named.st_dev == st.st_dev &&
                named.st_ino == st.st_ino && plat_local_address(path, &addr, &len))
                rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
        }
    }
    close_keep_errno(held);
    return rc;
}

// Whether a live event of this user's (or root's) is at path: a socket of
// theirs that takes a connection.
bool live_event_at(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    uid_t owner = 0;
    bool live = connect_to_socket_file(fd, path, &owner) == 0;
    close(fd);
    return live && (owner == geteuid() || owner == 0);
}

} // namespace

plat_event* plat_event_create(const char* name, plat_event_refused_fn on_refused, void* context) {
    if (!name || name[0] != '/' || strchr(name + 1, '/')) {
        errno = EINVAL;
        return nullptr;
    }
    int holders = open_own(holders_name(name).c_str(), lockable);
    if (holders < 0) return nullptr;
    // With no live holder whatever stands at the name is stale (or planted)
    // and is replaced, so that signals sent while no agent ran cannot stop
    // the next agent's first job. With one, a live event of this user's is
    // that agent's and stays (this creator gets none); anything else at the
    // name (a link, a file, a stranger's socket: anyone who may read the
    // holders object may hold its lock) is replaced all the same.
    const bool first = lock_shared_first(holders);
    const std::string path = socket_path(name);
    if (!first && live_event_at(path)) {
        close(holders);
        errno = EADDRINUSE;
        return nullptr;
    }
    struct stat st;
    int fd = bind_event(path, &st);
    if (fd < 0) {
        close_keep_errno(holders);
        return nullptr;
    }
    return new plat_event{fd, holders, name, on_refused, context, st.st_dev, st.st_ino, geteuid()};
}

plat_event* plat_event_open(const char* name) {
    if (!name || name[0] != '/') {
        errno = EINVAL;
        return nullptr;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // No receiver (no live agent, or a name left by a killed one) refuses
    // the connection; so does anything at the name that is not a socket.
    uid_t owner = 0;
    timeval wait{signal_wait_ms / 1000, (signal_wait_ms % 1000) * 1000};
    if (connect_to_socket_file(fd, socket_path(name), &owner) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
        close(fd);
        errno = ENOENT;
        return nullptr;
    }
    return new plat_event{fd, -1, name, nullptr, nullptr, 0, 0, owner};
}

bool plat_event_accepts_caller(const plat_event* e, int64_t* owner) {
    if (owner) *owner = e ? static_cast<int64_t>(e->owner) : -1;
    if (!e) return false;
    const uid_t me = geteuid();
    return me == 0 || e->owner == me;
}

int plat_event_signal(plat_event* e) {
    if (!e) {
        errno = EINVAL;
        return -1;
    }
    const char signal_byte = 1;
    ssize_t n;
    do {
        // Waits for room, signal_wait_ms at most: the queue may be full of
        // strangers' datagrams, which count for nothing.
        n = send(e->fd, &signal_byte, 1, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return 0;
    if (n >= 0) errno = EIO;
    return -1;
}

bool plat_event_check(plat_event* e) {
    if (!e || e->holders_fd < 0) return false;
    // Several signals before one check count once, as with an event: every
    // datagram waiting is taken, and only those of this user or root count.
    bool signalled = false;
    const uid_t me = geteuid();
    for (int taken = 0; taken < check_max; taken++) {
        char byte;
        iovec iov{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int))];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        ssize_t n = recvmsg(e->fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        ucred sender{};
        const bool have = plat_take_sender(&mh, &sender);
        if (have && (sender.uid == me || sender.uid == 0)) {
            signalled = true;
        } else if (e->on_refused) {
            plat_event_sender who{have ? static_cast<int64_t>(sender.uid) : -1,
                                  have ? static_cast<int64_t>(sender.pid) : -1};
            e->on_refused(e->context, &who);
        }
    }
    return signalled;
}

void plat_event_close(plat_event* e) {
    if (!e) return;
    if (e->holders_fd >= 0) {
        // The socket file goes with the agent that bound it, and only that
        // file: one that replaced it since is left alone.
        const std::string path = socket_path(e->name.c_str());
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && st.st_dev == e->dev && st.st_ino == e->ino)
            unlink(path.c_str());
        if (is_last_holder(e->holders_fd)) shm_unlink(holders_name(e->name.c_str()).c_str());
        close(e->holders_fd);
    }
    close(e->fd);
    delete e;
}
