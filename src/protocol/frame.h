// frame.h - the packet header, the encrypted frame and the per-connection
// cipher of the protocol.
//
// A plain packet is a 6-byte header (length, type, sequence, status) and its
// payload; a frame is the ciphertext length, the CRC-32 of the plain packet
// and the ciphertext. Sealing and opening are pure functions over the
// cipher's own frame buffer, so the client, the reference server and the fuzz
// targets share one codec. No allocation per packet: the contexts are made
// once by ctfs_cipher_new and only re-initialised after each packet.
#pragma once

#include "protocol/codes.h"

#include <cstddef>
#include <cstdint>

struct evp_cipher_ctx_st;

// The packet limits, one name each: a plain packet is the header and at
// most CTFS_MAX_PAYLOAD bytes, CTFS_PLAIN_MAX in all (a session's packet
// area); its frame is the frame head and at most CTFS_FRAME_BUF bytes.
enum {
    CTFS_HEADER = 6,
    CTFS_PLAIN_MAX = 65505,
    CTFS_MAX_PAYLOAD = CTFS_PLAIN_MAX - CTFS_HEADER,
    CTFS_FRAME_HEAD = 6,    // K (2) and CRC (4)
    CTFS_RX_AHEAD = 4096,   // a session's receive buffer (smaller frames come whole)
    CTFS_FRAME_BUF = 65527, // one outgoing frame or one incoming ciphertext
    CTFS_CIPHER_NULL_1 = 1, // cipher modes 1 and 2: the null cipher
    CTFS_CIPHER_NULL_2 = 2,
    CTFS_CIPHER_AES = 3, // AES-256-CBC, zero IV, PKCS#7 padding
};

struct ctfs_header {
    uint16_t len; // payload length, header not counted
    uint8_t type;
    uint16_t seq;
    uint8_t status;
};

struct ctfs_cipher {
    int32_t mode;
    uint8_t key[32];
    uint8_t iv[16];
    evp_cipher_ctx_st* dec;
    evp_cipher_ctx_st* enc;
    uint8_t frame[CTFS_FRAME_BUF];
};

// Standard CRC-32 (zlib's crc32 from 0).
uint32_t ctfs_crc32(const void* data, size_t n);

void ctfs_header_write(uint8_t out[6], const ctfs_header& h);
ctfs_header ctfs_header_read(const uint8_t in[6]);

// @return a new cipher for mode 1, 2 or 3 with the 32-byte key; null when the
// mode is unknown or the contexts cannot be made. Free with ctfs_cipher_free.
ctfs_cipher* ctfs_cipher_new(int mode, const uint8_t key[32]);
// Replaces the key; both contexts restart with it. 0 or -1.
int ctfs_cipher_rekey(ctfs_cipher* c, const uint8_t key[32]);
// Accepts null.
void ctfs_cipher_free(ctfs_cipher* c);

// Encrypts the plain packet (6 + N bytes, at most CTFS_PLAIN_MAX) into the
// cipher's frame buffer behind the 6-byte frame head, which it fills.
// @return the frame length (6 + K), or 0 when the packet is too long or the
// cipher fails.
size_t ctfs_frame_seal(ctfs_cipher* c, const uint8_t* plain, size_t n);

// Reads a frame head: the ciphertext length (a 0 on the wire means 65536)
// and the CRC of the plain packet.
void ctfs_frame_head_read(const uint8_t in[6], uint32_t* k, uint32_t* crc);

// Decrypts the k ciphertext bytes that stand in c->frame, checks the CRC and
// the header, and copies the payload to payload_out (at most out_cap bytes).
// Rejects, without writing past any buffer: k larger than the frame buffer,
// plaintext longer than CTFS_PLAIN_MAX or shorter than a header, a header
// length that exceeds the decrypted bytes, a payload longer than out_cap, and
// a CRC mismatch. @return 0, or ERR_SCKREAD.
tfs_result ctfs_frame_open(ctfs_cipher* c, uint32_t k, uint32_t crc, ctfs_header* h,
                           uint8_t* payload_out, size_t out_cap);

// Pure decoder for a whole received frame (head + ciphertext) held in memory:
// copies the ciphertext into the cipher's frame buffer and opens it.
// @return 0 or ERR_SCKREAD (also when the frame is cut short).
tfs_result ctfs_frame_decode(ctfs_cipher* c, const uint8_t* frame, size_t n, ctfs_header* h,
                             uint8_t* payload_out, size_t out_cap);
