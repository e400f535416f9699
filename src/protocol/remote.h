// remote.h - the requests a job makes once it has a session: user lock,
// folders, listings, deletes, file open/write/close and e-mail.
//
// Every request goes through ctfs_transact (transport.h), which connects and
// logs in on demand. A request returns ERR_NONE; ERR_INVARG, unsent, when it
// does not fit the packet area; the transport's failure (ERR_SCKWRITE,
// ERR_SCKREAD, ERR_SEQUENCE for an answer of another type or sequence, or the
// failure of a reconnection and its log-in); or else the status the server
// answered. None of them logs (the transport writes its own job-log lines
// about receive waits); callers log with the result code. The request records
// and whatever they point to stay the caller's; answers are copied into them.
#pragma once

#include "common/blob_list.h"
#include "protocol/session.h"

#include <cstdint>

struct ctfs_lock_request {
    uint8_t flags;
    uint16_t count;
    const uint32_t* ids;
};

struct ctfs_path_request {
    uint8_t kind;
    const char* path;
};

struct ctfs_delete_result {
    uint32_t count1, count2;
    uint64_t value1, value2;
};

struct ctfs_find_entry {
    char* name; // owned by the entry: freed with it by the list's destructor
    uint16_t name_length;
    uint32_t type;
    uint32_t mtime;
    uint64_t size;
    uint64_t size2;
};

struct ctfs_find_request {
    uint8_t cursor;
    uint8_t list_flags;
    const char* filter;
    const char* path;
    // answer
    uint16_t count;
    uint32_t further;
    uint8_t next_cursor;
    // of ctfs_find_entry; null unless the result is 0, then the caller's, freed
    // by ctfs_find_files_free (blob_list_free with its own destructor)
    blob_list* entries;
};

struct ctfs_wopen_request {
    uint8_t open_mode;
    uint64_t mtime;
    const char* path;
    uint64_t size;
    uint16_t security_length;
    const uint8_t* security;
    // answer
    uint8_t handle;
    uint16_t known_blocks;
    uint32_t block_size;
    uint16_t block_count;
};

struct ctfs_write_request {
    uint8_t handle;
    uint8_t write_type;
    uint16_t length;
    const uint8_t* data;
    uint16_t written; // answer
};

struct ctfs_email_request {
    int64_t schedule_id;
    const blob_list* recipients;
    uint32_t body_length;
    const char* body;
};

// Takes the user lock on count ids, or with flag 0x01 releases it (adding the
// session's FCI stamp when flag 0x04 is set in agent mode). The result as
// above; r->ids must hold count values.
tfs_result ctfs_user_lock(ctfs_session* s, const ctfs_lock_request* r);
tfs_result ctfs_mkdir(ctfs_session* s, const ctfs_path_request* r);
// ctfs_mkdir under the lock recovery (see safe_file_wopen). Its result is
// dropped: the folder's files report any failure when they are opened.
void safe_mkdir(ctfs_session* s, const ctfs_path_request* r);
// out (may be null) receives the four values of the answer when the exchange
// worked and the answer holds them, whatever the status; zeros otherwise.
tfs_result ctfs_delete(ctfs_session* s, const ctfs_path_request* r, ctfs_delete_result* out);
// One page of a folder listing. On ERR_NONE r's answer fields are set and
// r->entries is a new list the caller frees with ctfs_find_files_free (also
// before reusing r: the call does not free an earlier list). On any other
// result r->entries is null; ERR_SEQUENCE for a malformed answer.
tfs_result ctfs_find_files(ctfs_session* s, ctfs_find_request* r);
// Frees r->entries (null allowed) and sets it to null.
void ctfs_find_files_free(ctfs_find_request* r);
// Opens a file on the server for writing. On ERR_NONE r's answer fields are
// set; otherwise they are left as they were. ERR_INVARG, unsent, for a null
// security block of non-zero length; ERR_SEQUENCE when the answer is short or
// its layout cannot hold the file: block count x block size below the
// request's size, or a block size of 0 for anything but 0 blocks of an empty
// file.
tfs_result ctfs_file_wopen(ctfs_session* s, ctfs_wopen_request* r);
// ctfs_file_wopen under the lock recovery: on ERR_ACCESS or ERR_SCKREAD the
// user lock (ctfs_set_recovery's id) is taken again, pausing
// timing_get().lock_recovery_ms between refusals (12 pauses at most), and the
// open retried (12 times at most). The open's last result, or the lock's
// failure (ERR_ACCESS once the pauses are used up).
tfs_result safe_file_wopen(ctfs_session* s, ctfs_wopen_request* r);
// Sends length bytes (at most 65491, else ERR_DATAMAX unsent) to an open
// handle. r->written: the count the server acknowledged; the whole length
// when the write type asks for no answer (flag 0x08) and it was sent; 0 on
// any failure. ERR_SEQUENCE for an answer without the count.
tfs_result ctfs_file_write(ctfs_session* s, ctfs_write_request* r);
// Gets no answer: ERR_NONE means only that the request was sent (the next
// answer on the connection proves the server read it).
tfs_result ctfs_file_close(ctfs_session* s, uint8_t handle);
// Sends a mail through the server in parts of at most 60000 bytes, stopping
// at the first part that fails. ERR_INVARG, unsent, for more than 255
// recipients, a recipient over 255 bytes or a null body of non-zero length.
tfs_result ctfs_email(ctfs_session* s, const ctfs_email_request* r);

// The two values the job driver registers for the lock recovery of
// safe_mkdir and safe_file_wopen (process-wide, not per session).
void ctfs_set_recovery(uint32_t lock_id, bool fci_disabled);
