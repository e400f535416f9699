// server.h - the reference server's half of the platform layer: its
// listening and connected sockets, its store's folders, durability barrier,
// lock and restored-file attributes. The agent never calls these; they are
// built into a library of their own (posix/ or win32/ net_server.cpp) that
// only the server and its tests link.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// The reference server's listening socket and its connections. A handle is a
// plain integer; PLAT_NET_INVALID (-1) means none. Every call that can wait
// takes its own limit in milliseconds and never blocks longer.
typedef intptr_t plat_net;
enum : intptr_t { PLAT_NET_INVALID = -1 };
// Starts the socket layer once per process (WSAStartup; nothing on Linux).
int plat_net_startup();
// Listens on host:port (numeric or name; port 0 picks a free one, written to
// *bound_port). The listening socket or PLAT_NET_INVALID.
plat_net plat_net_listen(const char* host, uint16_t port, uint16_t* bound_port);
// A connected peer: its numeric address as text (no port), the port, and
// the raw address (4 bytes for IPv4, 16 for IPv6; an IPv4 peer reached
// through an IPv6 socket is given as IPv4). family 0: not known.
struct plat_net_peer {
    char text[64];
    uint16_t port;
    uint8_t family; // 4, 6 or 0
    uint8_t addr[16];
};
// Waits up to ms for a connection: the new socket (TCP_NODELAY set), or
// PLAT_NET_INVALID on time-out (last error 0) or failure. peer (may be null)
// gets the peer's address.
plat_net plat_net_accept(plat_net listener, uint32_t ms, plat_net_peer* peer = nullptr);
// True when a failed accept's error means that the process or the system
// has no descriptor left (retrying at once would only spin).
bool plat_net_error_is_exhaustion(int code);
// Connects to host:port with TCP_NODELAY (the server's own tests, bench and
// tools); source, when given, is the local address to connect from (a
// loopback test plays several peers with 127.0.0.x). PLAT_NET_INVALID on
// failure.
plat_net plat_net_connect(const char* host, uint16_t port, const char* source = nullptr);
// The most descriptors (files and sockets together) the process may hold at
// once: the soft RLIMIT_NOFILE on Linux; on Windows, whose handles have no
// small per-process limit, a fixed generous figure. Cannot fail.
uint32_t plat_descriptor_limit();
// Receives up to len bytes, waiting at most ms: bytes received (> 0), 0 when
// the peer closed, -1 on failure, -2 on time-out.
long plat_net_recv(plat_net s, void* buf, size_t len, uint32_t ms);
// Sends all len bytes, each wait at most ms; 0 or -1.
int plat_net_send_all(plat_net s, const void* data, size_t len, uint32_t ms);
// Stops both directions so that a thread blocked on the socket returns.
void plat_net_shutdown(plat_net s);
void plat_net_close(plat_net s);

// The server's store: folders readable by their owner only, the durability
// barrier of its group commit, and file times of restored files.
// Makes the folder (its parent must exist) with owner-only access; 0, or -1
// (EEXIST included).
int plat_store_mkdir_private(const char* path);
// Makes every file written so far below path durable, with its renames (one
// call for a whole batch: syncfs on Linux, FlushFileBuffers per volume
// where allowed on Windows); 0 or -1.
int plat_store_sync(const char* path);
// Sets a file's modification time (seconds since 1970, UTC); 0 or -1.
int plat_set_file_mtime(const char* path, int64_t mtime);
// Renames from to to, replacing a file already at to in one step, so that a
// reader sees the old file or the new one, never neither (rename on Linux,
// MoveFileExA with MOVEFILE_REPLACE_EXISTING on Windows); 0 or -1.
int plat_rename_replace(const char* from, const char* to);

// One serving process per store: an exclusive lock on the lock file at path
// (created when missing), taken without waiting and held until
// plat_store_unlock or the end of the process (flock on Linux, LockFileEx on
// Windows). Null on failure; plat_error_is_lock_held(plat_last_error()) tells
// a lock held elsewhere from other failures. plat_store_unlock accepts null.
struct plat_store_lock;
plat_store_lock* plat_store_lock_take(const char* path);
bool plat_error_is_lock_held(int code);
void plat_store_unlock(plat_store_lock* l);

// Applies a stored file security record (kind, bytes as plat_file_security
// gives them) to a restored file. Linux applies kind 4: the permission bits
// always, owner and group (and the set-id and sticky bits) only when the
// process runs as root. Windows applies the access list of kind 3. 0 when
// applied, 1 when the record is of a kind or length this platform does not
// apply (nothing changed), -1 on failure.
int plat_file_security_apply(const char* path, uint8_t kind, const uint8_t* buf, uint32_t len);
