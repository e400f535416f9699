// platform.h - the only door from the core to the operating system.
//
// Every operation the core needs from the system is declared here once, in the
// core's own terms, and defined with the same name in posix/ and in win32/;
// CMake compiles one back end. Nothing here mentions a system type. Failures
// follow one rule: the call returns its failure value and leaves the system's
// error code readable through plat_last_error() (errno on Linux, GetLastError
// on Windows), set at the failing call inside the back end.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- facts that differ between the platforms --------------------------------

extern const char plat_path_sep;      // '\\' on Windows, '/' on Linux
extern const bool plat_path_fold_case; // compare local paths without regard to case
extern const bool plat_is_windows;

// ---- errors -----------------------------------------------------------------

// The system's last error code of this thread.
int plat_last_error();
void plat_set_last_error(int code);
// The system's message text for an error code, without a trailing line end.
// Writes at most size-1 characters; returns buf.
char* plat_error_text(int code, char* buf, size_t size);

// ---- time -------------------------------------------------------------------

struct plat_systime { // the fields of a SYSTEMTIME, in its order
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
};
void plat_local_time(plat_systime* out);
void plat_utc_time(plat_systime* out);
// Millisecond tick count; 32 bits, wraps (timeGetTime / CLOCK_MONOTONIC).
uint32_t plat_tick_ms();
void plat_sleep_ms(uint32_t ms);

// ---- debug output -----------------------------------------------------------

// One line of debug output (OutputDebugStringA / one write to stderr).
void plat_debug_output(const char* text);

// ---- threads ----------------------------------------------------------------

struct plat_thread; // opaque
typedef int (*plat_thread_fn)(void* arg);

enum plat_wait_result { PLAT_WAIT_ENDED, PLAT_WAIT_TIMEOUT, PLAT_WAIT_ABANDONED, PLAT_WAIT_FAILED };

// Starts fn(arg) on a new thread; null on failure.
plat_thread* plat_thread_start(plat_thread_fn fn, void* arg);
// Waits up to ms for the thread to end.
plat_wait_result plat_thread_wait(plat_thread* t, uint32_t ms);
// Exit code of an ended thread; 0 on success, -1 when it cannot be read.
int plat_thread_exit_code(plat_thread* t, int* code);
// Ends a hung thread with the given exit code; 0 or -1. On Linux a thread
// cannot be killed safely: the call marks it terminated with that code and
// the caller ends the process after its last log lines.
int plat_thread_terminate(plat_thread* t, int code);
// True when plat_thread_terminate could not really stop the thread, so the
// process must end by itself once the watchdog has logged.
bool plat_thread_needs_process_exit();
void plat_thread_close(plat_thread* t);

// ---- process ----------------------------------------------------------------

// Full path of the running executable; 0 or -1.
int plat_exe_path(char* buf, size_t size);
int plat_process_id();
[[noreturn]] void plat_exit_process(int code);

// ---- crash handling ---------------------------------------------------------

// Called from the fault handler with the platform's fault information (the
// EXCEPTION_POINTERS on Windows, the signal context on Linux), or null.
typedef void (*plat_crash_fn)(void* fault_info);
// Installs the unhandled-fault filter; the callback writes the dump, after
// which the system ends the process as usual.
void plat_install_crash_handler(plat_crash_fn fn);
// Writes a dump of this process to path; fault_info as above or null.
// hung_thread, when not null, is the thread whose state is wanted.
// 0 or -1; nothing is written where the platform has no dump writer.
int plat_write_dump(const char* path, void* fault_info, plat_thread* hung_thread);
// Provokes a fault that goes through the unhandled-fault path.
void plat_crash_now();

// ---- job mailslot -----------------------------------------------------------

struct plat_mailslot; // opaque
// Receiving side: no size limit, reads never wait. Null when it cannot be
// created (for example another process owns it).
plat_mailslot* plat_mailslot_create(const char* name);
// Sending side: opens an existing mailslot for writing; null when none exists.
plat_mailslot* plat_mailslot_open(const char* name);
// Reads one message; its length (0 allowed) or -1 (nothing waiting, or
// failure). A message longer than size is an error (-1) and is consumed.
long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size);
// Writes one message; 0 or -1.
int plat_mailslot_write(plat_mailslot* m, const void* data, size_t len);
void plat_mailslot_close(plat_mailslot* m);

// ---- shared memory and named event ------------------------------------------

struct plat_shm; // opaque
// Creates (or opens, when it exists) the named read/write area readable and
// writable by every user; null on failure. *view receives the mapping.
plat_shm* plat_shm_create(const char* name, size_t size, void** view);
// Opens an existing area for reading and writing; null when none exists.
plat_shm* plat_shm_open(const char* name, size_t size, void** view);
void plat_shm_close(plat_shm* s);

struct plat_event; // opaque: an automatic-reset event usable by every user
plat_event* plat_event_create(const char* name);
plat_event* plat_event_open(const char* name);
int plat_event_signal(plat_event* e);
// True when signalled; a true answer consumes the signal.
bool plat_event_check(plat_event* e);
void plat_event_close(plat_event* e);

// Named objects of the agent, in the platform's own namespace.
extern const char* const plat_progress_area_name;
extern const char* const plat_terminate_event_name;
extern const char* const plat_job_mailslot_name;

// ---- privileges -------------------------------------------------------------

// Enables a named privilege of the process token (SeBackupPrivilege, ...).
// 0, or 1627 when it cannot be done (see the job frame for the messages).
int plat_enable_privilege(const char* name);

// ---- files and folders ------------------------------------------------------
// (file status, listings, security records, volumes: added with their modules)

// ---- child processes --------------------------------------------------------
// (the hidden command runner: added with its module)

// ---- sockets ----------------------------------------------------------------
// Blocking TCP sockets. A socket is an integer handle; -1 is "none". Failures
// leave the socket layer's own error code readable through
// plat_socket_last_error() (WSAGetLastError / errno).

enum { PLAT_SOCKET_NONE = -1 };

// Starts the socket layer (WSAStartup with version 1.1 on Windows); 0 or the
// layer's error code.
int plat_socket_startup();
void plat_socket_cleanup();
int plat_socket_last_error();
// Looks the host up by name (gethostbyname), takes its first address and
// connects a stream socket to it with TCP_NODELAY set. The socket or -1; a
// socket whose connect fails is closed.
intptr_t plat_tcp_connect(const char* host, uint16_t port);
// Listens on host (a numeric address, "127.0.0.1" for loopback) and port (0
// picks a free one, written to *bound_port). The socket or -1.
intptr_t plat_tcp_listen(const char* host, uint16_t port, uint16_t* bound_port);
// Accepts one connection (TCP_NODELAY set); the socket or -1.
intptr_t plat_tcp_accept(intptr_t listener);
// One send call: bytes sent (possibly fewer than n), or -1. Never raises a
// signal when the peer has gone.
long plat_socket_send(intptr_t s, const void* data, size_t n);
// One recv call: bytes received, 0 when the peer closed, -1 on error.
long plat_socket_recv(intptr_t s, void* buf, size_t n);
// Waits up to ms for the socket to become readable (select): 1 readable, 0
// time-out, -1 failure.
int plat_socket_wait_readable(intptr_t s, uint32_t ms);
// Shuts both directions down so that a peer blocked on it wakes up.
void plat_socket_shutdown(intptr_t s);
// Accepts -1.
void plat_socket_close(intptr_t s);

// ---- host facts -------------------------------------------------------------
// The facts that identify the machine. Each is optional: a fact that cannot be
// read gives its failure value and nothing is logged.

// Total physical memory as a 32-bit figure (GlobalMemoryStatus dwTotalPhys;
// saturated at 0xFFFFFFFF on Linux).
uint32_t plat_host_total_memory();
// Value of an environment variable into buf (terminated); 0, or -1 when it is
// not set (buf empty).
int plat_host_env(const char* name, char* buf, size_t size);
// Hardware address of the first network adapter (GetAdaptersInfo, loaded at
// run time; the first non-loopback interface by index on Linux): the number
// of bytes written to addr (at most cap), or -1.
int plat_host_adapter_address(uint8_t* addr, size_t cap);
// The Windows product id (registry "ProductId", at most size-1 bytes; the
// contents of /etc/machine-id on Linux), terminated; 0 or -1 (buf empty).
int plat_host_product_id(char* buf, size_t size);
// The current hardware profile GUID with braces (GetCurrentHwProfileA; the
// DMI product UUID in braces on Linux), terminated; 0 or -1 (buf empty).
int plat_host_hw_profile(char* buf, size_t size);
// The Windows directory ("C:\\WINDOWS"; "/" on Linux), terminated; 0 or -1.
int plat_windows_directory(char* buf, size_t size);
// The logical drive roots as consecutive terminated strings ending in an
// empty one (GetLogicalDriveStringsA; "/" alone on Linux). The length used
// without the final terminator, or 0 when none could be read.
size_t plat_drive_roots(char* buf, size_t size);
// Drive kinds of the host record's drive list.
enum {
    PLAT_DRIVE_UNKNOWN = 0,
    PLAT_DRIVE_FIXED = 2,
    PLAT_DRIVE_CDROM = 3,
    PLAT_DRIVE_REMOVABLE = 4,
    PLAT_DRIVE_RAMDISK = 5,
    PLAT_DRIVE_REMOTE = 6
};
int plat_drive_kind(const char* root);
// Volume label, serial number and file-system name of a drive root; 0 or -1.
int plat_volume_info(const char* root, char* label, size_t label_size, uint32_t* serial,
                     char* fs_name, size_t fs_size);
