// handshake_decode.cpp - the greeting checked and the key block's plain packet
// decoded without I/O: the server's side of handshake.h, in a file of its own
// so that the agent, which only sends and encodes, does not carry it.
#include "protocol/handshake.h"

#include "protocol/codes.h"
#include "protocol/wire.h"

#include <cstring>

bool tfs_is_greeting(const uint8_t* p, size_t n) {
    return n == TFS_GREETING_LEN && memcmp(p, tfs_greeting, TFS_GREETING_LEN) == 0;
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
