// trace_test.cpp - the request trace of serve --trace: the fields a line
// keeps and leaves out, peer text that cannot break a line, refused
// requests, and a served session traced request by request.
#include "server_fixture.h"
#include "test_client.h"

#include "common/text.h"
#include "protocol/codes.h"
#include "tools/server/trace.h"
#include "tools/server/wire.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::string sha256_hex(const void* p, size_t n) {
    uint8_t md[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const uint8_t*>(p), n, md);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    return hex_encode(md, sizeof md, hex);
}

std::string traced(uint8_t type, uint16_t seq, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> plain;
    srv_build_packet(type, seq, 0, payload, &plain);
    srv_request rq;
    uint8_t rc = srv_decode_request(plain.data(), plain.size(), &rq);
    return srv_trace_line(3, rq, rc);
}

void put_text16(std::vector<uint8_t>* b, const std::string& s) {
    srv_put_text16(b, s);
}

} // namespace

TEST(ServerTrace, LinesKeepTheClientsFieldsAndNothingOfTheSession) {
    // A data write: handle, type, length and the payload's digest.
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 31);
    std::vector<uint8_t> w = {4, TFS_WRITE_DATA | TFS_WRITE_NO_ANSWER, 0x01, 0x2c};
    w.insert(w.end(), data.begin(), data.end());
    EXPECT_EQ(traced(TFS_FILE_WRITE, 9, w), "c3 seq=9 write(12) handle=4 wtype=8 len=300 sha256=" +
                                                sha256_hex(data.data(), data.size()));
    // An empty offer still has a digest (of nothing), so lines compare alike.
    EXPECT_EQ(traced(TFS_FILE_WRITE, 1, {2, TFS_WRITE_OFFER, 0, 0}),
              "c3 seq=1 write(12) handle=2 wtype=1 len=0 sha256=" + sha256_hex("", 0));

    // A log-in: user, host, job and schedule, never the key digest.
    std::vector<uint8_t> a = {AUTH_MODE_AGENT, 0, 0, 0, 7};
    a.insert(a.end(), 20, 0xAB); // key digest
    a.insert(a.end(), 20, 0x11); // host id
    srv_put_u32(&a, 1);
    put_text16(&a, "nightly");
    put_text16(&a, "job.tbs");
    std::string line = traced(TFS_SESSION_AUTH, 1, a);
    EXPECT_EQ(line, "c3 seq=1 auth(1) mode=1 user=7 host=" + std::string(40, '1') +
                        " fci=1 job=nightly schedule=job.tbs");
    EXPECT_EQ(line.find("ABAB"), std::string::npos);

    // A release with its stamp: the stamp's presence, not its time.
    line = traced(TFS_USER_LOCK, 5, {TFS_LOCK_RELEASE | TFS_LOCK_STAMP, 0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(line, "c3 seq=5 lock(21) flags=0x05 stamp");
    EXPECT_EQ(traced(TFS_USER_LOCK, 2, {TFS_LOCK_FCI, 0, 2, 0, 0, 0, 1, 0, 0, 0, 9}),
              "c3 seq=2 lock(21) flags=0x02 dest=1 dest=9");

    // An open: the file's own time and size, and the security record's digest.
    std::vector<uint8_t> o = {1};
    srv_put_u32(&o, 1700000000);
    put_text16(&o, "/1/Today/a.txt");
    srv_put_u64(&o, 5 * 1048576 + 7);
    put_text16(&o, "sec");
    EXPECT_EQ(traced(TFS_FILE_WOPEN, 4, o),
              "c3 seq=4 wopen(17) mode=1 mtime=1700000000 size=5242887 path=/1/Today/a.txt "
              "security_len=3 security_sha256=" +
                  sha256_hex("sec", 3));

    // A mail part: its times and durations would differ between runs.
    std::vector<uint8_t> m = {0};
    srv_put_u64(&m, 77);
    m.push_back(1);
    srv_put_text8(&m, "ops@example.com");
    srv_put_u32(&m, 5);
    srv_put_u16(&m, 5);
    m.insert(m.end(), {'1', '2', ':', '0', '0'});
    EXPECT_EQ(traced(TFS_EMAIL, 6, m),
              "c3 seq=6 email(10) marker=0 schedule_id=77 to=ops@example.com");
}

TEST(ServerTrace, PeerTextNeverBreaksALineAndRefusalsCarryNoFields) {
    // Line ends, blanks, '%', '=' and bytes above 0x7e come out as %XX.
    std::vector<uint8_t> p = {1};
    put_text16(&p, std::string("a b\n%c=\xff\r", 9));
    std::string line = traced(TFS_MKDIR, 2, p);
    EXPECT_EQ(line, "c3 seq=2 mkdir(7) kind=1 path=a%20b%0A%25c=%FF%0D");
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    std::vector<uint8_t> nul = {1};
    put_text16(&nul, std::string("x\0y", 3));
    EXPECT_EQ(traced(TFS_DELETE, 2, nul), "c3 seq=2 delete(6) kind=1 path=x%00y");

    // A write whose length runs past the packet: only what was readable.
    EXPECT_EQ(traced(TFS_FILE_WRITE, 8, {1, 8, 0, 20, 1, 2}),
              "c3 seq=8 write(12) refused=" + std::to_string(ERR_INVARG));
    // A type nothing decodes, and a packet shorter than its header.
    EXPECT_EQ(traced(100, 1, {1, 2, 3}), "c3 seq=1 type(100) refused=" + std::to_string(ERR_INVARG));
    srv_request rq;
    const uint8_t short_packet[3] = {0, 0, TFS_FILE_CLOSE};
    uint8_t rc = srv_decode_request(short_packet, sizeof short_packet, &rq);
    EXPECT_EQ(srv_trace_line(1, rq, rc), "c1 seq=0 type(0) refused=" + std::to_string(ERR_INVARG));
}

namespace {

struct ServerTraceTest : server_fixture {
    std::mutex mu;
    std::vector<std::string> lines;

    static void collect(void* ctx, const char* line) {
        auto* t = static_cast<ServerTraceTest*>(ctx);
        std::lock_guard<std::mutex> g(t->mu);
        t->lines.push_back(line);
    }
    void SetUp() override {
        cfg.trace = collect;
        cfg.trace_ctx = this;
        server_fixture::SetUp();
    }
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> g(mu);
        return lines;
    }
};

} // namespace

TEST_F(ServerTraceTest, EveryRequestOfASessionIsTracedInItsOrder) {
    tc_conn c;
    session(&c, host1);
    ASSERT_EQ(tc_mkdir(&c, "/1/Today"), 0);
    std::string data = make_data(70000, 5); // one block, two data writes
    tc_send_stats sent = tc_send_file(&c, "/1/Today/f.bin", data, 1234, key);
    ASSERT_EQ(sent.result, 0);
    sync(&c); // the close is traced before the listing that follows it
    std::vector<std::string> got = taken();
    ASSERT_GE(got.size(), 9u);
    EXPECT_EQ(got[0].rfind("c1 seq=", 0), 0u);
    EXPECT_NE(got[0].find(" auth(1) mode=1 user=7 host="), std::string::npos);
    EXPECT_NE(got[1].find(" lock(21) flags=0x00 dest=1"), std::string::npos);
    EXPECT_NE(got[2].find(" mkdir(7) kind="), std::string::npos);
    EXPECT_NE(got[3].find(" wopen(17) mode="), std::string::npos);
    EXPECT_NE(got[3].find(" mtime=1234 size=70000 path=/1/Today/f.bin"), std::string::npos);
    // The payload bytes of the block's writes, in order, are the encoded block.
    std::vector<uint8_t> block =
        tc_encode_block(key, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    size_t first = 0;
    while (first < got.size() && got[first].find(" wtype=8 ") == std::string::npos)
        first++;
    ASSERT_LT(first, got.size());
    size_t cut = std::min<size_t>(block.size(), 65466);
    EXPECT_NE(
        got[first].find(" len=" + std::to_string(cut) + " sha256=" + sha256_hex(block.data(), cut)),
        std::string::npos)
        << got[first];
    EXPECT_NE(got[got.size() - 2].find(" close(13) handle="), std::string::npos);
    EXPECT_NE(got.back().find(" find(8) "), std::string::npos);
}
