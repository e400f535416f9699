// read_client.cpp - the read requests over a logged-in session: each builds
// its payload with read_wire, runs one transaction and decodes the answer;
// the whole-listing helpers loop over pages and chunks.
#include "protocol/read_client.h"

#include "protocol/session_io.h"
#include "protocol/transport.h"

#include <algorithm>
#include <cstring>

namespace {

// Pieces of a block asked for ahead of their answers: each request is some
// fifty bytes, so even all of them together fit any socket's buffer.
enum { READ_AHEAD_PIECES = 8 };

// Sends the n-byte payload already in s->buf as a request of type and
// returns the transport's failure or the server's status.
tfs_result exchange(ctfs_session* s, size_t n, uint8_t type) {
    if (n == 0) return ERR_INVARG;
    s->len = static_cast<uint16_t>(n);
    s->type = type;
    s->expects_response = true;
    ctfs_packet_finish(s);
    tfs_result rc = ctfs_transact(s);
    return rc != ERR_NONE ? rc : s->status;
}

} // namespace

tfs_result read_connect(ctfs_session* s, const char* host, int port, uint32_t user,
                        const uint8_t key_digest[20], const uint8_t host_id[20],
                        const char* pin_file) {
    ctfs_session_init(s);
    if (pin_file && strlen(pin_file) >= sizeof s->pin_file) return ERR_INVARG;
    if (pin_file) memcpy(s->pin_file, pin_file, strlen(pin_file) + 1);
    s->auth_mode = AUTH_MODE_AGENT;
    s->cipher_mode = CTFS_CIPHER_AES;
    s->user_id = user;
    memcpy(s->key_digest, key_digest, sizeof s->key_digest);
    memcpy(s->host_id, host_id, sizeof s->host_id);
    // A reading session holds no change index: it never asks for the stamp.
    s->fci_started = 1;
    tfs_result rc = ctfs_build_auth_request(s);
    if (rc != ERR_NONE) return rc;
    rc = ctfs_handshake(s, host, port);
    if (rc != ERR_NONE) return rc;
    if (s->status != 0) return s->status;
    ctfs_auth_answer a;
    if (!ctfs_parse_auth_answer(s->buf, s->len, false, &a)) return ERR_SEQUENCE;
    s->account = a.account;
    s->user = a.user;
    s->option = a.option;
    memcpy(s->user_name, s->user.user_name, sizeof s->user_name);
    return ERR_NONE;
}

tfs_result read_list_runs(ctfs_session* s, const read_runs_query& q, read_runs_page* out) {
    *out = read_runs_page();
    tfs_result rc = exchange(s, read_encode_runs_query(q, s->buf, CTFS_MAX_PAYLOAD), TFS_READ_RUNS);
    if (rc != ERR_NONE) return rc;
    if (!read_decode_runs(s->buf, s->len, out) || out->runs.size() > q.limit) {
        *out = read_runs_page();
        return ERR_SEQUENCE;
    }
    return ERR_NONE;
}

tfs_result read_list_folder(ctfs_session* s, const read_folder_query& q, read_folder_page* out) {
    *out = read_folder_page();
    tfs_result rc =
        exchange(s, read_encode_folder_query(q, s->buf, CTFS_MAX_PAYLOAD), TFS_READ_FOLDER);
    if (rc != ERR_NONE) return rc;
    if (!read_decode_folder(s->buf, s->len, out) || out->entries.size() > q.limit) {
        *out = read_folder_page();
        return ERR_SEQUENCE;
    }
    return ERR_NONE;
}

tfs_result read_block_list_page(ctfs_session* s, const read_blocks_query& q,
                                read_blocks_page* out) {
    *out = read_blocks_page();
    tfs_result rc =
        exchange(s, read_encode_blocks_query(q, s->buf, CTFS_MAX_PAYLOAD), TFS_READ_BLOCKS);
    if (rc != ERR_NONE) return rc;
    if (!read_decode_blocks(s->buf, s->len, out) || out->blocks.size() > q.limit ||
        out->first != q.first) {
        *out = read_blocks_page();
        return ERR_SEQUENCE;
    }
    return ERR_NONE;
}

tfs_result read_block_chunk(ctfs_session* s, const read_block_query& q, read_chunk* out) {
    *out = read_chunk();
    tfs_result rc = exchange(s, read_encode_block_query(q, s->buf, CTFS_MAX_PAYLOAD), TFS_READ_BLOCK);
    if (rc != ERR_NONE) return rc;
    if (!read_decode_chunk(s->buf, s->len, out) || out->offset != q.offset ||
        out->length > q.length) {
        *out = read_chunk();
        return ERR_SEQUENCE;
    }
    return ERR_NONE;
}

tfs_result read_all_runs(ctfs_session* s, std::vector<read_run>* out) {
    out->clear();
    read_runs_query q;
    for (;;) {
        read_runs_page page;
        tfs_result rc = read_list_runs(s, q, &page);
        if (rc != ERR_NONE) return rc;
        for (read_run& r : page.runs) {
            // Newest first, strictly: a server that repeats itself would loop.
            if (q.before != 0 && r.id >= q.before) return ERR_SEQUENCE;
            q.before = r.id;
            out->push_back(std::move(r));
        }
        if (!page.more) return ERR_NONE;
        if (page.runs.empty()) return ERR_SEQUENCE;
    }
}

tfs_result read_block_list(ctfs_session* s, uint64_t run, int64_t at, const std::string& path,
                           read_blocks_page* out) {
    *out = read_blocks_page();
    read_blocks_query q;
    q.run = run;
    q.at = at;
    q.path = path;
    q.flags = READ_BLOCKS_SECURITY;
    for (;;) {
        read_blocks_page page;
        tfs_result rc = read_block_list_page(s, q, &page);
        if (rc != ERR_NONE) {
            *out = read_blocks_page();
            return rc;
        }
        if (q.flags & READ_BLOCKS_SECURITY) {
            out->version = page.version;
            out->size = page.size;
            out->mtime = page.mtime;
            out->committed = page.committed;
            out->block_size = page.block_size;
            out->total = page.total;
            out->damaged = page.damaged;
            out->has_security = page.has_security;
            out->security = page.security;
        } else if (page.version != out->version || page.total != out->total) {
            *out = read_blocks_page();
            return ERR_SEQUENCE;
        }
        out->blocks.insert(out->blocks.end(), page.blocks.begin(), page.blocks.end());
        q.first += static_cast<uint32_t>(page.blocks.size());
        if (q.first >= out->total) return ERR_NONE;
        // A security record may fill the first answer alone; after that
        // every page must make progress.
        if (page.blocks.empty() && !(q.flags & READ_BLOCKS_SECURITY)) {
            *out = read_blocks_page();
            return ERR_SEQUENCE;
        }
        q.flags = 0;
    }
}

tfs_result read_block(ctfs_session* s, const uint8_t digest[32], uint64_t max_stored,
                      std::vector<uint8_t>* out) {
    out->clear();
    read_block_query q;
    memcpy(q.digest, digest, sizeof q.digest);
    read_chunk c;
    // The first piece tells the block's length.
    tfs_result rc = read_block_chunk(s, q, &c);
    if (rc != ERR_NONE) return rc;
    const uint64_t total = c.total;
    if (total > max_stored) return ERR_DATAMAX;
    if (c.length == 0 && total > 0) return ERR_SEQUENCE;
    out->reserve(static_cast<size_t>(total));
    out->insert(out->end(), c.data, c.data + c.length);
    // The others, each asked for at its offset, a few ahead of the answers.
    uint64_t asked = c.length;
    uint32_t pending = 0;
    while (out->size() < total) {
        while (pending < READ_AHEAD_PIECES && asked < total) {
            q.offset = asked;
            q.length = static_cast<uint32_t>(std::min<uint64_t>(READ_CHUNK_MAX, total - asked));
            s->len = static_cast<uint16_t>(read_encode_block_query(q, s->buf, CTFS_MAX_PAYLOAD));
            s->type = TFS_READ_BLOCK;
            s->expects_response = true;
            ctfs_packet_finish(s);
            const tfs_result sent = ctfs_send_ahead(s);
            if (sent != ERR_NONE) {
                out->clear();
                return sent;
            }
            asked += q.length;
            pending++;
        }
        const tfs_result got = ctfs_recv_answer(s, TFS_READ_BLOCK, s->seq);
        if (got != ERR_NONE) {
            out->clear();
            return got;
        }
        pending--;
        const uint64_t at = out->size();
        const uint64_t want = std::min<uint64_t>(READ_CHUNK_MAX, total - at);
        rc = ERR_NONE;
        if (s->status != 0) {
            rc = s->status;
        } else if (!read_decode_chunk(s->buf, s->len, &c) || c.total != total || c.offset != at ||
                   c.length != want) {
            rc = ERR_SEQUENCE;
        } else {
            out->insert(out->end(), c.data, c.data + c.length);
        }
        if (rc != ERR_NONE) {
            out->clear();
            // The answers still on their way are read, so that the
            // connection stays of use.
            while (pending > 0) {
                pending--;
                const tfs_result drained = ctfs_recv_answer(s, TFS_READ_BLOCK, s->seq);
                if (drained != ERR_NONE) break;
            }
            return rc;
        }
    }
    return ERR_NONE;
}
