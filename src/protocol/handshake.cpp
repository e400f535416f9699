// handshake.cpp - the greeting and the key block's plain packet, encoded
// without I/O (the client's side; handshake_decode.cpp is the server's).
#include "protocol/handshake.h"

#include "protocol/codes.h"
#include "protocol/wire.h"

#include <cstring>

const uint8_t tfs_greeting[TFS_GREETING_LEN] = {0x01, 0x30, 0x32, 0x02};

void tfs_handshake_encode(const tfs_handshake& h, uint8_t out[TFS_HANDSHAKE_PLAIN]) {
    put_be16(out, TFS_HANDSHAKE_PAYLOAD);
    out[2] = TFS_SESSION_HANDSHAKE;
    put_be16(out + 3, 0); // sequence
    out[5] = 0;           // status
    out[6] = h.cipher_mode;
    out[7] = TFS_SESSION_KEY;
    memcpy(out + 8, h.key, TFS_SESSION_KEY);
}
