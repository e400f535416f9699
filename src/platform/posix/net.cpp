// net.cpp - Linux: blocking TCP sockets over BSD sockets.
//
// Every socket is close-on-exec: a command run by the job never holds the
// agent's connection to its server.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

// Linux has no socket layer to start; the counting lives in the protocol.
int plat_socket_startup() {
    return 0;
}
void plat_socket_cleanup() {}
int plat_socket_last_error() {
    return errno;
}

static void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

intptr_t plat_tcp_connect(const char* host, uint16_t port) {
    // gethostbyname, as on Windows: the first address of the host entry.
    struct hostent* he = gethostbyname(host);
    if (!he || !he->h_addr_list || !he->h_addr_list[0]) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = socket(he->h_addrtype, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    if (he->h_addrtype == AF_INET6) {
        struct sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        memcpy(&a.sin6_addr, he->h_addr_list[0], sizeof a.sin6_addr);
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    } else {
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        memcpy(&a.sin_addr, he->h_addr_list[0], sizeof a.sin_addr);
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    set_nodelay(fd);
    return fd;
}

intptr_t plat_tcp_listen(const char* host, uint16_t port, uint16_t* bound_port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    socklen_t len = sizeof a;
    if (bound_port && getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) == 0)
        *bound_port = ntohs(a.sin_port);
    return fd;
}

intptr_t plat_tcp_accept(intptr_t listener) {
    int fd;
    do {
        fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) set_nodelay(fd);
    return fd;
}

long plat_socket_send(intptr_t s, const void* data, size_t n) {
    if (plat_fault_check(PLAT_FAULT_SEND)) return -1;
    ssize_t r;
    do {
        r = send(static_cast<int>(s), data, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long plat_socket_recv(intptr_t s, void* buf, size_t n) {
    if (plat_fault_check(PLAT_FAULT_RECV)) return -1;
    ssize_t r;
    do {
        r = recv(static_cast<int>(s), buf, n, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

int plat_socket_wait_readable(intptr_t s, uint32_t ms) {
    if (s < 0 || s >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<int>(s), &set);
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    int r = select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &tv);
    if (r < 0) return -1;
    return r > 0 ? 1 : 0;
}

void plat_socket_shutdown(intptr_t s) {
    if (s >= 0) shutdown(static_cast<int>(s), SHUT_RDWR);
}

void plat_socket_close(intptr_t s) {
    if (s >= 0) close(static_cast<int>(s));
}
