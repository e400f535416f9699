// peer_wire.h - the server's side of the wire for the tests' own peers (the
// scripted peer of the unit tests, the recording peer of the end-to-end
// tests): the tests' RSA key, the key exchange, and the encrypted,
// checksummed frames.
//
// It shares no code with the agent's protocol layer nor with tavni-server:
// the byte layouts are written out here again from the protocol's
// description (big-endian fields, a 6-byte packet header of length, type,
// sequence and status; frames of ciphertext length, CRC-32 of the plain
// packet and AES-256-CBC ciphertext under a zero IV), so that a fault in
// the agent's own encoding is not mirrored by its test peers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct evp_pkey_st; // OpenSSL's EVP_PKEY

namespace peer_wire {

enum {
    HEADER = 6,       // plain packet header
    FRAME_HEAD = 6,   // frame: ciphertext length (2), CRC-32 (4)
    KEY_BLOCK = 256,  // the client's RSA-OAEP block (a 2048-bit key)
    SESSION_KEY = 32, // AES-256
    GREETING_LEN = 4, // 0x01 '0' '2' 0x02
};

extern const uint8_t greeting[GREETING_LEN];

uint16_t get_be16(const uint8_t* p);
uint32_t get_be32(const uint8_t* p);
uint64_t get_be64(const uint8_t* p);
// Appends value as `bytes` big-endian bytes.
void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes);
void put_text8(std::vector<uint8_t>& out, const std::string& text);

struct header {
    uint16_t len;
    uint8_t type;
    uint16_t seq;
    uint8_t status;
};
header read_header(const uint8_t* p);
// A plain packet: header then payload (len is the payload's size).
std::vector<uint8_t> packet(uint8_t type, uint16_t seq, uint8_t status,
                            const std::vector<uint8_t>& payload);

// The tests' fixed key pair, read once per process (never null once read).
::evp_pkey_st* private_key();
// Its public half as a "PUBLIC KEY" PEM text.
const std::string& public_pem();

// Reads exactly n bytes, polling so that stop (may be null) ends the wait;
// false at the end of the stream, on an error or when stopped.
bool recv_exact(intptr_t sock, void* buf, size_t n, const std::atomic<bool>* stop);
bool send_all(intptr_t sock, const uint8_t* p, size_t n);

// One packet under AES-256-CBC with a zero IV and PKCS#7 padding; every
// packet is its own run. decrypt: false when the padding is wrong.
std::vector<uint8_t> encrypt(const uint8_t key[SESSION_KEY], const std::vector<uint8_t>& plain);
bool decrypt(const uint8_t key[SESSION_KEY], const uint8_t* data, size_t n,
             std::vector<uint8_t>* plain);
// The standard CRC-32 (zlib's), from a start value of 0.
uint32_t crc32_of(const uint8_t* p, size_t n);

// Sends plain as one frame; crc_xor flips bits of its CRC, and the frame goes
// out in `pieces` parts with delay_ms before each (a slow server).
bool send_frame(intptr_t sock, const uint8_t key[SESSION_KEY], const std::vector<uint8_t>& plain,
                uint32_t crc_xor = 0, int pieces = 1, uint32_t delay_ms = 0);

// One received frame, before it is opened.
struct frame_in {
    uint32_t k = 0; // ciphertext length (a 0 on the wire means 65536)
    uint32_t crc = 0;
    std::vector<uint8_t> cipher;
};
bool recv_frame(intptr_t sock, frame_in* f, const std::atomic<bool>* stop);
// Decrypts f and checks its CRC and its header's length: empty when the
// frame is sound (*plain is then the whole plain packet), else what is wrong.
std::string open_frame(const uint8_t key[SESSION_KEY], const frame_in& f,
                       std::vector<uint8_t>* plain);

// Key exchange, the server's side, after the greeting was read: sends the
// PEM's length and the PEM (as given: a test may pad or cut it).
bool send_key(intptr_t sock, const std::string& pem);
// Receives the client's 256-byte block and decrypts it with the private key
// (RSA-OAEP). false when the client went away; *plain is empty when the
// block does not decrypt.
bool recv_key_block(intptr_t sock, std::vector<uint8_t>* plain, const std::atomic<bool>* stop);

} // namespace peer_wire
