// read_requests.cpp - the control tool's read requests: a user's runs, a
// folder of a run or of a time, a version's blocks, and a block's stored
// bytes in pieces.
//
// Every handler serves the logged-in user's rows alone (the request table
// refuses them before a log-in), answers one bounded page, and keeps nothing
// between requests but the one block being read out. Stored bytes go out as
// they are: the server holds no key to open them.
#include "tools/server/serving.h"

#include "common/text.h"
#include "protocol/codes.h"
#include "protocol/read_wire.h"
#include "tools/server/admin.h"

#include <algorithm>
#include <cstring>

namespace serving {

namespace {

// The time a query names: a run's end (an open run's tree is the one the
// user's next run began from, or now when none began since), a time, or now.
uint8_t resolve_time(conn* c, uint64_t run, int64_t at, int64_t* t) {
    if (run == 0) {
        *t = at != 0 ? at : now_s();
        return 0;
    }
    if (run > static_cast<uint64_t>(INT64_MAX)) return ERR_READ_NO_RUN;
    catalog& cat = c->s->st->cat;
    cat_run r;
    int64_t next = 0;
    int rc = cat.ops->run_get(cat.self, c->id.user, static_cast<int64_t>(run), &r, &next);
    if (rc == CAT_NOT_FOUND) return ERR_READ_NO_RUN;
    if (rc != CAT_OK) return ERR_SERVER;
    if (r.ended != 0)
        *t = r.ended;
    else if (next != 0)
        *t = std::max(r.started, next - 1);
    else
        *t = now_s();
    return 0;
}

// A name cursor: one name of a folder, as a page ended with it.
bool cursor_valid(const std::string& after) {
    return after.find('/') == std::string::npos && after.find('\0') == std::string::npos;
}

void answer_bytes(std::vector<uint8_t>* out, size_t cap) {
    out->assign(cap, 0);
}

} // namespace

uint8_t do_read_runs(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    const read_runs_query& q = rq.read.runs;
    if (q.before > static_cast<uint64_t>(INT64_MAX)) return ERR_READ_BAD_CURSOR;
    catalog& cat = c->s->st->cat;
    std::vector<cat_run> rows;
    if (cat.ops->runs_page(cat.self, c->id.user, static_cast<int64_t>(q.before), q.limit + 1u,
                           &rows) != CAT_OK)
        return ERR_SERVER;
    answer_bytes(out, CTFS_MAX_PAYLOAD);
    read_answer a = read_runs_begin(out->data(), out->size());
    bool more = rows.size() > q.limit;
    for (size_t i = 0; i < rows.size() && i < q.limit; i++) {
        const cat_run& r = rows[i];
        read_run w;
        w.id = static_cast<uint64_t>(r.id);
        w.started = r.started;
        w.ended = r.ended;
        w.destination = r.destination;
        memcpy(w.host, r.host, 20);
        w.vouched = r.vouched;
        w.files_sent = r.files_sent;
        w.bytes_sent = r.bytes_sent;
        w.files_skipped = r.files_skipped;
        w.deleted = r.deleted;
        w.schedule = r.schedule;
        if (!read_runs_add(&a, w)) {
            more = true;
            break;
        }
    }
    out->resize(read_runs_end(&a, more));
    return 0;
}

uint8_t do_read_folder(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    const read_folder_query& q = rq.read.folder;
    std::string p;
    if (!srv_normalize_path(q.path, true, &p)) return ERR_INVARG;
    if (!cursor_valid(q.after)) return ERR_READ_BAD_CURSOR;
    int64_t t = 0;
    if (uint8_t rc = resolve_time(c, q.run, q.at, &t)) return rc;
    catalog& cat = c->s->st->cat;
    std::vector<cat_hist_entry> rows;
    int rc = cat.ops->history_page(cat.self, c->id.user, p, t, q.after, q.limit + 1u,
                                   (q.flags & READ_FOLDER_HISTORY) != 0, &rows);
    if (rc != CAT_OK) return map_cat(rc);
    answer_bytes(out, CTFS_MAX_PAYLOAD);
    read_answer a = read_folder_begin(out->data(), out->size(), t);
    bool more = rows.size() > q.limit;
    for (size_t i = 0; i < rows.size() && i < q.limit; i++) {
        const cat_hist_entry& e = rows[i];
        read_entry w;
        w.flags = static_cast<uint8_t>((e.folder ? READ_ENTRY_FOLDER : 0) |
                                       (e.damaged ? READ_ENTRY_DAMAGED : 0) |
                                       (e.deleted_later ? READ_ENTRY_DELETED_LATER : 0) |
                                       (e.gone ? READ_ENTRY_GONE : 0));
        w.size = e.size;
        w.mtime = e.mtime;
        w.committed = e.committed;
        w.version = static_cast<uint64_t>(e.version);
        w.name = e.name;
        if (!read_folder_add(&a, w)) {
            more = true;
            break;
        }
    }
    out->resize(read_folder_end(&a, more));
    return 0;
}

uint8_t do_read_blocks(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    const read_blocks_query& q = rq.read.blocks;
    std::string p;
    if (!srv_normalize_path(q.path, false, &p)) return ERR_INVARG;
    int64_t t = 0;
    if (uint8_t rc = resolve_time(c, q.run, q.at, &t)) return rc;
    catalog& cat = c->s->st->cat;
    if (cat.ops->is_folder(cat.self, c->id.user, p, t)) return ERR_NOTFILE;
    cat_version v;
    int rc = cat.ops->version_at(cat.self, c->id.user, p, t, &v);
    if (rc != CAT_OK) return map_cat(rc);
    if (q.first > v.blocks.size()) return ERR_READ_BAD_CURSOR;
    read_blocks_page head;
    head.version = static_cast<uint64_t>(v.id);
    head.size = v.size;
    head.mtime = v.mtime;
    head.committed = v.committed;
    head.block_size = v.block_size;
    head.total = static_cast<uint32_t>(v.blocks.size());
    head.damaged = v.damaged;
    head.has_security = (q.flags & READ_BLOCKS_SECURITY) != 0;
    head.security = v.security;
    head.first = q.first;
    answer_bytes(out, CTFS_MAX_PAYLOAD);
    read_answer a = read_blocks_begin(out->data(), out->size(), head);
    for (size_t i = q.first; i < v.blocks.size() && i < q.first + static_cast<size_t>(q.limit);
         i++) {
        const cat_block& b = v.blocks[i];
        read_block_ref w;
        if (!srv_parse_hex(b.digest, w.digest, sizeof w.digest)) return ERR_SERVER;
        w.stored = b.length;
        const uint64_t from = static_cast<uint64_t>(i) * v.block_size;
        w.plain = v.size > from
                      ? static_cast<uint32_t>(std::min<uint64_t>(v.block_size, v.size - from))
                      : 0;
        w.damaged = b.damaged;
        w.has_md5 = b.md5.size() == sizeof w.md5;
        if (w.has_md5) memcpy(w.md5, b.md5.data(), sizeof w.md5);
        if (!read_blocks_add(&a, w)) break;
    }
    const size_t n = read_blocks_end(&a);
    if (n == 0) return ERR_DATAMAX; // a security record too long for any answer
    out->resize(n);
    return 0;
}

uint8_t do_read_block(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    const read_block_query& q = rq.read.block;
    const std::string digest = hex_lower(q.digest, sizeof q.digest);
    if (digest != c->read_digest) {
        // A new block: the catalog must show one of the user's versions
        // naming it, else it is not theirs to read, whoever stored it.
        c->read_digest.clear();
        std::vector<uint8_t>().swap(c->read_bytes);
        catalog& cat = c->s->st->cat;
        uint64_t len = 0;
        int rc = cat.ops->block_of_user(cat.self, c->id.user, digest, &len);
        if (rc == CAT_NOT_FOUND) return ERR_READ_NO_BLOCK;
        if (rc != CAT_OK) return ERR_SERVER;
        if (len > READ_BLOCK_MAX) return ERR_DATAMAX;
        block_store& bs = c->s->st->blocks;
        std::vector<uint8_t> bytes;
        if (bs.ops->get(bs.self, digest, &bytes) != 0) return ERR_FSACCESS;
        if (bytes.size() > READ_BLOCK_MAX) return ERR_DATAMAX;
        c->read_bytes.swap(bytes);
        c->read_digest = digest;
    }
    const uint64_t total = c->read_bytes.size();
    if (q.offset > total) return ERR_READ_BAD_CURSOR;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(q.length, total - q.offset));
    answer_bytes(out, CTFS_MAX_PAYLOAD);
    out->resize(read_encode_chunk(total, q.offset, c->read_bytes.data() + q.offset, n,
                                  out->data(), out->size()));
    // The last piece read: the block's memory goes back at once.
    if (q.offset + n == total) {
        c->read_digest.clear();
        std::vector<uint8_t>().swap(c->read_bytes);
    }
    return 0;
}

} // namespace serving
