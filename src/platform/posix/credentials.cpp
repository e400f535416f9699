// credentials.cpp - Linux: local socket addresses, and the kernel's word on
// who sent a datagram.
#include "platform/posix/credentials_internal.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <unistd.h>

bool plat_local_address(const std::string& path, sockaddr_un* addr, socklen_t* len) {
    if (path.size() + 1 > sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

bool plat_take_sender(msghdr* mh, ucred* sender) {
    bool have = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(mh); c; c = CMSG_NXTHDR(mh, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof *sender)) {
            memcpy(sender, CMSG_DATA(c), sizeof *sender);
            have = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            // Descriptors a hostile sender attached are closed unused.
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; i++) {
                int passed;
                memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                close(passed);
            }
        }
    }
    return have;
}
