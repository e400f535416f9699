// Stored blocks decoded: the digest check, decryption, exact inflation and
// the MD5, each refusing what it must.
#include "keys/block_codec.h"

#include "support/block_maker.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<uint8_t> sample(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + i / 13);
    return v;
}

TEST(BlockCodec, DecodesWhatAnAgentStoresAndRefusesEachKindOfFault) {
    const std::vector<uint8_t> plain = sample(70000);
    const std::vector<uint8_t> stored = make_stored_block(kKey, plain);
    uint8_t md5[16], digest[32];
    block_md5(plain, md5);
    block_sha256(stored, digest);
    std::vector<uint8_t> scratch, out;

    EXPECT_TRUE(block_stored_ok(stored.data(), stored.size(), digest));
    ASSERT_EQ(block_decode(kKey, stored.data(), stored.size(), plain.size(), md5, &scratch, &out),
              BLOCK_DECODE_OK);
    EXPECT_EQ(out, plain);
    // Without an MD5 (a one-block file) the size alone is checked.
    EXPECT_EQ(block_decode(kKey, stored.data(), stored.size(), plain.size(), nullptr, &scratch,
                           &out),
              BLOCK_DECODE_OK);

    // A stream one byte longer or shorter than the block must be.
    EXPECT_EQ(block_decode(kKey, stored.data(), stored.size(), plain.size() - 1, nullptr,
                           &scratch, &out),
              BLOCK_DECODE_INFLATE);
    EXPECT_EQ(block_decode(kKey, stored.data(), stored.size(), plain.size() + 1, nullptr,
                           &scratch, &out),
              BLOCK_DECODE_INFLATE);
    uint8_t other_md5[16];
    memcpy(other_md5, md5, 16);
    other_md5[5] ^= 1;
    EXPECT_EQ(block_decode(kKey, stored.data(), stored.size(), plain.size(), other_md5, &scratch,
                           &out),
              BLOCK_DECODE_MD5);
    // Another key: the padding (or, rarely, the stream) gives it away.
    uint8_t wrong[32];
    memcpy(wrong, kKey, 32);
    wrong[0] ^= 0x80;
    EXPECT_NE(block_decode(wrong, stored.data(), stored.size(), plain.size(), md5, &scratch, &out),
              BLOCK_DECODE_OK);
    EXPECT_NE(std::string(block_decode_text(BLOCK_DECODE_DECRYPT)).find("wrong account key"),
              std::string::npos);
}

TEST(BlockCodec, StoredBytesMustBeWholeCipherBlocksWithTheirDigest) {
    const std::vector<uint8_t> stored = make_stored_block(kKey, sample(100));
    uint8_t digest[32];
    block_sha256(stored, digest);
    std::vector<uint8_t> flipped = stored;
    flipped[3] ^= 1;
    EXPECT_FALSE(block_stored_ok(flipped.data(), flipped.size(), digest));
    EXPECT_FALSE(block_stored_ok(stored.data(), stored.size() - 1, digest));
    EXPECT_FALSE(block_stored_ok(stored.data(), 0, digest));
    std::vector<uint8_t> scratch, out;
    EXPECT_EQ(block_decode(kKey, stored.data(), stored.size() - 3, 100, nullptr, &scratch, &out),
              BLOCK_DECODE_DECRYPT);
}

TEST(BlockCodec, AllZeroNeedsEveryByteZero) {
    std::vector<uint8_t> z(4096, 0);
    EXPECT_TRUE(block_all_zero(z.data(), z.size()));
    z[4095] = 1;
    EXPECT_FALSE(block_all_zero(z.data(), z.size()));
    EXPECT_FALSE(block_all_zero(z.data(), 0));
}

} // namespace
