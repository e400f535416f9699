// backup_context.h - what the walk and the per-file backup need from the job.
//
// One plain record that the job driver fills once per job and passes to
// walk_folder and backup_file. Nothing here is owned by the walk: the driver
// (or the job frame) makes the buffers with backup_context_init and frees
// them with backup_context_release; the session, the change index, the lists
// and the key are borrowed for the time of the job.
#pragma once

#include "backup/path_style.h"
#include "common/blob_list.h"

#include <cstdint>

struct ctfs_session;
struct fci;
struct backup_pending; // closes sent but not yet confirmed (backup_file.cpp)
struct block_pool;     // workers for the blocks (block_pool.h)

enum {
    // Largest piece of encrypted block data sent in one write.
    BACKUP_WRITE_PIECE = 65466,
    // Largest serialised security record that rides in an open request.
    BACKUP_SECURITY_MAX = 57273,
    // The shared transfer buffer holds one of the two at a time.
    BACKUP_TRANSFER_SIZE = BACKUP_WRITE_PIECE,
    BACKUP_ACCOUNT_KEY_SIZE = 32,
    // A mirror listing longer than this is refused (far above any real
    // folder): paging stops and nothing of the folder is deleted.
    BACKUP_LISTING_MAX = 10000000,
};
static_assert(BACKUP_TRANSFER_SIZE >= BACKUP_SECURITY_MAX, "security record must fit");

struct backup_context {
    ctfs_session* session;      // borrowed; the job's server session
    fci* index;                 // borrowed; null: every lookup misses, nothing is recorded
    const blob_list* excluded;  // "XSrc=" paths; may be null
    const blob_list* sync;      // "Sync=" paths; may be null
    const blob_list* filters;   // folder_filter records; may be null
    const uint8_t* account_key; // BACKUP_ACCOUNT_KEY_SIZE bytes; encrypts file data
    blob_list* today_folders;   // remote folders made below "/Today/" in this job (strings)
    uint8_t* transfer;          // BACKUP_TRANSFER_SIZE bytes, shared by every file of the job
    path_style style;           // of the local paths
    backup_pending* pending;    // owned; files whose close the server has not yet confirmed
    uint32_t listing_limit;     // entries of one mirror listing; BACKUP_LISTING_MAX
    block_pool* pool;           // owned; null: every block is done by the backup thread
    // Set by the walk of a folder while it runs: names the next file of its
    // listing that is to be sent to the pool (block_pool_name_file); false
    // when there is none before the next folder or the end of the listing.
    bool (*name_next)(void* walk);
    void* walk; // for name_next
};

// Zeroes ctx, sets the native path style and makes the transfer buffer and
// the (empty) list of folders made below "/Today/". Cannot fail (allocation
// failure ends the process).
void backup_context_init(backup_context* ctx);
// Frees what backup_context_init made and the pool; the borrowed fields are
// left alone. Safe on a zeroed record and twice.
void backup_context_release(backup_context* ctx);
// Starts the pool of block workers for this job (block_pool_default_workers;
// none on one core) once account_key is set.
void backup_context_start_pool(backup_context* ctx);

// The change index through the context. A lookup finds path when the index
// holds it with this size and this time (or one hour off); false without an
// index or when the index cannot be read. Recording writes path to the next
// index; without an index it does nothing. Folders use time and size 0.
bool backup_index_lookup(backup_context* ctx, const char* path, int64_t mtime, int64_t size);
void backup_index_add(backup_context* ctx, const char* path, int64_t mtime, int64_t size);
// Called before the job first changes what the server holds (a delete, a file
// opened for writing): the previous index stops vouching, so that a job
// killed after this point does not leave it trusted (fci_disown).
void backup_index_disown(backup_context* ctx);

// A file close gets no answer, so a sent file is recorded in the next index
// only once the server has answered a later request on the same connection.
// An answer counts only on the connection it came on, and a connection whose
// answers can no longer be told apart (a receive failed, or an answer of
// another request came) is dropped by the transport at once: an answer left
// over from before a time-out or a reconnection is never read, so it never
// confirms a later close.
//
// backup_confirm_closes records the confirmed ones and sends again (once)
// the files whose connection broke before their close was confirmed (taking
// them back from the report when they fail); it runs before each file and
// before the job's report.
//
// The end of a job, in its order: report, then backup_settle_closes, which
// records what the report's e-mail confirmed, leaves out (with a warning) the
// closes whose connection broke since, and records the ones still waiting,
// for the lock release to confirm; the index is finished; the release; then
// backup_release_confirms says whether its answer came on the connection
// those closes went out on (each close it did not confirm is named in a
// warning). When it did not, the caller withdraws the new index (fci_withdraw)
// so that the next run checks the files with the server. The report is not
// touched after it was sent.
void backup_confirm_closes(backup_context* ctx);
void backup_settle_closes(backup_context* ctx);
bool backup_release_confirms(backup_context* ctx);
