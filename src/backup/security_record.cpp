// security_record.cpp - the file security record sent with every file.
//
// The platform fills the record's kind, value and bytes; this owns them and
// lays them out for the wire.
#include "backup/security_record.h"

#include "backup/os_error.h"
#include "common/mem.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

security_record* security_read(const char* path) {
    if (!path || !*path) {
        errno = EINVAL;
        return nullptr;
    }
    uint8_t* buf = static_cast<uint8_t*>(mem_alloc(SECURITY_BUFFER_SIZE));
    uint8_t kind = 0;
    uint32_t value = 0;
    if (plat_file_security(path, &kind, &value, buf, SECURITY_BUFFER_SIZE) != 0) {
        errno_from_last_error();
        free(buf);
        return nullptr;
    }
    security_record* rec = static_cast<security_record*>(mem_zalloc(sizeof *rec));
    rec->kind = kind;
    rec->value = value;
    if (kind == 2 || value > SECURITY_BUFFER_SIZE) {
        free(buf);
        rec->bytes = nullptr;
        if (kind != 2) rec->value = 0;
    } else {
        rec->bytes = buf;
    }
    return rec;
}

void security_free(security_record* rec) {
    if (!rec) return;
    free(rec->bytes);
    free(rec);
}

int32_t security_size(const security_record* rec) {
    if (!rec) return -1;
    if (rec->kind == 2 || !rec->bytes) return SECURITY_HEAD_SIZE;
    return static_cast<int32_t>(rec->value) + SECURITY_HEAD_SIZE;
}

int security_serialise(const security_record* rec, uint8_t* out, size_t out_size) {
    if (!rec || !out) return -1;
    int32_t need = security_size(rec);
    if (need < 0 || static_cast<size_t>(need) > out_size) return -1;
    out[0] = rec->kind;
    for (int i = 0; i < 4; i++)
        out[1 + i] = static_cast<uint8_t>(rec->value >> (8 * i));
    if (need > SECURITY_HEAD_SIZE)
        memcpy(out + SECURITY_HEAD_SIZE, rec->bytes,
               static_cast<size_t>(need) - SECURITY_HEAD_SIZE);
    return 0;
}
