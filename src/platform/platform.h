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
#include <cstdio>

// ---- facts that differ between the platforms --------------------------------

extern const char plat_path_sep;       // '\\' on Windows, '/' on Linux
extern const bool plat_path_fold_case; // compare local paths without regard to case
extern const bool plat_is_windows;

// ---- errors -----------------------------------------------------------------

// The system's last error code of this thread.
int plat_last_error();
void plat_set_last_error(int code);
// The C errno value that a system error code means. Linux: the code itself
// (it is an errno). Windows: the C library's translation of the common codes
// (ERROR_ACCESS_DENIED gives EACCES); -1 for a code it does not list and for
// codes <= 0.
int plat_errno_for_error(int code);
// The system's message text for an error code, without a trailing line end.
// Writes at most size-1 characters; returns buf.
char* plat_error_text(int code, char* buf, size_t size);

// ---- time -------------------------------------------------------------------

struct plat_systime { // the fields of a SYSTEMTIME, in its order
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
};
void plat_local_time(plat_systime* out);
void plat_utc_time(plat_systime* out);
// The local time (the zone's rules for that date) of t, seconds since 1970;
// false when the C library cannot convert it.
bool plat_local_time_of(int64_t t, plat_systime* out);
// The time a write to a file made now would carry, in 100-nanosecond units
// since 1601 (a FILETIME): the clock the file systems stamp files with
// (GetSystemTimeAsFileTime / CLOCK_REALTIME_COARSE), so that once it has
// passed a second, no later write can be stamped with that second.
uint64_t plat_file_clock();
// Millisecond tick count; 32 bits, wraps (timeGetTime / CLOCK_MONOTONIC).
uint32_t plat_tick_ms();
void plat_sleep_ms(uint32_t ms);

// ---- debug output -----------------------------------------------------------

// One line of debug output (OutputDebugStringA / one write to stderr).
void plat_debug_output(const char* text);
// True when standard output is a terminal (a console on Windows), so that a
// tool may redraw a line in place; false for a file, a pipe or no stream.
bool plat_stdout_is_terminal();

// ---- interrupts ---------------------------------------------------------------

// From this call on, the requests to end the process that a terminal or a
// service manager sends (Linux: SIGINT and SIGTERM; Windows: the console's
// Ctrl-C, Ctrl-Break and close events) no longer end it: they are counted,
// and the process decides what each means. Linux: the two signals are
// blocked in the calling thread and in every thread started after it, and one
// thread of the platform's takes them, so that no system call of another
// thread is interrupted; call it before any thread is started. Child
// processes start with the default handling. A signal the process was
// started to ignore stays ignored (a shell without job control starts its
// background programs so, that a Ctrl-C meant for the foreground passes them
// by). 0, or -1 with the last error.
int plat_interrupts_catch();
// How many such requests arrived since plat_interrupts_catch; any thread.
uint32_t plat_interrupt_count();

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
// the caller ends the process after its last log lines. After a 0 the
// thread counts as ended with that code, whatever it does afterwards, also
// when it returned by itself after the last wait found it running (a thread
// given up does not end normally). An end that a wait has already reported
// keeps the thread's own code.
int plat_thread_terminate(plat_thread* t, int code);
// True when plat_thread_terminate could not really stop the thread, so the
// process must end by itself once the watchdog has logged.
bool plat_thread_needs_process_exit();
void plat_thread_close(plat_thread* t);
// Processors this process may run on; at least 1.
uint32_t plat_cpu_count();
// Lowers the calling thread's scheduling priority below the process's other
// threads, for work that may wait while latency-bound threads run. 0 or -1.
int plat_thread_lower_priority();

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
// 0 or -1; nothing is written where the platform has no dump writer. A dump
// may hold the keys in memory, so only its owner may read it: Linux creates
// it with mode 0600 without following a link (as the file calls below);
// Windows gives it an access list of its own that grants the process's user,
// Administrators and SYSTEM alone (a file of that name is removed and the
// dump created new, so that the list applies), and writes nothing when it
// cannot.
int plat_write_dump(const char* path, void* fault_info, plat_thread* hung_thread);
// Provokes a fault that goes through the unhandled-fault path.
void plat_crash_now();

// ---- job mailslot -----------------------------------------------------------

struct plat_mailslot; // opaque

// Who sent a refused message (Linux: the kernel's credentials of the sender;
// -1 where unknown).
struct plat_mailslot_sender {
    int64_t uid;
    int64_t pid;
};
// Told of each message refused because its sender is neither the receiver's
// own user nor root. Called on a thread of the mailslot; must not block.
typedef void (*plat_mailslot_refused_fn)(void* context, const plat_mailslot_sender* sender);

// Messages a receiver keeps for its reader. Past that a sender's write fails
// (Windows: the mailslot's own queue, bounded only by memory).
enum { PLAT_MAILSLOT_QUEUE_MAX = 1024 };

// Receiving side: no size limit, reads never wait. Null when it cannot be
// created (for example another process owns it). Linux: a socket in a folder
// that only this user (or root) can write, owned through a lock file; only
// messages of this user and root are kept, the rest reported to on_refused
// (which may be null) and dropped.
plat_mailslot* plat_mailslot_create(const char* name, plat_mailslot_refused_fn on_refused = nullptr,
                                    void* context = nullptr);
// Sending side: opens an existing mailslot for writing; null when none exists.
// agent_uid names the user whose agent is meant (Linux; -1: this process's
// own user); Windows has one mailslot per machine and ignores it.
plat_mailslot* plat_mailslot_open(const char* name, int64_t agent_uid = -1);
// Linux: the folder that holds the mailslots of the given user (-1: this
// process's), checked: a folder (not a link) owned by that user that no one
// else may write. create makes it when missing (only for this process's own
// user). When the usual folder below /tmp is another user's (anyone may make
// it first) or others may write it, this process's own user (not root) gets
// a fallback instead: ".tavni-backup" in the home folder, or a folder
// "/tmp/tavni-backup-UID.XXXXXX" of its own (made when create), which a
// sender finds by name and owner; passed_over (may be null) then receives
// the usual folder. 0, or -1 with the error set; path receives the folder
// either way (empty for a number that is no user id). Windows: always 0 with
// an empty path.
int plat_mailslot_folder(int64_t agent_uid, bool create, char* path, size_t size,
                         char* passed_over = nullptr, size_t passed_size = 0);
// Reads one message; its length (0 allowed), -1 (nothing waiting, or
// failure), or PLAT_MAILSLOT_TOO_LONG for a message longer than size, which
// is consumed (removed from the queue) all the same.
enum { PLAT_MAILSLOT_TOO_LONG = -2 };
long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size);
// Writes one message; 0 or -1. Waits a few seconds at most when the receiver
// cannot take it yet, then fails: a message is never dropped in silence.
int plat_mailslot_write(plat_mailslot* m, const void* data, size_t len);
void plat_mailslot_close(plat_mailslot* m);

// ---- shared memory and named event ------------------------------------------

struct plat_shm; // opaque
// The step of plat_shm_create that failed, for the caller's message.
enum plat_shm_step {
    PLAT_SHM_MADE = 0,     // nothing failed
    PLAT_SHM_SECURITY,     // Windows: the security descriptor could not be initialised
    PLAT_SHM_SECURITY_ACL, // Windows: its null access list could not be set
    PLAT_SHM_OBJECT,       // the named object could not be made or opened
    PLAT_SHM_VIEW,         // Windows: the object could not be mapped whole
};
// Who may read an area besides its writer (Linux; Windows areas carry a
// null access list and every user reads them).
enum plat_shm_readers {
    PLAT_SHM_OWNER = 0,  // the writer's user (and root) alone: mode 0600
    PLAT_SHM_GROUP = 1,  // and the writer's group: mode 0640
    PLAT_SHM_EVERYONE = 2 // every user: mode 0644
};
// Creates (or opens, when it exists) the named area of size bytes for this
// process to write and readers to read; null on failure, with the step
// that failed in *failed (when failed is not null) and the system's error
// for plat_last_error(). Linux: the mode is set on the open object, and an
// existing object that belongs to another user than this process's own or
// root, or that others may write, is refused (EPERM); every failure there
// is PLAT_SHM_OBJECT.
plat_shm* plat_shm_create(const char* name, size_t size, plat_shm_step* failed = nullptr,
                          plat_shm_readers readers = PLAT_SHM_OWNER);
// Writes size bytes at the start of a created area; 0 or -1. Never faults,
// whatever another process did to the area (a shrunk area grows back).
int plat_shm_write(plat_shm* s, const void* data, size_t size);
// Opens an existing area for reading only; null when none exists. A name that
// no live creator holds (left by a killed agent on Linux) counts as none, as
// on Windows, where it ends with its last handle. An area this user may not
// read gives null with an access-denied error (plat_error_is_access_denied).
plat_shm* plat_shm_open(const char* name);
// Copies up to size bytes from the start of the area into buf; the count
// copied, less than size when the area is shorter, or -1. Never faults.
long plat_shm_read(plat_shm* s, void* buf, size_t size);
void plat_shm_close(plat_shm* s);

struct plat_event; // opaque: an automatic-reset event
// Who sent a refused signal (Linux: the kernel's credentials; -1 where unknown).
struct plat_event_sender {
    int64_t uid;
    int64_t pid;
};
// Told of each signal refused because its sender is neither the creator's
// own user nor root; called from plat_event_check.
typedef void (*plat_event_refused_fn)(void* context, const plat_event_sender* sender);
// Creates the event. Windows: every user may signal it (a null access list).
// Linux: a datagram socket that anyone may send to, whose kernel sender
// credentials are checked: only signals of the creator's own user and root
// count, the others go to on_refused (may be null) and are dropped.
plat_event* plat_event_create(const char* name, plat_event_refused_fn on_refused = nullptr,
                              void* context = nullptr);
// Opens the event of a live creator; null when there is none (the same rule
// as plat_shm_open). Linux: only a socket at the name is used, never
// anything a link there leads to.
plat_event* plat_event_open(const char* name);
// Whether the creator of an opened event takes this process's signals: on
// Linux when this process runs as root or as the creator's user; on Windows
// always. *owner (may be null) receives the creator's user id, -1 where
// unknown (Windows).
bool plat_event_accepts_caller(const plat_event* e, int64_t* owner);
// 0 once the signal is queued for the creator; -1 when the creator has gone
// or (Linux) its queue had no room within three seconds.
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
// Paths are 8-bit strings handed to the system unchanged. Every call that fails
// returns its failure value with the system error readable by plat_last_error().

// Attribute bits, with the values of the Windows file attributes. On Linux a
// symbolic link is a reparse point, a file without write permission for its
// owner is read-only, names beginning with '.' are not marked hidden.
enum {
    PLAT_ATTR_READONLY = 0x01,
    PLAT_ATTR_HIDDEN = 0x02,
    PLAT_ATTR_SYSTEM = 0x04,
    PLAT_ATTR_DIRECTORY = 0x10,
    PLAT_ATTR_ARCHIVE = 0x20,
    PLAT_ATTR_REPARSE = 0x400,
};

enum { PLAT_NAME_MAX = 260 }; // one name of a listing, terminator included

// Status of one file or folder, or one entry of a listing.
struct plat_file_info {
    uint32_t attributes;  // PLAT_ATTR_*
    int64_t size;         // bytes; 0 for folders
    uint64_t write_time;  // last write, 100-nanosecond units since 1601 (a FILETIME)
    uint64_t change_time; // last change of data or status, the same units (Linux st_ctim);
                          // 0 where the system keeps none (Windows)
    int64_t mtime;        // last write, seconds since 1970
    uint64_t device;      // volume identity (Linux: st_dev; Windows: 0)
    // Listing entries only: 0 when the entry's status was read; otherwise the
    // system error of reading it, and attributes, sizes and times are unknown
    // (Linux: an entry of a folder that can be read but not searched).
    int32_t status_error;
    char name[PLAT_NAME_MAX]; // listing entries only: the entry's own name
};

// Status of path without following a final symbolic link; 0 or -1. Sizes
// and write_time come at the finest resolution the system keeps (Windows:
// the FILETIME of GetFileAttributesExA; mtime stays _stati64's), so that a
// later call tells whether the file was written in between.
int plat_file_status(const char* path, plat_file_info* out);
// True when path names an existing file or folder (links not followed).
bool plat_exists(const char* path);
// True when path names an existing folder (links followed).
bool plat_is_folder(const char* path);

// Folder listing, find-first/find-next style. plat_dir_open lists the folder
// and fills *first with its first entry; null on failure (the folder is
// missing, not a folder, or refused). Linux: entries sorted by name (byte
// order), "." first carrying the folder's own status, then ".."; entries that
// vanish while listed, and pipes, sockets and devices, are left out; an entry
// whose status cannot be read for another reason is listed with its
// status_error set, never left out, since it still exists.
// Windows: FindFirstFileA order.
struct plat_dir; // opaque
plat_dir* plat_dir_open(const char* folder, plat_file_info* first);
// The next entry: 0, or -1 at the end (last error 0) or on failure.
int plat_dir_next(plat_dir* d, plat_file_info* out);
void plat_dir_close(plat_dir* d); // accepts null
// The next folder entry (not a link, status read, not "." or "..") among
// those plat_dir_next has not yet given; false when there is none. Windows:
// always false, as its listing is read while it is walked.
bool plat_dir_peek_folder(const plat_dir* d, plat_file_info* out);

// A folder's listing read ahead, on a thread of its own, while the caller is
// busy with another folder. Linux only, where a listing costs a status read
// per entry; on Windows, whose listing carries each entry's status,
// plat_dir_read_ahead gives null and reads nothing.
struct plat_dir_ahead; // opaque
enum { PLAT_DIR_READS_AHEAD_MAX = 8 };
// Starts reading folder's listing; null when nothing is read ahead, also when
// PLAT_DIR_READS_AHEAD_MAX read-aheads of this process are not yet closed.
plat_dir_ahead* plat_dir_read_ahead(const char* folder);
// plat_dir_open(folder, first), from what a was reading when a is the read of
// folder, began at most max_age_ms ago and did not fail; otherwise folder is
// listed now. Waits for a's read to end. The fault switch counts what
// plat_dir_open counts, in the same order.
plat_dir* plat_dir_open_ahead(plat_dir_ahead* a, const char* folder, plat_file_info* first,
                              uint32_t max_age_ms);
void plat_dir_ahead_close(plat_dir_ahead* a); // waits for the read; accepts null
// True when a failed plat_dir_open (or other call) was refused for access.
bool plat_error_is_access_denied(int code);

// Files, opened in binary mode, with 64-bit offsets. Descriptors are small
// non-negative integers; PLAT_NO_FILE is none. Every descriptor, stream and
// socket of this layer is closed in child processes (close-on-exec on Linux,
// not inheritable on Windows): a pre- or post-backup command never gets the
// agent's logs, files or connections.
//
// Files the agent writes often lie where another local user can plant names
// (beside a schedule file: the job log, the change index, the schedule
// digest, the mail queue). Every call below that writes a file therefore
// opens it without following a symbolic link as its last name (Linux: ELOOP;
// Windows: a reparse point is refused with ERROR_CANT_ACCESS_FILE), refuses a
// file that has other names as well (a hard link to someone else's file:
// EMLINK / ERROR_TOO_MANY_LINKS) and empties a file only after these checks.
// Folders on the way are followed: whoever names the path chooses them.
typedef int plat_file;
enum { PLAT_NO_FILE = -1 };
enum plat_seek_origin { PLAT_SEEK_SET, PLAT_SEEK_CUR, PLAT_SEEK_END };

// Opens a file (or folder) for reading. Linux: a pipe, socket or device is
// refused at once (EINVAL) rather than waited on.
plat_file plat_file_open_read(const char* path);
// Creates or truncates a file for writing. owner_only: readable and writable
// by the owner alone on Linux (mode 0600, also for an existing file, which
// must belong to the process's user: EPERM otherwise, since its owner could
// open it up again); no effect on Windows, where the folder's access list
// applies. Anything but a regular file is refused (EINVAL) without waiting.
plat_file plat_file_create(const char* path, bool owner_only);
// Opens an existing regular file for writing in place: never creates it,
// never truncates it.
plat_file plat_file_open_write(const char* path);
// Bytes read (0 at the end of the file) or -1.
int32_t plat_file_read(plat_file f, void* buf, uint32_t size);
// Bytes read at offset (0 at or past the end of the file) or -1, without
// using the file's position, so several threads may read one file at once.
// Counted as a read by the fault switch. Windows: the position moves to the
// end of what was read; a caller that mixes both kinds of read seeks first.
int32_t plat_file_read_at(plat_file f, int64_t offset, void* buf, uint32_t size);
// Bytes written or -1; a short count means the disk refused the rest.
int32_t plat_file_write(plat_file f, const void* buf, uint32_t size);
// The new offset from the start, or -1.
int64_t plat_file_seek(plat_file f, int64_t offset, plat_seek_origin origin);
int plat_file_close(plat_file f); // 0 or -1; PLAT_NO_FILE gives 0

// Current directory; 0 or -1 (a buffer too small fails with ERANGE/122).
int plat_get_cwd(char* buf, size_t size);
int plat_set_cwd(const char* path);

// 0 or -1 each. owner_only as for plat_file_create (mode 0700 on Linux).
int plat_mkdir(const char* path, bool owner_only);
int plat_rmdir(const char* path);
int plat_unlink(const char* path);
// Renames; fails when to exists (as MoveFile does), on both platforms.
int plat_rename(const char* from, const char* to);

// Volume facts. root: a folder of the volume (Windows: "C:\", "\\srv\share\",
// or null for the current volume). 0 or -1.
int plat_volume_cluster_size(const char* root, uint32_t* bytes);
int plat_volume_free_space(const char* root, uint64_t* bytes);
// Name of the file system type of the volume holding path ("ext4", "proc",
// "NTFS", ...); 0 or -1.
int plat_fs_type(const char* path, char* buf, size_t size);

// The security record of a file. Windows NT family: kind 3, the self-relative
// security descriptor (owner, group, access list) in buf, *value its length.
// Windows 95 family: kind 2, *value the attribute word, nothing in buf.
// Linux: kind 4, 12 bytes in buf (owner uid, group gid, mode; each unsigned
// 32-bit little-endian), *value 12. 0 or -1 (buffer too small included).
int plat_file_security(const char* path, uint8_t* kind, uint32_t* value, uint8_t* buf,
                       uint32_t size);

// The version information (Windows: dwPlatformId, major, minor of
// GetVersionExA; Linux: 2 and the kernel release). 0 or -1. The Windows folder
// is plat_windows_directory of the host facts.
int plat_os_version(uint32_t* platform_id, uint32_t* major, uint32_t* minor);

// A string value (REG_SZ) below HKEY_LOCAL_MACHINE, terminated within buf.
// 0, or -1 when absent, of another type or unreadable. Linux: always absent
// (-1, ENOENT).
int plat_registry_read_string(const char* key, const char* value, char* buf, size_t size);

// Owner-only files: the machine key file, the schedule digest (".ts") and the
// mail queue hold or protect keys, so on Linux they are created with mode 0600
// (an existing file opened with PLAT_PRIVATE_TRUNCATE is narrowed to 0600 too,
// and must belong to the process's user: EPERM otherwise). Only regular files
// are written (EINVAL). Windows keeps the folder's inherited access, as the
// rest of the agent does.
enum plat_private_mode {
    PLAT_PRIVATE_CREATE_NEW = 0, // fail (EEXIST / ERROR_FILE_EXISTS) when the file exists
    PLAT_PRIVATE_TRUNCATE = 1,   // create, or empty an existing file
};
// Opens the file for binary writing; null on failure (last error set).
// The caller closes the stream with fclose.
FILE* plat_open_private(const char* path, plat_private_mode mode);

// Replaces the whole file at path with len bytes, private to this process's
// user: the bytes go to path and ".tmp" first (made new, never through a
// link) and that is renamed over path, so that a reader finds the old
// contents or the new, never a part. Linux: mode 0600. Windows: an access
// list of its own, not inherited from the folder, that grants the process's
// user and the system's own account alone. 0, or -1 with the last error.
int plat_replace_private_file(const char* path, const void* data, size_t len);

// Opens a stream for reading a regular file (text: Windows text mode, where
// CR LF reads as "\n"); null on failure with errno set as fopen sets it.
// Linux: a pipe or device is refused at once (EINVAL), a folder with EISDIR,
// rather than waited on. Not counted by the fault switch.
FILE* plat_fopen_read(const char* path, bool text);

// ---- log files --------------------------------------------------------------
// The process log and the job log. A log is emptied when opened and then
// written in append mode, so that when another process empties it again the
// next line goes to the new end rather than leaving a hole. On Windows the
// log is in text mode: "\n" is stored as CR LF. Neither call is counted by
// the fault switch.

// Opens a log as the file calls above open files (no link followed, no file
// with other names, closed in child processes). A pipe or device is a valid
// log but is never waited for: a pipe without a reader fails (ENXIO).
// owner_only as for plat_file_create, for any kind of file. The descriptor,
// or PLAT_NO_FILE with the last error set. Close it with plat_file_close.
plat_file plat_log_open(const char* path, bool owner_only);
// Writes the text with one write call (more only when the system takes part
// of it); 0, or -1 with the last error set. A log whose reader has gone
// fails with EPIPE instead of ending the process.
int plat_log_write(plat_file f, const char* text, size_t len);

// ---- child processes --------------------------------------------------------

struct plat_process; // opaque: one started child and its handles

// Starts command_line as a hidden child with the agent's environment, current
// directory and inheritable handles. Windows passes the line unchanged to
// CreateProcessA; Linux splits it into words (blanks separate, double quotes
// group and are dropped, "" is an empty word; no shell) and runs the first
// word found on PATH. Null on failure with the last error set; a program that
// does not exist gives the platform's "file not found" error.
plat_process* plat_process_start(const char* command_line);
// Waits up to ms for the child to end. Returns 0 with *result set to
// PLAT_WAIT_ENDED, PLAT_WAIT_TIMEOUT, PLAT_WAIT_ABANDONED or PLAT_WAIT_FAILED
// (last error set); any other return value is a wait result the system gave
// that none of these names. An ended child keeps answering PLAT_WAIT_ENDED.
int plat_process_wait(plat_process* p, uint32_t ms, plat_wait_result* result);
// Exit code of an ended child; 0, or -1 with the last error set. On Linux a
// child ended by a signal reads as 128 + the signal number, and one ended by
// plat_process_terminate as the code given there.
int plat_process_exit_code(plat_process* p, uint32_t* code);
// Ends the child (and on Linux its process group) with the given exit code
// and waits until it is gone; 0 (also when it had already ended) or -1 with
// the last error set.
int plat_process_terminate(plat_process* p, uint32_t code);
// Releases the handles; the child is not stopped. Accepts null.
void plat_process_close(plat_process* p);

// File-system redirection of a 32-bit process on 64-bit Windows, looked up in
// kernel32.dll at each call. Linux never has it (PLAT_REDIRECTION_ABSENT).
enum plat_redirection {
    PLAT_REDIRECTION_DONE,      // switched
    PLAT_REDIRECTION_FAILED,    // the call failed; last error set
    PLAT_REDIRECTION_ABSENT,    // the system has no such function
    PLAT_REDIRECTION_NO_MODULE, // kernel32.dll has no handle; last error set
};
// Switches redirection off; *old_state receives the value to give back.
plat_redirection plat_redirection_disable(void** old_state);
// Restores the state kept by plat_redirection_disable.
plat_redirection plat_redirection_revert(void* old_state);

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

// ---- fault injection (test builds) ------------------------------------------
// A test-only switch that makes the Nth call of one kind of operation fail
// with a chosen error, or end the process on the spot, so that tests can show
// what the system does when the disk, the folder or the connection lets it
// down at any point. Compiled in only when the build option
// TAVNI_FAULT_INJECTION is on; otherwise every check is a constant false,
// arming fails and the environment variables are ignored.
//
// Each back end calls plat_fault_check at the top of the functions it covers,
// before the system call:
//   list    plat_dir_open, plat_dir_next
//   status  plat_file_status, plat_exists, plat_is_folder, and on Linux the
//           status read of each entry while a folder is listed
//   open    plat_file_open_read, plat_file_create, plat_file_open_write,
//           plat_open_private
//   read    plat_file_read
//   write   plat_file_write, plat_file_truncate
//   rename  plat_rename, plat_rename_replace
//   sync    plat_store_sync, plat_file_sync
//   send    plat_socket_send, plat_net_send_all
//   recv    plat_socket_recv, plat_net_recv
// The reference server's catalog makes the same checks for its own file work
// (open, read, write, sync); its block store works through the calls above.
//
// Arming from outside: TAVNI_FAULT="op:N[+]:error|kill|stop" arms the process
// at start ("write:12:28": the 12th write fails with ENOSPC; "rename:3+:5":
// the 3rd and every later rename fail; "send:40:kill": the process ends at the
// 40th send; "send:40:stop": the process stops before its 40th send, as a
// debugger would hold it, and that send goes on once it is continued). A value that does not parse
// ends the process at start with exit status 2 and a line on standard error, so that a test never
// runs unarmed by mistake. TAVNI_FAULT_COUNTS=FILE writes "op count" lines for every operation to
// FILE when the process ends normally.

enum plat_fault_op {
    PLAT_FAULT_LIST,
    PLAT_FAULT_STATUS,
    PLAT_FAULT_OPEN,
    PLAT_FAULT_READ,
    PLAT_FAULT_WRITE,
    PLAT_FAULT_RENAME,
    PLAT_FAULT_SYNC,
    PLAT_FAULT_SEND,
    PLAT_FAULT_RECV,
    PLAT_FAULT_OPS
};

enum plat_fault_action {
    PLAT_FAULT_FAIL, // the call fails with the plan's error as the last error
    PLAT_FAULT_KILL, // the process ends at once, as SIGKILL or TerminateProcess would
    // The process stops where it is (Linux: SIGSTOP to itself; Windows: the
    // calling thread suspends itself) and, once continued, the call goes on
    // unharmed: a test holds a process at an exact point of its work.
    PLAT_FAULT_STOP
};

struct plat_fault_plan {
    plat_fault_op op;
    uint64_t nth;    // the first call that fails, counted from 1 since arming
    bool persistent; // every later call fails too (a full disk)
    int error;       // errno on Linux; a GetLastError or WSA code on Windows
    plat_fault_action action;
};

#if defined(TAVNI_FAULT_INJECTION) && TAVNI_FAULT_INJECTION
enum { PLAT_FAULT_COMPILED_IN = 1 };
// Counts one call of op. True when this call must fail: the plan's error is
// then the last error (for send and recv also the socket layer's). A kill
// plan never returns; a stop plan returns false once the process goes on.
// Safe from several threads.
bool plat_fault_check(plat_fault_op op);
#else
enum { PLAT_FAULT_COMPILED_IN = 0 };
inline bool plat_fault_check(plat_fault_op) {
    return false;
}
#endif

// Arms the plan (null disarms) and restarts every counter at 0. 0, or -1 when
// the switch is not compiled in or the plan names no operation, call or error.
int plat_fault_arm(const plat_fault_plan* plan);
// Calls of op counted since arming (or since the process started).
uint64_t plat_fault_count(plat_fault_op op);
// Restarts every counter at 0 and forgets the hits; the plan stays.
void plat_fault_reset_counts();
// How many calls the armed plan made fail since arming.
uint64_t plat_fault_hits();
// Parses "op:N[+]:error|kill|stop" as TAVNI_FAULT takes it; 0, or -1 for anything
// else (unknown operation, N of 0, an error of 0, extra characters).
int plat_fault_parse(const char* text, plat_fault_plan* out);
// The operation's name as TAVNI_FAULT spells it ("list", ...); "?" for none.
const char* plat_fault_op_name(plat_fault_op op);
// Writes one "op count" line per operation to path; 0 or -1.
int plat_fault_write_counts(const char* path);
