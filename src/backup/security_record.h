// security_record.h - the file security record sent with every file.
//
// What the system keeps about who may use a file, read once per file and
// sent as a 5-byte head (kind, value) and the bytes the kind carries.
#pragma once

#include <cstddef>
#include <cstdint>

enum { SECURITY_BUFFER_SIZE = 20480, SECURITY_HEAD_SIZE = 5 };

struct security_record {
    uint8_t kind;   // 3 descriptor (NT), 2 attributes (95 family), 4 owner/group/mode (Linux)
    uint32_t value; // length of bytes (kinds 3, 4) or the attribute word (kind 2)
    uint8_t* bytes; // owned; null for kind 2
};

// A new record for the file, or null: errno EINVAL for an empty path, else
// the translated platform error. Free with security_free (accepts null).
// A record longer than SECURITY_BUFFER_SIZE is kept as a head only (value 0).
security_record* security_read(const char* path);
void security_free(security_record* rec);
// Serialised size (5-byte head plus the bytes), or -1 for null.
int32_t security_size(const security_record* rec);
// Writes kind, value (u32 little-endian) and the bytes into out; 0, or -1
// when an argument is missing or out_size is too small.
int security_serialise(const security_record* rec, uint8_t* out, size_t out_size);
