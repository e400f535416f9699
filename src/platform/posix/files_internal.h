// files_internal.h - Linux: the guarded open and the pipe-safe write that the
// file, log, debug-output and crash-dump calls share.
#pragma once

#include <cstddef>
#include <sys/types.h>

enum {
    GUARD_EMPTY = 0x01,      // empty an existing regular file
    GUARD_NEW = 0x02,        // fail with EEXIST when the name exists (a link included)
    GUARD_APPEND = 0x04,     // every write goes to the end
    GUARD_OWNER_ONLY = 0x08, // the file must be the effective user's; a regular one gets 0600
    GUARD_ANY_KIND = 0x10,   // a pipe or device is accepted too (logs)
    GUARD_EXISTING = 0x20,   // never create: the file must exist (ENOENT)
};

// Opens path for writing, created with create_mode when missing: never
// through a symbolic link as the last name (ELOOP), never a regular file with
// other names (EMLINK), never another user's file for GUARD_OWNER_ONLY
// (EPERM), only a regular file unless GUARD_ANY_KIND (EINVAL), and never
// waiting for a pipe's reader (ENXIO). Close-on-exec. The descriptor, or -1
// with errno set. Async-signal-safe: the crash dump uses it in its handler.
int open_guarded(const char* path, int guard, mode_t create_mode);

// Writes all of len bytes (one write call unless the system takes less),
// with SIGPIPE held back for the call: a pipe whose reader has gone fails
// with EPIPE instead of ending the process. 0, or -1 with errno set.
int write_all_no_sigpipe(int fd, const void* data, size_t len);

// Drops a descriptor from the logs known to be regular files; plat_file_close
// calls it before the number can be reused (for a pipe, say).
void forget_regular_log(int fd);
