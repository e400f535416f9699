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
// Makes the bytes written so far to one open file durable, with its length
// (fdatasync on Linux, FlushFileBuffers on Windows): the barrier of an
// append-only file that a whole batch shares. Counted as a sync by the fault
// switch. 0 or -1.
int plat_file_sync(plat_file f);
// Gives an open file (opened for writing) exactly size bytes, cutting what
// lies beyond (ftruncate on Linux, SetEndOfFile on Windows). Where the file's
// position is afterwards is not said: the caller seeks. Counted as a write by
// the fault switch. 0 or -1.
int plat_file_truncate(plat_file f, uint64_t size);
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

// ---- restore: every name below the output folder reached from a handle ----
// A restore run as root writes files on a user's behalf, often into folders
// that user may change while it runs. So below the output folder nothing is
// reached by a path walked again: each folder is held open and every name is
// made, opened, checked and renamed from its folder's handle, no link is
// followed at any step, and owner, access and time are set on the open file
// before it gets its name. Linux: openat, mkdirat and renameat from
// descriptors with O_NOFOLLOW (O_DIRECTORY for folders), fchown, fchmod and
// futimens. Windows: folder handles held without delete sharing (so that
// nothing above a name can be renamed or replaced while it is used), files
// opened without following a reparse point, access and time set on the
// file's handle.

struct plat_restore_dir; // opaque: one held folder
// Opens the output folder, which the caller chose (links on its path are
// followed). When create, its missing folders are made owner-only one after
// the other, each from its parent's handle without following a link. Null
// with the last error.
plat_restore_dir* plat_restore_root(const char* path, bool create);
// Opens the folder name directly inside d, made owner-only first when it is
// missing. A link at name is refused (ELOOP / ERROR_CANT_ACCESS_FILE), and
// so is anything else that is not a folder (ENOTDIR / ERROR_DIRECTORY). Null
// with the last error.
plat_restore_dir* plat_restore_subdir(plat_restore_dir* d, const char* name);
void plat_restore_dir_close(plat_restore_dir* d); // accepts null

// What stands at name inside d, never following a link.
enum plat_restore_kind {
    PLAT_RESTORE_NONE = 0,   // nothing
    PLAT_RESTORE_FILE = 1,   // a regular file
    PLAT_RESTORE_FOLDER = 2, // a folder (not a link)
    PLAT_RESTORE_LINK = 3,   // a symbolic link or other reparse point
    PLAT_RESTORE_OTHER = 4,  // a pipe, socket or device
    PLAT_RESTORE_FAILED = -1 // the status could not be read; last error set
};
plat_restore_kind plat_restore_what(plat_restore_dir* d, const char* name);

// One file being restored: made new (owner-only) under a temporary name in
// its folder, written through its stream, given its access and time, then
// moved to its name.
struct plat_restore_file; // opaque
// Creates temp_name inside d as a new file. A leftover at temp_name (a file
// or a link, which is removed itself, never followed; not a folder) goes
// first. Null with the last error.
plat_restore_file* plat_restore_create(plat_restore_dir* d, const char* temp_name);
// The stream to write the contents through (binary, seekable); owned by f.
FILE* plat_restore_stream(plat_restore_file* f);
// Moves the stream on by n bytes without writing them, so that a run of
// zeros becomes a hole where the file system keeps them. 0 or -1.
int plat_restore_skip(plat_restore_file* f, uint64_t n);
// Writes out the stream and gives the file exactly size bytes (a file that
// ends in a hole has no length until then). 0 or -1.
int plat_restore_set_size(plat_restore_file* f, uint64_t size);
// Opens the regular file at name inside d for reading, never following a
// link, and gives its length and modification time (seconds since 1970,
// UTC). Null with the last error: a link is refused (ELOOP /
// ERROR_CANT_ACCESS_FILE), anything but a regular file too (EISDIR or
// EINVAL / ERROR_DIRECTORY). The caller closes the stream.
FILE* plat_restore_open_read(plat_restore_dir* d, const char* name, uint64_t* size,
                             int64_t* mtime);
// Flags of plat_restore_finish.
enum {
    // Set-user-id and set-group-id bits are kept when the file's owner and
    // group end up as the stored ones; without it they are always dropped.
    PLAT_RESTORE_SAME_OWNER = 1
};
// What plat_restore_finish left out of the stored record.
enum {
    PLAT_RESTORE_DROPPED_SETID = 1, // set-user-id or set-group-id bits
    PLAT_RESTORE_NOT_APPLIED = 2    // a record of a kind or length this platform does not apply
};
// Writes out the stream and applies to the open file, in this order, a
// stored security record (kind, bytes as plat_file_security gives them; len
// 0 for none) and the modification time (seconds since 1970, UTC). Linux,
// kind 4: as root the stored owner and group are given; the permission bits
// always; the set-id bits only as PLAT_RESTORE_SAME_OWNER says and only when
// the file's owner and group are the stored ones (a restore as another user
// never changes an owner). Windows, kind 3: the access list. *dropped gets
// PLAT_RESTORE_DROPPED_* bits. 0, or -1 with the last error (the record or
// the time could not be applied; the file stays owner-only then).
int plat_restore_finish(plat_restore_file* f, uint8_t kind, const uint8_t* buf, uint32_t len,
                        int flags, int64_t mtime, int* dropped);
// Moves the file from its temporary name to name in the same folder.
// replace: a file (or link) at name is replaced, never a folder (EISDIR /
// ERROR_ACCESS_DENIED); otherwise anything at name fails it (EEXIST /
// ERROR_FILE_EXISTS). A temporary name that no longer holds this very file
// (someone swapped it) is not moved: ESTALE / ERROR_FILE_INVALID. 0 or -1.
int plat_restore_commit(plat_restore_file* f, const char* name, bool replace);
// True for the error of a commit whose temporary name no longer held its file.
bool plat_error_is_swapped(int code);
// Closes the file; one not committed loses its temporary name when that
// still holds it. Accepts null.
void plat_restore_close(plat_restore_file* f);
