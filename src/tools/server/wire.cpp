// wire.cpp - byte order, request decoding, path checks and frame cipher of
// the reference server.
#include "tools/server/wire.h"

#include "protocol/codes.h"

#include <cstring>

// ---- byte order -------------------------------------------------------------

static bool get_text(wire_reader* r, size_t n, std::string* out) {
    const uint8_t* p = wire_take(r, n);
    if (!p) return false;
    out->assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool srv_get_text8(wire_reader* r, std::string* out) {
    return get_text(r, wire_get_u8(r), out);
}

bool srv_get_text16(wire_reader* r, std::string* out) {
    return get_text(r, wire_get_be16(r), out);
}

void srv_put_u8(std::vector<uint8_t>* b, uint8_t v) {
    b->push_back(v);
}

void srv_put_u16(std::vector<uint8_t>* b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v >> 8));
    b->push_back(static_cast<uint8_t>(v));
}

void srv_put_u32(std::vector<uint8_t>* b, uint32_t v) {
    srv_put_u16(b, static_cast<uint16_t>(v >> 16));
    srv_put_u16(b, static_cast<uint16_t>(v));
}

void srv_put_u64(std::vector<uint8_t>* b, uint64_t v) {
    srv_put_u32(b, static_cast<uint32_t>(v >> 32));
    srv_put_u32(b, static_cast<uint32_t>(v));
}

void srv_put_text8(std::vector<uint8_t>* b, const std::string& s) {
    size_t n = s.size() > 255 ? 255 : s.size();
    srv_put_u8(b, static_cast<uint8_t>(n));
    b->insert(b->end(), s.begin(), s.begin() + static_cast<long>(n));
}

void srv_put_text16(std::vector<uint8_t>* b, const std::string& s) {
    size_t n = s.size() > 65535 ? 65535 : s.size();
    srv_put_u16(b, static_cast<uint16_t>(n));
    b->insert(b->end(), s.begin(), s.begin() + static_cast<long>(n));
}

// ---- requests ---------------------------------------------------------------

static uint8_t decode_auth(wire_reader* r, srv_request* q) {
    q->auth_mode = wire_get_u8(r);
    if (r->failed) return ERR_INVARG;
    if (q->auth_mode != AUTH_MODE_AGENT) { // other modes are refused by the caller
        r->pos = r->len;
        return 0;
    }
    q->user_id = wire_get_be32(r);
    const uint8_t* kd = wire_take(r, 20);
    const uint8_t* hi = wire_take(r, 20);
    q->fci_started = wire_get_be32(r);
    if (!kd || !hi) return ERR_INVARG;
    memcpy(q->key_digest, kd, 20);
    memcpy(q->host_id, hi, 20);
    if (!srv_get_text16(r, &q->job_name) || !srv_get_text16(r, &q->schedule_name))
        return ERR_INVARG;
    if (q->job_name.size() > SRV_MAX_NAME || q->schedule_name.size() > SRV_MAX_NAME)
        return ERR_INVARG;
    return 0;
}

static uint8_t decode_lock(wire_reader* r, srv_request* q) {
    q->lock_flags = wire_get_u8(r);
    if (r->failed) return ERR_INVARG;
    if (!(q->lock_flags & TFS_LOCK_RELEASE)) {
        uint16_t n = wire_get_be16(r);
        if (r->failed || r->len - r->pos < static_cast<size_t>(n) * 4) return ERR_INVARG;
        q->lock_ids.reserve(n);
        for (uint16_t i = 0; i < n; i++)
            q->lock_ids.push_back(wire_get_be32(r));
    } else if (q->lock_flags & TFS_LOCK_STAMP) {
        q->stamp = wire_get_be32(r);
        q->has_stamp = !r->failed;
    }
    return r->failed ? ERR_INVARG : 0;
}

static uint8_t decode_email(wire_reader* r, srv_request* q) {
    q->mail_marker = wire_get_u8(r);
    if (r->failed) return ERR_INVARG;
    if (q->mail_marker == 0) {
        q->schedule_id = wire_get_be64(r);
        uint8_t n = wire_get_u8(r);
        for (uint8_t i = 0; i < n && !r->failed; i++) {
            std::string s;
            if (srv_get_text8(r, &s)) q->recipients.push_back(s);
        }
        q->body_len = wire_get_be32(r);
    } else if (q->mail_marker != 2) {
        return ERR_INVARG;
    }
    q->data_len = wire_get_be16(r);
    q->data = wire_take(r, q->data_len);
    return q->data ? 0 : ERR_INVARG;
}

uint8_t srv_decode_request(const uint8_t* plain, size_t len, srv_request* out) {
    *out = srv_request();
    if (len < CTFS_HEADER || len > CTFS_PLAIN_MAX) return ERR_INVARG;
    out->type = plain[2];
    out->seq = get_be16(plain + 3);
    out->status = plain[5];
    if (get_be16(plain) != len - CTFS_HEADER) return ERR_INVARG;
    wire_reader r = wire_reader_over(plain + CTFS_HEADER, len - CTFS_HEADER);
    uint8_t rc = 0;
    switch (out->type) {
    case TFS_SESSION_AUTH:
        rc = decode_auth(&r, out);
        break;
    case TFS_USER_LOCK:
        rc = decode_lock(&r, out);
        break;
    case TFS_MKDIR:
    case TFS_DELETE:
        out->kind = wire_get_u8(&r);
        srv_get_text16(&r, &out->path);
        break;
    case TFS_FIND_FILES:
        out->cursor = wire_get_u8(&r);
        out->list_flags = wire_get_u8(&r);
        srv_get_text8(&r, &out->filter);
        srv_get_text16(&r, &out->path);
        break;
    case TFS_FILE_WOPEN:
        out->open_mode = wire_get_u8(&r);
        out->mtime = wire_get_be32(&r);
        srv_get_text16(&r, &out->path);
        out->size = wire_get_be64(&r);
        srv_get_text16(&r, &out->security);
        break;
    case TFS_FILE_WRITE:
        out->handle = wire_get_u8(&r);
        out->write_type = wire_get_u8(&r);
        out->data_len = wire_get_be16(&r);
        out->data = wire_take(&r, out->data_len);
        if (out->data_len > TFS_WRITE_DATA_MAX) rc = ERR_DATAMAX;
        break;
    case TFS_FILE_CLOSE:
        out->handle = wire_get_u8(&r);
        break;
    case TFS_EMAIL:
        rc = decode_email(&r, out);
        break;
    case TFS_SESSION_CLOSE:
        break;
    case TFS_READ_RUNS:
    case TFS_READ_FOLDER:
    case TFS_READ_BLOCKS:
    case TFS_READ_BLOCK:
        return read_decode_request(out->type, plain + CTFS_HEADER, len - CTFS_HEADER, &out->read);
    default:
        return ERR_INVARG;
    }
    if (rc == 0 && r.failed) rc = ERR_INVARG;
    // Trailing bytes mean the peer and we disagree on the layout.
    if (rc == 0 && r.pos != r.len) rc = ERR_INVARG;
    return rc;
}

bool srv_request_silent(const srv_request& rq) {
    if (rq.type == TFS_FILE_CLOSE) return true;
    return rq.type == TFS_FILE_WRITE && (rq.write_type & TFS_WRITE_NO_ANSWER);
}

bool srv_normalize_path(const std::string& in, bool allow_root, std::string* out) {
    out->clear();
    if (in.size() > 1024 || in.find('\0') != std::string::npos) return false;
    size_t b = 0, e = in.size();
    if (b < e && in[b] == '/') b++;
    if (e > b && in[e - 1] == '/') e--;
    if (b >= e) return allow_root;
    size_t start = b;
    for (size_t i = b; i <= e; i++) {
        if (i < e && in[i] != '/') continue;
        size_t n = i - start;
        if (n == 0) return false;
        if ((n == 1 && in[start] == '.') || (n == 2 && in[start] == '.' && in[start + 1] == '.'))
            return false;
        start = i + 1;
    }
    out->assign(in, b, e - b);
    return true;
}

// ---- frames -----------------------------------------------------------------

void srv_build_packet(uint8_t type, uint16_t seq, uint8_t status,
                      const std::vector<uint8_t>& payload, std::vector<uint8_t>* plain) {
    plain->resize(CTFS_HEADER + payload.size());
    ctfs_header h{static_cast<uint16_t>(payload.size()), type, seq, status};
    ctfs_header_write(plain->data(), h);
    if (!payload.empty()) memcpy(plain->data() + CTFS_HEADER, payload.data(), payload.size());
}
