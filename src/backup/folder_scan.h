// folder_scan.h - the recursive folder scan with its callback.
//
// Walks a folder tree and reports each entry (path, mode, time, sizes) to a
// callback that steers the scan; the built-in exclusions, links and folders
// refused for access are passed over.
#pragma once

#include "backup/folder_paths.h"

#include <cstdint>

enum {
    SCAN_FOLD_CASE = 0x01,     // names matched without regard to case
    SCAN_DESCEND = 0x02,       // enter subfolders
    SCAN_FOLDERS_FIRST = 0x04, // report a subfolder before its contents, not after
    SCAN_NO_EXCLUSIONS = 0x20, // do not apply the built-in exclusions
    SCAN_GO_ON = 102,          // callback results
    SCAN_SKIP_FOLDER = 103,
    SCAN_LIST_FAILED = 100, // a folder could not be listed
    SCAN_PATH_SIZE = FOLDER_PATH_SIZE,
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

// Seconds since 1970 of a file time (100 ns units since 1601); null gives 0.
uint32_t filetime_to_seconds(const uint64_t* filetime);
// 040444 read-only folder, 0100444 read-only file, 040777 folder, 0100777 file.
uint32_t attributes_to_mode(uint32_t attributes);
