// safety_test.cpp - what the reference server must never do, whatever fails:
// vouch with a stamp for a version it lost, let two processes serve one store,
// take over a damaged block, restore a tree other than the one asked for,
// write outside the restore folder, or lose a file's access.
#include "server_fixture.h"
#include "test_client.h"

#include "protocol/codes.h"
#include "tools/server/pack_file.h"
#include "tools/server/store.h"

#include <sqlite3.h>

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct ServerSafety : server_fixture {
    // The stamp a new log-in of host and the fixture's schedule gets back.
    uint32_t stamp_of(const uint8_t* host) {
        tc_conn c;
        EXPECT_TRUE(tc_connect(&c, port));
        tc_login_info info;
        EXPECT_EQ(tc_login(&c, 7, digest, host, "daily.tbs", &info), 0);
        return info.stamp;
    }

    // The file a block of data is stored in on the local store.
    std::string block_file(const std::string& data) {
        const blk_digest d = block_digest_of(data);
        return dir + "/blocks/" + d.substr(0, 2) + "/" + d;
    }

    // Whether the local store keeps the block of data as a file of its own
    // (not in a pack).
    bool block_as_file(const std::string& data) const {
        return backends.local_blocks() && data.size() > PACK_BLOCK_THRESHOLD;
    }

    // Makes every publish of the block of data fail, until
    // accept_blocks_of. For a block file of the local store a file stands
    // where the block's sub-folder would be made, so its rename fails as on
    // a broken disk; a packed block or a store elsewhere is refused in the
    // fixture's wrapper.
    void refuse_blocks_of(const std::string& data) {
        if (!block_as_file(data)) {
            refusals.refuse(block_digest_of(data));
            return;
        }
        fs::path folder = fs::path(block_file(data)).parent_path();
        ASSERT_FALSE(fs::exists(folder));
        std::ofstream(folder.string()) << "in the way";
    }

    void accept_blocks_of(const std::string& data) {
        if (!block_as_file(data)) {
            refusals.accept(block_digest_of(data));
            return;
        }
        fs::remove(fs::path(block_file(data)).parent_path());
    }

    // Runs SQL on the SQLite catalog of the store in dir from outside, as
    // damage or an old program would.
    void catalog_sql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/catalog.db").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000);
        char* msg = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg), SQLITE_OK)
            << (msg ? msg : "");
        sqlite3_free(msg);
        sqlite3_close(db);
    }

    // The same on the catalog in use: the SQLite file, or the test's
    // PostgreSQL database (its tables have the same columns).
    void damage_catalog(const std::string& sql) {
        if (backends.local_catalog()) {
            catalog_sql(sql);
            return;
        }
#ifdef TAVNI_HAVE_LIBPQ
        ASSERT_TRUE(backends.db->sql(sql, true)) << backends.db->last;
#else
        FAIL() << "a catalog elsewhere than SQLite needs PostgreSQL support";
#endif
    }

    srv_restore_opts restore_opts(const std::string& path, const std::string& to) {
        srv_restore_opts o;
        o.user = 7;
        o.path = path;
        o.to = to;
        o.have_key = true;
        memcpy(o.key, key, 32);
        return o;
    }
};

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Waits until the clock (whole seconds, as the catalog keeps time) has passed t.
void wait_past(int64_t t) {
    while (static_cast<int64_t>(time(nullptr)) <= t)
        plat_sleep_ms(20);
}

// Sends one file's blocks after its open, as tc_send_file does, then closes.
void send_blocks(tc_conn* c, const tc_open& o, const std::string& data, const uint8_t* key) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(data.data());
    for (uint32_t e = 0; e < o.blocks; e++) {
        size_t off = static_cast<size_t>(e) * o.block_size;
        size_t n = std::min<size_t>(o.block_size, data.size() - off);
        uint8_t md5[16];
        tc_md5(base + off, n, md5);
        ASSERT_EQ(tc_offer(c, o.handle, nullptr), 0);
        std::vector<uint8_t> enc = tc_encode_block(key, base + off, n);
        for (size_t pos = 0; pos < enc.size(); pos += 65466)
            tc_write_silent(c, o.handle, 8, enc.data() + pos,
                            std::min<size_t>(65466, enc.size() - pos));
        tc_write_silent(c, o.handle, 10, o.blocks == 1 ? nullptr : md5, o.blocks == 1 ? 0 : 16);
    }
    tc_file_close(c, o.handle);
}

// The Linux security record as the agent serialises it: kind 4, length 12,
// then uid, gid and mode, little-endian.
std::string linux_record(uint32_t uid, uint32_t gid, uint32_t mode) {
    std::string r(1, '\x04');
    for (uint32_t v : {12u, uid, gid, mode})
        for (int b = 0; b < 4; b++)
            r += static_cast<char>(v >> (8 * b));
    return r;
}

struct file_facts {
    uint32_t uid = 0, gid = 0, mode = 0;
};
file_facts facts_of(const std::string& path) {
    uint8_t kind = 0, buf[64];
    uint32_t value = 0;
    file_facts f;
    EXPECT_EQ(plat_file_security(path.c_str(), &kind, &value, buf, sizeof buf), 0) << path;
    uint32_t v[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++)
        for (int b = 0; b < 4; b++)
            v[i] |= static_cast<uint32_t>(buf[i * 4 + b]) << (8 * b);
    f.uid = v[0];
    f.gid = v[1];
    f.mode = v[2] & 07777;
    return f;
}

} // namespace

// ---- vouching ---------------------------------------------------------------

TEST_F(ServerSafety, DroppedVersionsRefuseTheStampUntilTheNextRelease) {
    tc_conn c;
    session(&c, host1);
    ASSERT_EQ(tc_send_file(&c, "kept.bin", "kept", 1, key).result, 0);
    ASSERT_EQ(tc_release(&c, 1111), 0);
    EXPECT_EQ(stamp_of(host1), 1111u);

    // Closed with blocks missing, or never closed: the agent gave the file
    // up (it could not read it) and counts it as failed; nothing to refuse.
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    tc_open o;
    ASSERT_EQ(tc_wopen(&c, "cut.bin", 3u << 20, 2, &o), 0);
    tc_file_close(&c, o.handle);
    ASSERT_EQ(tc_wopen(&c, "left.bin", 10, 2, &o), 0);
    EXPECT_EQ(tc_release(&c, 1112), 0);
    EXPECT_EQ(stamp_of(host1), 1112u);

    // An upload that broke on the server (here a checksum with no data, as
    // when a block cannot be staged) is dropped though the agent went on,
    // and a recovery's re-take of the lock does not make the server forget it.
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    ASSERT_EQ(tc_wopen(&c, "broken.bin", 10, 2, &o), 0);
    ASSERT_EQ(tc_offer(&c, o.handle, nullptr), 0);
    tc_write_silent(&c, o.handle, 10, nullptr, 0);
    tc_file_close(&c, o.handle);
    ASSERT_EQ(tc_lock(&c, 2, {1}), 0);
    EXPECT_EQ(tc_release(&c, 2222), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u); // the earlier stamp cannot match the agent's new index

    // The refusal ended that job's memory: the next job vouches again.
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    EXPECT_EQ(tc_release(&c, 3333), 0);
    EXPECT_EQ(stamp_of(host1), 3333u);

    // A version the catalog refuses (its path became a folder before the
    // commit) is a dropped version too.
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    ASSERT_EQ(tc_wopen(&c, "p", 10, 3, &o), 0);
    ASSERT_EQ(tc_mkdir(&c, "p"), 0);
    send_blocks(&c, o, "0123456789", key);
    EXPECT_EQ(tc_release(&c, 4444), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);

    // No stamp for a release without the lock.
    EXPECT_EQ(tc_release(&c, 5555), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
}

TEST_F(ServerSafety, BlocksThatCannotBeStoredRefuseTheStamp) {
    tc_conn c;
    session(&c, host1);
    std::string data = make_data(200000, 31);
    refuse_blocks_of(data);
    ASSERT_EQ(tc_send_file(&c, "lost.bin", data, 1, key).result, 0);
    EXPECT_EQ(tc_release(&c, 7777), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
    EXPECT_EQ(restore("lost.bin"), "<none>");

    // Once the store can take it again, the next job stores it and vouches.
    accept_blocks_of(data);
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    ASSERT_EQ(tc_send_file(&c, "lost.bin", data, 1, key).result, 0);
    EXPECT_EQ(tc_release(&c, 7778), 0);
    EXPECT_EQ(restore("lost.bin"), data);
    EXPECT_EQ(stamp_of(host1), 7778u);
}

// The brake: with a group commit that would otherwise gather for a minute,
// a client is held at each close until at most the bound waits, so its
// earlier files are durable by the time its next request is answered.
TEST_F(ServerSafety, TheBrakeKeepsAClientWithinItsBoundOfTheDisk) {
    for (int by_bytes = 0; by_bytes < 2; by_bytes++) {
        SCOPED_TRACE(by_bytes ? "bound in bytes" : "bound in versions");
        stop();
        cfg.flush_interval_ms = 60000;
        cfg.flush_brake_versions = by_bytes ? 0 : 2;
        cfg.flush_brake_bytes = by_bytes ? 1 : 0; // every close waits for all before it
        open_and_start();
        auto name = [&](int i) {
            return "brake" + std::to_string(by_bytes) + "-" + std::to_string(i) + ".bin";
        };
        std::vector<std::string> data;
        {
            tc_conn a;
            session(&a, host1);
            for (int i = 0; i < 5; i++) {
                data.push_back(make_data(1000 + 100 * i, 40 + i + 10 * by_bytes));
                ASSERT_EQ(tc_send_file(&a, name(i), data[i], 20 + i, key).result, 0);
                // This file's open was answered after the last close was braked.
                const int durable = i - (by_bytes ? 1 : 3);
                if (durable >= 0) EXPECT_EQ(restore(name(durable)), data[durable]);
            }
        }
        stop(); // the rest is made durable on the way out
        open_and_start();
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(restore(name(i)), data[i]);
    }
}

TEST_F(ServerSafety, AReleaseWaitsForClosesOnEveryConnectionOfItsIdentity) {
    stop();
    cfg.flush_interval_ms = 400; // closes stay queued for a while
    open_and_start();
    std::string data = make_data(300000, 32);
    {
        // The agent closes on one connection and, after a reconnect,
        // releases on another.
        tc_conn a, b;
        session(&a, host1);
        session(&b, host1, false);
        ASSERT_EQ(tc_send_file(&a, "a.bin", data, 5, key).result, 0);
        EXPECT_EQ(tc_release(&b, 1700000001u), 0);
        EXPECT_EQ(restore("a.bin"), data); // durable before the answer
    }
    EXPECT_EQ(stamp_of(host1), 1700000001u);

    // The same with a close whose blocks cannot be stored: refused.
    std::string lost = make_data(200000, 33);
    refuse_blocks_of(lost);
    tc_conn a, b;
    session(&a, host1);
    session(&b, host1, false);
    ASSERT_EQ(tc_send_file(&a, "b.bin", lost, 6, key).result, 0);
    EXPECT_EQ(tc_release(&b, 1700000002u), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
}

// A file left open when its connection ended never becomes a version; its
// close may have been on the way, which the agent knows (it counts a file
// only once a later answer confirmed the close, and sends it again
// otherwise), so the job's stamp is not refused for it.
TEST_F(ServerSafety, AFileLeftOpenByALostConnectionIsNeverStored) {
    std::string data = make_data(3u << 20, 34);
    {
        tc_conn a;
        session(&a, host1);
        ASSERT_EQ(tc_send_file(&a, "open.bin", data, 1, key, 2).result, 0); // no close
    }
    tc_conn b;
    session(&b, host1, false); // the identity keeps its lock
    EXPECT_EQ(tc_release(&b, 99), 0);
    EXPECT_EQ(restore("open.bin"), "<none>");
}

// An orderly stop settles every close it read: a lock holder without a
// remembered failure lost nothing, and the next process vouches for it; one
// with a failure (a broken upload) keeps it across the restart.
TEST_F(ServerSafety, AnOrderlyStopKeepsOnlyTheDoubtsItHad) {
    uint8_t host2[20];
    memset(host2, 0x22, 20);
    tc_conn a, b;
    session(&a, host1);
    ASSERT_EQ(tc_send_file(&a, "fine.bin", "fine", 1, key).result, 0);
    session(&b, host2, false);
    ASSERT_EQ(tc_lock(&b, 0, {2}), 0);
    tc_open o;
    ASSERT_EQ(tc_wopen(&b, "broken.bin", 10, 2, &o), 0);
    ASSERT_EQ(tc_offer(&b, o.handle, nullptr), 0);
    tc_write_silent(&b, o.handle, 10, nullptr, 0); // a checksum without data
    tc_file_close(&b, o.handle);
    ASSERT_EQ(tc_mkdir(&b, "after"), 0); // the close was read
    tc_close(&a);
    tc_close(&b);
    stop();
    open_and_start();
    EXPECT_EQ(restore("fine.bin"), "fine");
    tc_conn c, d;
    session(&c, host1); // the job goes on: its next request takes the lock again
    EXPECT_EQ(tc_release(&c, 500), 0);
    session(&d, host2, false);
    ASSERT_EQ(tc_lock(&d, 0, {2}), 0);
    EXPECT_EQ(tc_release(&d, 501), ERR_SERVER);
}

TEST_F(ServerSafety, AServerStartedAfterACrashRefusesTheStampOfEveryLockHolder) {
    stop();
    cfg.flush_interval_ms = 60000; // nothing reaches the catalog before the crash
    open_and_start();
    uint8_t host3[20];
    memset(host3, 0x33, 20);
    std::string data = make_data(100000, 35);
    {
        tc_conn a;
        session(&a, host1);
        ASSERT_EQ(tc_send_file(&a, "f008.bin", data, 8, key).result, 0);
        srv_abandon(srv); // as if the process was killed
        srv = nullptr;
        srv_store_close(st);
        st = nullptr;
    }
    cfg.flush_interval_ms = 100;
    open_and_start();
    // The job goes on against the new process, which never saw the close.
    tc_conn a;
    session(&a, host1);
    EXPECT_EQ(tc_release(&a, 1765000000u), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
    EXPECT_EQ(restore("f008.bin"), "<none>");

    // Its next job vouches again; an identity that held no lock at the crash
    // was never in doubt.
    tc_conn next;
    session(&next, host1);
    ASSERT_EQ(tc_send_file(&next, "f008.bin", data, 8, key).result, 0);
    EXPECT_EQ(tc_release(&next, 1765000100u), 0);
    EXPECT_EQ(stamp_of(host1), 1765000100u);
    tc_conn other;
    session(&other, host3, false);
    ASSERT_EQ(tc_lock(&other, 0, {2}), 0);
    EXPECT_EQ(tc_release(&other, 42), 0);

    // A release removes the holder for good: a restart after it doubts nothing.
    stop();
    open_and_start();
    tc_conn again;
    session(&again, host1);
    EXPECT_EQ(tc_release(&again, 1765000200u), 0);
}

// Two serving processes on one catalog, as frontends of one service: the
// first dies with a close in its group commit, and the job goes on through
// the second, which never saw that close. The second must not vouch for the
// job, and must not forget the first one's doubt when it stops.
TEST_F(ServerSafety, AJobThatMovesToAnotherServingProcessGetsNoStampThere) {
    stop();
    cfg.flush_interval_ms = 60000; // the first process never commits in time
    open_and_start();
    srv_config cfg_b = cfg;
    cfg_b.flush_interval_ms = 100;
    uint16_t port_b = 0;
    std::string err;
    srv_server* b = srv_start(st, cfg_b, &port_b, &err);
    ASSERT_NE(b, nullptr) << err;
    const std::string data = make_data(100000, 36);
    {
        tc_conn a;
        session(&a, host1);
        ASSERT_EQ(tc_send_file(&a, "moved.bin", data, 8, key).result, 0);
        srv_abandon(srv); // killed
    }
    srv = b;
    port = port_b;
    tc_conn c;
    session(&c, host1);
    EXPECT_EQ(tc_release(&c, 1765000000u), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
    EXPECT_EQ(restore("moved.bin"), "<none>");
    // The next job through it is its own from the start and vouches again.
    tc_conn next;
    session(&next, host1);
    ASSERT_EQ(tc_send_file(&next, "moved.bin", data, 8, key).result, 0);
    EXPECT_EQ(tc_release(&next, 1765000100u), 0);
    EXPECT_EQ(restore("moved.bin"), data);

    // A holder another process noted outlives this process's orderly stop.
    uint8_t host3[20];
    memset(host3, 0x33, 20);
    cat_holder other{7, {}};
    memcpy(other.host, host3, 20);
    ASSERT_EQ(st->cat.ops->holder_note(st->cat.self, other), CAT_OK);
    stop();
    open_and_start();
    tc_conn d;
    session(&d, host3, false);
    ASSERT_EQ(tc_lock(&d, 0, {2}), 0);
    EXPECT_EQ(tc_release(&d, 42), ERR_SERVER);
}

// ---- one serving process per store --------------------------------------------

TEST_F(ServerSafety, ASecondServingProcessOnTheStoreIsRefused) {
    tc_conn c;
    session(&c, host1);
    tc_open o;
    ASSERT_EQ(tc_wopen(&c, "big.bin", 3u << 20, 1, &o), 0);
    ASSERT_EQ(tc_offer(&c, o.handle, nullptr), 0);
    uint8_t chunk[4096] = {1, 2, 3};
    // More than a packed block: a block of the local store this large is
    // staged in a temporary of blocks/tmp, which a second serving process
    // would clear; a store elsewhere stages in the serving process's memory.
    // The store folder's lock holds for both.
    for (uint64_t at = 0; at <= PACK_BLOCK_THRESHOLD; at += sizeof chunk)
        tc_write_silent(&c, o.handle, 8, chunk, sizeof chunk);
    sync(&c); // requests are handled in order: the block is being staged now
    const bool local = backends.local_blocks();
    auto temporaries = [&] {
        return std::distance(fs::directory_iterator(dir + "/blocks/tmp"), fs::directory_iterator());
    };
    if (local) {
        ASSERT_EQ(temporaries(), 1);
    }

    std::string err;
    srv_store* second = srv_store_open(dir, true, &err);
    EXPECT_EQ(second, nullptr);
    srv_store_close(second);
    EXPECT_NE(err.find("served by another process"), std::string::npos) << err;
    EXPECT_NE(err.find(dir), std::string::npos) << err;
    if (local) {
        EXPECT_EQ(temporaries(), 1); // the first one's block in progress is untouched
    }

    srv_store* tools = srv_store_open(dir, false, &err); // restore, verify, ls still open it
    EXPECT_NE(tools, nullptr) << err;
    srv_store_close(tools);

    c.timeout_ms = 1000;
    tc_close(&c);
    stop();
    second = srv_store_open(dir, true, &err);
    EXPECT_NE(second, nullptr) << err; // the lock ends with the serving process
    srv_store_close(second);
}

// ---- damaged blocks -------------------------------------------------------------

TEST_F(ServerSafety, VerifyFindsEveryDamagedBlockAndTheNextRunRepairsThem) {
    tc_conn c;
    session(&c, host1);
    std::string data = make_data(3u << 20, 36);
    ASSERT_EQ(tc_send_file(&c, "d.bin", data, 50, key).result, 0);
    ASSERT_EQ(tc_release(&c, 500), 0);
    ASSERT_EQ(stamp_of(host1), 500u);

    cat_version v;
    ASSERT_EQ(st->cat.ops->version_at(st->cat.self, 7, "d.bin", 0, &v), CAT_OK);
    ASSERT_EQ(v.blocks.size(), 3u);
    damage_block(v.blocks[1].digest, DAMAGE_FLIP_BYTE);
    damage_block(v.blocks[2].digest, DAMAGE_CUT_SHORT);

    testing::internal::CaptureStdout();
    int rc = srv_cmd_verify_all(st, 0, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 1);
    EXPECT_NE(out.find("DAMAGED user 7 /d.bin: block 1: damaged"), std::string::npos) << out;
    EXPECT_NE(out.find("DAMAGED user 7 /d.bin: block 2: damaged"), std::string::npos) << out;
    EXPECT_NE(out.find("1 current versions checked, 1 damaged, 2 blocks damaged or missing"),
              std::string::npos)
        << out;
    EXPECT_EQ(stamp_of(host1), 0u); // the agent's index is not trusted next time

    // The next run: the listing does not show the file as current, the open
    // is not answered "up to date", and only the damaged blocks travel.
    tc_conn r;
    session(&r, host1);
    tc_page p;
    ASSERT_EQ(tc_find(&r, 0, 0x20, "", &p), 0);
    ASSERT_EQ(p.count, 1);
    EXPECT_EQ(p.entries[0].mtime, 0u);
    tc_send_stats s = tc_send_file(&r, "d.bin", data, 50, key);
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.offers_up2date, 1);
    EXPECT_EQ(s.blocks_sent, 2);
    ASSERT_EQ(tc_release(&r, 600), 0);

    testing::internal::CaptureStdout();
    rc = srv_cmd_verify_all(st, 7, key);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(restore("d.bin"), data);
    ASSERT_EQ(tc_lock(&r, 0, {1}), 0);
    ASSERT_EQ(tc_find(&r, 0, 0x20, "", &p), 0);
    EXPECT_EQ(p.entries[0].mtime, 50u);
    EXPECT_EQ(tc_send_file(&r, "d.bin", data, 50, key).result, ERR_UP2DATE);
    EXPECT_FALSE(st->cat.ops->block_damaged(st->cat.self, v.blocks[1].digest));
}

// verify, in a process of its own, finds damage while a job runs: the job
// logged in before it (so it trusts an index that may list the damaged file
// as current) and must not store its stamp at the release, whether it took
// its lock before verify or after it. A job that logs in afterwards stores
// its stamp again.
TEST_F(ServerSafety, VerifyDuringAJobKeepsTheJobFromStoringItsStamp) {
    std::string data = make_data(2u << 20, 38);
    {
        tc_conn c;
        session(&c, host1);
        ASSERT_EQ(tc_send_file(&c, "d.bin", data, 50, key).result, 0);
        ASSERT_EQ(tc_release(&c, 500), 0);
    }
    ASSERT_EQ(stamp_of(host1), 500u);
    cat_version v;
    ASSERT_EQ(st->cat.ops->version_at(st->cat.self, 7, "d.bin", 0, &v), CAT_OK);
    damage_block(v.blocks[0].digest, DAMAGE_FLIP_BYTE);

    tc_conn locked, unlocked;
    session(&locked, host1);
    session(&unlocked, host2, false); // logged in, no lock yet
    {
        // verify as its own process runs it: its own handle on the store.
        std::string err;
        srv_store* other = srv_store_open(dir, false, &err);
        ASSERT_NE(other, nullptr) << err;
        testing::internal::CaptureStdout();
        EXPECT_EQ(srv_cmd_verify_all(other, 0, nullptr), 1);
        testing::internal::GetCapturedStdout();
        srv_store_close(other);
    }
    ASSERT_EQ(tc_send_file(&locked, "e.bin", "e", 60, key).result, 0);
    EXPECT_EQ(tc_release(&locked, 600), ERR_SERVER);
    ASSERT_EQ(tc_lock(&unlocked, 0, {2}), 0);
    EXPECT_EQ(tc_release(&unlocked, 610), ERR_SERVER);
    EXPECT_EQ(stamp_of(host1), 0u);
    EXPECT_EQ(stamp_of(host2), 0u);

    tc_conn next;
    session(&next, host1);
    EXPECT_EQ(tc_release(&next, 700), 0);
    EXPECT_EQ(stamp_of(host1), 700u);
}

TEST_F(ServerSafety, VerifyDecodesOnlyWithTheUsersOwnKey) {
    uint8_t other_key[32], other_digest[20];
    for (int i = 0; i < 32; i++)
        other_key[i] = static_cast<uint8_t>(0xa0 + i);
    tc_sha1(other_key, 32, other_digest);
    ASSERT_EQ(srv_cmd_user_add(st, 8, "eve", "other", other_digest), 0);
    tc_conn c;
    session(&c, host1);
    ASSERT_EQ(tc_send_file(&c, "x.bin", make_data(5000, 37), 1, key).result, 0);
    sync(&c);
    testing::internal::CaptureStdout();
    int rc = srv_cmd_verify_all(st, 0, other_key); // the key of user 8 checks all users
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0) << out;
    cat_version v;
    ASSERT_EQ(st->cat.ops->version_at(st->cat.self, 7, "x.bin", 0, &v), CAT_OK);
    EXPECT_FALSE(v.damaged);
}

// ---- restore ----------------------------------------------------------------

TEST_F(ServerSafety, RestoreAtATimeGivesTheTreeOfThatTime) {
    tc_conn c;
    session(&c, host1);
    std::string x1 = make_data(1000, 40), x2 = make_data(1200, 41), y = make_data(700, 42);
    ASSERT_EQ(tc_send_file(&c, "a/x", x1, 10, key).result, 0);
    ASSERT_EQ(tc_send_file(&c, "a/b/y", y, 11, key).result, 0);
    sync(&c);
    int64_t then = static_cast<int64_t>(time(nullptr));
    wait_past(then);
    ASSERT_EQ(tc_delete(&c, 1, "a/b"), 0);
    ASSERT_EQ(tc_send_file(&c, "a/x", x2, 12, key).result, 0);
    ASSERT_EQ(tc_send_file(&c, "a/z", "new", 13, key).result, 0);
    sync(&c);

    srv_restore_opts o = restore_opts("a", dir + "/then");
    o.at = then;
    EXPECT_EQ(srv_cmd_restore(st, o), 0);
    EXPECT_EQ(read_file(dir + "/then/a/x"), x1);
    EXPECT_EQ(read_file(dir + "/then/a/b/y"), y); // its folder was deleted since
    EXPECT_FALSE(fs::exists(dir + "/then/a/z"));  // made since

    o = restore_opts("a/b", dir + "/then-b"); // a folder that is gone now
    o.at = then;
    EXPECT_EQ(srv_cmd_restore(st, o), 0);
    EXPECT_EQ(read_file(dir + "/then-b/b/y"), y);

    o = restore_opts("a/z", dir + "/then-z"); // did not exist then
    o.at = then;
    EXPECT_EQ(srv_cmd_restore(st, o), 1);

    o = restore_opts("a", dir + "/now");
    EXPECT_EQ(srv_cmd_restore(st, o), 0);
    EXPECT_EQ(read_file(dir + "/now/a/x"), x2);
    EXPECT_EQ(read_file(dir + "/now/a/z"), "new");
    EXPECT_FALSE(fs::exists(dir + "/now/a/b"));
}

TEST_F(ServerSafety, RestoreNeverWritesOutsideItsFolder) {
    tc_conn c;
    session(&c, host1);
    ASSERT_EQ(tc_send_file(&c, "a/ok.txt", "fine", 1, key).result, 0);
    ASSERT_EQ(tc_send_file(&c, "a/evil.txt", "evil", 1, key).result, 0);
    ASSERT_EQ(tc_send_file(&c, "a/sub/deep.txt", "deep", 1, key).result, 0);
    ASSERT_EQ(tc_send_file(&c, "a/blank.txt", "blank", 1, key).result, 0);
    sync(&c);
    fs::create_directories(dir + "/x/y");
    // A damaged catalog: names that climb out, a bare "..", an empty name.
    damage_catalog("UPDATE versions SET name = '../../../escaped', path = 'a/../../../escaped' "
                   "WHERE path = 'a/evil.txt';"
                   "UPDATE folders SET name = '..', path = 'a/..' WHERE path = 'a/sub';"
                   "UPDATE versions SET parent = 'a/..', path = 'a/../deep.txt' "
                   "WHERE path = 'a/sub/deep.txt';"
                   "UPDATE versions SET name = '', path = 'a/' WHERE path = 'a/blank.txt';");
    srv_restore_opts o = restore_opts("a", dir + "/x/y/out");
    EXPECT_EQ(srv_cmd_restore(st, o), 1);
    EXPECT_EQ(read_file(dir + "/x/y/out/a/ok.txt"), "fine"); // the rest is restored
    EXPECT_FALSE(fs::exists(dir + "/x/escaped"));
    EXPECT_FALSE(fs::exists(dir + "/x/y/escaped"));
    EXPECT_FALSE(fs::exists(dir + "/x/y/out/escaped"));
    EXPECT_FALSE(fs::exists(dir + "/x/y/out/deep.txt"));
    EXPECT_FALSE(fs::exists(dir + "/x/y/out/a.tavni-part"));
}

TEST_F(ServerSafety, RestoreGivesBackAccessAndOwnerAndOverwritesOnlyWhenAsked) {
    tc_conn c;
    session(&c, host1);
    ASSERT_EQ(tc_send_file(&c, "k/id_key", "secret", 1, key, -1, linux_record(1234, 2345, 0100640))
                  .result,
              0);
    ASSERT_EQ(
        tc_send_file(&c, "k/run.sh", "#!/bin/sh", 1, key, -1, linux_record(0, 0, 0100755)).result,
        0);
    std::string nt(1, '\x03');
    nt += std::string("\x14\x00\x00\x00", 4) + std::string(20, '\x01'); // a Windows descriptor
    ASSERT_EQ(tc_send_file(&c, "k/win.doc", "doc", 1, key, -1, nt).result, 0);
    ASSERT_EQ(tc_send_file(&c, "k/plain.txt", "plain", 1, key).result, 0);
    sync(&c);
    cat_version v;
    ASSERT_EQ(st->cat.ops->version_at(st->cat.self, 7, "k/win.doc", 0, &v), CAT_OK);
    EXPECT_EQ(v.security, nt); // kept as sent, even where it is not applied

    srv_restore_opts o = restore_opts("k", dir + "/out");
    ASSERT_EQ(srv_cmd_restore(st, o), 0);
    bool root = plat_enable_privilege("SeBackupPrivilege") == 0;
    file_facts f = facts_of(dir + "/out/k/id_key");
    EXPECT_EQ(f.mode, 0640u);
    if (root) {
        EXPECT_EQ(f.uid, 1234u);
        EXPECT_EQ(f.gid, 2345u);
    }
    EXPECT_EQ(facts_of(dir + "/out/k/run.sh").mode, 0755u);
    EXPECT_EQ(facts_of(dir + "/out/k/win.doc").mode, 0600u);
    EXPECT_EQ(facts_of(dir + "/out/k/plain.txt").mode, 0600u);
    EXPECT_EQ(facts_of(dir + "/out/k").mode, 0700u);
    EXPECT_EQ(read_file(dir + "/out/k/id_key"), "secret");

    // Files already there are kept unless overwriting is asked for.
    std::ofstream(dir + "/out/k/plain.txt", std::ios::trunc) << "local edit";
    EXPECT_EQ(srv_cmd_restore(st, o), 1);
    EXPECT_EQ(read_file(dir + "/out/k/plain.txt"), "local edit");
    o.overwrite = true;
    EXPECT_EQ(srv_cmd_restore(st, o), 0);
    EXPECT_EQ(read_file(dir + "/out/k/plain.txt"), "plain");
    EXPECT_FALSE(fs::exists(dir + "/out/k/plain.txt.tavni-part"));
}

// ---- the store on disk ------------------------------------------------------------

TEST_F(ServerSafety, AStoreOfTheFirstSchemaOpensAndIsUpgraded) {
    stop();
    std::string old = dir + "-v1";
    fs::remove_all(old);
    std::string err;
    ASSERT_TRUE(srv_store_init(old, &err)) << err;
    fs::remove(old + "/catalog.db");
    // The catalog as the first release made it, with one user and one file.
    std::string saved = dir;
    dir = old;
    catalog_sql(R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE accounts(number INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL);
CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT NOT NULL, account INTEGER NOT NULL,
                   key_digest BLOB NOT NULL);
CREATE TABLE stamps(user INTEGER NOT NULL, host BLOB NOT NULL, schedule TEXT NOT NULL,
                    stamp INTEGER NOT NULL, PRIMARY KEY(user, host, schedule));
CREATE TABLE folders(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, path TEXT NOT NULL,
                     parent TEXT NOT NULL, name TEXT NOT NULL, created INTEGER NOT NULL,
                     removed INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX folders_current ON folders(user, path) WHERE removed = 0;
CREATE INDEX folders_children ON folders(user, parent) WHERE removed = 0;
CREATE TABLE versions(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, path TEXT NOT NULL,
                      parent TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL,
                      mtime INTEGER NOT NULL, block_size INTEGER NOT NULL,
                      committed INTEGER NOT NULL, replaced INTEGER NOT NULL DEFAULT 0);
CREATE INDEX versions_path ON versions(user, path);
CREATE INDEX versions_children ON versions(user, parent) WHERE replaced = 0;
CREATE TABLE blocks(version INTEGER NOT NULL, idx INTEGER NOT NULL, digest TEXT NOT NULL,
                    md5 BLOB NOT NULL, length INTEGER NOT NULL, PRIMARY KEY(version, idx))
                    WITHOUT ROWID;
CREATE TABLE mail(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, schedule_id INTEGER NOT NULL,
                  recipients TEXT NOT NULL, received INTEGER NOT NULL, body BLOB NOT NULL);
INSERT INTO meta(key, value) VALUES('schema_version', '1');
INSERT INTO accounts(name) VALUES('acme');
INSERT INTO users(id, name, account, key_digest) VALUES(7, 'bob', 1, x'00');
INSERT INTO folders(user, path, parent, name, created) VALUES(7, 'docs', '', 'docs', 100);
INSERT INTO versions(user, path, parent, name, size, mtime, block_size, committed)
       VALUES(7, 'docs/empty.txt', 'docs', 'empty.txt', 0, 90, 1048576, 100);
)");
    dir = saved;
    st = srv_store_open(old, true, &err);
    ASSERT_NE(st, nullptr) << err;
    cat_version v;
    ASSERT_EQ(st->cat.ops->version_at(st->cat.self, 7, "docs/empty.txt", 0, &v), CAT_OK);
    EXPECT_EQ(v.mtime, 90u);
    EXPECT_TRUE(v.security.empty());
    EXPECT_FALSE(v.damaged);
    std::vector<cat_entry> entries;
    ASSERT_EQ(st->cat.ops->list(st->cat.self, 7, "docs", 150, &entries), CAT_OK);
    EXPECT_EQ(entries.size(), 1u);
    // The stamp epochs came with the upgrade.
    cat_user u;
    ASSERT_EQ(st->cat.ops->user_get(st->cat.self, 7, &u), CAT_OK);
    EXPECT_EQ(u.stamp_epoch, 0u);
    cat_holder h{7, {}, 0};
    ASSERT_EQ(st->cat.ops->holder_note(st->cat.self, h), CAT_OK);
    EXPECT_EQ(st->cat.ops->stamp_vouch(st->cat.self, 7, h.host, "daily.tbs", 5), CAT_OK);
    srv_store_close(st);
    st = nullptr;
    srv_store* again = srv_store_open(old, false, &err); // upgraded once, opens as it is
    EXPECT_NE(again, nullptr) << err;
    srv_store_close(again);
    fs::remove_all(old);
}

TEST(ServerInit, AnExistingFolderIsUsedAsItIsOrRefused) {
    fs::path base = unique_temp_path("init");
    fs::remove_all(base);
    fs::create_directories(base);
    std::string err;

    fs::path empty = base / "empty"; // shared folders keep their access
    fs::create_directory(empty);
    fs::permissions(empty, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    ASSERT_TRUE(srv_store_init(empty.string(), &err)) << err;
    EXPECT_EQ(fs::status(empty).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(fs::status(empty / "server_key.pem").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(empty / "catalog.db").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(srv_store_init(empty.string(), &err));
    EXPECT_NE(err.find("already holds a store"), std::string::npos) << err;

    fs::path busy = base / "busy"; // someone's files: never made a store
    fs::create_directory(busy);
    std::ofstream((busy / "notes.txt").string()) << "mine";
    EXPECT_FALSE(srv_store_init(busy.string(), &err));
    EXPECT_NE(err.find("not empty"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(busy / "server_key.pem"));
    EXPECT_FALSE(fs::exists(busy / "catalog.db"));

    fs::path fresh = base / "fresh"; // made here: the owner's alone
    ASSERT_TRUE(srv_store_init(fresh.string(), &err)) << err;
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms::owner_all);
    fs::remove_all(base);
}

// ---- the block store ----------------------------------------------------------

TEST(ServerBlockStore, KeepsWholeBlocksAndReplacesDamagedOnes) {
    fs::path base = unique_temp_path("blocks");
    fs::remove_all(base);
    fs::create_directories(base);
    block_store bs = block_store_local(base.string(), true, nullptr);
    ASSERT_NE(bs.ops, nullptr);
    std::string bytes(64, 'q');
    auto put = [&](bool replace, int copies) {
        std::vector<blk_staging*> batch;
        blk_digest d;
        for (int i = 0; i < copies; i++) {
            blk_staging* s = bs.ops->stage_open(bs.self);
            EXPECT_NE(s, nullptr);
            EXPECT_EQ(bs.ops->stage_write(
                          bs.self, s, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                      0);
            uint64_t len = 0;
            EXPECT_EQ(bs.ops->stage_finish(bs.self, s, &d, &len), 0);
            EXPECT_EQ(len, bytes.size());
            if (replace) bs.ops->stage_replace(bs.self, s);
            batch.push_back(s);
        }
        EXPECT_EQ(bs.ops->publish(bs.self, &batch), 0);
        return d;
    };
    auto stored = [&](const blk_digest& d) {
        std::vector<uint8_t> got;
        bs.ops->get(bs.self, d, &got);
        return std::string(got.begin(), got.end());
    };
    blk_digest d = put(false, 2); // the same bytes twice in one batch
    EXPECT_EQ(stored(d), bytes);
    EXPECT_TRUE(bs.ops->has(bs.self, d, bytes.size()));
    EXPECT_FALSE(bs.ops->has(bs.self, d, bytes.size() + 1));
    std::string file = (base / "blocks" / d.substr(0, 2) / d).string();

    std::ofstream(file, std::ios::trunc) << std::string(64, 'X'); // same length, wrong bytes
    put(false, 1);
    EXPECT_EQ(stored(d), std::string(64, 'X')); // only a damage mark can tell
    put(true, 1);
    EXPECT_EQ(stored(d), bytes);

    std::ofstream(file, std::ios::trunc) << "short"; // another length: replaced
    EXPECT_FALSE(bs.ops->has(bs.self, d, bytes.size()));
    put(false, 1);
    EXPECT_EQ(stored(d), bytes);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(base / "blocks" / "tmp"), fs::directory_iterator()),
        0);
    bs.ops->destroy(bs.self);

    std::ofstream((base / "blocks" / "tmp" / "leftover").string()) << "x";
    bs = block_store_local(base.string(), false, nullptr); // not serving: leaves it
    EXPECT_TRUE(fs::exists(base / "blocks" / "tmp" / "leftover"));
    bs.ops->destroy(bs.self);
    bs = block_store_local(base.string(), true, nullptr);
    EXPECT_FALSE(fs::exists(base / "blocks" / "tmp" / "leftover"));
    bs.ops->destroy(bs.self);
    fs::remove_all(base);
}
