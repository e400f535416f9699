// handshake.cpp - the greeting and the key block's plain packet, encoded and
// decoded without I/O.
#include "protocol/handshake.h"

#include "protocol/codes.h"
#include "protocol/wire.h"

#include <cstring>

const uint8_t tfs_greeting[TFS_GREETING_LEN] = {0x01, 0x30, 0x32, 0x02};

bool tfs_is_greeting(const uint8_t* p, size_t n) {
    return n == TFS_GREETING_LEN && memcmp(p, tfs_greeting, TFS_GREETING_LEN) == 0;
}

void tfs_handshake_encode(const tfs_handshake& h, uint8_t out[TFS_HANDSHAKE_PLAIN]) {
    put_be16(out, TFS_HANDSHAKE_PAYLOAD);
    out[2] = TFS_SESSION_HANDSHAKE;
    put_be16(out + 3, 0); // sequence
    out[5] = 0;           // status
    out[6] = h.cipher_mode;
    out[7] = TFS_SESSION_KEY;
    memcpy(out + 8, h.key, TFS_SESSION_KEY);
}

bool tfs_handshake_decode(const uint8_t* plain, size_t len, tfs_handshake* out) {
    if (!plain || len != TFS_HANDSHAKE_PLAIN) return false;
    if (get_be16(plain) != TFS_HANDSHAKE_PAYLOAD || plain[2] != TFS_SESSION_HANDSHAKE ||
        get_be16(plain + 3) != 0 || plain[7] != TFS_SESSION_KEY)
        return false;
    out->cipher_mode = plain[6];
    memcpy(out->key, plain + 8, TFS_SESSION_KEY);
    return true;
}
