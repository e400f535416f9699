// Fuzz target: a received frame (head + ciphertext) through the frame
// decoder. The first input byte picks the cipher: even bytes the null cipher,
// so the fuzzer can reach the header checks with valid checksums; odd bytes
// AES-256-CBC with a fixed key.
#include "protocol/frame.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t key[32] = {7};
    static ctfs_cipher* aes = ctfs_cipher_new(CTFS_CIPHER_AES, key);
    static ctfs_cipher* none = ctfs_cipher_new(CTFS_CIPHER_NULL_1, key);
    static std::vector<uint8_t> out(CTFS_PLAIN_MAX - 6);
    if (size < 1) return 0;
    ctfs_cipher* c = (data[0] & 1) ? aes : none;
    ctfs_header h;
    ctfs_frame_decode(c, data + 1, size - 1, &h, out.data(), out.size());
    return 0;
}
