// files_internal.h - Windows: the guarded open that the file and log calls
// share. Included only by src/platform/win32/.
#pragma once

enum {
    GUARD_EMPTY = 0x01,     // empty an existing file
    GUARD_NEW = 0x02,       // fail with ERROR_FILE_EXISTS when the name exists
    GUARD_APPEND = 0x04,    // every write goes to the end
    GUARD_TEXT = 0x08,      // text mode: "\n" is stored as CR LF
    GUARD_EXISTING = 0x10,  // never create: the file must exist
    GUARD_EXCLUSIVE = 0x20, // not shared with other openers while open (key files)
};

// Opens path for writing as a runtime-library descriptor that child
// processes do not inherit: never a reparse point (a symbolic link or
// junction: ERROR_CANT_ACCESS_FILE), never a file with other names
// (ERROR_TOO_MANY_LINKS); emptied only after those checks. Shared for
// reading and writing, as _open shares, unless GUARD_EXCLUSIVE. The
// descriptor, or -1 with the last error set.
int open_guarded(const char* path, int guard);
