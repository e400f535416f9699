// server_test.cpp - the reference server through its own wire: log-in, locks,
// stamps, folders, listings, block uploads with dedupe, restore, e-mail, and
// hostile input.
#include "platform/server.h"
#include "server_fixture.h"
#include "test_client.h"

#include "keys/crypt_file.h"
#include "common/blob_list.h"
#include "protocol/codes.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct ServerTest : server_fixture {};

} // namespace

TEST(ServerWire, PathsBlockSizesAndChecksums) {
    std::string out;
    EXPECT_TRUE(srv_normalize_path("/C Drive/Users/bob/", false, &out));
    EXPECT_EQ(out, "C Drive/Users/bob");
    EXPECT_FALSE(srv_normalize_path("a//b", false, &out));
    EXPECT_FALSE(srv_normalize_path("a/../b", false, &out));
    EXPECT_FALSE(srv_normalize_path("a/./b", false, &out));
    EXPECT_FALSE(srv_normalize_path(std::string("a\0b", 3), false, &out));
    EXPECT_FALSE(srv_normalize_path("/", false, &out));
    EXPECT_TRUE(srv_normalize_path("/", true, &out));
    EXPECT_EQ(out, "");

    EXPECT_EQ(srv_block_size(0), 1u << 20);
    EXPECT_EQ(srv_block_size(65535ull << 20), 1u << 20);
    EXPECT_EQ(srv_block_size((65535ull << 20) + 1), 2u << 20);
    EXPECT_EQ(srv_block_size(65535ull << 31), 1u << 31);
    EXPECT_EQ(srv_block_size((65535ull << 31) + 1), 0u);

    EXPECT_EQ(ctfs_crc32("123456789", 9), 0xCBF43926u);
}

TEST(ServerWire, DecoderChecksEveryLength) {
    std::vector<uint8_t> plain;
    srv_request rq;
    // Release with stamp: flags 5 carry four more bytes.
    srv_build_packet(TFS_USER_LOCK, 3, 0, {5, 0, 0, 0x30, 0x39}, &plain);
    ASSERT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), 0);
    EXPECT_TRUE(rq.has_stamp);
    EXPECT_EQ(rq.stamp, 12345u);
    EXPECT_EQ(rq.seq, 3);
    srv_build_packet(TFS_USER_LOCK, 3, 0, {5, 0, 0}, &plain);
    EXPECT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), ERR_INVARG);
    // A lock taking more ids than the payload holds.
    srv_build_packet(TFS_USER_LOCK, 0, 0, {0, 0xff, 0xff, 0, 0, 0, 1}, &plain);
    EXPECT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), ERR_INVARG);
    // A text16 longer than the payload.
    srv_build_packet(TFS_MKDIR, 0, 0, {0, 0x10, 0x00, 'a'}, &plain);
    EXPECT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), ERR_INVARG);
    // Header length disagreeing with the bytes.
    srv_build_packet(TFS_FILE_CLOSE, 0, 0, {1}, &plain);
    plain[1] = 9;
    EXPECT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), ERR_INVARG);
    // A write whose length runs past the payload.
    srv_build_packet(TFS_FILE_WRITE, 0, 0, {1, 8, 0, 20, 1, 2}, &plain);
    EXPECT_EQ(srv_decode_request(plain.data(), plain.size(), &rq), ERR_INVARG);
    EXPECT_TRUE(srv_request_silent(rq));
}

TEST_F(ServerTest, LoginRefusalsAndRecords) {
    // A refused log-in ends its connection at once, long before the log-in
    // time. Each comes from an address of its own, so that none waits for
    // the one before and this one for none.
    stop();
    cfg.login_timeout_ms = 60000;
    open_and_start();
    uint8_t wrong[20];
    memcpy(wrong, digest, 20);
    wrong[0] ^= 1;
    const struct {
        const char* from;
        uint32_t user;
        const uint8_t* digest;
        int mode;
    } refused[] = {
        {"127.0.0.2", 7, wrong, 1}, {"127.0.0.3", 8, digest, 1}, {"127.0.0.4", 7, digest, 0}};
    for (const auto& r : refused) {
        tc_conn bad;
        bad.source = r.from;
        ASSERT_TRUE(tc_connect(&bad, port)) << r.from;
        EXPECT_EQ(tc_login(&bad, r.user, r.digest, host1, "s", nullptr, r.mode), ERR_AUTH_FAILURE);
        EXPECT_TRUE(tc_closed_by_peer(&bad)) << r.from;
    }

    tc_conn c;
    ASSERT_TRUE(tc_connect(&c, port));
    EXPECT_EQ(tc_mkdir(&c, "x"), ERR_ACCESS); // nothing before a log-in
    tc_login_info info;
    ASSERT_EQ(tc_login(&c, 7, digest, host1, "s", &info), 0);
    EXPECT_EQ(info.account_name, "acme");
    EXPECT_EQ(info.user_name, "bob");
    EXPECT_EQ(info.user_number, 7u);
    EXPECT_EQ(info.stamp, 0u);
    EXPECT_EQ(tc_login(&c, 7, digest, host1, "s"), ERR_INVARG); // once per connection
}

TEST_F(ServerTest, RequestRulesApplyInTheirOrder) {
    tc_conn c;
    ASSERT_TRUE(tc_connect(&c, port));
    tc_reply r;
    // Before the log-in: refused, the connection stays; a delete's answer
    // carries its four values whatever the status; a close of the session
    // is refused like any other request.
    std::vector<uint8_t> del = {0, 0, 1, 'x'};
    EXPECT_EQ(tc_transact(&c, TFS_DELETE, del, &r), ERR_ACCESS);
    EXPECT_EQ(r.payload.size(), 24u);
    EXPECT_EQ(tc_transact(&c, TFS_SESSION_CLOSE, {}, &r), ERR_ACCESS);
    EXPECT_TRUE(r.payload.empty());
    // Data before the log-in is dropped; an open starts a file afresh, so it
    // is refused only for the missing lock.
    const uint8_t data[16] = {1};
    ASSERT_TRUE(tc_write_silent(&c, 9, TFS_WRITE_DATA, data, sizeof data));
    ASSERT_EQ(tc_login(&c, 7, digest, host1, "s"), 0);
    tc_open o;
    EXPECT_EQ(tc_wopen(&c, "a.bin", 10, 1, &o), ERR_ACCESS);
    EXPECT_EQ(tc_transact(&c, TFS_DELETE, del, &r), ERR_ACCESS);
    EXPECT_EQ(r.payload.size(), 24u);
    // Data without the lock for a handle that is not open is only dropped.
    ASSERT_TRUE(tc_write_silent(&c, 9, TFS_WRITE_DATA, data, sizeof data));
    ASSERT_EQ(tc_lock(&c, 0, {1}), 0);
    ASSERT_EQ(tc_wopen(&c, "a.bin", 10, 1, &o), 0);
    // Data for a handle that is not open, with the lock: the next offer is
    // refused with ERR_BADKEY, and the offered file is given up with it (the
    // agent opens it again and never closes the old handle).
    ASSERT_TRUE(
        tc_write_silent(&c, static_cast<uint8_t>(o.handle + 1), TFS_WRITE_DATA, data, sizeof data));
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), ERR_BADKEY);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), ERR_BADKEY);
    ASSERT_EQ(tc_wopen(&c, "a.bin", 10, 1, &o), 0);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), 0);
    EXPECT_EQ(tc_transact(&c, TFS_DELETE, del, &r), ERR_BADPATH);
    EXPECT_EQ(r.payload.size(), 24u);
    // A closed session is answered, then the connection ends.
    EXPECT_EQ(tc_transact(&c, TFS_SESSION_CLOSE, {}, &r), 0);
    EXPECT_TRUE(tc_closed_by_peer(&c));
}

TEST_F(ServerTest, LocksContendAndStampsRoundTrip) {
    tc_conn a, b;
    session(&a, host1, false);
    session(&b, host2, false);
    EXPECT_EQ(tc_mkdir(&a, "x"), ERR_ACCESS); // no lock yet
    EXPECT_EQ(tc_lock(&a, 0, {1}), 0);
    EXPECT_EQ(tc_lock(&b, 0, {1}), ERR_ACCESS);
    EXPECT_EQ(tc_lock(&b, 2, {1}), ERR_ACCESS);
    EXPECT_EQ(tc_lock(&a, 0x0a, {1}), 0); // the FCI announcement keeps it
    EXPECT_EQ(tc_lock(&a, 2, {1}), 0);
    EXPECT_EQ(tc_mkdir(&a, "x"), 0);
    EXPECT_EQ(tc_mkdir(&b, "y"), ERR_ACCESS);
    EXPECT_EQ(tc_release(&a, 1700000000u), 0);
    EXPECT_EQ(tc_mkdir(&a, "z"), ERR_ACCESS); // released
    EXPECT_EQ(tc_lock(&b, 0, {1}), 0);

    tc_conn a2; // the stamp comes back at the next log-in of that host and schedule
    ASSERT_TRUE(tc_connect(&a2, port));
    tc_login_info info;
    ASSERT_EQ(tc_login(&a2, 7, digest, host1, "daily.tbs", &info), 0);
    EXPECT_EQ(info.stamp, 1700000000u);
    tc_conn other;
    ASSERT_TRUE(tc_connect(&other, port));
    ASSERT_EQ(tc_login(&other, 7, digest, host1, "weekly.tbs", &info), 0);
    EXPECT_EQ(info.stamp, 0u);
}

TEST_F(ServerTest, LockOutlivesItsConnectionForTheIdleTime) {
    stop();
    cfg.idle_timeout_ms = 600;
    open_and_start();
    {
        tc_conn a;
        session(&a, host1);
    }
    tc_conn a2; // same identity: keeps the lock without asking again
    session(&a2, host1, false);
    EXPECT_EQ(tc_mkdir(&a2, "kept"), 0);
    tc_close(&a2);
    {
        tc_conn b;
        session(&b, host2, false);
        EXPECT_EQ(tc_lock(&b, 0, {1}), ERR_ACCESS);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    tc_conn b;
    session(&b, host2, false);
    EXPECT_EQ(tc_lock(&b, 0, {1}), 0);
}

TEST_F(ServerTest, FoldersListingsAndDeletes) {
    tc_conn c;
    session(&c, host1);
    EXPECT_EQ(tc_mkdir(&c, "C Drive/docs/deep"), 0);
    EXPECT_EQ(tc_mkdir(&c, "C Drive/docs"), ERR_EXISTS);
    for (int i = 0; i < 250; i++) {
        char name[64];
        snprintf(name, sizeof name, "C Drive/docs/f%03d.txt", i);
        ASSERT_EQ(tc_send_file(&c, name, std::string(), 1000 + i, key).result, 0);
    }
    EXPECT_EQ(tc_mkdir(&c, "C Drive/docs/f000.txt/sub"), ERR_NOTDIR);
    tc_page p;
    ASSERT_EQ(tc_find(&c, 0, 0x20, "C Drive/docs", &p), 0);
    EXPECT_EQ(p.count, 100);
    EXPECT_EQ(p.further, 151u);
    ASSERT_NE(p.cursor, 0);
    EXPECT_EQ(p.entries[0].name, "deep");
    EXPECT_EQ(p.entries[0].type, 1);
    EXPECT_EQ(p.entries[1].name, "f000.txt");
    EXPECT_EQ(p.entries[1].mtime, 1000u);
    std::vector<std::string> names;
    for (auto& e : p.entries)
        names.push_back(e.name);
    uint8_t cur = p.cursor;
    ASSERT_EQ(tc_find(&c, cur, 0x20, "", &p), 0);
    EXPECT_EQ(p.count, 100);
    EXPECT_EQ(p.further, 51u);
    for (auto& e : p.entries)
        names.push_back(e.name);
    ASSERT_EQ(tc_find(&c, p.cursor, 0x20, "", &p), 0);
    EXPECT_EQ(p.count, 51);
    EXPECT_EQ(p.further, 0u);
    EXPECT_EQ(p.cursor, 0);
    for (auto& e : p.entries)
        names.push_back(e.name);
    ASSERT_EQ(names.size(), 251u);
    EXPECT_EQ(names.back(), "f249.txt");
    EXPECT_EQ(tc_find(&c, cur, 0x20, "", &p), ERR_INVARG); // the finished cursor is gone

    ASSERT_EQ(tc_find(&c, 0, 0x21, "C Drive", &p), 0); // 2-byte name lengths
    ASSERT_EQ(p.count, 1);
    EXPECT_EQ(p.entries[0].name, "docs");
    EXPECT_EQ(tc_find(&c, 0, 0x20, "nowhere", &p), ERR_BADPATH);

    EXPECT_EQ(tc_delete(&c, 0, "C Drive/docs/f000.txt"), 0);
    EXPECT_EQ(tc_delete(&c, 0, "C Drive/docs/f000.txt"), ERR_BADPATH);
    ASSERT_EQ(tc_find(&c, 0, 0x20, "C Drive/docs", &p), 0);
    EXPECT_EQ(p.further + p.count, 250u);
    EXPECT_EQ(tc_find(&c, p.cursor, 0x20, "", &p), 0);
    EXPECT_EQ(tc_find(&c, p.cursor, 0x20, "", &p), 0);
    EXPECT_EQ(tc_delete(&c, 1, "C Drive/docs"), 0);
    ASSERT_EQ(tc_find(&c, 0, 0x20, "C Drive", &p), 0);
    EXPECT_EQ(p.count, 0);
    std::vector<cat_version> hist; // history keeps what the tree dropped
    st->cat.ops->history(st->cat.self, 7, "C Drive/docs/f001.txt", &hist);
    ASSERT_EQ(hist.size(), 1u);
    EXPECT_NE(hist[0].replaced, 0);
}

TEST_F(ServerTest, BlocksDedupeAndRestoreByteIdentical) {
    tc_conn c;
    session(&c, host1);
    std::string v1 = make_data(5 * (1 << 20) - 1000, 1);
    tc_send_stats s = tc_send_file(&c, "C Drive/big.bin", v1, 5000, key);
    ASSERT_EQ(s.result, 0);
    EXPECT_EQ(s.blocks_sent, 5);
    sync(&c);
    EXPECT_EQ(restore("C Drive/big.bin"), v1);

    s = tc_send_file(&c, "C Drive/big.bin", v1, 5000 + 3600, key); // DST shift: up to date
    EXPECT_EQ(s.result, ERR_UP2DATE);

    std::string v2 = v1;
    v2[3 * (1 << 20) + 17] ^= 0x5a;
    s = tc_send_file(&c, "C Drive/big.bin", v2, 6000, key);
    ASSERT_EQ(s.result, 0);
    EXPECT_EQ(s.offers_up2date, 4);
    EXPECT_EQ(s.blocks_sent, 1);
    sync(&c);
    EXPECT_EQ(restore("C Drive/big.bin"), v2);
    std::vector<cat_version> hist;
    st->cat.ops->history(st->cat.self, 7, "C Drive/big.bin", &hist);
    ASSERT_EQ(hist.size(), 2u);
    EXPECT_NE(hist[0].replaced, 0);
    EXPECT_EQ(hist[1].replaced, 0);

    std::string small = "hello, one block";
    ASSERT_EQ(tc_send_file(&c, "C Drive/small.txt", small, 7, key).result, 0);
    sync(&c);
    EXPECT_EQ(restore("C Drive/small.txt"), small);

    // Restore through the command to a folder keeps contents and the time.
    srv_restore_opts o;
    o.user = 7;
    o.path = "C Drive";
    o.to = dir + "/out";
    o.have_key = true;
    memcpy(o.key, key, 32);
    ASSERT_EQ(srv_cmd_restore(st, o), 0);
    EXPECT_EQ(fs::file_size(dir + "/out/C Drive/big.bin"), v2.size());
    EXPECT_EQ(srv_cmd_verify_all(st, 0, nullptr), 0);
    EXPECT_EQ(srv_cmd_verify_all(st, 7, key), 0);
}

TEST_F(ServerTest, CutOffUploadsNeverBecomeCurrent) {
    std::string v1 = make_data(3 * (1 << 20), 2);
    std::string v2 = make_data(3 * (1 << 20), 3);
    {
        tc_conn c;
        session(&c, host1);
        ASSERT_EQ(tc_send_file(&c, "f.bin", v1, 100, key).result, 0);
        sync(&c);
        // Cut off after two blocks: the connection ends without a close.
        EXPECT_EQ(tc_send_file(&c, "f.bin", v2, 200, key, 2).result, 0);
    }
    tc_conn c;
    session(&c, host1);
    sync(&c);
    EXPECT_EQ(restore("f.bin"), v1);
    // Closed with blocks missing: dropped as well.
    tc_open o;
    ASSERT_EQ(tc_wopen(&c, "f.bin", v2.size(), 200, &o), 0);
    EXPECT_EQ(o.known, 3);
    tc_file_close(&c, o.handle);
    // A block whose ciphertext is not a multiple of 16 breaks the version.
    ASSERT_EQ(tc_wopen(&c, "g.bin", 10, 1, &o), 0);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), 0);
    uint8_t junk[15] = {1};
    tc_write_silent(&c, o.handle, 8, junk, sizeof junk);
    tc_write_silent(&c, o.handle, 10, nullptr, 0);
    tc_file_close(&c, o.handle);
    sync(&c);
    EXPECT_EQ(restore("f.bin"), v1);
    EXPECT_EQ(restore("g.bin"), "<none>");
}

// The agent answers ERR_BADKEY by opening the file again, never closing the
// handle it gives up: a server that kept such handles ran out of them after
// 32 broken uploads on one connection (ERR_FDMAX) and kept their blocks.
TEST_F(ServerTest, RestartedUploadsGiveTheirHandlesBack) {
    tc_conn c;
    session(&c, host1);
    const uint8_t junk[15] = {1};
    for (int attempt = 0; attempt < 40; attempt++) {
        tc_open o;
        ASSERT_EQ(tc_wopen(&c, "r.bin", 2u << 20, 1, &o), 0) << "attempt " << attempt;
        ASSERT_EQ(tc_offer(&c, o.handle, nullptr), 0);
        // A block whose ciphertext is no multiple of 16 breaks the upload...
        tc_write_silent(&c, o.handle, 8, junk, sizeof junk);
        tc_write_silent(&c, o.handle, 10, nullptr, 0);
        // ...which the next offer tells the agent, giving the file up.
        ASSERT_EQ(tc_offer(&c, o.handle, nullptr), ERR_BADKEY);
    }
    sync(&c);
    EXPECT_EQ(restore("r.bin"), "<none>");
}

TEST_F(ServerTest, EmailPartsJoined) {
    tc_conn c;
    session(&c, host1, false); // mail needs no lock
    std::string body = make_data(150000, 4);
    std::vector<size_t> pieces;
    ASSERT_EQ(tc_email(&c, 99, {"a@b"}, body, &pieces), 0);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], 59982u);
    EXPECT_EQ(pieces[2], 30018u);
    ASSERT_EQ(tc_email(&c, 5, {"x@y", "z@w"}, "", nullptr), 0);
    std::vector<cat_mail> all;
    st->cat.ops->mail_list(st->cat.self, &all);
    ASSERT_EQ(all.size(), 2u);
    cat_mail m;
    ASSERT_EQ(st->cat.ops->mail_get(st->cat.self, all[0].id, &m), CAT_OK);
    EXPECT_EQ(m.body, body);
    EXPECT_EQ(m.recipients, "a@b\n");
    EXPECT_EQ(m.schedule_id, 99u);
    // A further part without a first part, or one that overruns the body.
    std::vector<uint8_t> p = {2, 0, 1, 'x'};
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, p, nullptr), ERR_INVARG);
}

TEST_F(ServerTest, HostileRequestsGetCodes) {
    tc_conn c;
    session(&c, host1);
    EXPECT_EQ(tc_mkdir(&c, "a/../b"), ERR_INVARG);
    EXPECT_EQ(tc_mkdir(&c, "a//b"), ERR_INVARG);
    EXPECT_EQ(tc_mkdir(&c, std::string("a\0b", 3)), ERR_INVARG);
    tc_open o;
    EXPECT_EQ(tc_wopen(&c, "../etc/passwd", 1, 1, &o), ERR_INVARG);
    EXPECT_EQ(tc_wopen(&c, "huge", ~0ull, 1, &o), ERR_INVARG);

    // Data for an unknown handle is dropped; the next offer says restart,
    // but an open, which starts a file afresh, is served (the agent does not
    // retry a refused open).
    uint8_t d[16] = {0};
    tc_write_silent(&c, 77, 8, d, 16);
    ASSERT_EQ(tc_wopen(&c, "h.bin", 100, 1, &o), 0);
    tc_write_silent(&c, 99, 10, d, 16);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), ERR_BADKEY);
    tc_file_close(&c, 200); // unknown: ignored
    // Data then an offer without the closing checksum: refused, file broken;
    // the next offer restarts it, and its handle is free again.
    ASSERT_EQ(tc_wopen(&c, "h.bin", 100, 1, &o), 0);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), 0);
    tc_write_silent(&c, o.handle, 8, d, 16);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), ERR_NOCSUM);
    EXPECT_EQ(tc_offer(&c, o.handle, nullptr), ERR_BADKEY);
    tc_file_close(&c, o.handle);

    // More than 255 open files.
    uint8_t rc = 0;
    for (int i = 0; i < 256 && rc == 0; i++)
        rc = tc_wopen(&c, "many/" + std::to_string(i), 10, 1, &o);
    EXPECT_EQ(rc, ERR_FDMAX);
    for (int h = 1; h <= 255; h++)
        tc_file_close(&c, static_cast<uint8_t>(h));

    // Unknown types are answered, not ignored.
    EXPECT_EQ(tc_transact(&c, 100, {}, nullptr), ERR_INVARG);
    EXPECT_EQ(tc_transact(&c, TFS_FILE_WRITE, {1, 2, 0, 0}, nullptr), ERR_INVARG);
    EXPECT_EQ(tc_mkdir(&c, "still/fine"), 0);
    sync(&c);
    EXPECT_EQ(restore("h.bin"), "<none>");
}

TEST_F(ServerTest, BrokenFramesCloseOnlyTheirConnection) {
    stop();
    cfg.idle_timeout_ms = 800;
    open_and_start();

    tc_conn crc; // a wrong CRC
    session(&crc, host2, false);
    std::vector<uint8_t> plain;
    srv_build_packet(TFS_MKDIR, 0, 0, {0, 0, 1, 'q'}, &plain);
    size_t n = ctfs_frame_seal(crc.cipher.get(), plain.data(), plain.size());
    crc.cipher->frame[3] ^= 1;
    tc_send_raw(&crc, crc.cipher->frame, n);
    EXPECT_TRUE(tc_closed_by_peer(&crc));

    tc_conn junk; // garbage after the key exchange
    ASSERT_TRUE(tc_connect(&junk, port));
    uint8_t bytes[37] = {0x00, 0x1f, 1, 2, 3, 4};
    tc_send_raw(&junk, bytes, sizeof bytes);
    EXPECT_TRUE(tc_closed_by_peer(&junk));

    tc_conn greet; // wrong greeting
    greet.sock = plat_net_connect("127.0.0.1", port);
    tc_send_raw(&greet, "GET ", 4);
    EXPECT_TRUE(tc_closed_by_peer(&greet));

    // One that stops in the middle of a frame, and a good peer logged in
    // just before it does (the idle time runs from the last request, so a
    // slow machine cannot close the good one first).
    tc_conn stall;
    session(&stall, host2, false);
    tc_conn good;
    session(&good, host1);
    uint8_t half[3] = {0x00, 0x40, 0};
    tc_send_raw(&stall, half, sizeof half);
    EXPECT_EQ(tc_mkdir(&good, "served/meanwhile"), 0); // others are not held up
    stall.timeout_ms = 5000;
    EXPECT_TRUE(tc_closed_by_peer(&stall));

    // The good peer may have reached its own idle time meanwhile: ask again
    // on a fresh connection of the same identity.
    tc_conn after;
    session(&after, host1);
    EXPECT_EQ(tc_mkdir(&after, "after"), 0);
    tc_page p;
    ASSERT_EQ(tc_find(&after, 0, 0x20, "", &p), 0);
    EXPECT_EQ(p.count, 2); // "after" and "served": nothing from the broken peers
}

TEST_F(ServerTest, CrashDuringUploadsLeavesNoDamage) {
    std::string data = make_data(2 * (1 << 20) + 5, 5);
    {
        tc_conn c;
        session(&c, host1);
        ASSERT_EQ(tc_send_file(&c, "kept.bin", data, 1, key).result, 0);
        sync(&c);
        std::atomic<bool> go{true};
        std::thread uploader([&] {
            tc_conn u;
            session(&u, host2, false);
            tc_lock(&u, 0, {2});
            for (int i = 0; go && i < 50; i++)
                tc_send_file(&u, "up/" + std::to_string(i), data, 1, key);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        srv_abandon(srv); // as if the process was killed
        srv = nullptr;
        go = false;
        uploader.join();
        srv_store_close(st);
        st = nullptr;
    }
    // A temporary the "crash" left in the local store's blocks/tmp is
    // cleared when serving starts again (a store elsewhere stages blocks in
    // the serving process's memory, which the crash took with it).
    const bool local = backends.local_blocks();
    const std::string leftover = dir + "/blocks/tmp/leftover";
    if (local) {
        FILE* f = fopen(leftover.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    open_and_start();
    if (local) {
        EXPECT_FALSE(fs::exists(leftover));
    }
    EXPECT_EQ(srv_cmd_verify_all(st, 0, key), 0);
    EXPECT_EQ(restore("kept.bin"), data);
}

namespace {

// A session of the agent's own protocol client, pointed at the test server
// through a server-list file of its own.
void agent_session(ctfs_session* s, const std::string& hosts, const uint8_t* digest,
                   const uint8_t* host) {
    ctfs_session_init(s);
    s->auth_mode = 1;
    s->user_id = 7;
    memcpy(s->host_id, host, 20);
    memcpy(s->key_digest, digest, 20);
    snprintf(s->primary_list, sizeof s->primary_list, "%s", hosts.c_str());
    s->cipher_mode = 3;
    snprintf(s->job_name, sizeof s->job_name, "Documents");
    snprintf(s->schedule_name, sizeof s->schedule_name, "docs.tbs");
}

uint8_t agent_lock(ctfs_session* s, uint8_t flags, uint32_t id) {
    ctfs_lock_request r{flags, 1, &id};
    return ctfs_user_lock(s, &r);
}

// The per-file exchange as the agent's backup does it, through the client.
struct agent_send {
    uint8_t result = 0;
    int up2date = 0;
    int sent = 0;
};

agent_send agent_send_file(ctfs_session* s, const char* path, const std::string& data,
                           uint32_t mtime, const uint8_t* key) {
    agent_send out;
    ctfs_wopen_request o{};
    o.open_mode = 1;
    o.mtime = mtime;
    o.path = path;
    o.size = data.size();
    out.result = ctfs_file_wopen(s, &o);
    if (out.result) return out;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(data.data());
    for (uint32_t e = 0; e < o.block_count; e++) {
        size_t off = static_cast<size_t>(e) * o.block_size;
        size_t n = std::min<size_t>(o.block_size, data.size() - off);
        uint8_t md5[16];
        tc_md5(base + off, n, md5);
        bool with_md5 = o.block_count != 1 && e < o.known_blocks;
        ctfs_write_request w{o.handle, 1, static_cast<uint16_t>(with_md5 ? 16 : 0), md5, 0};
        uint8_t rc = ctfs_file_write(s, &w);
        if (rc == ERR_UP2DATE) {
            out.up2date++;
            continue;
        }
        if (rc) {
            out.result = rc;
            return out;
        }
        std::vector<uint8_t> enc = tc_encode_block(key, base + off, n);
        for (size_t pos = 0; pos <= enc.size(); pos += 65466) {
            ctfs_write_request d{o.handle, 8,
                                 static_cast<uint16_t>(std::min<size_t>(65466, enc.size() - pos)),
                                 enc.data() + pos, 0};
            ctfs_file_write(s, &d);
        }
        ctfs_write_request cs{o.handle, 10, static_cast<uint16_t>(o.block_count == 1 ? 0 : 16), md5,
                              0};
        ctfs_file_write(s, &cs);
        out.sent++;
    }
    ctfs_file_close(s, o.handle);
    return out;
}

} // namespace

TEST_F(ServerTest, AgentProtocolClientEndToEnd) {
    ASSERT_EQ(ctfs_init(), 0);
    std::string hosts = dir + "/hosts";
    FILE* hf = fopen(hosts.c_str(), "w");
    fprintf(hf, "127.0.0.1:%u\n", port);
    fclose(hf);

    ctfs_session* a = new ctfs_session();
    ctfs_session* b = new ctfs_session();
    agent_session(a, hosts, digest, host1);
    agent_session(b, hosts, digest, host2);
    ASSERT_EQ(agent_lock(a, 0, 1), 0); // connects, keys and logs in on demand
    EXPECT_STREQ(a->account.account_name, "acme");
    EXPECT_STREQ(a->user.user_name, "bob");
    EXPECT_EQ(a->fci_stamp, 0u);
    EXPECT_EQ(agent_lock(b, 0, 1), ERR_ACCESS);

    ctfs_path_request mk{0, "C Drive/docs"};
    EXPECT_EQ(ctfs_mkdir(a, &mk), 0);
    EXPECT_EQ(ctfs_mkdir(a, &mk), ERR_EXISTS);
    for (int i = 0; i < 250; i++) {
        char name[64];
        snprintf(name, sizeof name, "C Drive/docs/n%03d", i);
        ASSERT_EQ(agent_send_file(a, name, "", 1, key).result, 0);
    }
    ctfs_find_request f{0, 0x20, "", "C Drive/docs", 0, 0, 0, nullptr};
    int answers = 0, entries = 0;
    for (;;) {
        ASSERT_EQ(ctfs_find_files(a, &f), 0);
        answers++;
        entries += blob_list_count(f.entries);
        uint32_t further = f.further;
        uint8_t next = f.next_cursor;
        ctfs_find_files_free(&f);
        if (!further) break;
        f = ctfs_find_request{next, 0x20, "", "", 0, 0, 0, nullptr};
    }
    EXPECT_EQ(answers, 3);
    EXPECT_EQ(entries, 250);

    std::string v1 = make_data(5 * (1 << 20), 9);
    agent_send s1 = agent_send_file(a, "C Drive/docs/five.bin", v1, 4000, key);
    ASSERT_EQ(s1.result, 0);
    EXPECT_EQ(s1.sent, 5);
    EXPECT_EQ(agent_send_file(a, "C Drive/docs/five.bin", v1, 4000, key).result, ERR_UP2DATE);
    std::string v2 = v1;
    v2[2 * (1 << 20) + 5] ^= 1;
    agent_send s2 = agent_send_file(a, "C Drive/docs/five.bin", v2, 4100, key);
    ASSERT_EQ(s2.result, 0);
    EXPECT_EQ(s2.up2date, 4);
    EXPECT_EQ(s2.sent, 1);

    std::string body = make_data(150000, 10);
    blob_list* to = blob_list_new(1, 1, blob_list_default_destroy);
    blob_list_insert(to, "a@b", 4, -1);
    ctfs_email_request em{42, to, static_cast<uint32_t>(body.size()), body.data()};
    EXPECT_EQ(ctfs_email(a, &em), 0);
    blob_list_free(to);

    a->fci_stamp = 1765000000u;
    EXPECT_EQ(agent_lock(a, 5, 0), 0); // release with the stamp
    ctfs_session_close(a);
    EXPECT_EQ(agent_lock(b, 0, 1), 0);
    ctfs_session_close(b);

    agent_session(a, hosts, digest, host1);
    ASSERT_EQ(agent_lock(a, 2, 1), ERR_ACCESS); // b holds it now; the log-in still happened
    EXPECT_EQ(a->fci_stamp, 1765000000u);
    ctfs_session_close(a);
    delete a;
    delete b;

    EXPECT_EQ(restore("C Drive/docs/five.bin"), v2);
    std::vector<cat_mail> mails;
    st->cat.ops->mail_list(st->cat.self, &mails);
    ASSERT_EQ(mails.size(), 1u);
    cat_mail m;
    st->cat.ops->mail_get(st->cat.self, mails[0].id, &m);
    EXPECT_EQ(m.body, body);
}

TEST_F(ServerTest, AccountKeyFromAnInstallationsSchedule) {
    std::string root = dir + "/inst";
    fs::create_directories(root + "/etc");
    std::string err;
    uint8_t got[32];
    uint32_t user = 0;
    // No machine key: refused, and none is made behind the caller's back.
    EXPECT_FALSE(srv_key_from_schedule(root + "/x.tbs", root, got, &user, &err));
    EXPECT_FALSE(fs::exists(root + "/etc/tavni.ak"));

    unsigned char mk[MACHINE_KEY_SIZE];
    ASSERT_EQ(machine_key_from_file((root + "/etc/tavni.ak").c_str(), mk), 0);
    std::string text = "# Tavni Backup Schedule\nUserId=7\nacckey=";
    for (uint8_t b : key) {
        char h[3];
        snprintf(h, sizeof h, "%02x", b);
        text += h;
    }
    text += "\nname=Docs\n";
    FILE* f = fopen((root + "/x.tbs").c_str(), "wb");
    crypt_file cf;
    ASSERT_EQ(crypt_file_open_key(&cf, f, 1, mk), 0);
    crypt_file_write(&cf, text.data(), text.size());
    ASSERT_EQ(crypt_file_finish(&cf), 0);
    fclose(f);
    ASSERT_TRUE(srv_key_from_schedule(root + "/x.tbs", root, got, &user, &err)) << err;
    EXPECT_EQ(memcmp(got, key, 32), 0);
    EXPECT_EQ(user, 7u);

    // A relative name not found from here is the installation's schedule.
    memset(got, 0, sizeof got);
    ASSERT_TRUE(srv_key_from_schedule("x.tbs", root, got, &user, &err)) << err;
    EXPECT_EQ(memcmp(got, key, 32), 0);
    EXPECT_FALSE(srv_key_from_schedule("y.tbs", root, got, &user, &err));
    EXPECT_NE(err.find("y.tbs"), std::string::npos) << err;
}
