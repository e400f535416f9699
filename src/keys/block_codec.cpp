// block_codec.cpp - stored block checks and decoding (see block_codec.h).
#include "keys/block_codec.h"

#include "common/owner.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstring>

namespace {

// Inflates one complete zlib stream of exactly size bytes into *out.
bool inflate_exact(const std::vector<uint8_t>& in, size_t size, std::vector<uint8_t>* out) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return false;
    // One byte more than wanted, so that a stream that would run longer is
    // told apart from one that ends exactly.
    out->resize(size + 1);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    const int rc = inflate(&z, Z_FINISH);
    const size_t produced = out->size() - z.avail_out;
    const bool ok = rc == Z_STREAM_END && z.avail_in == 0 && produced == size;
    inflateEnd(&z);
    out->resize(produced);
    return ok;
}

} // namespace

bool block_stored_ok(const uint8_t* data, size_t n, const uint8_t digest[32]) {
    if (n == 0 || n % 16 != 0) return false;
    uint8_t md[SHA256_DIGEST_LENGTH];
    SHA256(data, n, md);
    return memcmp(md, digest, sizeof md) == 0;
}

block_decode_result block_decode(const uint8_t* key, const uint8_t* stored, size_t n,
                                 size_t plain_size, const uint8_t* md5,
                                 std::vector<uint8_t>* scratch, std::vector<uint8_t>* out) {
    if (n == 0 || n % 16 != 0 || n > 0x7fffffff) return BLOCK_DECODE_DECRYPT;
    owner<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return BLOCK_DECODE_SETUP;
    static const uint8_t iv[16] = {0};
    scratch->resize(n + 16);
    int a = 0, f = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1 ||
        EVP_DecryptUpdate(ctx.get(), scratch->data(), &a, stored, static_cast<int>(n)) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), scratch->data() + a, &f) != 1)
        return BLOCK_DECODE_DECRYPT;
    scratch->resize(static_cast<size_t>(a + f));
    if (!inflate_exact(*scratch, plain_size, out)) return BLOCK_DECODE_INFLATE;
    if (md5) {
        uint8_t m[EVP_MAX_MD_SIZE];
        unsigned int mlen = 0;
        if (EVP_Digest(out->data(), out->size(), m, &mlen, EVP_md5(), nullptr) != 1 ||
            memcmp(m, md5, 16) != 0)
            return BLOCK_DECODE_MD5;
    }
    return BLOCK_DECODE_OK;
}

const char* block_decode_text(block_decode_result r) {
    switch (r) {
    case BLOCK_DECODE_OK:
        return "whole";
    case BLOCK_DECODE_DECRYPT:
        return "does not decrypt (wrong account key?)";
    case BLOCK_DECODE_INFLATE:
        return "does not inflate to its size";
    case BLOCK_DECODE_MD5:
        return "checksum mismatch";
    case BLOCK_DECODE_SETUP:
        break;
    }
    return "cannot set up the cipher (out of memory)";
}

bool block_all_zero(const uint8_t* p, size_t n) {
    return n > 0 && p[0] == 0 && memcmp(p, p + 1, n - 1) == 0;
}
