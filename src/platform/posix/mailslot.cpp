// mailslot.cpp - Linux: the job mailslot as an abstract-namespace Unix
// datagram socket.
//
// Datagrams keep message boundaries as a mailslot does; binding the name is
// refused while another process owns it; an empty queue makes a non-blocking
// read fail; a zero-length datagram is a zero-byte message. The kernel queues
// at most net.unix.max_dgram_qlen datagrams (10 by default): a sender finding
// the queue full fails at once instead of waiting for the running job.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char* const plat_job_mailslot_name = "Tavni/Tavni Backup/Backup Job Mailslot";

struct plat_mailslot {
    int fd;
};

// The abstract address: a leading NUL, then the name without terminator.
static bool make_address(const char* name, sockaddr_un* addr, socklen_t* len) {
    size_t n = strlen(name);
    if (n == 0 || n + 1 > sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path + 1, name, n);
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return true;
}

static plat_mailslot* make(const char* name, bool receiver) {
    sockaddr_un addr;
    socklen_t len;
    if (!name || !make_address(name, &addr, &len)) return nullptr;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int rc = receiver ? bind(fd, reinterpret_cast<sockaddr*>(&addr), len)
                      : connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    return new plat_mailslot{fd};
}

plat_mailslot* plat_mailslot_create(const char* name) {
    return make(name, true);
}

plat_mailslot* plat_mailslot_open(const char* name) {
    return make(name, false);
}

long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size) {
    if (!m) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        // MSG_TRUNC makes recv report the datagram's real length, so a
        // message longer than the buffer is seen, consumed and refused.
        ssize_t n = recv(m->fd, buf, size, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (static_cast<size_t>(n) > size) {
            errno = EMSGSIZE;
            return PLAT_MAILSLOT_TOO_LONG;
        }
        return static_cast<long>(n);
    }
}

int plat_mailslot_write(plat_mailslot* m, const void* data, size_t len) {
    if (!m) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        ssize_t n = send(m->fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (static_cast<size_t>(n) != len) {
            errno = EMSGSIZE;
            return -1;
        }
        return 0;
    }
}

void plat_mailslot_close(plat_mailslot* m) {
    if (!m) return;
    close(m->fd);
    delete m;
}
