// remote.h - the requests a job makes once it has a session: user lock,
// folders, listings, deletes, file open/write/close and e-mail.
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
    char* name; // owned
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
    blob_list* entries; // of ctfs_find_entry; null unless the result is 0
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

tfs_result ctfs_user_lock(ctfs_session* s, const ctfs_lock_request* r);
tfs_result ctfs_mkdir(ctfs_session* s, const ctfs_path_request* r);
void safe_mkdir(ctfs_session* s, const ctfs_path_request* r);
tfs_result ctfs_delete(ctfs_session* s, const ctfs_path_request* r, ctfs_delete_result* out);
tfs_result ctfs_find_files(ctfs_session* s, ctfs_find_request* r);
void ctfs_find_files_free(ctfs_find_request* r);
// ERR_SEQUENCE when the answer is short or its layout cannot hold the file:
// a block size of 0, or block count x block size below the request's size.
tfs_result ctfs_file_wopen(ctfs_session* s, ctfs_wopen_request* r);
tfs_result safe_file_wopen(ctfs_session* s, ctfs_wopen_request* r);
tfs_result ctfs_file_write(ctfs_session* s, ctfs_write_request* r);
tfs_result ctfs_file_close(ctfs_session* s, uint8_t handle);
tfs_result ctfs_email(ctfs_session* s, const ctfs_email_request* r);

// The two values the job driver registers for the lock recovery of
// safe_mkdir and safe_file_wopen.
void ctfs_set_recovery(uint32_t lock_id, bool fci_disabled);
