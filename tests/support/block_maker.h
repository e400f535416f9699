// block_maker.h - file blocks in their stored form (zlib, then AES-256-CBC
// from a zero vector), as an agent would send them, for tests of the code
// that decodes them.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> make_stored_block(const uint8_t* key, const std::vector<uint8_t>& plain) {
    uLongf zlen = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, plain.data(), static_cast<uLong>(plain.size()), 9);
    z.resize(zlen);
    std::vector<uint8_t> out(z.size() + 32);
    static const uint8_t iv[16] = {0};
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    int a = 0, f = 0;
    EVP_EncryptInit_ex(c, EVP_aes_256_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(c, out.data(), &a, z.data(), static_cast<int>(z.size()));
    EVP_EncryptFinal_ex(c, out.data() + a, &f);
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(a + f));
    return out;
}

inline void block_md5(const std::vector<uint8_t>& plain, uint8_t out[16]) {
    unsigned int n = 0;
    uint8_t m[EVP_MAX_MD_SIZE];
    EVP_Digest(plain.data(), plain.size(), m, &n, EVP_md5(), nullptr);
    for (int i = 0; i < 16; i++) out[i] = m[i];
}

inline void block_sha256(const std::vector<uint8_t>& stored, uint8_t out[32]) {
    SHA256(stored.data(), stored.size(), out);
}
