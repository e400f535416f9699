// walk.h - the walk of one local folder tree with the server's copy of it.
//
// For each folder the walk makes the matching remote folder, lists the local
// folder, recurses into subfolders, skips files that the server's listing
// shows as current, hands the rest to backup_file, and for mirrored folders
// ("Sync=") deletes from the server what has disappeared locally.
#pragma once

#include "backup/backup_context.h"
#include "backup/schedule/filter_value.h"

#include <cstdint>

enum {
    WALK_PATH_LIMIT = 1024, // a local path built by the walk stays below this
    WALK_LIST_FLAGS = 0x20, // listing flags of the mirror listing
    WALK_HOUR = 3600,
};

// Backs up the local folder local (and everything below it) into the remote
// folder remote, under filter (null for a plain source folder).
// @return 0 when the folder was handled, also when it was skipped, refused
// for access (reported with errno 13) or partly failed (failures go to the
// report); 1 when it could not be listed for another reason, with the
// platform's last error left for the caller to log and report.
int walk_folder(backup_context* ctx, const char* local, const char* remote,
                const folder_filter* filter);

// True when a server entry with server_mtime and server_size shows a local
// file with local_mtime and local_size as current: same size, and times equal
// or exactly one hour apart in either direction (32-bit wire times).
bool walk_entry_current(uint32_t server_mtime, uint64_t server_size, int64_t local_mtime,
                        int64_t local_size);
