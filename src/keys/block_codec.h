// block_codec.h - a stored file block turned back into the file's bytes: the
// agent sends each block zlib-compressed and then encrypted with AES-256-CBC
// from a zero vector under the account key; the store keeps those bytes
// under the SHA-256 of themselves. Shared by the server's offline restore and
// verify and by the control tool's restore and verify, which decode on the
// user's machine. Pure computation: no files, no network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum block_decode_result {
    BLOCK_DECODE_OK = 0,
    BLOCK_DECODE_DECRYPT = 1, // not a whole cipher text under this key (wrong account key?)
    BLOCK_DECODE_INFLATE = 2, // not one zlib stream of exactly the expected size
    BLOCK_DECODE_MD5 = 3,     // inflated, but not the bytes the agent's MD5 names
    BLOCK_DECODE_SETUP = 4    // the cipher could not be set up (out of memory)
};

// True when the stored bytes are those their address names: SHA-256 of
// data[0, n) equals digest (32 bytes), and n is a whole, non-zero number of
// cipher blocks. Cannot fail otherwise.
bool block_stored_ok(const uint8_t* data, size_t n, const uint8_t digest[32]);

// Decrypts stored[0, n) under the 32-byte key and inflates it into *out,
// which must come out exactly plain_size bytes; with md5 (16 bytes, or null
// for none) the result must have that MD5. scratch holds the decrypted
// compressed bytes (kept by the caller so that a loop reuses it). Returns
// BLOCK_DECODE_OK, or the first check that failed (*out is then unusable).
block_decode_result block_decode(const uint8_t* key, const uint8_t* stored, size_t n,
                                 size_t plain_size, const uint8_t* md5,
                                 std::vector<uint8_t>* scratch, std::vector<uint8_t>* out);

// The words of a result, for a message ("does not decrypt (wrong account
// key?)"). Cannot fail.
const char* block_decode_text(block_decode_result r);

// True when the n bytes at p are all zero (n 0: false): such a block is
// written as a hole.
bool block_all_zero(const uint8_t* p, size_t n);
