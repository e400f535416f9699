// frame.cpp - the frame codec: CRC-32, packet header, AES-256-CBC or null
// cipher with contexts that live as long as the connection.
#include "protocol/frame.h"

#include "common/mem.h"
#include "protocol/wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

uint32_t ctfs_crc32(const void* data, size_t n) {
    // zlib takes 32-bit lengths; a packet is far below that, but stay exact.
    uLong crc = crc32(0L, Z_NULL, 0);
    const Bytef* p = static_cast<const Bytef*>(data);
    while (n > 0) {
        uInt step = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
        crc = crc32(crc, p, step);
        p += step;
        n -= step;
    }
    return static_cast<uint32_t>(crc);
}

void ctfs_header_write(uint8_t out[6], const ctfs_header& h) {
    put_be16(out, h.len);
    out[2] = h.type;
    put_be16(out + 3, h.seq);
    out[5] = h.status;
}

ctfs_header ctfs_header_read(const uint8_t in[6]) {
    ctfs_header h;
    h.len = get_be16(in);
    h.type = in[2];
    h.seq = get_be16(in + 3);
    h.status = in[5];
    return h;
}

static const EVP_CIPHER* cipher_method(int mode) {
    return mode == CTFS_CIPHER_AES ? EVP_aes_256_cbc() : EVP_enc_null();
}

// Sets the key and the zero IV again. Only the first initialisation names the
// method: naming it again would make OpenSSL rebuild the context, an
// allocation per packet.
static int restart(ctfs_cipher* c, EVP_CIPHER_CTX* ctx, int enc) {
    const EVP_CIPHER* method = EVP_CIPHER_CTX_get0_cipher(ctx) ? nullptr : cipher_method(c->mode);
    if (EVP_CipherInit_ex(ctx, method, nullptr, c->key, c->iv, enc) != 1) return -1;
    EVP_CIPHER_CTX_set_padding(ctx, 1);
    return 0;
}

ctfs_cipher* ctfs_cipher_new(int mode, const uint8_t key[32]) {
    if (mode != CTFS_CIPHER_NULL_1 && mode != CTFS_CIPHER_NULL_2 && mode != CTFS_CIPHER_AES)
        return nullptr;
    ctfs_cipher* c = static_cast<ctfs_cipher*>(mem_zalloc(sizeof(ctfs_cipher)));
    c->mode = mode;
    c->enc = EVP_CIPHER_CTX_new();
    c->dec = EVP_CIPHER_CTX_new();
    if (!c->enc || !c->dec || ctfs_cipher_rekey(c, key) != 0) {
        ctfs_cipher_free(c);
        return nullptr;
    }
    return c;
}

int ctfs_cipher_rekey(ctfs_cipher* c, const uint8_t key[32]) {
    if (c->mode == CTFS_CIPHER_AES) memcpy(c->key, key, 32);
    if (restart(c, c->enc, 1) != 0 || restart(c, c->dec, 0) != 0) return -1;
    return 0;
}

void ctfs_cipher_free(ctfs_cipher* c) {
    if (!c) return;
    EVP_CIPHER_CTX_free(c->enc);
    EVP_CIPHER_CTX_free(c->dec);
    OPENSSL_cleanse(c->key, sizeof c->key);
    free(c);
}

size_t ctfs_frame_seal(ctfs_cipher* c, const uint8_t* plain, size_t n) {
    if (n < 6 || n > CTFS_PLAIN_MAX) return 0;
    int out1 = 0, out2 = 0;
    uint8_t* ct = c->frame + CTFS_FRAME_HEAD;
    int ok = EVP_EncryptUpdate(c->enc, ct, &out1, plain, static_cast<int>(n)) == 1 &&
             EVP_EncryptFinal_ex(c->enc, ct + out1, &out2) == 1;
    // Each packet is encrypted on its own: no CBC state carries over.
    restart(c, c->enc, 1);
    size_t k = static_cast<size_t>(out1) + static_cast<size_t>(out2);
    if (!ok || k == 0 || k > CTFS_FRAME_BUF - CTFS_FRAME_HEAD) return 0;
    put_be16(c->frame, static_cast<uint16_t>(k)); // 65536 never occurs: k <= 65521
    put_be32(c->frame + 2, ctfs_crc32(plain, n));
    return CTFS_FRAME_HEAD + k;
}

void ctfs_frame_head_read(const uint8_t in[6], uint32_t* k, uint32_t* crc) {
    uint32_t len = get_be16(in);
    *k = len == 0 ? 65536u : len;
    *crc = get_be32(in + 2);
}

tfs_result ctfs_frame_open(ctfs_cipher* c, uint32_t k, uint32_t crc, ctfs_header* h,
                           uint8_t* payload_out, size_t out_cap) {
    if (k > CTFS_FRAME_BUF) return ERR_SCKREAD;
    // Decrypt in place: the output of a CBC decryption never runs ahead of
    // its input, and the frame buffer is larger than any packet.
    int out1 = 0, out2 = 0;
    int ok = EVP_DecryptUpdate(c->dec, c->frame, &out1, c->frame, static_cast<int>(k)) == 1;
    if (ok) EVP_DecryptFinal_ex(c->dec, c->frame + out1, &out2); // bad padding: CRC fails
    restart(c, c->dec, 0);
    if (!ok) return ERR_SCKREAD;
    size_t plain = static_cast<size_t>(out1) + static_cast<size_t>(out2 > 0 ? out2 : 0);
    if (plain < 6 || plain > CTFS_PLAIN_MAX) return ERR_SCKREAD;
    if (ctfs_crc32(c->frame, plain) != crc) return ERR_SCKREAD;
    ctfs_header got = ctfs_header_read(c->frame);
    if (static_cast<size_t>(got.len) + 6 > plain || got.len > out_cap) return ERR_SCKREAD;
    if (got.len) memcpy(payload_out, c->frame + 6, got.len);
    *h = got;
    return ERR_NONE;
}

tfs_result ctfs_frame_decode(ctfs_cipher* c, const uint8_t* frame, size_t n, ctfs_header* h,
                             uint8_t* payload_out, size_t out_cap) {
    if (n < CTFS_FRAME_HEAD) return ERR_SCKREAD;
    uint32_t k, crc;
    ctfs_frame_head_read(frame, &k, &crc);
    if (k > CTFS_FRAME_BUF || k > n - CTFS_FRAME_HEAD) return ERR_SCKREAD;
    memcpy(c->frame, frame + CTFS_FRAME_HEAD, k);
    return ctfs_frame_open(c, k, crc, h, payload_out, out_cap);
}
