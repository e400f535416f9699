// net_server.cpp - Linux: the reference server's sockets and store helpers.
//
// Blocking BSD sockets; every wait goes through poll() with the caller's
// limit so that a stalled peer never holds a thread longer than asked.
#include "platform/platform.h"
#include "platform/server.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

int plat_net_startup() {
    return 0;
}

static void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Resolves host:port; the caller frees the list. Null with errno set.
static addrinfo* resolve(const char* host, uint16_t port, bool passive) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (passive) hints.ai_flags = AI_PASSIVE;
    char service[8];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* res = nullptr;
    if (getaddrinfo(host, service, &hints, &res) != 0) {
        errno = EHOSTUNREACH;
        return nullptr;
    }
    return res;
}

plat_net plat_net_listen(const char* host, uint16_t port, uint16_t* bound_port) {
    addrinfo* res = resolve(host, port, true);
    if (!res) return PLAT_NET_INVALID;
    int fd = -1;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 64) == 0) break;
        int e = errno;
        close(fd);
        errno = e;
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) return PLAT_NET_INVALID;
    if (bound_port) {
        sockaddr_storage ss;
        socklen_t len = sizeof ss;
        *bound_port = 0;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0) {
            if (ss.ss_family == AF_INET)
                *bound_port = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
            else if (ss.ss_family == AF_INET6)
                *bound_port = ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
        }
    }
    return fd;
}

// Waits for readability (events POLLIN) or writability; 1 ready, 0 time-out, -1 failure.
static int wait_fd(int fd, short events, uint32_t ms) {
    pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    for (;;) {
        int r = poll(&p, 1, ms > 0x7fffffffu ? -1 : static_cast<int>(ms));
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : (r == 0 ? 0 : 1);
    }
}

// Fills peer from an accepted address; an IPv4-mapped IPv6 address is
// given as the IPv4 address it carries.
static void describe_peer(const sockaddr_storage& ss, plat_net_peer* peer) {
    memset(peer, 0, sizeof *peer);
    if (ss.ss_family == AF_INET) {
        const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(&ss);
        peer->family = 4;
        memcpy(peer->addr, &a->sin_addr, 4);
        peer->port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const sockaddr_in6* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        peer->port = ntohs(a->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
            peer->family = 4;
            memcpy(peer->addr, a->sin6_addr.s6_addr + 12, 4);
        } else {
            peer->family = 6;
            memcpy(peer->addr, a->sin6_addr.s6_addr, 16);
        }
    } else {
        snprintf(peer->text, sizeof peer->text, "unknown");
        return;
    }
    if (!inet_ntop(peer->family == 4 ? AF_INET : AF_INET6, peer->addr, peer->text,
                   sizeof peer->text))
        snprintf(peer->text, sizeof peer->text, "unknown");
}

plat_net plat_net_accept(plat_net listener, uint32_t ms, plat_net_peer* peer) {
    int r = wait_fd(static_cast<int>(listener), POLLIN, ms);
    if (r <= 0) {
        if (r == 0) errno = 0;
        return PLAT_NET_INVALID;
    }
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    memset(&ss, 0, sizeof ss);
    int fd =
        accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (fd < 0) return PLAT_NET_INVALID;
    set_nodelay(fd);
    if (peer) describe_peer(ss, peer);
    return fd;
}

bool plat_net_error_is_exhaustion(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

uint32_t plat_descriptor_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024; // the usual default
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 0x7fffffff) return 0x7fffffff;
    return static_cast<uint32_t>(rl.rlim_cur);
}

plat_net plat_net_connect(const char* host, uint16_t port, const char* source) {
    addrinfo* res = resolve(host, port, false);
    if (!res) return PLAT_NET_INVALID;
    addrinfo* from = nullptr;
    if (source) {
        from = resolve(source, 0, true);
        if (!from) {
            freeaddrinfo(res);
            return PLAT_NET_INVALID;
        }
    }
    int fd = -1;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        bool bound = true;
        if (from) {
            bound = false;
            for (addrinfo* f = from; f && !bound; f = f->ai_next)
                bound = f->ai_family == ai->ai_family && bind(fd, f->ai_addr, f->ai_addrlen) == 0;
        }
        if (bound && connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
        int e = errno;
        close(fd);
        errno = e;
        fd = -1;
    }
    freeaddrinfo(res);
    if (from) freeaddrinfo(from);
    if (fd < 0) return PLAT_NET_INVALID;
    set_nodelay(fd);
    return fd;
}

long plat_net_recv(plat_net s, void* buf, size_t len, uint32_t ms) {
    if (plat_fault_check(PLAT_FAULT_RECV)) return -1;
    int r = wait_fd(static_cast<int>(s), POLLIN, ms);
    if (r < 0) return -1;
    if (r == 0) return -2;
    for (;;) {
        ssize_t n = recv(static_cast<int>(s), buf, len, 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

int plat_net_send_all(plat_net s, const void* data, size_t len, uint32_t ms) {
    if (plat_fault_check(PLAT_FAULT_SEND)) return -1;
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(static_cast<int>(s), p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int r = wait_fd(static_cast<int>(s), POLLOUT, ms);
            if (r <= 0) {
                if (r == 0) errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        return -1;
    }
    return 0;
}

void plat_net_shutdown(plat_net s) {
    if (s != PLAT_NET_INVALID) shutdown(static_cast<int>(s), SHUT_RDWR);
}

void plat_net_close(plat_net s) {
    if (s != PLAT_NET_INVALID) close(static_cast<int>(s));
}

int plat_store_mkdir_private(const char* path) {
    if (mkdir(path, 0700) != 0) return -1;
    return chmod(path, 0700); // umask-proof
}

int plat_store_sync(const char* path) {
    if (plat_fault_check(PLAT_FAULT_SYNC)) return -1;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int r = syncfs(fd);
    int e = errno;
    close(fd);
    errno = e;
    return r;
}

int plat_file_sync(plat_file f) {
    if (plat_fault_check(PLAT_FAULT_SYNC)) return -1;
    // fdatasync: the length is part of what a reader needs, the times are not.
    for (;;) {
        if (fdatasync(f) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int plat_file_truncate(plat_file f, uint64_t size) {
    if (plat_fault_check(PLAT_FAULT_WRITE)) return -1;
    if (size > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        if (ftruncate(f, static_cast<off_t>(size)) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int plat_set_file_mtime(const char* path, int64_t mtime) {
    timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(mtime);
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    return utimensat(AT_FDCWD, path, ts, 0);
}

int plat_rename_replace(const char* from, const char* to) {
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    return rename(from, to) == 0 ? 0 : -1;
}

struct plat_store_lock {
    int fd;
};

plat_store_lock* plat_store_lock_take(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // flock, not fcntl locks: a second open of the file in this process must
    // conflict too, and closing another descriptor of it must not unlock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    return new plat_store_lock{fd};
}

bool plat_error_is_lock_held(int code) {
    return code == EWOULDBLOCK || code == EAGAIN;
}

void plat_store_unlock(plat_store_lock* l) {
    if (!l) return;
    close(l->fd); // releases the flock
    delete l;
}

int plat_file_security_apply(const char* path, uint8_t kind, const uint8_t* buf, uint32_t len) {
    if (kind != 4 || len != 12 || !buf) return 1;
    uint32_t f[3];
    for (int i = 0; i < 3; i++)
        f[i] = static_cast<uint32_t>(buf[i * 4]) | static_cast<uint32_t>(buf[i * 4 + 1]) << 8 |
               static_cast<uint32_t>(buf[i * 4 + 2]) << 16 |
               static_cast<uint32_t>(buf[i * 4 + 3]) << 24;
    bool root = geteuid() == 0;
    // The owner first: changing it clears the set-id bits that chmod then sets.
    if (root && fchownat(AT_FDCWD, path, static_cast<uid_t>(f[0]), static_cast<gid_t>(f[1]),
                         AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    mode_t mode = static_cast<mode_t>(f[2] & (root ? 07777u : 0777u));
    return chmod(path, mode) == 0 ? 0 : -1;
}
