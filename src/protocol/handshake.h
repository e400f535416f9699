// handshake.h - the bytes that open a connection, before the first frame:
// the client's greeting, the server's key announcement and the key block.
//
// Encoding and decoding are pure functions over caller buffers (no I/O, no
// RSA): the client seals the encoded block with the server's key, the server
// decodes what its key opened. Shared by both ends and fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    TFS_GREETING_LEN = 4,
    TFS_SERVER_KEY_MAX = 512, // the announced key length is below this
    TFS_KEY_BLOCK = 256,      // the RSA block of a 2048-bit key
    TFS_SESSION_KEY = 32,
    TFS_HANDSHAKE_PAYLOAD = 2 + TFS_SESSION_KEY,
    TFS_HANDSHAKE_PLAIN = 6 + TFS_HANDSHAKE_PAYLOAD, // the packet inside the key block
};

// SOH, '0', '2', STX: the first bytes a client sends.
extern const uint8_t tfs_greeting[TFS_GREETING_LEN];

// True when the n bytes are exactly the greeting.
bool tfs_is_greeting(const uint8_t* p, size_t n);

// The "TFS_SESSION_HANDSHAKE" request: the cipher mode the client asks for
// and its 32 random bytes (the cipher's first key, later XORed with the
// server's answer).
struct tfs_handshake {
    uint8_t cipher_mode;
    uint8_t key[TFS_SESSION_KEY];
};

// Writes the plain packet (type 0, sequence 0, status 0, payload 34 bytes)
// into out. Cannot fail.
void tfs_handshake_encode(const tfs_handshake& h, uint8_t out[TFS_HANDSHAKE_PLAIN]);

// Reads the plain packet that a key block held. False, with *out untouched,
// unless len is exactly 40 and the header says payload 34, type 0 and
// sequence 0, and the key length byte is 32 (the status byte is not looked
// at). The cipher mode is handed on as it came; the caller decides.
bool tfs_handshake_decode(const uint8_t* plain, size_t len, tfs_handshake* out);
