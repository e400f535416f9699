// net_server.cpp - Windows: the reference server's sockets and store helpers.
//
// Winsock with select() for every wait; the server itself is built on Linux
// only, these keep the platform header whole for the Windows build.
#include "platform/platform.h"
#include "platform/server.h"
#include "platform/win32/handle.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <io.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

int plat_net_startup() {
    static bool started = false;
    if (started) return 0;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return -1;
    started = true;
    return 0;
}

static void set_nodelay(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

static bool fill_addr(const char* host, uint16_t port, sockaddr_in* sa) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    if (!host || !*host) {
        sa->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    unsigned long a = inet_addr(host);
    if (a != INADDR_NONE) {
        sa->sin_addr.s_addr = a;
        return true;
    }
    hostent* he = gethostbyname(host);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0]) return false;
    memcpy(&sa->sin_addr, he->h_addr_list[0], sizeof sa->sin_addr);
    return true;
}

plat_net plat_net_listen(const char* host, uint16_t port, uint16_t* bound_port) {
    sockaddr_in sa;
    if (!fill_addr(host, port, &sa)) return PLAT_NET_INVALID;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return PLAT_NET_INVALID;
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(s, 64) != 0) {
        int e = WSAGetLastError();
        closesocket(s);
        SetLastError(e);
        return PLAT_NET_INVALID;
    }
    if (bound_port) {
        sockaddr_in got;
        int len = sizeof got;
        *bound_port = 0;
        if (getsockname(s, reinterpret_cast<sockaddr*>(&got), &len) == 0)
            *bound_port = ntohs(got.sin_port);
    }
    return static_cast<plat_net>(s);
}

// 1 ready, 0 time-out, -1 failure.
static int wait_sock(SOCKET s, bool for_write, uint32_t ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    int r =
        for_write ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) {
        SetLastError(WSAGetLastError());
        return -1;
    }
    return r == 0 ? 0 : 1;
}

plat_net plat_net_accept(plat_net listener, uint32_t ms, plat_net_peer* peer) {
    SOCKET l = static_cast<SOCKET>(listener);
    int r = wait_sock(l, false, ms);
    if (r <= 0) {
        if (r == 0) SetLastError(0);
        return PLAT_NET_INVALID;
    }
    sockaddr_in sa;
    int len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    SOCKET s = accept(l, reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) {
        SetLastError(WSAGetLastError());
        return PLAT_NET_INVALID;
    }
    set_nodelay(s);
    if (peer) {
        // The listener is IPv4 only (fill_addr).
        memset(peer, 0, sizeof *peer);
        peer->family = 4;
        memcpy(peer->addr, &sa.sin_addr, 4);
        peer->port = ntohs(sa.sin_port);
        snprintf(peer->text, sizeof peer->text, "%u.%u.%u.%u", peer->addr[0], peer->addr[1],
                 peer->addr[2], peer->addr[3]);
    }
    return static_cast<plat_net>(s);
}

bool plat_net_error_is_exhaustion(int code) {
    return code == WSAEMFILE || code == WSAENOBUFS;
}

uint32_t plat_descriptor_limit() {
    return 16384; // kernel handles are limited by memory, not by a small count
}

plat_net plat_net_connect(const char* host, uint16_t port, const char* source) {
    sockaddr_in sa;
    if (!fill_addr(host, port, &sa)) return PLAT_NET_INVALID;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return PLAT_NET_INVALID;
    sockaddr_in from;
    if (source && (!fill_addr(source, 0, &from) ||
                   bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) {
        int e = WSAGetLastError();
        closesocket(s);
        SetLastError(e);
        return PLAT_NET_INVALID;
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = WSAGetLastError();
        closesocket(s);
        SetLastError(e);
        return PLAT_NET_INVALID;
    }
    set_nodelay(s);
    return static_cast<plat_net>(s);
}

long plat_net_recv(plat_net s, void* buf, size_t len, uint32_t ms) {
    if (plat_fault_check(PLAT_FAULT_RECV)) return -1;
    SOCKET so = static_cast<SOCKET>(s);
    int r = wait_sock(so, false, ms);
    if (r < 0) return -1;
    if (r == 0) return -2;
    int chunk = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
    int n = recv(so, static_cast<char*>(buf), chunk, 0);
    if (n == SOCKET_ERROR) {
        SetLastError(WSAGetLastError());
        return -1;
    }
    return n;
}

int plat_net_send_all(plat_net s, const void* data, size_t len, uint32_t ms) {
    if (plat_fault_check(PLAT_FAULT_SEND)) return -1;
    SOCKET so = static_cast<SOCKET>(s);
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int r = wait_sock(so, true, ms);
        if (r <= 0) {
            if (r == 0) SetLastError(WSAETIMEDOUT);
            return -1;
        }
        int chunk = len > 0x10000 ? 0x10000 : static_cast<int>(len);
        int n = send(so, p, chunk, 0);
        if (n == SOCKET_ERROR) {
            SetLastError(WSAGetLastError());
            return -1;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

void plat_net_shutdown(plat_net s) {
    if (s != PLAT_NET_INVALID) shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

void plat_net_close(plat_net s) {
    if (s != PLAT_NET_INVALID) closesocket(static_cast<SOCKET>(s));
}

int plat_store_mkdir_private(const char* path) {
    // New folders inherit the parent's access list; the store lives below the
    // owner's profile on Windows.
    return CreateDirectoryA(path, nullptr) ? 0 : -1;
}

int plat_store_sync(const char* path) {
    if (plat_fault_check(PLAT_FAULT_SYNC)) return -1;
    // Flushing a whole volume needs administrator rights; try it, and report
    // failure when it is refused.
    char full[MAX_PATH];
    if (!GetFullPathNameA(path, sizeof full, full, nullptr) || full[1] != ':') return -1;
    char vol[8];
    snprintf(vol, sizeof vol, "\\\\.\\%c:", full[0]);
    win32::file_handle h(CreateFileA(vol, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return -1;
    return FlushFileBuffers(h.get()) ? 0 : -1;
}

int plat_file_sync(plat_file f) {
    if (plat_fault_check(PLAT_FAULT_SYNC)) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(f));
    if (h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return FlushFileBuffers(h) ? 0 : -1;
}

int plat_file_truncate(plat_file f, uint64_t size) {
    if (plat_fault_check(PLAT_FAULT_WRITE)) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(f));
    if (h == INVALID_HANDLE_VALUE || size > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // A binary descriptor writes at its handle's position, which this moves;
    // the header says the caller seeks afterwards.
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h) ? 0 : -1;
}

int plat_set_file_mtime(const char* path, int64_t mtime) {
    win32::file_handle h(CreateFileA(path, FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return -1;
    uint64_t t = static_cast<uint64_t>(mtime + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return SetFileTime(h.get(), nullptr, nullptr, &ft) ? 0 : -1;
}

int plat_rename_replace(const char* from, const char* to) {
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

struct plat_store_lock {
    win32::file_handle h; // closing it releases the lock
};

plat_store_lock* plat_store_lock_take(const char* path) {
    win32::file_handle h(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return nullptr;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    if (!LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov))
        return nullptr; // the error survives the close
    return new plat_store_lock{std::move(h)};
}

bool plat_error_is_lock_held(int code) {
    return code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION;
}

void plat_store_unlock(plat_store_lock* l) {
    delete l; // accepts null
}

int plat_file_security_apply(const char* path, uint8_t kind, const uint8_t* buf, uint32_t len) {
    if (kind != 3 || !buf || len < SECURITY_DESCRIPTOR_MIN_LENGTH) return 1;
    // The stored bytes are a self-relative descriptor; check it before use.
    std::vector<uint8_t> sd(buf, buf + len);
    PSECURITY_DESCRIPTOR p = sd.data();
    if (!IsValidSecurityDescriptor(p) || GetSecurityDescriptorLength(p) > len) return 1;
    // The access list only: owner and group need privileges a restore
    // rarely has.
    return SetFileSecurityA(path, DACL_SECURITY_INFORMATION, p) ? 0 : -1;
}
