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
// (TCP client and server: added with the protocol modules)

// server side
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
// Waits up to ms for a connection: the new socket (TCP_NODELAY set), or
// PLAT_NET_INVALID on time-out (last error 0) or failure.
plat_net plat_net_accept(plat_net listener, uint32_t ms);
// Connects to host:port with TCP_NODELAY (the server's own tests, bench and
// tools); PLAT_NET_INVALID on failure.
plat_net plat_net_connect(const char* host, uint16_t port);
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

// ---- host facts -------------------------------------------------------------
// (memory, processor, adapter, volume serial, product id, hardware profile)
