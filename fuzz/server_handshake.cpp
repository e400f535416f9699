// Fuzz target: the plain packet that the server's key opened from a client's
// key block, through the server's decoder; a decoded block must encode back
// to the same bytes.
#include "protocol/handshake.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tfs_handshake h;
    if (!tfs_handshake_decode(data, size, &h)) return 0;
    uint8_t again[TFS_HANDSHAKE_PLAIN];
    tfs_handshake_encode(h, again);
    // The status byte (5) is not looked at by the decoder.
    if (memcmp(again, data, 5) != 0 || memcmp(again + 6, data + 6, size - 6) != 0) abort();
    return 0;
}
