// wire.cpp - byte order, request decoding, path checks and frame cipher of
// the reference server.
#include "tools/server/wire.h"

#include "protocol/codes.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>

// ---- byte order -------------------------------------------------------------

srv_reader srv_reader_make(const uint8_t* p, size_t len) {
    return srv_reader{p, len, 0, false};
}

const uint8_t* srv_get_bytes(srv_reader* r, size_t n) {
    if (r->bad || r->len - r->pos < n) {
        r->bad = true;
        return nullptr;
    }
    const uint8_t* p = r->p + r->pos;
    r->pos += n;
    return p;
}

uint8_t srv_get_u8(srv_reader* r) {
    const uint8_t* p = srv_get_bytes(r, 1);
    return p ? p[0] : 0;
}

uint16_t srv_get_u16(srv_reader* r) {
    const uint8_t* p = srv_get_bytes(r, 2);
    return p ? srv_be16(p) : 0;
}

uint32_t srv_get_u32(srv_reader* r) {
    const uint8_t* p = srv_get_bytes(r, 4);
    return p ? srv_be32(p) : 0;
}

uint64_t srv_get_u64(srv_reader* r) {
    const uint8_t* p = srv_get_bytes(r, 8);
    return p ? (static_cast<uint64_t>(srv_be32(p)) << 32) | srv_be32(p + 4) : 0;
}

static bool get_text(srv_reader* r, size_t n, std::string* out) {
    const uint8_t* p = srv_get_bytes(r, n);
    if (!p) return false;
    out->assign(reinterpret_cast<const char*>(p), n);
    return true;
}

bool srv_get_text8(srv_reader* r, std::string* out) {
    return get_text(r, srv_get_u8(r), out);
}

bool srv_get_text16(srv_reader* r, std::string* out) {
    return get_text(r, srv_get_u16(r), out);
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

void srv_put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void srv_put_be32(uint8_t* p, uint32_t v) {
    srv_put_be16(p, static_cast<uint16_t>(v >> 16));
    srv_put_be16(p + 2, static_cast<uint16_t>(v));
}

uint16_t srv_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t srv_be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint32_t srv_crc32(const uint8_t* p, size_t n) {
    uLong c = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        uInt chunk = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
        c = crc32(c, p, chunk);
        p += chunk;
        n -= chunk;
    }
    return static_cast<uint32_t>(c);
}

// ---- requests ---------------------------------------------------------------

static uint8_t decode_auth(srv_reader* r, srv_request* q) {
    q->auth_mode = srv_get_u8(r);
    if (r->bad) return ERR_INVARG;
    if (q->auth_mode != AUTH_MODE_AGENT) { // other modes are refused by the caller
        r->pos = r->len;
        return 0;
    }
    q->user_id = srv_get_u32(r);
    const uint8_t* kd = srv_get_bytes(r, 20);
    const uint8_t* hi = srv_get_bytes(r, 20);
    q->fci_started = srv_get_u32(r);
    if (!kd || !hi) return ERR_INVARG;
    memcpy(q->key_digest, kd, 20);
    memcpy(q->host_id, hi, 20);
    if (!srv_get_text16(r, &q->job_name) || !srv_get_text16(r, &q->schedule_name))
        return ERR_INVARG;
    if (q->job_name.size() > SRV_MAX_NAME || q->schedule_name.size() > SRV_MAX_NAME)
        return ERR_INVARG;
    return 0;
}

static uint8_t decode_lock(srv_reader* r, srv_request* q) {
    q->lock_flags = srv_get_u8(r);
    if (r->bad) return ERR_INVARG;
    if (!(q->lock_flags & 1)) {
        uint16_t n = srv_get_u16(r);
        if (r->bad || r->len - r->pos < static_cast<size_t>(n) * 4) return ERR_INVARG;
        q->lock_ids.reserve(n);
        for (uint16_t i = 0; i < n; i++)
            q->lock_ids.push_back(srv_get_u32(r));
    } else if (q->lock_flags & 4) {
        q->stamp = srv_get_u32(r);
        q->has_stamp = !r->bad;
    }
    return r->bad ? ERR_INVARG : 0;
}

static uint8_t decode_email(srv_reader* r, srv_request* q) {
    q->mail_marker = srv_get_u8(r);
    if (r->bad) return ERR_INVARG;
    if (q->mail_marker == 0) {
        q->schedule_id = srv_get_u64(r);
        uint8_t n = srv_get_u8(r);
        for (uint8_t i = 0; i < n && !r->bad; i++) {
            std::string s;
            if (srv_get_text8(r, &s)) q->recipients.push_back(s);
        }
        q->body_len = srv_get_u32(r);
    } else if (q->mail_marker != 2) {
        return ERR_INVARG;
    }
    q->data_len = srv_get_u16(r);
    q->data = srv_get_bytes(r, q->data_len);
    return q->data ? 0 : ERR_INVARG;
}

uint8_t srv_decode_request(const uint8_t* plain, size_t len, srv_request* out) {
    *out = srv_request();
    if (len < SRV_HEADER || len > SRV_MAX_PLAIN) return ERR_INVARG;
    out->type = plain[2];
    out->seq = srv_be16(plain + 3);
    out->status = plain[5];
    if (srv_be16(plain) != len - SRV_HEADER) return ERR_INVARG;
    srv_reader r = srv_reader_make(plain + SRV_HEADER, len - SRV_HEADER);
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
        out->kind = srv_get_u8(&r);
        srv_get_text16(&r, &out->path);
        break;
    case TFS_FIND_FILES:
        out->cursor = srv_get_u8(&r);
        out->list_flags = srv_get_u8(&r);
        srv_get_text8(&r, &out->filter);
        srv_get_text16(&r, &out->path);
        break;
    case TFS_FILE_WOPEN:
        out->open_mode = srv_get_u8(&r);
        out->mtime = srv_get_u32(&r);
        srv_get_text16(&r, &out->path);
        out->size = srv_get_u64(&r);
        srv_get_text16(&r, &out->security);
        break;
    case TFS_FILE_WRITE:
        out->handle = srv_get_u8(&r);
        out->write_type = srv_get_u8(&r);
        out->data_len = srv_get_u16(&r);
        out->data = srv_get_bytes(&r, out->data_len);
        if (out->data_len > SRV_MAX_WRITE) rc = ERR_DATAMAX;
        break;
    case TFS_FILE_CLOSE:
        out->handle = srv_get_u8(&r);
        break;
    case TFS_EMAIL:
        rc = decode_email(&r, out);
        break;
    case TFS_SESSION_CLOSE:
        break;
    default:
        return ERR_INVARG;
    }
    if (rc == 0 && r.bad) rc = ERR_INVARG;
    // Trailing bytes mean the peer and we disagree on the layout.
    if (rc == 0 && r.pos != r.len) rc = ERR_INVARG;
    return rc;
}

bool srv_request_silent(const srv_request& rq) {
    if (rq.type == TFS_FILE_CLOSE) return true;
    return rq.type == TFS_FILE_WRITE && (rq.write_type & 8);
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

struct srv_cipher {
    int mode;
    uint8_t key[32];
    EVP_CIPHER_CTX* enc;
    EVP_CIPHER_CTX* dec;
};

void srv_cipher_deleter::operator()(srv_cipher* c) const {
    if (!c) return;
    EVP_CIPHER_CTX_free(c->enc);
    EVP_CIPHER_CTX_free(c->dec);
    OPENSSL_cleanse(c->key, sizeof c->key);
    delete c;
}

static const EVP_CIPHER* cipher_of(int mode) {
    return mode == 3 ? EVP_aes_256_cbc() : EVP_enc_null();
}

static bool reinit(srv_cipher* c) {
    static const uint8_t iv[16] = {0};
    const EVP_CIPHER* alg = cipher_of(c->mode);
    return EVP_EncryptInit_ex(c->enc, alg, nullptr, c->key, iv) == 1 &&
           EVP_DecryptInit_ex(c->dec, alg, nullptr, c->key, iv) == 1;
}

srv_cipher_ptr srv_cipher_new(int mode, const uint8_t* key) {
    if (mode < 1 || mode > 3) return nullptr;
    srv_cipher_ptr c(new srv_cipher());
    c->mode = mode;
    memcpy(c->key, key, 32);
    c->enc = EVP_CIPHER_CTX_new();
    c->dec = EVP_CIPHER_CTX_new();
    if (!c->enc || !c->dec || !reinit(c.get())) return nullptr;
    return c;
}

bool srv_cipher_rekey(srv_cipher* c, const uint8_t* key) {
    memcpy(c->key, key, 32);
    return reinit(c);
}

bool srv_frame_seal(srv_cipher* c, const uint8_t* plain, size_t n, std::vector<uint8_t>* out) {
    if (n < SRV_HEADER || n > SRV_MAX_PLAIN) return false;
    out->resize(6 + n + 16);
    int a = 0, b = 0;
    bool ok = EVP_EncryptUpdate(c->enc, out->data() + 6, &a, plain, static_cast<int>(n)) == 1 &&
              EVP_EncryptFinal_ex(c->enc, out->data() + 6 + a, &b) == 1;
    static const uint8_t iv[16] = {0};
    EVP_EncryptInit_ex(c->enc, nullptr, nullptr, c->key, iv);
    if (!ok) return false;
    size_t k = static_cast<size_t>(a + b);
    srv_put_be16(out->data(), static_cast<uint16_t>(k)); // 65536 wraps to 0 as on the wire
    srv_put_be32(out->data() + 2, srv_crc32(plain, n));
    out->resize(6 + k);
    return true;
}

bool srv_frame_open(srv_cipher* c, const uint8_t* cipher, size_t k, uint32_t crc, uint8_t* plain,
                    size_t* n) {
    *n = 0;
    if (k == 0 || k > SRV_MAX_CIPHER) return false;
    if (c->mode == 3 && k % 16 != 0) return false;
    int a = 0, b = 0;
    bool ok = EVP_DecryptUpdate(c->dec, plain, &a, cipher, static_cast<int>(k)) == 1 &&
              EVP_DecryptFinal_ex(c->dec, plain + a, &b) == 1;
    static const uint8_t iv[16] = {0};
    EVP_DecryptInit_ex(c->dec, nullptr, nullptr, c->key, iv);
    if (!ok) return false;
    size_t got = static_cast<size_t>(a + b);
    if (got < SRV_HEADER || got > SRV_MAX_PLAIN) return false;
    if (srv_crc32(plain, got) != crc) return false;
    if (srv_be16(plain) != got - SRV_HEADER) return false;
    *n = got;
    return true;
}

void srv_build_packet(uint8_t type, uint16_t seq, uint8_t status,
                      const std::vector<uint8_t>& payload, std::vector<uint8_t>* plain) {
    plain->resize(SRV_HEADER + payload.size());
    srv_put_be16(plain->data(), static_cast<uint16_t>(payload.size()));
    (*plain)[2] = type;
    srv_put_be16(plain->data() + 3, seq);
    (*plain)[5] = status;
    if (!payload.empty()) memcpy(plain->data() + SRV_HEADER, payload.data(), payload.size());
}
