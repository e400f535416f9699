// read_test.cpp - runs and the control tool's read requests against a served
// store: what a job leaves as a run, folders of a run with what became of
// their entries, a version's blocks and their stored bytes through the
// protocol library's client, the refusals, and that the account key never
// reaches the server.
#include "server_fixture.h"
#include "test_client.h"

#include "protocol/codes.h"
#include "protocol/read_client.h"
#include "protocol/read_wire.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "tools/server/server.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Every request packet the server opened, in one stream.
struct capture {
    std::mutex mu;
    std::string bytes;
    static void take(void* ctx, const uint8_t* p, size_t n) {
        capture* c = static_cast<capture*>(ctx);
        std::lock_guard<std::mutex> g(c->mu);
        c->bytes.append(reinterpret_cast<const char*>(p), n);
    }
    bool holds(const void* p, size_t n) {
        std::lock_guard<std::mutex> g(mu);
        return bytes.find(std::string(static_cast<const char*>(p), n)) != std::string::npos;
    }
};

struct ReadTest : server_fixture {
    capture seen;
    ctfs_session* rs = nullptr;

    void SetUp() override {
        cfg.received = capture::take;
        cfg.received_ctx = &seen;
        server_fixture::SetUp();
        ASSERT_EQ(ctfs_init(), 0);
        rs = new ctfs_session();
    }
    void TearDown() override {
        if (rs) ctfs_session_close(rs);
        delete rs;
        server_fixture::TearDown();
    }

    // One job of user 7 from host1: lock, files (with mtime), deletes,
    // release with a stamp. Returns once the release was answered as
    // release_rc says (a stamp refused: ERR_SERVER).
    void job(const std::vector<std::pair<std::string, std::string>>& files,
             const std::vector<std::string>& deletes = {}, uint32_t mtime = 1000,
             uint8_t release_rc = 0) {
        tc_conn c;
        ASSERT_TRUE(tc_connect(&c, port));
        ASSERT_EQ(tc_login(&c, 7, digest, host1, "daily"), 0);
        ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
        for (const auto& f : files) {
            const uint8_t rc = tc_send_file(&c, f.first, f.second, mtime, key).result;
            ASSERT_TRUE(rc == 0 || rc == ERR_UP2DATE) << f.first << ": " << int(rc);
        }
        for (const std::string& d : deletes)
            ASSERT_EQ(tc_delete(&c, 0, d), 0) << d;
        ASSERT_EQ(tc_release(&c, static_cast<uint32_t>(time(nullptr))), release_rc);
    }

    // Until the catalog's clock has moved past every time stored so far, so
    // that the next job's changes fall after the last run's end.
    static void next_second() {
        const time_t t0 = time(nullptr);
        while (time(nullptr) <= t0)
            plat_sleep_ms(20);
    }

    void log_in(uint32_t user = 7, const uint8_t* d = nullptr) {
        ASSERT_EQ(read_connect(rs, "127.0.0.1", port, user, d ? d : digest, host2), 0);
    }

    std::string listing(const read_folder_query& q) {
        read_folder_page page;
        tfs_result rc = read_list_folder(rs, q, &page);
        if (rc != 0) return "rc " + std::to_string(rc);
        std::string s;
        for (const read_entry& e : page.entries) {
            s += e.name;
            if (e.flags & READ_ENTRY_FOLDER) s += "/";
            if (e.flags & READ_ENTRY_GONE) s += "(g)";
            if (e.flags & READ_ENTRY_DELETED_LATER) s += "(d)";
            s += " ";
        }
        return s;
    }
};

std::string sha256_hex(const std::vector<uint8_t>& b) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(b.data(), b.size(), md, &n, EVP_sha256(), nullptr);
    return hex_lower(md, n);
}

TEST_F(ReadTest, RunsTheirTreesAndTheirBlocksThroughTheClient) {
    const std::string big = make_data(2 * (1 << 20) + 777, 3); // three blocks
    job({{"1/docs/a.txt", "first a"}, {"1/docs/big.bin", big}});
    next_second();
    std::string big2 = big;
    big2[5] ^= 1;
    job({{"1/docs/big.bin", big2}}, {}, 2000);
    job({{"1/docs/a.txt", "first a"}}, {"1/docs/a.txt"}); // one run of the same second

    log_in();
    std::vector<read_run> runs;
    ASSERT_EQ(read_all_runs(rs, &runs), 0);
    ASSERT_EQ(runs.size(), 3u);
    const read_run& third = runs[0];
    const read_run& second = runs[1];
    const read_run& first = runs[2];
    EXPECT_GT(second.id, first.id);
    EXPECT_TRUE(first.vouched);
    EXPECT_TRUE(second.vouched);
    EXPECT_NE(first.ended, 0);
    EXPECT_EQ(first.destination, 1u);
    EXPECT_EQ(first.schedule, "daily");
    EXPECT_EQ(memcmp(first.host, host1, 20), 0);
    EXPECT_EQ(first.files_sent, 2u);
    EXPECT_GT(first.bytes_sent, 0u);
    EXPECT_EQ(second.files_sent, 1u);
    EXPECT_EQ(third.files_sent, 0u);
    EXPECT_EQ(third.files_skipped, 1u); // a.txt, up to date before its delete
    EXPECT_EQ(third.deleted, 1u);

    // The first run's tree still has a.txt, deleted in the second.
    read_folder_query q;
    q.run = first.id;
    q.path = "/1/docs";
    EXPECT_EQ(listing(q), "a.txt(d) big.bin ");
    q.run = third.id;
    EXPECT_EQ(listing(q), "big.bin ");
    q.flags = READ_FOLDER_HISTORY;
    EXPECT_EQ(listing(q), "a.txt(g) big.bin ");
    q = read_folder_query();
    q.at = first.ended;
    q.path = "1/docs";
    EXPECT_EQ(listing(q), "a.txt(d) big.bin ");
    q.limit = 1;
    read_folder_page page;
    ASSERT_EQ(read_list_folder(rs, q, &page), 0);
    ASSERT_EQ(page.entries.size(), 1u);
    EXPECT_TRUE(page.more);
    EXPECT_EQ(page.at, first.ended);
    q.after = page.entries[0].name;
    ASSERT_EQ(read_list_folder(rs, q, &page), 0);
    ASSERT_EQ(page.entries.size(), 1u);
    EXPECT_EQ(page.entries[0].name, "big.bin");
    EXPECT_FALSE(page.more);

    // The first run's big.bin: its blocks, and their stored bytes, which are
    // the agent's chain of each piece under the account key.
    read_blocks_page v;
    ASSERT_EQ(read_block_list(rs, first.id, 0, "1/docs/big.bin", &v), 0);
    EXPECT_EQ(v.size, big.size());
    EXPECT_EQ(v.total, 3u);
    ASSERT_EQ(v.blocks.size(), 3u);
    EXPECT_EQ(v.blocks[2].plain, 777u);
    std::vector<uint8_t> stored;
    for (uint32_t i = 0; i < v.total; i++) {
        const read_block_ref& b = v.blocks[i];
        ASSERT_EQ(read_block(rs, b.digest, READ_BLOCK_MAX, &stored), 0);
        EXPECT_EQ(stored.size(), b.stored);
        EXPECT_EQ(sha256_hex(stored), hex_lower(b.digest, 32));
        const size_t from = static_cast<size_t>(i) << 20;
        EXPECT_EQ(stored, tc_encode_block(key, reinterpret_cast<const uint8_t*>(big.data()) + from,
                                          b.plain));
    }
    read_blocks_page now;
    ASSERT_EQ(read_block_list(rs, 0, 0, "1/docs/big.bin", &now), 0);
    EXPECT_NE(now.version, v.version);
    EXPECT_NE(memcmp(now.blocks[0].digest, v.blocks[0].digest, 32), 0);
    EXPECT_EQ(memcmp(now.blocks[1].digest, v.blocks[1].digest, 32), 0);

    // Nothing this session sent carries the account key: only its digest.
    EXPECT_TRUE(seen.holds(digest, sizeof digest));
    EXPECT_FALSE(seen.holds(key, sizeof key));
    EXPECT_FALSE(seen.holds(hex_lower(key, sizeof key).data(), 64));
}

TEST_F(ReadTest, EveryReadIsRefusedBeforeALogInAndForAnotherUser) {
    job({{"1/secret.txt", "bob's"}});
    log_in();
    std::vector<read_run> bobs;
    ASSERT_EQ(read_all_runs(rs, &bobs), 0);
    ASSERT_EQ(bobs.size(), 1u);
    read_blocks_page v;
    ASSERT_EQ(read_block_list(rs, 0, 0, "1/secret.txt", &v), 0);
    ctfs_session_close(rs);

    // Before a log-in: refused, malformed or not, and the connection goes on.
    tc_conn c;
    ASSERT_TRUE(tc_connect(&c, port));
    uint8_t buf[CTFS_MAX_PAYLOAD];
    read_block_query bq;
    memcpy(bq.digest, v.blocks[0].digest, 32);
    const size_t bn = read_encode_block_query(bq, buf, sizeof buf);
    tc_reply r;
    EXPECT_EQ(tc_transact(&c, TFS_READ_BLOCK, std::vector<uint8_t>(buf, buf + bn), &r), ERR_ACCESS);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(tc_transact(&c, TFS_READ_RUNS, {0, 1}, &r), ERR_ACCESS);
    read_folder_query fq;
    const size_t fn = read_encode_folder_query(fq, buf, sizeof buf);
    EXPECT_EQ(tc_transact(&c, TFS_READ_FOLDER, std::vector<uint8_t>(buf, buf + fn), &r),
              ERR_ACCESS);
    read_blocks_query vq;
    vq.path = "1/secret.txt";
    const size_t vn = read_encode_blocks_query(vq, buf, sizeof buf);
    EXPECT_EQ(tc_transact(&c, TFS_READ_BLOCKS, std::vector<uint8_t>(buf, buf + vn), &r),
              ERR_ACCESS);

    // Another user: bob's runs, block and run id mean nothing to eve.
    uint8_t eve_key[32], eve_digest[20];
    memset(eve_key, 0xee, sizeof eve_key);
    tc_sha1(eve_key, 32, eve_digest);
    ASSERT_EQ(srv_cmd_user_add(st, 8, "eve", "elsewhere", eve_digest), 0);
    log_in(8, eve_digest);
    std::vector<read_run> eves;
    ASSERT_EQ(read_all_runs(rs, &eves), 0);
    EXPECT_TRUE(eves.empty());
    std::vector<uint8_t> stolen;
    EXPECT_EQ(read_block(rs, v.blocks[0].digest, READ_BLOCK_MAX, &stolen), ERR_READ_NO_BLOCK);
    EXPECT_TRUE(stolen.empty());
    read_folder_query q;
    q.run = bobs[0].id;
    EXPECT_EQ(listing(q), "rc " + std::to_string(ERR_READ_NO_RUN));
    read_blocks_page none;
    EXPECT_EQ(read_block_list(rs, bobs[0].id, 0, "1/secret.txt", &none), ERR_READ_NO_RUN);
    EXPECT_EQ(read_block_list(rs, 0, 0, "1/secret.txt", &none), ERR_BADPATH);
    q = read_folder_query();
    EXPECT_EQ(listing(q), ""); // eve's own root, empty
    ctfs_session_close(rs);

    // A wrong key gets no session at all.
    uint8_t wrong[20];
    memset(wrong, 1, sizeof wrong);
    EXPECT_EQ(read_connect(rs, "127.0.0.1", port, 7, wrong, host2), ERR_AUTH_FAILURE);
}

TEST_F(ReadTest, PagesPiecesAndCursorsAreBounded) {
    // One block of noise, in more pieces than the client asks for ahead of
    // their answers.
    std::mt19937 rng(5);
    std::string data(1040000, '\0');
    for (char& ch : data) ch = static_cast<char>(rng());
    job({{"1/f.bin", data}});
    log_in();
    read_blocks_page v;
    ASSERT_EQ(read_block_list(rs, 0, 0, "1/f.bin", &v), 0);
    ASSERT_EQ(v.blocks.size(), 1u);
    ASSERT_GT(v.blocks[0].stored, 12u * READ_CHUNK_MAX);

    // Oversized pages and pieces, past the end, not a cursor, no such run.
    read_runs_page runs;
    read_runs_query rq;
    rq.limit = READ_RUNS_PAGE_MAX + 1;
    EXPECT_EQ(read_list_runs(rs, rq, &runs), ERR_DATAMAX);
    read_block_query bq;
    memcpy(bq.digest, v.blocks[0].digest, 32);
    bq.length = READ_CHUNK_MAX + 1;
    read_chunk chunk;
    EXPECT_EQ(read_block_chunk(rs, bq, &chunk), ERR_DATAMAX);
    bq.length = 100;
    bq.offset = v.blocks[0].stored + 1;
    EXPECT_EQ(read_block_chunk(rs, bq, &chunk), ERR_READ_BAD_CURSOR);
    bq.offset = v.blocks[0].stored;
    ASSERT_EQ(read_block_chunk(rs, bq, &chunk), 0);
    EXPECT_EQ(chunk.length, 0u);
    read_folder_query fq;
    fq.after = "a/b";
    EXPECT_EQ(listing(fq), "rc " + std::to_string(ERR_READ_BAD_CURSOR));
    fq.after.clear();
    fq.path = "../1";
    EXPECT_EQ(listing(fq), "rc " + std::to_string(ERR_INVARG));
    fq.path = "1/f.bin";
    EXPECT_EQ(listing(fq), "rc " + std::to_string(ERR_NOTDIR));
    fq.path = "1";
    fq.run = 999999;
    EXPECT_EQ(listing(fq), "rc " + std::to_string(ERR_READ_NO_RUN));
    read_blocks_page none;
    EXPECT_EQ(read_block_list(rs, 0, 0, "1", &none), ERR_NOTFILE);
    read_blocks_query past;
    past.path = "1/f.bin";
    past.first = 2;
    EXPECT_EQ(read_block_list_page(rs, past, &none), ERR_READ_BAD_CURSOR);

    // A flood of piece reads, hopping between offsets: each is answered
    // with at most one piece, from one block held per connection.
    bq.length = 16;
    for (int i = 0; i < 2000; i++) {
        bq.offset = static_cast<uint64_t>(i * 7919) % v.blocks[0].stored;
        ASSERT_EQ(read_block_chunk(rs, bq, &chunk), 0) << i;
        ASSERT_LE(chunk.length, 16u);
    }
    std::vector<uint8_t> whole;
    ASSERT_EQ(read_block(rs, v.blocks[0].digest, READ_BLOCK_MAX, &whole), 0);
    EXPECT_EQ(whole, tc_encode_block(key, reinterpret_cast<const uint8_t*>(data.data()),
                                     data.size()));
    EXPECT_EQ(read_block(rs, v.blocks[0].digest, 10, &whole), ERR_DATAMAX);
}

TEST_F(ReadTest, AJobKilledMidwayLeavesARunThatDidNotEnd) {
    {
        tc_conn c;
        ASSERT_TRUE(tc_connect(&c, port));
        ASSERT_EQ(tc_login(&c, 7, digest, host1, "daily"), 0);
        ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
        ASSERT_EQ(tc_send_file(&c, "1/kept.txt", "kept", 1000, key).result, 0);
        sync(&c);
        // The job takes its lock again (it announces its index): one run.
        ASSERT_EQ(tc_lock(&c, 0x0a, {1}), 0);
        srv_abandon(srv); // as a killed server: no release ever comes
        srv = nullptr;
    }
    srv_store_close(st);
    st = nullptr;
    open_and_start();
    next_second(); // the next job's files fall after the killed run's tree
    // Its stamp is refused: the killed job's closes were never all seen.
    job({{"1/next.txt", "next"}}, {}, 1000, ERR_SERVER);

    log_in();
    std::vector<read_run> runs;
    ASSERT_EQ(read_all_runs(rs, &runs), 0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_NE(runs[0].ended, 0);
    EXPECT_EQ(runs[1].ended, 0);
    EXPECT_FALSE(runs[1].vouched);
    // The killed run's tree: what it committed, as the next run found it.
    read_folder_query q;
    q.run = runs[1].id;
    q.path = "1";
    EXPECT_EQ(listing(q), "kept.txt ");
}

TEST_F(ReadTest, AReleaseWithoutAStampEndsItsRunUnvouched) {
    tc_conn c;
    ASSERT_TRUE(tc_connect(&c, port));
    ASSERT_EQ(tc_login(&c, 7, digest, host1, "daily"), 0);
    ASSERT_EQ(tc_lock(&c, 0, {3}), 0);
    tc_reply r;
    ASSERT_EQ(tc_transact(&c, TFS_USER_LOCK, {TFS_LOCK_RELEASE}, &r), 0);
    log_in();
    std::vector<read_run> runs;
    ASSERT_EQ(read_all_runs(rs, &runs), 0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].ended, 0);
    EXPECT_FALSE(runs[0].vouched);
    EXPECT_EQ(runs[0].destination, 3u);
}

} // namespace
