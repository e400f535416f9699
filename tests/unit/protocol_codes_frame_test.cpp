// Tests of the protocol's code tables and of the frame codec: sizes of
// sealed frames, round trips, and frames from a hostile peer.
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(ProtocolCodes, LookupsUseTheirTablesAndFallbacks) {
    EXPECT_STREQ(ctfs_msg_name(14), "TFS_UNKNOWN");
    EXPECT_STREQ(ctfs_msg_name(130), "TFS_UNKNOWN");
    EXPECT_STREQ(ctfs_msg_name(0x180), "TFS_SESSION_HANDSHAKE_RESPONSE");
    EXPECT_STREQ(ctfs_msg_name(149), "TFS_USER_LOCK_RESPONSE");
    EXPECT_STREQ(ctfs_msg_name(65), "TFS_SYNC_CONTROL");
    EXPECT_STREQ(ctfs_err_name(8), "ERR_UNKNOWN");
    EXPECT_STREQ(ctfs_err_text(8), "ERR_DESCRIPTION_UNKNOWN");
    EXPECT_STREQ(ctfs_err_text(22), "ERR_DESCRIPTION_UNKNOWN");
    EXPECT_STREQ(ctfs_err_text(10), "TFS packet max data length exceeded");
    EXPECT_STREQ(ctfs_err_text(0x1FE), "Error during socket read");
    EXPECT_STREQ(ctfs_err_name(255), "ERR_SCKWRITE");
    EXPECT_STREQ(ctfs_err_text(7), "To many open files");
    EXPECT_STREQ(ctfs_err_text(19), "To many open finds");
    EXPECT_STREQ(ctfs_err_text(2), "Not a Directory");
    EXPECT_STREQ(ctfs_err_text(14), "Directory not Empty");
    EXPECT_STREQ(ctfs_err_text(23), "Please contact support for assistance with your account");
    EXPECT_STREQ(ctfs_mgnt_name(24), "MGNT_A_USER_ACCESSIBLE_LIST_SET");
    EXPECT_STREQ(ctfs_mgnt_name(25), "MGNT_UNKNOWN");
    EXPECT_STREQ(ctfs_mgnt_name(-1), "MGNT_UNKNOWN");
    EXPECT_STREQ(ctfs_auth_mode_name(1), "AUTH_MODE_AGENT");
    EXPECT_STREQ(ctfs_auth_mode_name(2), "AUTH_MODE_UNKNOWN");
    EXPECT_STREQ(ctfs_auth_mode_name(0x101), "AUTH_MODE_UNKNOWN"); // whole integer counts
    EXPECT_STREQ(ctfs_acc_type_name(2), "ACC_TYPE_DEVELOPMENT");
    EXPECT_STREQ(ctfs_acc_type_name(3), "ACC_TYPE_UNKNOWN");
}

TEST(ProtocolFrame, CrcAndHeaderByteOrder) {
    EXPECT_EQ(ctfs_crc32("123456789", 9), 0xCBF43926u);
    uint8_t h[6];
    ctfs_header_write(h, ctfs_header{0x0102, 8, 0xA0B0, 254});
    const uint8_t want[6] = {0x01, 0x02, 8, 0xA0, 0xB0, 254};
    EXPECT_EQ(memcmp(h, want, 6), 0);
    ctfs_header back = ctfs_header_read(h);
    EXPECT_EQ(back.len, 0x0102);
    EXPECT_EQ(back.seq, 0xA0B0);
    uint32_t k, crc;
    const uint8_t zero_len[6] = {0, 0, 1, 2, 3, 4};
    ctfs_frame_head_read(zero_len, &k, &crc);
    EXPECT_EQ(k, 65536u);
    EXPECT_EQ(crc, 0x01020304u);
}

namespace {
const uint8_t kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct cipher_holder {
    ctfs_cipher* c;
    explicit cipher_holder(int mode) : c(ctfs_cipher_new(mode, kKey)) {}
    ~cipher_holder() { ctfs_cipher_free(c); }
};

std::vector<uint8_t> seal(ctfs_cipher* c, const std::vector<uint8_t>& plain) {
    size_t n = ctfs_frame_seal(c, plain.data(), plain.size());
    return std::vector<uint8_t>(c->frame, c->frame + n);
}

std::vector<uint8_t> packet(uint16_t len_field, size_t payload, uint8_t type = 136) {
    std::vector<uint8_t> p(6 + payload, 0x5A);
    ctfs_header_write(p.data(), ctfs_header{len_field, type, 0, 0});
    return p;
}
} // namespace

TEST(ProtocolFrame, SealedSizesFollowThePadding) {
    cipher_holder aes(CTFS_CIPHER_AES);
    ASSERT_NE(aes.c, nullptr);
    EXPECT_EQ(seal(aes.c, packet(0, 0)).size(), 22u); // empty payload: 16 bytes of ciphertext
    std::vector<uint8_t> f = seal(aes.c, packet(10, 10));
    EXPECT_EQ(get_be16(f.data()), 32u); // 16 plain bytes: a full padding block
    EXPECT_EQ(seal(aes.c, packet(CTFS_MAX_PAYLOAD, CTFS_MAX_PAYLOAD)).size(), 6u + 65520u);
    EXPECT_EQ(ctfs_frame_seal(aes.c, packet(0, CTFS_MAX_PAYLOAD + 1).data(), CTFS_PLAIN_MAX + 1),
              0u);
    cipher_holder none(CTFS_CIPHER_NULL_1);
    EXPECT_EQ(get_be16(seal(none.c, packet(10, 10)).data()), 16u); // null cipher: K = 6 + N
    EXPECT_EQ(ctfs_cipher_new(4, kKey), nullptr);
}

TEST(ProtocolFrame, RoundTripsAndPacketsStayIndependent) {
    cipher_holder aes(CTFS_CIPHER_AES);
    std::vector<uint8_t> out(CTFS_MAX_PAYLOAD);
    for (size_t n : {size_t(0), size_t(1), size_t(10), size_t(4000), size_t(CTFS_MAX_PAYLOAD)}) {
        std::vector<uint8_t> p = packet(static_cast<uint16_t>(n), n);
        for (size_t i = 0; i < n; i++)
            p[6 + i] = static_cast<uint8_t>(i * 7);
        // Twice: a CBC state carried over from the first packet would spoil the second.
        for (int round = 0; round < 2; round++) {
            std::vector<uint8_t> f = seal(aes.c, p);
            ctfs_header h{};
            ASSERT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size(), &h, out.data(), out.size()), 0)
                << n;
            EXPECT_EQ(h.len, n);
            EXPECT_EQ(h.type, 136);
            EXPECT_EQ(memcmp(out.data(), p.data() + 6, n), 0);
        }
    }
}

TEST(ProtocolFrame, HostileFramesAreReceiveFailures) {
    cipher_holder aes(CTFS_CIPHER_AES);
    std::vector<uint8_t> out(CTFS_MAX_PAYLOAD);
    ctfs_header h{};
    // CRC mismatch after a good decryption.
    std::vector<uint8_t> f = seal(aes.c, packet(4, 4));
    f[5] ^= 1;
    EXPECT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size(), &h, out.data(), out.size()),
              ERR_SCKREAD);
    // Header length beyond the decrypted bytes (CRC right).
    f = seal(aes.c, packet(200, 4));
    EXPECT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size(), &h, out.data(), out.size()),
              ERR_SCKREAD);
    // K beyond the frame buffer (0 on the wire means 65536).
    std::vector<uint8_t> big(6 + 65536, 0);
    EXPECT_EQ(ctfs_frame_decode(aes.c, big.data(), big.size(), &h, out.data(), out.size()),
              ERR_SCKREAD);
    EXPECT_EQ(ctfs_frame_open(aes.c, 65536, 0, &h, out.data(), out.size()), ERR_SCKREAD);
    // Frame cut short, and wrong padding.
    f = seal(aes.c, packet(4, 4));
    EXPECT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size() - 1, &h, out.data(), out.size()),
              ERR_SCKREAD);
    f[f.size() - 1] ^= 0x40;
    EXPECT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size(), &h, out.data(), out.size()),
              ERR_SCKREAD);
    // Plaintext longer than the session buffer: the null cipher lets a peer
    // send 65527 plain bytes with a valid CRC.
    cipher_holder none(CTFS_CIPHER_NULL_2);
    std::vector<uint8_t> huge = packet(100, CTFS_FRAME_BUF - 6);
    std::vector<uint8_t> frame(6);
    put_be16(frame.data(), static_cast<uint16_t>(huge.size()));
    put_be32(frame.data() + 2, ctfs_crc32(huge.data(), huge.size()));
    frame.insert(frame.end(), huge.begin(), huge.end());
    EXPECT_EQ(ctfs_frame_decode(none.c, frame.data(), frame.size(), &h, out.data(), out.size()),
              ERR_SCKREAD);
    // A payload larger than the caller's room.
    f = seal(aes.c, packet(40, 40));
    EXPECT_EQ(ctfs_frame_decode(aes.c, f.data(), f.size(), &h, out.data(), 39), ERR_SCKREAD);
}

TEST(ProtocolFrame, PacketFinishWritesTheHeaderInFront) {
    static ctfs_session s;
    ctfs_session_init(&s);
    s.buf[0] = 0xAA;
    s.buf[1] = 0xBB;
    s.len = 2;
    s.type = TFS_MKDIR;
    s.seq = 0x0102;
    s.status = 6;
    ctfs_packet_finish(&s);
    const uint8_t want[8] = {0, 2, 7, 1, 2, 6, 0xAA, 0xBB};
    EXPECT_EQ(memcmp(s.buf, want, 8), 0);
    EXPECT_EQ(s.socket, -1);
    EXPECT_STREQ(s.key_file, "temp_pem_file.pem");
    EXPECT_TRUE(s.first_failure);
}

TEST(ProtocolWire, ReaderAndWriterStopAtTheirEnds) {
    uint8_t buf[4];
    wire_writer w = wire_writer_over(buf, sizeof buf);
    wire_put_be16(&w, 0x1234);
    wire_put_be32(&w, 1); // does not fit
    EXPECT_TRUE(w.failed);
    EXPECT_EQ(w.pos, 2u);
    std::string long_text(256, 'x');
    w = wire_writer_over(buf, sizeof buf);
    wire_put_text8(&w, long_text.c_str(), long_text.size());
    EXPECT_TRUE(w.failed);
    const uint8_t in[] = {5, 'a', 'b'};
    wire_reader r = wire_reader_over(in, sizeof in);
    char field[8] = "zzzzzzz";
    wire_get_text8_into(&r, field, sizeof field);
    EXPECT_TRUE(r.failed);
    EXPECT_STREQ(field, "");
    const uint8_t in2[] = {5, 'a', 'b', 'c', 'd', 'e'};
    r = wire_reader_over(in2, sizeof in2);
    char small[4];
    wire_get_text8_into(&r, small, sizeof small);
    EXPECT_FALSE(r.failed);
    EXPECT_STREQ(small, "abc"); // cut to the field less one byte
}
