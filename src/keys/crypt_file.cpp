// crypt_file.cpp - whole-file AES-256-CBC reader and writer.
//
// Reading decrypts the file in pieces of 1008 bytes and hands out lines like
// fgets; writing buffers 1008 plain bytes at a time. The cipher is OpenSSL's
// EVP AES-256-CBC with a zero IV and PKCS#7 padding.
#include "keys/crypt_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

static_assert(CRYPT_FILE_BUFFER % CRYPT_FILE_BLOCK == 0, "whole cipher blocks per read");

namespace {

// Encrypts the buffered plain bytes and writes them out.
void flush_plain(crypt_file* cf) {
    if (cf->plain_count == 0) return;
    int outl = 0;
    if (EVP_EncryptUpdate(cf->ctx, cf->file_buf, &outl, cf->plain, cf->plain_count) != 1) {
        cf->failed = 1;
        outl = 0;
    }
    if (outl > 0 &&
        fwrite(cf->file_buf, 1, static_cast<size_t>(outl), cf->file) != static_cast<size_t>(outl))
        cf->failed = 1;
    cf->plain_count = 0;
}

// Reading: fetches the next plain bytes; at the end of the file finalises the
// decryption, which strips the padding (bad padding yields no final bytes).
void refill(crypt_file* cf) {
    cf->plain_pos = 0;
    cf->plain_count = 0;
    size_t got = fread(cf->file_buf, 1, CRYPT_FILE_BUFFER, cf->file);
    int outl = 0;
    if (got > 0) {
        if (EVP_DecryptUpdate(cf->ctx, cf->plain, &outl, cf->file_buf, static_cast<int>(got)) !=
            1) {
            cf->at_eof = 1;
            outl = 0;
        }
    } else {
        cf->at_eof = 1;
        if (EVP_DecryptFinal_ex(cf->ctx, cf->plain, &outl) != 1) {
            cf->damaged = 1;
            outl = 0;
        }
    }
    cf->plain_count = outl;
}

} // namespace

int crypt_file_open_key(crypt_file* cf, FILE* file, int mode,
                        const unsigned char key[MACHINE_KEY_SIZE]) {
    if (!cf) return -1;
    memset(cf, 0, sizeof *cf);
    if (!file || !key) return -1;
    cf->file = file;
    cf->mode = mode;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return -1;
    static const unsigned char iv[CRYPT_FILE_BLOCK] = {0};
    if (EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv, mode ? 1 : 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        return -1;
    }
    cf->ctx = ctx;
    return 0;
}

int crypt_file_open(crypt_file* cf, FILE* file, int mode) {
    if (cf) memset(cf, 0, sizeof *cf);
    unsigned char key[MACHINE_KEY_SIZE];
    if (load_machine_key(key) != 0) return -1;
    int rc = crypt_file_open_key(cf, file, mode, key);
    OPENSSL_cleanse(key, sizeof key);
    return rc;
}

char* crypt_file_gets(crypt_file* cf, char* buf, int size) {
    if (!cf || !cf->ctx || cf->mode != 0 || !buf || size < 2) return nullptr;
    int copied = 0;
    for (;;) {
        if (cf->plain_pos < cf->plain_count) {
            const unsigned char* held = cf->plain + cf->plain_pos;
            int n = cf->plain_count - cf->plain_pos;
            int room = size - 1 - copied;
            if (n > room) n = room;
            const void* nl = memchr(held, '\n', static_cast<size_t>(n));
            if (nl) n = static_cast<int>(static_cast<const unsigned char*>(nl) - held) + 1;
            memcpy(buf + copied, held, static_cast<size_t>(n));
            copied += n;
            cf->plain_pos += n;
            buf[copied] = 0;
            if (nl || copied == size - 1) return buf;
        }
        if (cf->at_eof) return copied ? buf : nullptr;
        refill(cf);
    }
}

size_t crypt_file_read(crypt_file* cf, void* buf, size_t size) {
    if (!cf || !cf->ctx || cf->mode != 0 || !buf) return 0;
    unsigned char* out = static_cast<unsigned char*>(buf);
    size_t copied = 0;
    while (copied < size) {
        if (cf->plain_pos < cf->plain_count) {
            size_t n = static_cast<size_t>(cf->plain_count - cf->plain_pos);
            if (n > size - copied) n = size - copied;
            memcpy(out + copied, cf->plain + cf->plain_pos, n);
            copied += n;
            cf->plain_pos += static_cast<int>(n);
            continue;
        }
        if (cf->at_eof) break;
        refill(cf);
    }
    return copied;
}

void crypt_file_write(crypt_file* cf, const void* data, size_t length) {
    if (!cf || !cf->ctx || cf->mode == 0 || !data) return;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        size_t n = static_cast<size_t>(CRYPT_FILE_BUFFER - cf->plain_count);
        if (n > length) n = length;
        memcpy(cf->plain + cf->plain_count, p, n);
        cf->plain_count += static_cast<int>(n);
        p += n;
        length -= n;
        if (cf->plain_count == CRYPT_FILE_BUFFER) flush_plain(cf);
    }
}

int crypt_file_finish(crypt_file* cf) {
    if (!cf || !cf->ctx) return cf && cf->failed ? -1 : 0;
    if (cf->mode != 0) {
        flush_plain(cf);
        int outl = 0;
        if (EVP_EncryptFinal_ex(cf->ctx, cf->file_buf, &outl) != 1) {
            cf->failed = 1;
            outl = 0;
        }
        if (outl > 0 && fwrite(cf->file_buf, 1, static_cast<size_t>(outl), cf->file) !=
                            static_cast<size_t>(outl))
            cf->failed = 1;
        if (fflush(cf->file) != 0) cf->failed = 1;
    }
    EVP_CIPHER_CTX_free(cf->ctx);
    cf->ctx = nullptr;
    OPENSSL_cleanse(cf->plain, sizeof cf->plain);
    cf->plain_count = 0;
    cf->plain_pos = 0;
    return cf->failed ? -1 : 0;
}
