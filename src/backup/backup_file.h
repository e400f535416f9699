// backup_file.h - the backup of one local file, block by block.
//
// backup_file applies the built-in exclusions and the folder filter, asks the
// change index whether the file is unchanged, opens the remote file, offers
// the server an MD5 per block so that unchanged blocks are skipped, sends the
// other blocks compressed and encrypted, closes the remote file, and retries
// the whole file when the connection or the key is refused. Every outcome is
// logged to the job log and recorded in the report and the progress area.
#pragma once

#include "backup/backup_context.h"
#include "backup/schedule/filter_value.h"
#include "platform/platform.h"
#include "protocol/codes.h"

#include <cstdint>

enum {
    BACKUP_MAX_ATTEMPTS = 20,
    // Reads of a file that keeps changing while it is read, before it fails.
    BACKUP_MAX_READS = 3,
    BACKUP_CHECKSUM_PIECE = 8192, // reads of a block's plain bytes for its offer
    BACKUP_MD5_SIZE = 16,
    // Write types of TFS_FILE_WRITE used here (the protocol's own names).
    BACKUP_WRITE_OFFER = TFS_WRITE_OFFER,
    BACKUP_WRITE_DATA = TFS_WRITE_DATA,
    BACKUP_WRITE_CHECKSUM = TFS_WRITE_CHECKSUM,
};

// Outcome codes of one file (the job log shows them as "TBS error code").
enum backup_outcome {
    BACKUP_OK = 0,
    BACKUP_FAILED = -2,
    BACKUP_RETRY = -4,
    BACKUP_TERMINATED = -5,
    // The file changed while it was read: it is read again from its open
    // (never shown: after the last read it fails as BACKUP_FAILED).
    BACKUP_CHANGED = -6,
};

// Backs up the file at local into the remote path remote. status is the
// file's status as the caller read it (size, mtime, directory bit); filter is
// the active folder filter or null. No result: the outcome is logged and
// recorded (report, progress, next change index).
void backup_file(backup_context* ctx, const char* local, const char* remote,
                 const plat_file_info* status, const folder_filter* filter);

// backup_file for a file whose server path held a folder that the walk has
// just deleted: the change index is not asked, as a record of the folder (or
// of an older file) there must not make the file current.
void backup_file_anew(backup_context* ctx, const char* local, const char* remote,
                      const plat_file_info* status, const folder_filter* filter);

// True when backup_file would send the file now (not a built-in exclusion,
// not skipped by the filter, not current in the change index); the walk asks
// this of the files it names ahead to the block pool. Changes nothing.
bool backup_file_would_send(backup_context* ctx, const char* local, const plat_file_info* status,
                            const folder_filter* filter);

// Makes the remote folders between "/Today/" and the folder of remote, from
// the shallowest: folders that the change index knows or that this job made
// already are not asked for again; each is recorded in the next index.
// @return 0; -1 when remote holds no "/" or its folder no "/Today/"; -2 when
// the server refused a folder (recorded in the report with remote).
int make_today_parents(backup_context* ctx, const char* remote);
