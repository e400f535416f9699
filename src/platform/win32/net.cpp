// net.cpp - Windows: blocking TCP sockets over Windows Sockets 1.1.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

int plat_socket_startup() {
    WSADATA data;
    return WSAStartup(0x0101, &data);
}

void plat_socket_cleanup() {
    WSACleanup();
}

int plat_socket_last_error() {
    return WSAGetLastError();
}

// Sockets are inheritable by default; a command started with inherited
// handles must not hold the agent's connection.
static void set_not_inherited(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

static void set_nodelay(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

intptr_t plat_tcp_connect(const char* host, uint16_t port) {
    struct hostent* he = gethostbyname(host);
    if (!he || !he->h_addr_list || !he->h_addr_list[0] || he->h_addrtype != AF_INET) return -1;
    SOCKET s = socket(he->h_addrtype, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return -1;
    set_not_inherited(s);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    memcpy(&a.sin_addr, he->h_addr_list[0], sizeof a.sin_addr);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
        int e = WSAGetLastError();
        closesocket(s);
        WSASetLastError(e);
        return -1;
    }
    set_nodelay(s);
    return static_cast<intptr_t>(s);
}

intptr_t plat_tcp_listen(const char* host, uint16_t port, uint16_t* bound_port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return -1;
    set_not_inherited(s);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr(host);
    if (a.sin_addr.s_addr == INADDR_NONE ||
        bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) == SOCKET_ERROR ||
        listen(s, 16) == SOCKET_ERROR) {
        int e = WSAGetLastError();
        closesocket(s);
        WSASetLastError(e);
        return -1;
    }
    int len = sizeof a;
    if (bound_port && getsockname(s, reinterpret_cast<struct sockaddr*>(&a), &len) == 0)
        *bound_port = ntohs(a.sin_port);
    return static_cast<intptr_t>(s);
}

intptr_t plat_tcp_accept(intptr_t listener) {
    SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return -1;
    set_not_inherited(s);
    set_nodelay(s);
    return static_cast<intptr_t>(s);
}

long plat_socket_send(intptr_t s, const void* data, size_t n) {
    if (plat_fault_check(PLAT_FAULT_SEND)) return -1;
    int chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    int r = send(static_cast<SOCKET>(s), static_cast<const char*>(data), chunk, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

long plat_socket_recv(intptr_t s, void* buf, size_t n) {
    if (plat_fault_check(PLAT_FAULT_RECV)) return -1;
    int chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    int r = recv(static_cast<SOCKET>(s), static_cast<char*>(buf), chunk, 0);
    return r == SOCKET_ERROR ? -1 : r;
}

int plat_socket_wait_readable(intptr_t s, uint32_t ms) {
    if (s < 0) {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(s), &set);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
    int r = select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

void plat_socket_shutdown(intptr_t s) {
    if (s >= 0) shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

void plat_socket_close(intptr_t s) {
    if (s >= 0) closesocket(static_cast<SOCKET>(s));
}
