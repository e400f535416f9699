// local_fs.h - small services over the local file system.
//
// Platform family and version, the file security record sent with every
// file, path resolution, cluster sizes, time and mode conversion, the
// recursive folder scan with its callback, and the last-error translation.
// Results: null, -1 or a 0 length on failure with errno set (see each).
#pragma once

#include "backup/filters.h"

#include <cstddef>
#include <cstdint>

// 1: the Windows 95 family; 2: every other system (NT family, Linux). Cached.
int platform_family();
// 1 Windows 98, 2 Me, 3 other 4.x, 4 2000, 5 XP, 6 other 5.x, 0 otherwise.
int os_version_code();
int os_version_code_for(uint32_t major, uint32_t minor);
// First three characters of the Windows folder ("C:\"); "/" on Linux. Cached.
const char* system_drive_root();

// ---- security record --------------------------------------------------------

enum { SECURITY_BUFFER_SIZE = 20480, SECURITY_HEAD_SIZE = 5 };

struct security_record {
    uint8_t kind;   // 3 descriptor (NT), 2 attributes (95 family), 4 owner/group/mode (Linux)
    uint32_t value; // length of bytes (kinds 3, 4) or the attribute word (kind 2)
    uint8_t* bytes; // owned; null for kind 2
};

// A new record for the file, or null: errno EINVAL for an empty path, else
// the translated platform error. Free with security_free (accepts null).
security_record* security_read(const char* path);
void security_free(security_record* rec);
// Serialised size (5-byte head plus the bytes), or -1 for null.
int32_t security_size(const security_record* rec);
// Writes kind, value (u32 little-endian) and the bytes into out; 0, or -1
// when an argument is missing or out_size is too small.
int security_serialise(const security_record* rec, uint8_t* out, size_t out_size);

// ---- paths ------------------------------------------------------------------

// Absolute form of a folder path into out: a path already rooted (Windows
// "X:\" or "\\", POSIX "/") is copied; anything else is resolved by entering
// it and reading the current directory back (then restored). out on success;
// null on failure (empty path: EINVAL; too long: ERANGE).
char* absolute_folder_path(const char* path, char* out, size_t out_size);
// The folder holding the file at path, absolute; its length, or 0 (a root has
// no parent; resolution failure).
size_t parent_folder(char* out, size_t out_size, const char* path);
// The same on an already absolute path, pure; used by parent_folder.
size_t parent_of_absolute(char* out, size_t out_size, const char* absolute, path_style style);

// ---- volumes, sizes, times --------------------------------------------------

// Bytes per cluster of the volume holding path; 0 when unknown. Drive letters
// (Windows) and devices (Linux) are cached.
uint32_t cluster_size(const char* path);
// The folder to query for path's volume: "X:\", "\\srv\share\" or "" for the
// current volume (Windows style); path itself in POSIX style.
void cluster_query_root(const char* path, path_style style, char* out, size_t out_size);
int64_t size_on_disk(int64_t size, int64_t cluster);
// Seconds since 1970 of a file time (100 ns units since 1601); null gives 0.
uint32_t filetime_to_seconds(const uint64_t* filetime);
// 040444 read-only folder, 0100444 read-only file, 040777 folder, 0100777 file.
uint32_t attributes_to_mode(uint32_t attributes);

// ---- folder scan ------------------------------------------------------------

enum {
    SCAN_FOLD_CASE = 0x01,     // names matched without regard to case
    SCAN_DESCEND = 0x02,       // enter subfolders
    SCAN_FOLDERS_FIRST = 0x04, // report a subfolder before its contents, not after
    SCAN_NO_EXCLUSIONS = 0x20, // do not apply the built-in exclusions
    SCAN_GO_ON = 102,          // callback results
    SCAN_SKIP_FOLDER = 103,
    SCAN_LIST_FAILED = 100, // a folder could not be listed
    SCAN_PATH_SIZE = 4096,
    SCAN_ENTRY_HAS_STATUS = 0x01,
};

struct scan_entry {
    char path[SCAN_PATH_SIZE]; // full path; reused as the scan goes on
    uint32_t path_length;
    uint32_t mode;  // attributes_to_mode
    uint32_t mtime; // seconds since 1970
    int64_t size;
    int64_t size_on_disk;
    uint32_t flags; // SCAN_ENTRY_HAS_STATUS
};

typedef int (*scan_callback)(const scan_entry* entry, void* user);

struct scan_options {
    uint32_t flags;      // SCAN_*
    const char* pattern; // shell pattern on the entry's name; null/empty: all
    scan_callback callback;
    void* user;
};

// Scans root. Callback results: SCAN_GO_ON, SCAN_SKIP_FOLDER (do not enter
// the folder just reported), anything else stops the scan. Folders refused
// for access are passed over, as are symbolic links / reparse points and
// entries whose path would not fit SCAN_PATH_SIZE.
// @return 0 (errno cleared), or -1: no options, root not resolvable, or a
// folder could not be listed (errno from the platform error).
int scan_folder(const char* root, const scan_options* options);

// ---- errors and registry ----------------------------------------------------

// Stores the platform's last error and sets errno from it: the fixed table on
// Windows (unlisted codes leave errno alone), the identity on Linux.
void errno_from_last_error();
// The errno the Windows table gives for a code, or -1 when it lists none.
int errno_for_windows_error(int code);
// The platform code stored by the last errno_from_last_error.
int last_os_error_number();

// 0 when the REG_SZ value exists (text terminated within buf), else -1 with
// errno set. Linux has no registry: always -1 (ENOENT).
int registry_read_string(const char* key, const char* value, char* buf, size_t size);
