// Tests of the bytes that open a connection: the greeting and the key
// block's plain packet, encoded and decoded, whole, cut and bent.
#include "protocol/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

tfs_handshake sample(uint8_t mode) {
    tfs_handshake h;
    h.cipher_mode = mode;
    for (int i = 0; i < TFS_SESSION_KEY; i++)
        h.key[i] = static_cast<uint8_t>(0xA0 + i);
    return h;
}

std::vector<uint8_t> encoded(const tfs_handshake& h) {
    std::vector<uint8_t> b(TFS_HANDSHAKE_PLAIN);
    tfs_handshake_encode(h, b.data());
    return b;
}

} // namespace

TEST(ProtocolHandshake, GreetingIsExactlyItsFourBytes) {
    const uint8_t wire[4] = {0x01, '0', '2', 0x02};
    EXPECT_EQ(memcmp(tfs_greeting, wire, 4), 0);
    EXPECT_TRUE(tfs_is_greeting(wire, 4));
    const uint8_t http[4] = {'G', 'E', 'T', ' '};
    EXPECT_FALSE(tfs_is_greeting(http, 4));
    const uint8_t longer[5] = {0x01, '0', '2', 0x02, 0x00};
    EXPECT_FALSE(tfs_is_greeting(longer, 5));
    EXPECT_FALSE(tfs_is_greeting(wire, 3));
}

TEST(ProtocolHandshake, EncodesTheFortyBytePacketAndDecodesItBack) {
    std::vector<uint8_t> b = encoded(sample(3));
    const uint8_t head[8] = {0x00, 0x22, 0x00, 0x00, 0x00, 0x00, 0x03, 0x20};
    EXPECT_EQ(memcmp(b.data(), head, 8), 0);
    EXPECT_EQ(b[8], 0xA0);
    EXPECT_EQ(b[39], 0xA0 + 31);

    for (uint8_t mode : {1, 2, 3, 0, 0xFF}) { // the mode is the caller's to judge
        tfs_handshake in = sample(mode), out;
        memset(&out, 0x55, sizeof out);
        std::vector<uint8_t> e = encoded(in);
        ASSERT_TRUE(tfs_handshake_decode(e.data(), e.size(), &out));
        EXPECT_EQ(out.cipher_mode, mode);
        EXPECT_EQ(memcmp(out.key, in.key, TFS_SESSION_KEY), 0);
    }
}

TEST(ProtocolHandshake, RefusesCutLongAndBentBlocksWithoutTouchingTheResult) {
    const std::vector<uint8_t> good = encoded(sample(3));
    auto refused = [](const std::vector<uint8_t>& b, size_t len) {
        tfs_handshake out;
        memset(&out, 0x55, sizeof out);
        bool ok = tfs_handshake_decode(b.data(), len, &out);
        bool untouched = out.cipher_mode == 0x55 && out.key[0] == 0x55 && out.key[31] == 0x55;
        return !ok && untouched;
    };
    EXPECT_TRUE(refused(good, 0));
    EXPECT_TRUE(refused(good, 6));
    EXPECT_TRUE(refused(good, TFS_HANDSHAKE_PLAIN - 1));
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer, longer.size()));
    tfs_handshake out;
    EXPECT_FALSE(tfs_handshake_decode(nullptr, TFS_HANDSHAKE_PLAIN, &out));

    struct bend {
        size_t at;
        uint8_t value;
    };
    // The payload length, the type, either sequence byte, the key length.
    for (bend b : {bend{0, 0x01}, bend{1, 0x21}, bend{1, 0x23}, bend{2, 0x01}, bend{2, 0x80},
                   bend{3, 0x01}, bend{4, 0x01}, bend{7, 0x1F}, bend{7, 0x21}, bend{7, 0x00}}) {
        std::vector<uint8_t> bad = good;
        bad[b.at] = b.value;
        EXPECT_TRUE(refused(bad, bad.size())) << "byte " << b.at << " = " << int(b.value);
    }
    // The status byte is not looked at.
    std::vector<uint8_t> status = good;
    status[5] = 0x7F;
    EXPECT_TRUE(tfs_handshake_decode(status.data(), status.size(), &out));
}
