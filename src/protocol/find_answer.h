// find_answer.h - the pure reader of a folder-listing answer, over a byte
// span, shared by ctfs_find_files and its fuzz target.
#pragma once

#include "protocol/remote.h"

#include <cstddef>
#include <cstdint>

// Reads a "TFS_FIND_FILES_RESPONSE" payload into r's count, further count,
// next cursor and a new entry list (names with 2-byte lengths when bit 0 of
// list_flags is set, else 1-byte). An answer that announces more entries
// than its bytes hold, or a name that runs past the payload, leaves
// r->entries null and r's other fields untouched. @return 0, or ERR_SEQUENCE
// for a malformed answer. On 0 r->entries is a new list, the caller's to free
// with ctfs_find_files_free.
tfs_result ctfs_parse_find_answer(const uint8_t* p, size_t n, uint8_t list_flags,
                                  ctfs_find_request* r);
// Element destructor of the entry list: frees the name and the record.
void ctfs_find_entry_destroy(void* data, uint32_t length, int32_t index);
