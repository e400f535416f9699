// read_wire.cpp - byte layouts of the read requests and their answers.
//
// Requests (payloads; integers big-endian):
//   runs    before (8), limit (2)
//   folder  run (8), at (8), flags (1), limit (2), path (text16), after (text16)
//   blocks  run (8), at (8), flags (1), first (4), limit (2), path (text16)
//   block   digest (32), offset (8), length (4)
// Answers:
//   runs    count (2), more (1), runs: id (8), started (8), ended (8),
//           destination (4), host (20), flags (1: ended, vouched),
//           files sent (8), bytes sent (8), files skipped (8), deleted (8),
//           schedule (text8)
//   folder  at (8), count (2), more (1), entries: flags (1), size (8),
//           mtime (4), committed (8), version (8), name (text16)
//   blocks  version (8), size (8), mtime (4), committed (8), block size (4),
//           total (4), flags (1: damaged, security), [security (text16)],
//           first (4), count (2), blocks: digest (32), stored (8), plain (4),
//           flags (1: damaged, md5), md5 (16, zero without one)
//   block   total (8), offset (8), length (4), bytes
#include "protocol/read_wire.h"

#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/wire.h"

#include <cstring>

namespace {

enum : uint8_t {
    RUN_ENDED = 0x01,
    RUN_VOUCHED = 0x02,
    VERSION_DAMAGED = 0x01,
    VERSION_SECURITY = 0x02,
    REF_DAMAGED = 0x01,
    REF_MD5 = 0x02,
};

const size_t kRunFixed = 8 + 8 + 8 + 4 + 20 + 1 + 8 * 4 + 1;
const size_t kEntryFixed = 1 + 8 + 4 + 8 + 8 + 2;
const size_t kRefSize = 32 + 8 + 4 + 1 + 16;

bool get_text(wire_reader* r, size_t n, std::string* out) {
    const uint8_t* p = wire_take(r, n);
    if (!p) return false;
    out->assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool get_text16(wire_reader* r, std::string* out) {
    return get_text(r, wire_get_be16(r), out);
}

size_t finish(const wire_writer& w) {
    return w.failed ? 0 : w.pos;
}

// The answer writer's bounded room; null when n bytes do not fit.
uint8_t* room(read_answer* a, size_t n) {
    if (n > a->cap - a->pos) return nullptr;
    uint8_t* at = a->p + a->pos;
    a->pos += n;
    return at;
}

size_t end_counted(read_answer* a, bool more) {
    put_be16(a->p + a->count_at, static_cast<uint16_t>(a->count));
    a->p[a->count_at + 2] = more ? 1 : 0;
    return a->pos;
}

} // namespace

const char* read_err_text(int code) {
    switch (code & 0xFF) {
    case ERR_READ_NO_RUN:
        return "No such run";
    case ERR_READ_BAD_CURSOR:
        return "Listing cursor not valid";
    case ERR_READ_NO_BLOCK:
        return "No such block";
    default:
        return ctfs_err_text(code);
    }
}

bool read_is_request(uint8_t type) {
    return type >= TFS_READ_RUNS && type <= TFS_READ_BLOCK;
}

// ---- requests ---------------------------------------------------------------

size_t read_encode_runs_query(const read_runs_query& q, uint8_t* out, size_t cap) {
    wire_writer w = wire_writer_over(out, cap);
    wire_put_be64(&w, q.before);
    wire_put_be16(&w, q.limit);
    return finish(w);
}

size_t read_encode_folder_query(const read_folder_query& q, uint8_t* out, size_t cap) {
    if (q.at < 0) return 0;
    wire_writer w = wire_writer_over(out, cap);
    wire_put_be64(&w, q.run);
    wire_put_be64(&w, static_cast<uint64_t>(q.at));
    wire_put_u8(&w, q.flags);
    wire_put_be16(&w, q.limit);
    wire_put_text16(&w, q.path.data(), q.path.size());
    wire_put_text16(&w, q.after.data(), q.after.size());
    return finish(w);
}

size_t read_encode_blocks_query(const read_blocks_query& q, uint8_t* out, size_t cap) {
    if (q.at < 0) return 0;
    wire_writer w = wire_writer_over(out, cap);
    wire_put_be64(&w, q.run);
    wire_put_be64(&w, static_cast<uint64_t>(q.at));
    wire_put_u8(&w, q.flags);
    wire_put_be32(&w, q.first);
    wire_put_be16(&w, q.limit);
    wire_put_text16(&w, q.path.data(), q.path.size());
    return finish(w);
}

size_t read_encode_block_query(const read_block_query& q, uint8_t* out, size_t cap) {
    wire_writer w = wire_writer_over(out, cap);
    wire_put_bytes(&w, q.digest, sizeof q.digest);
    wire_put_be64(&w, q.offset);
    wire_put_be32(&w, q.length);
    return finish(w);
}

namespace {

// A page size: 0 is malformed, past max too large.
uint8_t check_limit(uint32_t limit, uint32_t max) {
    if (limit == 0) return ERR_INVARG;
    return limit > max ? static_cast<uint8_t>(ERR_DATAMAX) : static_cast<uint8_t>(0);
}

// A run or a time, not both; times are not negative.
bool read_when(wire_reader* r, uint64_t* run, int64_t* at) {
    *run = wire_get_be64(r);
    uint64_t t = wire_get_be64(r);
    if (r->failed || t > static_cast<uint64_t>(INT64_MAX)) return false;
    *at = static_cast<int64_t>(t);
    return !(*run != 0 && *at != 0);
}

} // namespace

uint8_t read_decode_request(uint8_t type, const uint8_t* p, size_t n, read_request* out) {
    *out = read_request();
    out->type = type;
    wire_reader r = wire_reader_over(p, n);
    uint8_t rc = 0;
    switch (type) {
    case TFS_READ_RUNS:
        out->runs.before = wire_get_be64(&r);
        out->runs.limit = wire_get_be16(&r);
        if (!r.failed) rc = check_limit(out->runs.limit, READ_RUNS_PAGE_MAX);
        break;
    case TFS_READ_FOLDER: {
        read_folder_query& q = out->folder;
        if (!read_when(&r, &q.run, &q.at)) return ERR_INVARG;
        q.flags = wire_get_u8(&r);
        q.limit = wire_get_be16(&r);
        if (!get_text16(&r, &q.path) || !get_text16(&r, &q.after)) return ERR_INVARG;
        if ((q.flags & ~READ_FOLDER_HISTORY) || q.path.size() > READ_NAME_MAX ||
            q.after.size() > READ_NAME_MAX)
            return ERR_INVARG;
        rc = check_limit(q.limit, READ_FOLDER_PAGE_MAX);
        break;
    }
    case TFS_READ_BLOCKS: {
        read_blocks_query& q = out->blocks;
        if (!read_when(&r, &q.run, &q.at)) return ERR_INVARG;
        q.flags = wire_get_u8(&r);
        q.first = wire_get_be32(&r);
        q.limit = wire_get_be16(&r);
        if (!get_text16(&r, &q.path)) return ERR_INVARG;
        if ((q.flags & ~READ_BLOCKS_SECURITY) || q.path.size() > READ_NAME_MAX) return ERR_INVARG;
        rc = check_limit(q.limit, READ_BLOCKS_PAGE_MAX);
        break;
    }
    case TFS_READ_BLOCK: {
        read_block_query& q = out->block;
        const uint8_t* d = wire_take(&r, sizeof q.digest);
        if (d) memcpy(q.digest, d, sizeof q.digest);
        q.offset = wire_get_be64(&r);
        q.length = wire_get_be32(&r);
        if (!r.failed) rc = check_limit(q.length, READ_CHUNK_MAX);
        break;
    }
    default:
        return ERR_INVARG;
    }
    if (r.failed || r.pos != r.len) return ERR_INVARG;
    return rc;
}

// ---- answers: writers -------------------------------------------------------

namespace {

read_answer counted_begin(uint8_t* out, size_t cap, size_t head) {
    read_answer a{out, cap, 0, 0, 0};
    if (cap < head + 3) {
        a.cap = 0; // nothing fits: the end gives 0
        return a;
    }
    a.count_at = head;
    a.pos = head + 3;
    return a;
}

} // namespace

read_answer read_runs_begin(uint8_t* out, size_t cap) {
    return counted_begin(out, cap, 0);
}

bool read_runs_add(read_answer* a, const read_run& r) {
    if (a->count >= 0xFFFF) return false;
    const size_t sched = r.schedule.size() > 255 ? 255 : r.schedule.size();
    uint8_t* p = room(a, kRunFixed + sched);
    if (!p) return false;
    put_be64(p, r.id);
    put_be64(p + 8, static_cast<uint64_t>(r.started));
    put_be64(p + 16, static_cast<uint64_t>(r.ended));
    put_be32(p + 24, r.destination);
    memcpy(p + 28, r.host, 20);
    p[48] = static_cast<uint8_t>((r.ended != 0 ? RUN_ENDED : 0) | (r.vouched ? RUN_VOUCHED : 0));
    put_be64(p + 49, r.files_sent);
    put_be64(p + 57, r.bytes_sent);
    put_be64(p + 65, r.files_skipped);
    put_be64(p + 73, r.deleted);
    p[81] = static_cast<uint8_t>(sched);
    if (sched) memcpy(p + 82, r.schedule.data(), sched);
    a->count++;
    return true;
}

size_t read_runs_end(read_answer* a, bool more) {
    return a->cap ? end_counted(a, more) : 0;
}

read_answer read_folder_begin(uint8_t* out, size_t cap, int64_t at) {
    read_answer a = counted_begin(out, cap, 8);
    if (a.cap) put_be64(out, static_cast<uint64_t>(at));
    return a;
}

bool read_folder_add(read_answer* a, const read_entry& e) {
    if (a->count >= 0xFFFF || e.name.size() > 0xFFFF) return false;
    uint8_t* p = room(a, kEntryFixed + e.name.size());
    if (!p) return false;
    p[0] = e.flags;
    put_be64(p + 1, e.size);
    put_be32(p + 9, e.mtime);
    put_be64(p + 13, static_cast<uint64_t>(e.committed));
    put_be64(p + 21, e.version);
    put_be16(p + 29, static_cast<uint16_t>(e.name.size()));
    if (!e.name.empty()) memcpy(p + 31, e.name.data(), e.name.size());
    a->count++;
    return true;
}

size_t read_folder_end(read_answer* a, bool more) {
    return a->cap ? end_counted(a, more) : 0;
}

read_answer read_blocks_begin(uint8_t* out, size_t cap, const read_blocks_page& h) {
    read_answer a{out, cap, 0, 0, 0};
    wire_writer w = wire_writer_over(out, cap);
    wire_put_be64(&w, h.version);
    wire_put_be64(&w, h.size);
    wire_put_be32(&w, h.mtime);
    wire_put_be64(&w, static_cast<uint64_t>(h.committed));
    wire_put_be32(&w, h.block_size);
    wire_put_be32(&w, h.total);
    wire_put_u8(&w, static_cast<uint8_t>((h.damaged ? VERSION_DAMAGED : 0) |
                                         (h.has_security ? VERSION_SECURITY : 0)));
    if (h.has_security) wire_put_text16(&w, h.security.data(), h.security.size());
    wire_put_be32(&w, h.first);
    a.count_at = w.pos;
    wire_put_be16(&w, 0);
    if (w.failed) {
        a.cap = 0;
        return a;
    }
    a.pos = w.pos;
    return a;
}

bool read_blocks_add(read_answer* a, const read_block_ref& b) {
    if (a->count >= 0xFFFF) return false;
    uint8_t* p = room(a, kRefSize);
    if (!p) return false;
    memcpy(p, b.digest, 32);
    put_be64(p + 32, b.stored);
    put_be32(p + 40, b.plain);
    p[44] = static_cast<uint8_t>((b.damaged ? REF_DAMAGED : 0) | (b.has_md5 ? REF_MD5 : 0));
    if (b.has_md5)
        memcpy(p + 45, b.md5, 16);
    else
        memset(p + 45, 0, 16);
    a->count++;
    return true;
}

size_t read_blocks_end(read_answer* a) {
    if (!a->cap) return 0;
    put_be16(a->p + a->count_at, static_cast<uint16_t>(a->count));
    return a->pos;
}

size_t read_encode_chunk(uint64_t total, uint64_t offset, const uint8_t* data, uint32_t n,
                         uint8_t* out, size_t cap) {
    wire_writer w = wire_writer_over(out, cap);
    wire_put_be64(&w, total);
    wire_put_be64(&w, offset);
    wire_put_be32(&w, n);
    wire_put_bytes(&w, data, n);
    return finish(w);
}

// ---- answers: readers -------------------------------------------------------

bool read_decode_runs(const uint8_t* p, size_t n, read_runs_page* out) {
    *out = read_runs_page();
    wire_reader r = wire_reader_over(p, n);
    uint16_t count = wire_get_be16(&r);
    uint8_t more = wire_get_u8(&r);
    if (r.failed || more > 1 || count > READ_RUNS_PAGE_MAX ||
        static_cast<size_t>(count) * kRunFixed > r.len - r.pos)
        return false;
    out->more = more != 0;
    out->runs.resize(count);
    for (read_run& run : out->runs) {
        run.id = wire_get_be64(&r);
        run.started = static_cast<int64_t>(wire_get_be64(&r));
        run.ended = static_cast<int64_t>(wire_get_be64(&r));
        run.destination = wire_get_be32(&r);
        const uint8_t* host = wire_take(&r, 20);
        if (host) memcpy(run.host, host, 20);
        uint8_t flags = wire_get_u8(&r);
        run.vouched = (flags & RUN_VOUCHED) != 0;
        run.files_sent = wire_get_be64(&r);
        run.bytes_sent = wire_get_be64(&r);
        run.files_skipped = wire_get_be64(&r);
        run.deleted = wire_get_be64(&r);
        if (!get_text(&r, wire_get_u8(&r), &run.schedule)) break;
        if (((flags & RUN_ENDED) != 0) != (run.ended != 0)) r.failed = true;
    }
    if (r.failed || r.pos != r.len) {
        *out = read_runs_page();
        return false;
    }
    return true;
}

bool read_decode_folder(const uint8_t* p, size_t n, read_folder_page* out) {
    *out = read_folder_page();
    wire_reader r = wire_reader_over(p, n);
    uint64_t at = wire_get_be64(&r);
    uint16_t count = wire_get_be16(&r);
    uint8_t more = wire_get_u8(&r);
    if (r.failed || more > 1 || at > static_cast<uint64_t>(INT64_MAX) ||
        count > READ_FOLDER_PAGE_MAX || static_cast<size_t>(count) * kEntryFixed > r.len - r.pos)
        return false;
    out->at = static_cast<int64_t>(at);
    out->more = more != 0;
    out->entries.resize(count);
    for (read_entry& e : out->entries) {
        e.flags = wire_get_u8(&r);
        e.size = wire_get_be64(&r);
        e.mtime = wire_get_be32(&r);
        e.committed = static_cast<int64_t>(wire_get_be64(&r));
        e.version = wire_get_be64(&r);
        if (!get_text16(&r, &e.name) || e.name.size() > READ_NAME_MAX) r.failed = true;
        if (r.failed) break;
    }
    if (r.failed || r.pos != r.len) {
        *out = read_folder_page();
        return false;
    }
    return true;
}

bool read_decode_blocks(const uint8_t* p, size_t n, read_blocks_page* out) {
    *out = read_blocks_page();
    wire_reader r = wire_reader_over(p, n);
    out->version = wire_get_be64(&r);
    out->size = wire_get_be64(&r);
    out->mtime = wire_get_be32(&r);
    out->committed = static_cast<int64_t>(wire_get_be64(&r));
    out->block_size = wire_get_be32(&r);
    out->total = wire_get_be32(&r);
    uint8_t flags = wire_get_u8(&r);
    out->damaged = (flags & VERSION_DAMAGED) != 0;
    out->has_security = (flags & VERSION_SECURITY) != 0;
    if (out->has_security && !get_text16(&r, &out->security)) r.failed = true;
    out->first = wire_get_be32(&r);
    uint16_t count = wire_get_be16(&r);
    if (r.failed || count > READ_BLOCKS_PAGE_MAX ||
        static_cast<size_t>(count) * kRefSize != r.len - r.pos ||
        static_cast<uint64_t>(out->first) + count > out->total) {
        *out = read_blocks_page();
        return false;
    }
    out->blocks.resize(count);
    for (read_block_ref& b : out->blocks) {
        memcpy(b.digest, wire_take(&r, 32), 32);
        b.stored = wire_get_be64(&r);
        b.plain = wire_get_be32(&r);
        uint8_t f = wire_get_u8(&r);
        b.damaged = (f & REF_DAMAGED) != 0;
        b.has_md5 = (f & REF_MD5) != 0;
        memcpy(b.md5, wire_take(&r, 16), 16);
    }
    return true;
}

bool read_decode_chunk(const uint8_t* p, size_t n, read_chunk* out) {
    *out = read_chunk();
    wire_reader r = wire_reader_over(p, n);
    uint64_t total = wire_get_be64(&r);
    uint64_t offset = wire_get_be64(&r);
    uint32_t length = wire_get_be32(&r);
    if (r.failed || length > READ_CHUNK_MAX || length != r.len - r.pos || offset > total ||
        length > total - offset)
        return false;
    out->total = total;
    out->offset = offset;
    out->length = length;
    out->data = p + r.pos;
    return true;
}
