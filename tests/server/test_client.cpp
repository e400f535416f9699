// test_client.cpp - the agent-side peer used by the server's tests and bench.
#include "platform/server.h"
#include "test_client.h"

#include "protocol/codes.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <cstring>

tc_conn::~tc_conn() {
    tc_close(this);
}

void tc_close(tc_conn* c) {
    if (c->sock != PLAT_NET_INVALID) plat_net_close(c->sock);
    c->sock = PLAT_NET_INVALID;
    c->cipher.reset();
}

static bool recv_exact(tc_conn* c, uint8_t* p, size_t n) {
    while (n > 0) {
        long got = plat_net_recv(c->sock, p, n, c->timeout_ms);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool tc_send_raw(tc_conn* c, const void* p, size_t n) {
    return plat_net_send_all(c->sock, p, n, c->timeout_ms) == 0;
}

bool tc_connect_raw(tc_conn* c, uint16_t port) {
    tc_close(c);
    plat_net_startup();
    c->sock = plat_net_connect("127.0.0.1", port, c->source);
    return c->sock != PLAT_NET_INVALID;
}

bool tc_connect(tc_conn* c, uint16_t port, int cipher_mode) {
    if (!tc_connect_raw(c, port)) return false;
    const uint8_t greet[4] = {1, 0x30, 0x32, 2};
    uint8_t lenb[2];
    if (!tc_send_raw(c, greet, 4) || !recv_exact(c, lenb, 2)) return false;
    size_t L = get_be16(lenb);
    if (L >= 512) return false;
    std::string pem(L, '\0');
    if (!recv_exact(c, reinterpret_cast<uint8_t*>(&pem[0]), L)) return false;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!key) return false;
    uint8_t R[32];
    RAND_bytes(R, 32);
    std::vector<uint8_t> hs(34);
    hs[0] = static_cast<uint8_t>(cipher_mode);
    hs[1] = 32;
    memcpy(hs.data() + 2, R, 32);
    std::vector<uint8_t> plain;
    srv_build_packet(TFS_SESSION_HANDSHAKE, 0, 0, hs, &plain);
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new(key, nullptr);
    uint8_t block[512];
    size_t blen = sizeof block;
    bool ok = pc && EVP_PKEY_encrypt_init(pc) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pc, RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_encrypt(pc, block, &blen, plain.data(), plain.size()) == 1;
    EVP_PKEY_CTX_free(pc);
    EVP_PKEY_free(key);
    if (!ok || blen != 256 || !tc_send_raw(c, block, 256)) return false;
    c->cipher.reset(ctfs_cipher_new(cipher_mode, R));
    tc_reply r;
    if (!c->cipher || !tc_recv(c, &r)) return false;
    if (r.type != 128 || r.seq != 0 || r.status != 0 || r.payload.size() != 32) return false;
    uint8_t k[32];
    for (int i = 0; i < 32; i++)
        k[i] = R[i] ^ r.payload[i];
    c->seq = 0;
    return ctfs_cipher_rekey(c->cipher.get(), k) == 0;
}

bool tc_send(tc_conn* c, uint8_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> plain;
    srv_build_packet(type, c->seq, 0, payload, &plain);
    size_t n = ctfs_frame_seal(c->cipher.get(), plain.data(), plain.size());
    return n != 0 && tc_send_raw(c, c->cipher->frame, n);
}

bool tc_recv(tc_conn* c, tc_reply* r) {
    uint8_t head[CTFS_FRAME_HEAD];
    if (!recv_exact(c, head, sizeof head)) return false;
    uint32_t k = 0, crc = 0;
    ctfs_frame_head_read(head, &k, &crc);
    if (k > CTFS_FRAME_BUF || !recv_exact(c, c->cipher->frame, k)) return false;
    ctfs_header h;
    std::vector<uint8_t> payload(CTFS_PLAIN_MAX);
    if (ctfs_frame_open(c->cipher.get(), k, crc, &h, payload.data(), payload.size()) != 0)
        return false;
    r->type = h.type;
    r->seq = h.seq;
    r->status = h.status;
    r->payload.assign(payload.begin(), payload.begin() + h.len);
    return true;
}

uint8_t tc_transact(tc_conn* c, uint8_t type, const std::vector<uint8_t>& payload, tc_reply* r) {
    tc_reply local;
    if (!r) r = &local;
    if (!tc_send(c, type, payload) || !tc_recv(c, r)) return ERR_SCKREAD;
    if (r->type != type + 128 || r->seq != c->seq) return ERR_SEQUENCE;
    return r->status;
}

bool tc_closed_by_peer(tc_conn* c) {
    uint8_t b;
    long got = plat_net_recv(c->sock, &b, 1, c->timeout_ms);
    return got == 0 || got == -1;
}

uint8_t tc_login(tc_conn* c, uint32_t user, const uint8_t* key_digest, const uint8_t* host,
                 const std::string& schedule, tc_login_info* info, int mode) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, static_cast<uint8_t>(mode));
    srv_put_u32(&p, user);
    p.insert(p.end(), key_digest, key_digest + 20);
    p.insert(p.end(), host, host + 20);
    srv_put_u32(&p, 0);
    srv_put_text16(&p, "job");
    srv_put_text16(&p, schedule);
    tc_reply r;
    uint8_t rc = tc_transact(c, TFS_SESSION_AUTH, p, &r);
    if (rc != 0 || !info) return rc;
    wire_reader rd = wire_reader_over(r.payload.data(), r.payload.size());
    std::string t;
    wire_get_u8(&rd);
    srv_get_text8(&rd, &t);
    wire_get_be16(&rd);
    srv_get_text8(&rd, &t);
    wire_get_be16(&rd);
    info->account_number = wire_get_be32(&rd);
    srv_get_text8(&rd, &info->account_name);
    wire_get_u8(&rd);
    srv_get_text8(&rd, &t);
    info->user_number = wire_get_be32(&rd);
    srv_get_text8(&rd, &info->user_name);
    srv_get_text8(&rd, &t);
    wire_get_u8(&rd);
    wire_get_be16(&rd);
    srv_get_text8(&rd, &t);
    srv_get_text8(&rd, &t);
    wire_get_be64(&rd);
    wire_get_be64(&rd);
    wire_get_u8(&rd);
    wire_get_u8(&rd);
    info->stamp = wire_get_be32(&rd);
    return rd.failed || rd.pos != rd.len ? ERR_INVARG : 0;
}

uint8_t tc_lock(tc_conn* c, uint8_t flags, const std::vector<uint32_t>& ids) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, flags);
    srv_put_u16(&p, static_cast<uint16_t>(ids.size()));
    for (uint32_t id : ids)
        srv_put_u32(&p, id);
    return tc_transact(c, TFS_USER_LOCK, p, nullptr);
}

uint8_t tc_release(tc_conn* c, uint32_t stamp) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, 5);
    srv_put_u32(&p, stamp);
    return tc_transact(c, TFS_USER_LOCK, p, nullptr);
}

static uint8_t path_request(tc_conn* c, uint8_t type, uint8_t kind, const std::string& path) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, kind);
    srv_put_text16(&p, path);
    return tc_transact(c, type, p, nullptr);
}

uint8_t tc_mkdir(tc_conn* c, const std::string& path) {
    return path_request(c, TFS_MKDIR, 0, path);
}

uint8_t tc_delete(tc_conn* c, uint8_t kind, const std::string& path) {
    return path_request(c, TFS_DELETE, kind, path);
}

uint8_t tc_find(tc_conn* c, uint8_t cursor, uint8_t flags, const std::string& path, tc_page* page,
                const std::string& filter) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, cursor);
    srv_put_u8(&p, flags);
    srv_put_text8(&p, filter);
    srv_put_text16(&p, path);
    tc_reply r;
    uint8_t rc = tc_transact(c, TFS_FIND_FILES, p, &r);
    if (rc != 0) return rc;
    wire_reader rd = wire_reader_over(r.payload.data(), r.payload.size());
    page->count = wire_get_be16(&rd);
    page->further = wire_get_be32(&rd);
    page->cursor = wire_get_u8(&rd);
    page->entries.clear();
    for (uint16_t i = 0; i < page->count && !rd.failed; i++) {
        tc_entry e;
        e.type = wire_get_u8(&rd);
        e.mtime = wire_get_be32(&rd);
        e.size = wire_get_be64(&rd);
        wire_get_be64(&rd);
        if (flags & 1)
            srv_get_text16(&rd, &e.name);
        else
            srv_get_text8(&rd, &e.name);
        page->entries.push_back(e);
    }
    return rd.failed || rd.pos != rd.len ? ERR_INVARG : 0;
}

uint8_t tc_wopen(tc_conn* c, const std::string& path, uint64_t size, uint32_t mtime, tc_open* o,
                 const std::string& security) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, 1);
    srv_put_u32(&p, mtime);
    srv_put_text16(&p, path);
    srv_put_u64(&p, size);
    srv_put_text16(&p, security);
    tc_reply r;
    uint8_t rc = tc_transact(c, TFS_FILE_WOPEN, p, &r);
    if (rc != 0) return rc;
    wire_reader rd = wire_reader_over(r.payload.data(), r.payload.size());
    o->handle = wire_get_u8(&rd);
    o->known = wire_get_be16(&rd);
    o->block_size = wire_get_be32(&rd);
    o->blocks = wire_get_be16(&rd);
    return rd.failed ? ERR_INVARG : 0;
}

uint8_t tc_offer(tc_conn* c, uint8_t handle, const uint8_t* md5) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, handle);
    srv_put_u8(&p, 1);
    srv_put_u16(&p, md5 ? 16 : 0);
    if (md5) p.insert(p.end(), md5, md5 + 16);
    return tc_transact(c, TFS_FILE_WRITE, p, nullptr);
}

bool tc_write_silent(tc_conn* c, uint8_t handle, uint8_t type, const uint8_t* data, size_t n) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, handle);
    srv_put_u8(&p, type);
    srv_put_u16(&p, static_cast<uint16_t>(n));
    if (n) p.insert(p.end(), data, data + n);
    return tc_send(c, TFS_FILE_WRITE, p);
}

bool tc_file_close(tc_conn* c, uint8_t handle) {
    std::vector<uint8_t> p(1, handle);
    return tc_send(c, TFS_FILE_CLOSE, p);
}

uint8_t tc_email(tc_conn* c, uint64_t schedule_id, const std::vector<std::string>& to,
                 const std::string& body, std::vector<size_t>* piece_sizes) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, 0);
    srv_put_u64(&p, schedule_id);
    srv_put_u8(&p, static_cast<uint8_t>(to.size()));
    for (const std::string& r : to)
        srv_put_text8(&p, r);
    srv_put_u32(&p, static_cast<uint32_t>(body.size()));
    size_t first = p.size() >= 60000 ? 0 : std::min(body.size(), 60000 - p.size());
    size_t pos = 0;
    for (bool head = true; head || pos < body.size(); head = false) {
        size_t n = head ? first : std::min<size_t>(body.size() - pos, 60000);
        if (!head) {
            p.clear();
            srv_put_u8(&p, 2);
        }
        srv_put_u16(&p, static_cast<uint16_t>(n));
        p.insert(p.end(), body.begin() + static_cast<long>(pos),
                 body.begin() + static_cast<long>(pos + n));
        if (piece_sizes) piece_sizes->push_back(n);
        pos += n;
        uint8_t rc = tc_transact(c, TFS_EMAIL, p, nullptr);
        if (rc != 0) return rc;
    }
    return 0;
}

std::vector<uint8_t> tc_encode_block(const uint8_t* key, const uint8_t* p, size_t n) {
    uLongf zlen = compressBound(n);
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, p, n, 9);
    z.resize(zlen);
    std::vector<uint8_t> out(z.size() + 32);
    static const uint8_t iv[16] = {0};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int a = 0, b = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(ctx, out.data(), &a, z.data(), static_cast<int>(z.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + a, &b);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(a + b));
    return out;
}

void tc_md5(const uint8_t* p, size_t n, uint8_t* out) {
    unsigned int len = 0;
    EVP_Digest(p, n, out, &len, EVP_md5(), nullptr);
}

void tc_sha1(const uint8_t* p, size_t n, uint8_t* out) {
    unsigned int len = 0;
    EVP_Digest(p, n, out, &len, EVP_sha1(), nullptr);
}

tc_send_stats tc_send_file(tc_conn* c, const std::string& path, const std::string& data,
                           uint32_t mtime, const uint8_t* key, int stop_after_blocks,
                           const std::string& security) {
    tc_send_stats st;
    tc_open o;
    st.result = tc_wopen(c, path, data.size(), mtime, &o, security);
    if (st.result != 0) return st;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(data.data());
    for (uint32_t e = 0; e < o.blocks; e++) {
        if (stop_after_blocks >= 0 && static_cast<int>(e) >= stop_after_blocks) return st;
        size_t off = static_cast<size_t>(e) * o.block_size;
        size_t n = std::min<size_t>(o.block_size, data.size() - off);
        uint8_t md5[16];
        tc_md5(base + off, n, md5);
        bool offer_md5 = o.blocks != 1 && e < o.known;
        uint8_t rc = tc_offer(c, o.handle, offer_md5 ? md5 : nullptr);
        if (rc == ERR_UP2DATE) {
            st.offers_up2date++;
            continue;
        }
        if (rc != 0) {
            st.result = rc;
            return st;
        }
        std::vector<uint8_t> enc = tc_encode_block(key, base + off, n);
        for (size_t pos = 0; pos < enc.size(); pos += 65466) {
            size_t k = std::min<size_t>(65466, enc.size() - pos);
            tc_write_silent(c, o.handle, 8, enc.data() + pos, k);
        }
        tc_write_silent(c, o.handle, 8, nullptr, 0); // the agent's last, empty read
        tc_write_silent(c, o.handle, 10, o.blocks == 1 ? nullptr : md5, o.blocks == 1 ? 0 : 16);
        st.blocks_sent++;
    }
    tc_file_close(c, o.handle);
    return st;
}
