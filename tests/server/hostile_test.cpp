// hostile_test.cpp - peers that try to starve or stop the server: sockets
// that never log in, floods of wrong log-ins, listing filters built to make a
// matcher backtrack, hoarded file handles, announced mail, plain-text
// sessions. After each, a well-behaved client is served and its data restores.
#include "server_fixture.h"
#include "test_client.h"

#include "protocol/codes.h"
#include "protocol/handshake.h"
#include "tools/server/serving.h"

#include <gtest/gtest.h>

// glibc's heap totals (Linux-only test): what announced mail lengths cost.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

int64_t ms_since(clock_type::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
}

// The server's log lines, kept so that a test can wait for one.
struct log_capture {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> lines;

    static void sink(void* ctx, const char* line) {
        log_capture* l = static_cast<log_capture*>(ctx);
        std::lock_guard<std::mutex> g(l->mu);
        l->lines.push_back(line);
        l->cv.notify_all();
    }

    static bool has_all(const std::string& line, const std::vector<std::string>& parts) {
        for (const std::string& p : parts)
            if (line.find(p) == std::string::npos) return false;
        return true;
    }

    // Waits (a generous 20 s at most) for a line holding every part.
    bool wait_for(const std::vector<std::string>& parts) {
        std::unique_lock<std::mutex> g(mu);
        return cv.wait_for(g, std::chrono::seconds(20), [&] {
            for (const std::string& l : lines)
                if (has_all(l, parts)) return true;
            return false;
        });
    }

    size_t count(const std::vector<std::string>& parts) {
        std::lock_guard<std::mutex> g(mu);
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& l) { return has_all(l, parts); }));
    }

    std::string all() {
        std::lock_guard<std::mutex> g(mu);
        std::string t;
        for (const std::string& l : lines)
            t += l + "\n";
        return t;
    }
};

struct ServerHostile : server_fixture {
    log_capture log;
    uint8_t key8[32], digest8[20];

    void SetUp() override {
        cfg.log = log_capture::sink;
        cfg.log_ctx = &log;
        server_fixture::SetUp();
        for (int i = 0; i < 32; i++)
            key8[i] = static_cast<uint8_t>(255 - i);
        tc_sha1(key8, 32, digest8);
        ASSERT_EQ(srv_cmd_user_add(st, 8, "eve", "elsewhere", digest8), 0);
    }

    void restart() {
        stop();
        open_and_start();
    }

    // Connected and logged in as user 8 from host, holding its destination 1.
    void session8(tc_conn* c, const uint8_t* host) {
        ASSERT_TRUE(tc_connect(c, port));
        ASSERT_EQ(tc_login(c, 8, digest8, host, "hoard.tbs"), 0);
        ASSERT_EQ(tc_lock(c, 0, {1}), 0);
    }

    // A normal client backs a file up; it must restore byte for byte.
    void served_normally(const std::string& path, uint32_t seed) {
        tc_conn good;
        session(&good, host1);
        if (HasFatalFailure()) return; // not served at all
        std::string data = make_data(300000 + seed, seed);
        EXPECT_EQ(tc_send_file(&good, path, data, 1000 + seed, key).result, 0);
        sync(&good);
        EXPECT_EQ(restore(path), data);
    }
};

// A first mail part announcing body_len, carrying piece.
std::vector<uint8_t> mail_first(uint32_t body_len, const std::string& piece) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, 0);
    srv_put_u64(&p, 42);
    srv_put_u8(&p, 1);
    srv_put_text8(&p, "owner@example.com");
    srv_put_u32(&p, body_len);
    srv_put_u16(&p, static_cast<uint16_t>(piece.size()));
    p.insert(p.end(), piece.begin(), piece.end());
    return p;
}

std::vector<uint8_t> mail_further(const std::string& piece) {
    std::vector<uint8_t> p;
    srv_put_u8(&p, 2);
    srv_put_u16(&p, static_cast<uint16_t>(piece.size()));
    p.insert(p.end(), piece.begin(), piece.end());
    return p;
}

size_t heap_bytes() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

} // namespace

TEST_F(ServerHostile, APeerHasOneShortDeadlineToLogInHoweverItSpendsIt) {
    cfg.login_timeout_ms = 500;
    cfg.idle_timeout_ms = 60000; // the idle time no longer shields a peer that never logs in
    restart();
    tc_conn good; // logged in at once: the deadline is not its concern
    session(&good, host1);

    auto t0 = clock_type::now();
    tc_conn silent; // sends nothing at all
    silent.timeout_ms = 30000;
    ASSERT_TRUE(tc_connect_raw(&silent, port));
    tc_conn slow; // keyed, then keeps asking without logging in; each answer is a refusal
    slow.timeout_ms = 30000;
    ASSERT_TRUE(tc_connect(&slow, port));
    int answered = 0;
    while (tc_mkdir(&slow, "x") == ERR_ACCESS && ms_since(t0) < 30000)
        answered++;
    EXPECT_GT(answered, 0);
    EXPECT_LT(ms_since(t0), 10000) << "requests without a log-in kept the connection";
    EXPECT_TRUE(tc_closed_by_peer(&silent));
    EXPECT_LT(ms_since(t0), 10000) << "a silent socket outlived the log-in time";
    EXPECT_TRUE(log.wait_for({"closed: no log-in within the log-in time"})) << log.all();
    EXPECT_EQ(tc_mkdir(&good, "still/served"), 0);
}

TEST_F(ServerHostile, SilentSocketsOfOneAddressLeaveRoomForOthers) {
    cfg.max_connections = 12;
    cfg.max_connections_per_address = 4;
    cfg.login_timeout_ms = 60000; // they would hold their slots for a minute
    restart();
    std::vector<std::unique_ptr<tc_conn>> silent;
    for (int i = 0; i < 30; i++) {
        silent.emplace_back(new tc_conn());
        silent.back()->source = "127.0.0.2";
        ASSERT_TRUE(tc_connect_raw(silent.back().get(), port));
    }
    // Accepted after all of them (the queue is in order): still served.
    served_normally("silent/f.bin", 1);
    EXPECT_TRUE(log.wait_for({"from 127.0.0.2:", "refused: 4 connections from 127.0.0.2 are open"}))
        << log.all();
}

TEST_F(ServerHostile, WrongLogInsWaitPerAddressAndUserAndNeverDelayAnHonestOne) {
    cfg.login_fail_delay_ms = 100;
    cfg.login_fail_delay_max_ms = 1000;
    cfg.unknown_user_free_failures = 4;
    restart();
    uint8_t wrong[20];
    memcpy(wrong, digest, 20);
    wrong[19] ^= 0x80;
    // A flood of wrong log-ins as user 7, and as ids that do not exist,
    // from one address.
    auto flood = [&](uint32_t user, int tries) {
        tc_conn c;
        c.source = "127.0.0.2";
        int refused = 0;
        for (int i = 0; i < tries; i++) {
            if (!c.cipher && !tc_connect(&c, port)) {
                tc_close(&c);
                continue;
            }
            if (tc_login(&c, user, wrong, host2, "guess.tbs") == ERR_AUTH_FAILURE) refused++;
            tc_close(&c); // a refused log-in ends its connection
        }
        return refused;
    };
    EXPECT_EQ(flood(7, 150), 150);
    EXPECT_EQ(flood(999, 60), 60);
    // Only the first of each waiting period got a line of its own; the rest
    // were refused in summary, without a growing wait.
    const size_t checked = log.count({"log-in of user 7 refused: the account key digest"});
    EXPECT_GE(checked, 1u);
    EXPECT_LE(checked, 40u) << "wrong log-ins were each logged";
    EXPECT_TRUE(log.wait_for({"log-in of user 7 refused while 127.0.0.2 waits"})) << log.all();
    EXPECT_LE(log.count({"log-in of user 999 refused: no such user"}), 40u);
    EXPECT_TRUE(log.wait_for({"log-in of user 999 refused while 127.0.0.2 waits",
                              "users that do not exist"}))
        << log.all();
    // The same address: user 8 logs in at once, and so does user 7 with the
    // right key, while the pair (address, 7) still waits.
    tc_conn eve;
    eve.source = "127.0.0.2";
    ASSERT_TRUE(tc_connect(&eve, port));
    EXPECT_EQ(tc_login(&eve, 8, digest8, host2, "eve.tbs"), 0);
    tc_conn honest;
    honest.source = "127.0.0.2";
    ASSERT_TRUE(tc_connect(&honest, port));
    EXPECT_EQ(tc_login(&honest, 7, digest, host2, "honest.tbs"), 0);
    // And another address is served as if nothing happened.
    served_normally("flood/f.bin", 2);
}

TEST_F(ServerHostile, FailedKeyExchangesSlowTheirAddressAndAreLoggedInSummary) {
    cfg.login_fail_delay_ms = 100;
    cfg.login_fail_delay_max_ms = 1000;
    cfg.key_exchange_free_failures = 3;
    // The back-off alone: on a slow machine (an emulator) the closed
    // connections' threads end late, and the early random drop of connections
    // that have not logged in would take the flood's key blocks away first.
    cfg.prelogin_start = cfg.prelogin_max = 1000;
    restart();
    for (int i = 0; i < 60; i++) {
        tc_conn c;
        c.source = "127.0.0.3";
        if (!tc_connect_raw(&c, port)) continue;
        // The greeting, then a key block that decrypts to nothing; the
        // server closes the connection after it (or at once while the
        // address waits).
        std::vector<uint8_t> bytes(tfs_greeting, tfs_greeting + TFS_GREETING_LEN);
        bytes.resize(bytes.size() + TFS_KEY_BLOCK, 0x5a);
        tc_send_raw(&c, bytes.data(), bytes.size());
        tc_closed_by_peer(&c);
    }
    EXPECT_TRUE(log.wait_for({"connection from 127.0.0.3:", "failed key exchanges from 127.0.0.3"}))
        << log.all();
    // One summary line for the address (a minute has not passed), no line
    // per connection.
    EXPECT_EQ(log.count({"127.0.0.3: ", "ended before the key exchange"}), 1u) << log.all();
    EXPECT_EQ(log.count({"from 127.0.0.3:", "key exchange block is not one"}), 0u) << log.all();
    // Another address (and the agent's log-in) is not slowed.
    served_normally("kex/f.bin", 3);
}

TEST_F(ServerHostile, ListingFiltersMatchAsTheAgentDoesAndInLinearTime) {
    tc_conn c;
    session(&c, host1);
    const std::string longname(200, 'a');
    for (const std::string& n : {longname, std::string("Report.TMP"), std::string("a?c"),
                                 std::string("abc"), std::string("notes.txt")})
        ASSERT_EQ(tc_mkdir(&c, "d/" + n), 0) << n;
    auto names = [&](const std::string& filter) {
        tc_page p;
        std::vector<std::string> out;
        EXPECT_EQ(tc_find(&c, 0, 0x21, "d", &p, filter), 0) << filter;
        for (const tc_entry& e : p.entries)
            out.push_back(e.name);
        std::sort(out.begin(), out.end());
        return out;
    };
    using names_t = std::vector<std::string>;
    EXPECT_EQ(names("*.tmp"), names_t{"Report.TMP"}); // case never matters
    EXPECT_EQ(names("A?C"), names_t{"a?c"});          // '?' is an ordinary character
    EXPECT_EQ(names("a*c"), (names_t{"a?c", "abc"}));
    EXPECT_EQ(names("").size(), 5u);
    // A filter that a backtracking matcher would spend ages on: answered at once.
    std::string bomb;
    for (int i = 0; i < 40; i++)
        bomb += "*a";
    bomb += "*b";
    auto t0 = clock_type::now();
    EXPECT_EQ(names(bomb), names_t{});
    EXPECT_EQ(names(bomb.substr(0, bomb.size() - 2) + "*"), names_t{longname});
    EXPECT_LT(ms_since(t0), 5000);
}

TEST_F(ServerHostile, OpenFilesAreBudgetedPerConnectionUserAndServer) {
    cfg.max_handles_per_connection = 4;
    cfg.max_handles_per_user = 6;
    cfg.max_handles = 10;
    restart();
    // Opens files until refused; each holds a temporary file (a block under way).
    int serial = 0;
    auto hoard = [&](tc_conn* h, std::vector<uint8_t>* handles) {
        for (int i = 0; i < 300; i++) {
            tc_open o;
            uint8_t rc = tc_wopen(h, "hoard/" + std::to_string(serial++), 100, 1, &o);
            if (rc != 0) return rc;
            uint8_t junk[32] = {0};
            EXPECT_EQ(tc_offer(h, o.handle, nullptr), 0);
            tc_write_silent(h, o.handle, 8, junk, sizeof junk);
            if (handles) handles->push_back(o.handle);
        }
        return static_cast<uint8_t>(0);
    };
    tc_conn h1, h2;
    session8(&h1, host2);
    session8(&h2, host2);
    std::vector<uint8_t> got1, got2;
    EXPECT_EQ(hoard(&h1, &got1), ERR_FDMAX);
    EXPECT_EQ(got1.size(), 4u); // per connection
    EXPECT_EQ(hoard(&h2, &got2), ERR_FDMAX);
    EXPECT_EQ(got2.size(), 2u); // per user
    EXPECT_TRUE(log.wait_for({"opening a file refused: user 8 holds 6 open files"})) << log.all();

    // Another user's work goes on.
    served_normally("budget/f.bin", 3);

    // The server's own budget: user 7 may hold the four handles left, no fifth.
    tc_conn a, b;
    session(&a, host1);
    session(&b, host1);
    std::vector<uint8_t> held;
    EXPECT_EQ(hoard(&a, &held), ERR_FDMAX);
    EXPECT_EQ(held.size(), 4u);
    tc_open o;
    EXPECT_EQ(tc_wopen(&b, "one/more", 10, 1, &o), ERR_FDMAX);
    EXPECT_TRUE(log.wait_for({"the server holds 10 open files"})) << log.all();
    // A closed file gives its handle back.
    tc_file_close(&a, held[0]);
    sync(&a); // the close has been read
    EXPECT_EQ(tc_wopen(&b, "one/more", 10, 1, &o), 0);
    // So does a connection that ends: user 8 may open again.
    tc_close(&h1);
    auto t0 = clock_type::now();
    uint8_t rc = ERR_FDMAX;
    while (rc == ERR_FDMAX && ms_since(t0) < 20000)
        rc = tc_wopen(&h2, "after/close", 10, 1, &o);
    EXPECT_EQ(rc, 0);
}

TEST_F(ServerHostile, MailIsHeldOnlyAsItArrivesAndWithinTheReportLimit) {
    // Four mails announce the largest body a report may have and send a
    // little: memory follows what arrived.
    std::vector<std::unique_ptr<tc_conn>> cs;
    for (int i = 0; i < 4; i++) {
        cs.emplace_back(new tc_conn());
        session(cs.back().get(), host1, false);
    }
    size_t before = heap_bytes();
    for (auto& c : cs)
        ASSERT_EQ(
            tc_transact(c.get(), TFS_EMAIL, mail_first(10485760, std::string(1000, 'm')), nullptr),
            0);
    size_t after = heap_bytes();
    EXPECT_LT(after > before ? after - before : 0, size_t{8} << 20);

    // Past the report limit, or a piece longer than a part carries: refused.
    tc_conn& c = *cs[0];
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, mail_first(10485761, "x"), nullptr), ERR_INVARG);
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, mail_first(1 << 20, "x"), nullptr), 0);
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, mail_further(std::string(60001, 'y')), nullptr),
              ERR_INVARG);

    // Many small parts make one mail.
    std::string body;
    const int parts = 3000;
    for (int i = 0; i < parts; i++)
        body += "part " + std::to_string(i % 10) + std::string(44, '.');
    ASSERT_EQ(tc_transact(&c, TFS_EMAIL,
                          mail_first(static_cast<uint32_t>(body.size()), body.substr(0, 50)),
                          nullptr),
              0);
    for (int i = 1; i < parts; i++)
        ASSERT_EQ(tc_transact(&c, TFS_EMAIL, mail_further(body.substr(i * 50, 50)), nullptr), 0)
            << i;
    std::vector<cat_mail> all;
    st->cat.ops->mail_list(st->cat.self, &all);
    ASSERT_EQ(all.size(), 1u);
    cat_mail m;
    ASSERT_EQ(st->cat.ops->mail_get(st->cat.self, all[0].id, &m), CAT_OK);
    EXPECT_EQ(m.body, body);
    // One part too many is refused.
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, mail_first(10, "0123456789"), nullptr), 0);
    EXPECT_EQ(tc_transact(&c, TFS_EMAIL, mail_further("!"), nullptr), ERR_INVARG);
}

TEST_F(ServerHostile, PlainTextSessionsOnlyWhenAllowed) {
    tc_conn n;
    EXPECT_FALSE(tc_connect(&n, port, 1));
    EXPECT_FALSE(tc_connect(&n, port, 2));
    EXPECT_TRUE(log.wait_for({"refused: a plain-text session (cipher mode 1)"})) << log.all();
    EXPECT_TRUE(log.wait_for({"closed: plain text refused"})) << log.all();
    served_normally("aes/f.bin", 4);

    cfg.allow_plaintext = true;
    restart();
    ASSERT_TRUE(tc_connect(&n, port, 1));
    EXPECT_EQ(tc_login(&n, 7, digest, host2, "s"), 0);
}

TEST_F(ServerHostile, ConnectionsLogInsAndClosesAreLogged) {
    {
        tc_conn c;
        session(&c, host1, false);
    }
    EXPECT_TRUE(log.wait_for({"connection ", " from 127.0.0.1:"})) << log.all();
    EXPECT_TRUE(log.wait_for({" from 127.0.0.1:", ": user 7 logged in"})) << log.all();
    EXPECT_TRUE(log.wait_for({" from 127.0.0.1:", " closed: the peer closed it"})) << log.all();
    EXPECT_EQ(log.count({"logged in"}), 1u);
}

TEST_F(ServerHostile, SilentSocketsAreEvictedOldestFirstForNewcomers) {
    // Room for eight connections that have not logged in, and no random
    // drop: the budget is full at once.
    cfg.prelogin_start = 8;
    cfg.prelogin_max = 8;
    cfg.login_timeout_ms = 60000;       // they would hold their slots for a minute...
    cfg.first_bytes_timeout_ms = 60000; // ...saying nothing
    restart();
    const char* from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<std::unique_ptr<tc_conn>> silent;
    for (int i = 0; i < 16; i++) {
        silent.emplace_back(new tc_conn());
        silent.back()->source = from[i % 4];
        silent.back()->timeout_ms = 100;
        ASSERT_TRUE(tc_connect_raw(silent.back().get(), port));
    }
    // The first eight were closed, oldest first, to make room for the next
    // eight; the later ones still stand.
    for (int i = 0; i < 8; i++) {
        silent[i]->timeout_ms = 20000;
        EXPECT_TRUE(tc_closed_by_peer(silent[i].get())) << i;
    }
    for (int i = 12; i < 16; i++)
        EXPECT_FALSE(tc_closed_by_peer(silent[i].get())) << i;
    // The good client gets a slot by the same rule, and once its key block is
    // in it is not evicted by the next newcomers.
    served_normally("evict/f.bin", 5);
    EXPECT_TRUE(log.wait_for({"127.0.0.2: ", "ended before the key exchange", "closed for newer ones"}))
        << log.all();
}

TEST_F(ServerHostile, ConnectionsPastTheStartOfTheBudgetAreDroppedAtRandom) {
    cfg.prelogin_start = 2;
    cfg.prelogin_rate = 50;
    cfg.prelogin_max = 200;
    cfg.login_timeout_ms = 60000;
    cfg.first_bytes_timeout_ms = 60000;
    restart();
    std::vector<std::unique_ptr<tc_conn>> silent;
    int dropped = 0, kept = 0;
    for (int i = 0; i < 40; i++) {
        silent.emplace_back(new tc_conn());
        silent.back()->source = i % 2 ? "127.0.0.6" : "127.0.0.7";
        silent.back()->timeout_ms = 300;
        ASSERT_TRUE(tc_connect_raw(silent.back().get(), port));
        if (tc_closed_by_peer(silent.back().get()))
            dropped++;
        else
            kept++;
    }
    // Half or more dropped past the start; never all of them.
    EXPECT_GE(dropped, 10);
    EXPECT_GE(kept, 3);
    EXPECT_TRUE(log.wait_for({"refused: dropped at random while many connections have not "
                              "logged in"}))
        << log.all();
}

TEST_F(ServerHostile, ListingsArePagedFromTheCatalogAndBudgeted) {
    // A folder of 20,000 entries, made in one commit.
    std::vector<cat_commit> batch;
    for (int i = 0; i < 20000; i++) {
        cat_commit cm;
        cm.user = 8;
        char name[32];
        snprintf(name, sizeof name, "big/f%05d", i);
        cm.path = name;
        cm.size = 0;
        cm.mtime = 1000;
        cm.block_size = 1u << 20;
        batch.push_back(cm);
    }
    std::vector<int> results;
    ASSERT_EQ(st->cat.ops->commit(st->cat.self, batch, 1000, &results), CAT_OK);
    batch.clear();
    // A whole listing, page by page: every name once, in order, with the
    // count of what is still to come going down to 0.
    {
        tc_conn c;
        session8(&c, host2);
        tc_page p;
        ASSERT_EQ(tc_find(&c, 0, 0x21, "big", &p), 0);
        size_t seen = p.entries.size();
        uint32_t further = p.further;
        EXPECT_EQ(further + seen, 20000u);
        std::string last = p.entries.back().name;
        while (p.further) {
            tc_page q;
            ASSERT_EQ(tc_find(&c, p.cursor, 0x21, "", &q), 0);
            ASSERT_FALSE(q.entries.empty());
            EXPECT_LT(last, q.entries.front().name);
            EXPECT_LT(q.further, further);
            further = q.further;
            seen += q.entries.size();
            last = q.entries.back().name;
            p = q;
        }
        EXPECT_EQ(seen, 20000u);
    }
    // 96 listings held open after their first page cost next to nothing.
    const size_t before = heap_bytes();
    std::vector<std::unique_ptr<tc_conn>> conns;
    int open = 0;
    for (int k = 0; k < 6; k++) {
        conns.emplace_back(new tc_conn());
        tc_conn* c = conns.back().get();
        ASSERT_TRUE(tc_connect(c, port));
        ASSERT_EQ(tc_login(c, 8, digest8, host2, "list.tbs"), 0);
        for (int i = 0; i < 16; i++) {
            tc_page p;
            if (tc_find(c, 0, 0x21, "big", &p) == 0 && p.further) open++;
        }
    }
    EXPECT_EQ(open, 96);
    const size_t grown = heap_bytes() - std::min(before, heap_bytes());
    EXPECT_LT(grown, size_t(32) << 20) << "96 open listings took " << grown << " bytes";
    conns.clear();

    // What open listings hold is budgeted: past the connection's budget a new
    // listing is refused; closing one (reading it to its end) gives room.
    cfg.listing_bytes_per_connection = 4 * (sizeof(serving::listing) + 64);
    restart();
    tc_conn c;
    session8(&c, host2);
    std::vector<uint8_t> cursors;
    uint8_t refused = 0;
    for (int i = 0; i < 8 && refused == 0; i++) {
        tc_page p;
        refused = tc_find(&c, 0, 0x21, "big", &p);
        if (refused == 0) cursors.push_back(p.cursor);
    }
    EXPECT_EQ(refused, ERR_FINDMAX);
    EXPECT_GE(cursors.size(), 2u);
    EXPECT_LT(cursors.size(), 8u);
    EXPECT_TRUE(log.wait_for({"a listing refused: its listings hold"})) << log.all();
    // The other user is not held up by this connection's listings.
    tc_conn good;
    session(&good, host1);
    tc_page p;
    EXPECT_EQ(tc_find(&good, 0, 0x21, "", &p), 0);

    // A budget the listing fits only before its first page's last name is
    // counted: refused then, never answered with a cursor the server drops.
    cfg.listing_bytes_per_connection = sizeof(serving::listing) + 3; // the listing of "big"
    restart();
    tc_conn tight;
    session8(&tight, host2);
    EXPECT_EQ(tc_find(&tight, 0, 0x21, "big", &p), ERR_FINDMAX);
}
