// remote.cpp - the requests of a backup job: user lock, folders, listings,
// deletes, file open, write and close, e-mail; and the user-lock recovery of
// safe_mkdir and safe_file_wopen. None of them logs: callers do, with the
// result code.
#include "protocol/remote.h"

#include "common/mem.h"
#include "common/timing.h"
#include "protocol/find_answer.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

#include <cstdlib>
#include <cstring>

enum {
    RECOVERY_PAUSES = 12,
    RECOVERY_RETRIES = 12,
};

static uint32_t g_lock_id = 0;
static bool g_fci_disabled = true;

void ctfs_set_recovery(uint32_t lock_id, bool fci_disabled) {
    g_lock_id = lock_id;
    g_fci_disabled = fci_disabled;
}

static wire_writer payload_writer(ctfs_session* s) {
    return wire_writer_over(s->buf, CTFS_MAX_PAYLOAD);
}

// Finishes the packet written through w and runs the transaction; a request
// that does not fit the packet area is refused with ERR_INVARG unsent.
static tfs_result send_request(ctfs_session* s, const wire_writer& w, uint8_t type, bool answer) {
    if (w.failed) return ERR_INVARG;
    s->len = static_cast<uint16_t>(w.pos);
    s->type = type;
    s->expects_response = answer;
    ctfs_packet_finish(s);
    return ctfs_transact(s);
}

static size_t text_len(const char* t) {
    return t ? strlen(t) : 0;
}

tfs_result ctfs_user_lock(ctfs_session* s, const ctfs_lock_request* r) {
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, r->flags);
    if (!(r->flags & TFS_LOCK_RELEASE)) {
        wire_put_be16(&w, r->count);
        for (uint16_t i = 0; i < r->count; i++)
            wire_put_be32(&w, r->ids[i]);
    } else if ((r->flags & TFS_LOCK_STAMP) && s->auth_mode == AUTH_MODE_AGENT) {
        wire_put_be32(&w, s->fci_stamp);
    }
    tfs_result rc = send_request(s, w, TFS_USER_LOCK, true);
    return rc != ERR_NONE ? rc : s->status;
}

// Sends kind and path; the transport's result (the status stays in s).
static tfs_result path_exchange(ctfs_session* s, const ctfs_path_request* r, uint8_t type) {
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, r->kind);
    wire_put_text16(&w, r->path, text_len(r->path));
    return send_request(s, w, type, true);
}

tfs_result ctfs_mkdir(ctfs_session* s, const ctfs_path_request* r) {
    tfs_result rc = path_exchange(s, r, TFS_MKDIR);
    return rc != ERR_NONE ? rc : s->status;
}

tfs_result ctfs_delete(ctfs_session* s, const ctfs_path_request* r, ctfs_delete_result* out) {
    ctfs_delete_result got{};
    tfs_result rc = path_exchange(s, r, TFS_DELETE);
    // The four values come whenever the exchange itself worked.
    if (rc == ERR_NONE && s->len >= 24) {
        got.count1 = get_be32(s->buf);
        got.count2 = get_be32(s->buf + 4);
        got.value1 = get_be64(s->buf + 8);
        got.value2 = get_be64(s->buf + 16);
    }
    if (out) *out = got;
    return rc != ERR_NONE ? rc : s->status;
}

void ctfs_find_entry_destroy(void* data, uint32_t, int32_t) {
    if (!data) return;
    free(static_cast<ctfs_find_entry*>(data)->name);
    free(data);
}

tfs_result ctfs_parse_find_answer(const uint8_t* p, size_t n, uint8_t list_flags,
                                  ctfs_find_request* r) {
    r->entries = nullptr;
    wire_reader rd = wire_reader_over(p, n);
    uint16_t count = wire_get_be16(&rd);
    uint32_t further = wire_get_be32(&rd);
    uint8_t cursor = wire_get_u8(&rd);
    const bool wide = (list_flags & 0x01) != 0;
    const size_t min_entry = 1 + 4 + 8 + 8 + (wide ? 2 : 1);
    if (rd.failed || static_cast<size_t>(count) * min_entry > rd.len - rd.pos) return ERR_SEQUENCE;
    blob_list* list = blob_list_new(count, 1, ctfs_find_entry_destroy);
    for (uint16_t i = 0; i < count; i++) {
        ctfs_find_entry e;
        e.type = wire_get_u8(&rd);
        e.mtime = wire_get_be32(&rd);
        e.size = wire_get_be64(&rd);
        e.size2 = wire_get_be64(&rd);
        size_t name_len = wide ? wire_get_be16(&rd) : wire_get_u8(&rd);
        const uint8_t* name = wire_take(&rd, name_len);
        if (!name) {
            blob_list_free(list);
            return ERR_SEQUENCE;
        }
        e.name = static_cast<char*>(mem_alloc(name_len + 1));
        if (name_len) memcpy(e.name, name, name_len);
        e.name[name_len] = 0;
        e.name_length = static_cast<uint16_t>(name_len);
        blob_list_insert(list, &e, sizeof e, blob_list_count(list));
    }
    r->count = count;
    r->further = further;
    r->next_cursor = cursor;
    r->entries = list;
    return ERR_NONE;
}

tfs_result ctfs_find_files(ctfs_session* s, ctfs_find_request* r) {
    r->entries = nullptr;
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, r->cursor);
    wire_put_u8(&w, r->list_flags);
    wire_put_text8(&w, r->filter, text_len(r->filter));
    wire_put_text16(&w, r->path, text_len(r->path));
    tfs_result rc = send_request(s, w, TFS_FIND_FILES, true);
    if (rc != ERR_NONE) return rc;
    if (s->status != 0) return s->status;
    return ctfs_parse_find_answer(s->buf, s->len, r->list_flags, r);
}

void ctfs_find_files_free(ctfs_find_request* r) {
    blob_list_free(r->entries);
    r->entries = nullptr;
}

tfs_result ctfs_file_wopen(ctfs_session* s, ctfs_wopen_request* r) {
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, r->open_mode);
    wire_put_be32(&w, static_cast<uint32_t>(r->mtime));
    wire_put_text16(&w, r->path, text_len(r->path));
    wire_put_be64(&w, r->size);
    wire_put_be16(&w, r->security_length);
    wire_put_bytes(&w, r->security, r->security ? r->security_length : 0);
    if (!r->security && r->security_length) w.failed = true;
    tfs_result rc = send_request(s, w, TFS_FILE_WOPEN, true);
    if (rc != ERR_NONE) return rc;
    if (s->status != 0) return s->status;
    wire_reader rd = wire_reader_over(s->buf, s->len);
    uint8_t handle = wire_get_u8(&rd);
    uint16_t known = wire_get_be16(&rd);
    uint32_t block_size = wire_get_be32(&rd);
    uint16_t blocks = wire_get_be16(&rd);
    if (rd.failed) return ERR_SEQUENCE;
    // A layout that cannot hold the file would let it count as stored with
    // part of its data never sent. A block size of 0 holds nothing: it is
    // sound only as the layout of an empty file, which has no block.
    const bool holds = block_size == 0 ? blocks == 0 && r->size == 0
                                       : static_cast<uint64_t>(blocks) * block_size >= r->size;
    if (!holds) return ERR_SEQUENCE;
    r->handle = handle;
    r->known_blocks = known;
    r->block_size = block_size;
    r->block_count = blocks;
    return ERR_NONE;
}

tfs_result ctfs_file_write(ctfs_session* s, ctfs_write_request* r) {
    r->written = 0;
    if (r->length > TFS_WRITE_DATA_MAX) return ERR_DATAMAX;
    const bool answer = (r->write_type & TFS_WRITE_NO_ANSWER) == 0;
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, r->handle);
    wire_put_u8(&w, r->write_type);
    wire_put_be16(&w, r->length);
    wire_put_bytes(&w, r->data, r->data ? r->length : 0);
    if (!r->data && r->length) w.failed = true;
    tfs_result rc = send_request(s, w, TFS_FILE_WRITE, answer);
    if (rc != ERR_NONE) return rc;
    if (!answer) {
        r->written = r->length;
        return ERR_NONE;
    }
    if (s->status != 0) return s->status;
    if (s->len < 2) return ERR_SEQUENCE;
    r->written = get_be16(s->buf);
    return ERR_NONE;
}

tfs_result ctfs_file_close(ctfs_session* s, uint8_t handle) {
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, handle);
    return send_request(s, w, TFS_FILE_CLOSE, false);
}

tfs_result ctfs_email(ctfs_session* s, const ctfs_email_request* r) {
    const int32_t recipients = r->recipients ? blob_list_count(r->recipients) : 0;
    // The count travels in one byte: more recipients would desynchronise the
    // server's reading of the part.
    if (recipients > 0xFF) return ERR_INVARG;
    if (!r->body && r->body_length) return ERR_INVARG;
    wire_writer w = payload_writer(s);
    wire_put_u8(&w, 0x00);
    wire_put_be64(&w, static_cast<uint64_t>(r->schedule_id));
    wire_put_u8(&w, static_cast<uint8_t>(recipients));
    for (int32_t i = 0; i < recipients; i++) {
        const char* to = static_cast<const char*>(blob_list_get(r->recipients, i));
        wire_put_text8(&w, to, text_len(to));
    }
    wire_put_be32(&w, r->body_length);
    size_t piece = r->body_length;
    size_t room = w.pos < TFS_EMAIL_PART_MAX ? TFS_EMAIL_PART_MAX - w.pos : 0;
    if (piece > room) piece = room;
    wire_put_be16(&w, static_cast<uint16_t>(piece));
    wire_put_bytes(&w, r->body, piece);
    tfs_result rc = send_request(s, w, TFS_EMAIL, true);
    if (rc != ERR_NONE) return rc;
    if (s->status != 0) return s->status;
    size_t sent = piece;
    while (sent < r->body_length) {
        piece = r->body_length - sent;
        if (piece > TFS_EMAIL_PART_MAX) piece = TFS_EMAIL_PART_MAX;
        w = payload_writer(s);
        wire_put_u8(&w, 0x02);
        wire_put_be16(&w, static_cast<uint16_t>(piece));
        wire_put_bytes(&w, r->body + sent, piece);
        rc = send_request(s, w, TFS_EMAIL, true);
        if (rc != ERR_NONE) return rc;
        if (s->status != 0) return s->status;
        sent += piece;
    }
    return ERR_NONE;
}

// The inner request of a recovery: the folder or the file open.
typedef tfs_result (*recovery_inner_fn)(ctfs_session* s, void* request);

// The request is retried after each time the lock is taken again, at most
// 12 times: a server that grants the lock but goes on refusing the request
// would otherwise hold the job in a loop without pauses.
static tfs_result with_lock_recovery(ctfs_session* s, recovery_inner_fn inner, void* request) {
    const uint32_t id = g_lock_id;
    ctfs_lock_request lock{static_cast<uint8_t>(g_fci_disabled ? 0 : TFS_LOCK_FCI), 1, &id};
    int pauses_left = RECOVERY_PAUSES;
    int retries_left = RECOVERY_RETRIES;
    for (;;) {
        tfs_result rc = inner(s, request);
        if (rc != ERR_ACCESS && rc != ERR_SCKREAD) return rc;
        if (retries_left-- == 0) return rc;
        tfs_result lr = ctfs_user_lock(s, &lock);
        while (lr == ERR_ACCESS) {
            // A stopped job waits no more for its lock.
            if (pauses_left == 0 || !ctfs_pause(s, timing_get().lock_recovery_ms))
                return ERR_ACCESS;
            pauses_left--;
            lr = ctfs_user_lock(s, &lock);
        }
        if (lr != ERR_NONE) return lr;
    }
}

static tfs_result mkdir_inner(ctfs_session* s, void* r) {
    return ctfs_mkdir(s, static_cast<const ctfs_path_request*>(r));
}

static tfs_result wopen_inner(ctfs_session* s, void* r) {
    return ctfs_file_wopen(s, static_cast<ctfs_wopen_request*>(r));
}

void safe_mkdir(ctfs_session* s, const ctfs_path_request* r) {
    ctfs_path_request copy = *r;
    with_lock_recovery(s, mkdir_inner, &copy);
}

tfs_result safe_file_wopen(ctfs_session* s, ctfs_wopen_request* r) {
    return with_lock_recovery(s, wopen_inner, r);
}
