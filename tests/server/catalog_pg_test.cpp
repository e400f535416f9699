// catalog_pg_test.cpp - what only the PostgreSQL catalog has: schema steps,
// a connection the database ended, writers in several processes, and the
// user locks as leases shared by several serving processes (frontends).
// Every case skips when no server is configured (TAVNI_PG_CONNINFO).
#include "test_client.h"

#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/store.h"

#include "protocol/codes.h"
#include "support/pg_scratch.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#ifdef TAVNI_HAVE_LIBPQ

namespace {

cat_holder holder(uint32_t user, uint8_t fill) {
    cat_holder h{user, {}};
    memset(h.host, fill, 20);
    return h;
}

struct PgCatalogTest : ::testing::Test {
    pg_scratch pg;
    std::vector<catalog> opened;

    void SetUp() override {
        std::string why = pg_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        std::string err;
        ASSERT_TRUE(pg.make(&err)) << err;
    }
    void TearDown() override {
        for (catalog& c : opened)
            c.ops->destroy(c.self);
    }
    // Opens the scratch database as one more process would; ops null on
    // failure with *err.
    catalog open(bool create, std::string* err) {
        catalog c = catalog_pg_open(pg.conninfo, create, err);
        if (c.ops) opened.push_back(c);
        return c;
    }
    uint8_t take(catalog c, const cat_holder& h, std::vector<uint32_t> dests, uint32_t ttl_ms) {
        return static_cast<uint8_t>(c.ops->lease_take(c.self, h, dests, "test", ttl_ms));
    }
    std::vector<uint32_t> renew(catalog c, const cat_holder& h) {
        std::vector<uint32_t> d;
        EXPECT_EQ(c.ops->lease_renew(c.self, h, "test", 60000, &d), CAT_OK);
        return d;
    }
};

TEST_F(PgCatalogTest, SchemaIsMadeOnceJoinedAndBroughtUpToDate) {
    std::string err;
    catalog none = catalog_pg_open(pg.conninfo, false, &err);
    EXPECT_EQ(none.ops, nullptr);
    EXPECT_NE(err.find("no catalog"), std::string::npos) << err;
    catalog c = open(true, &err);
    ASSERT_NE(c.ops, nullptr) << err;
    ASSERT_EQ(c.ops->user_add(c.self, cat_user{7, "bob", "acme", 0, {}}), CAT_OK);
    // Another frontend's init joins the catalog and keeps its rows.
    catalog joined = open(true, &err);
    ASSERT_NE(joined.ops, nullptr) << err;
    cat_user u;
    EXPECT_EQ(joined.ops->user_get(joined.self, 7, &u), CAT_OK);

    // A catalog of the first schema (no leases, no stamp epochs) gets them
    // when opened, and keeps its rows.
    ASSERT_TRUE(pg.sql("DROP TABLE leases; ALTER TABLE users DROP COLUMN stamp_epoch; "
                       "ALTER TABLE holders DROP COLUMN epoch; "
                       "UPDATE schema_version SET version = 1",
                       true))
        << pg.last;
    catalog old = open(false, &err);
    ASSERT_NE(old.ops, nullptr) << err;
    EXPECT_EQ(old.ops->user_get(old.self, 7, &u), CAT_OK);
    EXPECT_EQ(u.stamp_epoch, 0u);
    EXPECT_EQ(take(old, holder(7, 1), {1}, 60000), CAT_OK);
    ASSERT_EQ(old.ops->holder_note(old.self, holder(7, 1)), CAT_OK);
    EXPECT_EQ(old.ops->stamp_vouch(old.self, 7, holder(7, 1).host, "daily", 5), CAT_OK);
    // One of the third schema gets the indexes of paged listings.
    ASSERT_TRUE(pg.sql("DROP INDEX folders_page; DROP INDEX versions_page; "
                       "UPDATE schema_version SET version = 3",
                       true))
        << pg.last;
    catalog second = open(false, &err);
    ASSERT_NE(second.ops, nullptr) << err;
    ASSERT_TRUE(pg.sql("SELECT 'folders_page'::regclass, 'versions_page'::regclass", true))
        << pg.last;

    ASSERT_TRUE(pg.sql("UPDATE schema_version SET version = 99", true)) << pg.last;
    EXPECT_EQ(catalog_pg_open(pg.conninfo, false, &err).ops, nullptr);
    EXPECT_NE(err.find("newer"), std::string::npos) << err;

    // No server there at all.
    EXPECT_EQ(
        catalog_pg_open("host=/nonexistent-socket-dir dbname=x connect_timeout=2", false, &err).ops,
        nullptr);
    EXPECT_NE(err.find("cannot connect"), std::string::npos) << err;
}

TEST_F(PgCatalogTest, AConnectionTheDatabaseEndedIsOpenedAgain) {
    std::string err;
    catalog c = open(true, &err);
    ASSERT_NE(c.ops, nullptr) << err;
    ASSERT_EQ(c.ops->user_add(c.self, cat_user{7, "bob", "acme", 0, {}}), CAT_OK);
    // A read finds the connection gone and runs again on a new one.
    ASSERT_TRUE(pg.kick()) << pg.last;
    cat_user u;
    EXPECT_EQ(c.ops->user_get(c.self, 7, &u), CAT_OK);
    // So does a transaction, which finds out at its start.
    ASSERT_TRUE(pg.kick()) << pg.last;
    EXPECT_EQ(c.ops->folder_make(c.self, 7, "docs", 10), CAT_OK);
    // A single write may fail with the connection; the next call works.
    ASSERT_TRUE(pg.kick()) << pg.last;
    uint8_t host[20] = {};
    c.ops->stamp_set(c.self, 7, host, "daily", 1);
    EXPECT_EQ(c.ops->stamp_set(c.self, 7, host, "daily", 2), CAT_OK);
    uint32_t st = 0;
    EXPECT_EQ(c.ops->stamp_get(c.self, 7, host, "daily", &st), CAT_OK);
    EXPECT_EQ(st, 2u);
}

TEST_F(PgCatalogTest, BatchesOfSeveralProcessesDoNotInterleave) {
    std::string err;
    catalog a = open(true, &err);
    ASSERT_NE(a.ops, nullptr) << err;
    catalog b = open(false, &err);
    ASSERT_NE(b.ops, nullptr) << err;
    // Two processes replace the same files over and over: each path keeps
    // exactly one current version and a chain of replaced ones.
    const int kRounds = 20, kFiles = 30;
    std::atomic<int> failures{0};
    auto writer = [&](catalog c, uint32_t mtime) {
        for (int r = 0; r < kRounds; r++) {
            std::vector<cat_commit> batch;
            for (int i = 0; i < kFiles; i++) {
                cat_commit v;
                v.user = 7;
                v.path = "d/sub/" + std::to_string(i);
                v.size = static_cast<uint64_t>(r);
                v.mtime = mtime;
                v.block_size = 1 << 20;
                batch.push_back(v);
            }
            std::vector<int> results;
            if (c.ops->commit(c.self, batch, 1000 + r, &results) != CAT_OK) failures++;
        }
    };
    std::thread ta(writer, a, 1u), tb(writer, b, 2u);
    ta.join();
    tb.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kFiles; i++) {
        std::string p = "d/sub/" + std::to_string(i);
        std::vector<cat_version> h;
        ASSERT_EQ(a.ops->history(a.self, 7, p, &h), CAT_OK);
        ASSERT_EQ(h.size(), 2u * kRounds) << p;
        int current = 0;
        for (const cat_version& v : h)
            current += v.replaced == 0;
        EXPECT_EQ(current, 1) << p;
        EXPECT_EQ(h.back().replaced, 0) << p;
    }
    std::vector<cat_tree_entry> t;
    ASSERT_EQ(a.ops->tree(a.self, 7, "", 0, &t), CAT_OK);
    EXPECT_EQ(t.size(), 2u + kFiles); // folders d and d/sub made once
}

// The mailers of several serving processes share the outbox: every due
// delivery is claimed by exactly one of them, however their claims race.
TEST_F(PgCatalogTest, MailersOfSeveralProcessesNeverClaimOneDeliveryTwice) {
    std::string err;
    catalog a = open(true, &err);
    ASSERT_NE(a.ops, nullptr) << err;
    catalog b = open(false, &err);
    ASSERT_NE(b.ops, nullptr) << err;
    const int kMails = 40;
    for (int i = 0; i < kMails; i++)
        ASSERT_EQ(a.ops->mail_add(a.self,
                                  cat_mail{0, 7, 1, "x@example.com\ny@example.com", 100, "report"}),
                  CAT_OK);
    std::vector<std::pair<int64_t, uint32_t>> got[2];
    std::atomic<bool> failed{false};
    auto mailer = [&](catalog c, const char* name, std::vector<std::pair<int64_t, uint32_t>>* out) {
        for (;;) {
            std::vector<cat_delivery> batch;
            int64_t next_due = 0;
            if (c.ops->outbox_claim(c.self, 200, 3, name, 600, &batch, &next_due) != CAT_OK) {
                failed = true;
                return;
            }
            if (batch.empty()) return;
            for (cat_delivery& d : batch) {
                out->emplace_back(d.mail, d.idx);
                d.state = CAT_DLV_SENT;
                d.attempts = 1;
                d.sent = d.last_try = 200;
                if (c.ops->outbox_record(c.self, d, name) != CAT_OK) failed = true;
            }
        }
    };
    std::thread ta(mailer, a, "a", &got[0]);
    std::thread tb(mailer, b, "b", &got[1]);
    ta.join();
    tb.join();
    EXPECT_FALSE(failed);
    std::set<std::pair<int64_t, uint32_t>> all(got[0].begin(), got[0].end());
    all.insert(got[1].begin(), got[1].end());
    EXPECT_EQ(got[0].size() + got[1].size(), static_cast<size_t>(2 * kMails));
    EXPECT_EQ(all.size(), static_cast<size_t>(2 * kMails));
    std::vector<cat_delivery> rows;
    ASSERT_EQ(a.ops->outbox_list(a.self, 0, &rows), CAT_OK);
    for (const cat_delivery& d : rows)
        EXPECT_EQ(d.state, CAT_DLV_SENT) << d.mail << "/" << d.idx;
}

TEST_F(PgCatalogTest, LeasesAreGrantedToOneHolderAcrossProcesses) {
    std::string err;
    catalog a = open(true, &err);
    ASSERT_NE(a.ops, nullptr) << err;
    catalog b = open(false, &err);
    ASSERT_NE(b.ops, nullptr) << err;
    cat_holder x = holder(7, 0x11), y = holder(7, 0x22), other_user = holder(8, 0x22);
    EXPECT_EQ(take(a, x, {1, 2}, 60000), CAT_OK);
    EXPECT_EQ(take(b, y, {2, 3}, 60000), CAT_EXISTS);
    EXPECT_TRUE(renew(b, y).empty());                   // all or none: 3 was not taken either
    EXPECT_EQ(take(b, other_user, {1}, 60000), CAT_OK); // locks are per user
    EXPECT_EQ(take(b, x, {3, 2}, 60000), CAT_OK);       // the same holder, elsewhere
    EXPECT_EQ(renew(b, x), (std::vector<uint32_t>{1, 2, 3}));
    ASSERT_EQ(a.ops->lease_release(a.self, x), CAT_OK);
    EXPECT_EQ(take(b, y, {1, 2, 3}, 60000), CAT_OK);
    EXPECT_TRUE(renew(a, x).empty());

    // A lease nobody renews runs out, and then goes to whoever asks.
    cat_holder z = holder(7, 0x33);
    EXPECT_EQ(take(a, z, {9}, 1), CAT_OK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int rc;
    while ((rc = take(b, y, {9}, 60000)) == CAT_EXISTS &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(rc, CAT_OK);
    EXPECT_TRUE(renew(a, z).empty());

    // Two processes asking at once for a free lock: one gets it.
    catalog c = open(false, &err);
    ASSERT_NE(c.ops, nullptr) << err;
    for (uint32_t dest = 100; dest < 120; dest++) {
        std::atomic<int> ready{0}, granted{0};
        auto taker = [&](catalog cat, cat_holder h) {
            ready++;
            while (ready.load() < 2)
                std::this_thread::yield();
            if (take(cat, h, {dest, 200}, 60000) == CAT_OK) granted++;
        };
        std::thread t1(taker, b, holder(9, 1)), t2(taker, c, holder(9, 2));
        t1.join();
        t2.join();
        EXPECT_EQ(granted.load(), 1) << dest;
        ASSERT_EQ(b.ops->lease_release(b.self, holder(9, 1)), CAT_OK);
        ASSERT_EQ(b.ops->lease_release(b.self, holder(9, 2)), CAT_OK);
    }
}

// Two serving processes (frontends) on one catalog database, each with its
// own store folder for the rest.
struct LeaseFrontends : ::testing::Test {
    pg_scratch pg;
    struct frontend {
        std::string dir;
        srv_store* st = nullptr;
        srv_server* srv = nullptr;
        uint16_t port = 0;
    } f[2];
    uint8_t key[32], digest[20], host1[20], host2[20];
    srv_config cfg;

    void SetUp() override {
        std::string why = pg_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        std::string err;
        ASSERT_TRUE(pg.make(&err)) << err;
        catalog made = catalog_pg_open(pg.conninfo, true, &err);
        ASSERT_NE(made.ops, nullptr) << err;
        made.ops->destroy(made.self);
        for (int i = 0; i < 32; i++)
            key[i] = static_cast<uint8_t>(i * 7 + 1);
        tc_sha1(key, 32, digest);
        memset(host1, 0x11, 20);
        memset(host2, 0x22, 20);
        // Long enough that a busy machine does not outwait it between two steps.
        cfg.idle_timeout_ms = 6000;
        cfg.max_connections_per_address = cfg.max_connections;
        for (frontend& fe : f) {
            fe.dir = unique_temp_path("lease").string();
            std::filesystem::remove_all(fe.dir);
            ASSERT_TRUE(srv_store_init(fe.dir, &err)) << err;
            fe.st = srv_store_open(fe.dir, true, &err);
            ASSERT_NE(fe.st, nullptr) << err;
            fe.st->cat.ops->destroy(fe.st->cat.self);
            fe.st->cat = catalog_pg_open(pg.conninfo, false, &err);
            ASSERT_NE(fe.st->cat.ops, nullptr) << err;
            fe.srv = srv_start(fe.st, cfg, &fe.port, &err);
            ASSERT_NE(fe.srv, nullptr) << err;
        }
        ASSERT_EQ(srv_cmd_user_add(f[0].st, 7, "bob", "acme", digest), 0);
    }
    void TearDown() override {
        std::error_code ec;
        for (frontend& fe : f) {
            if (fe.srv) srv_stop(fe.srv);
            if (fe.st && fe.st->cat.ops) srv_store_close(fe.st);
            if (!fe.dir.empty()) std::filesystem::remove_all(fe.dir, ec);
        }
    }
    void session(tc_conn* c, int fe, const uint8_t* host) {
        ASSERT_TRUE(tc_connect(c, f[fe].port));
        ASSERT_EQ(tc_login(c, 7, digest, host, "daily.tbs"), 0);
    }
};

TEST_F(LeaseFrontends, ALockHeldThroughOneIsNotGrantedByTheOther) {
    tc_conn a, b, a2;
    session(&a, 0, host1);
    session(&b, 1, host2);
    ASSERT_EQ(tc_lock(&a, 0, {1}), 0);
    EXPECT_EQ(tc_lock(&b, 0, {1}), ERR_ACCESS);
    EXPECT_EQ(tc_mkdir(&b, "y"), ERR_ACCESS);
    EXPECT_EQ(tc_mkdir(&a, "x"), 0);
    // The same identity at the other frontend holds it at once, and may
    // take it again there.
    session(&a2, 1, host1);
    EXPECT_EQ(tc_mkdir(&a2, "kept"), 0);
    EXPECT_EQ(tc_lock(&a2, 0, {1}), 0);
    EXPECT_EQ(tc_lock(&b, 0, {1}), ERR_ACCESS);
    // Released through the first: the other identity gets it at the second,
    // and the first frontend no longer lets the released identity write.
    tc_release(&a, 1700000000u);
    EXPECT_EQ(tc_lock(&b, 0, {1}), 0);
    EXPECT_EQ(tc_mkdir(&b, "y"), 0);
    EXPECT_EQ(tc_mkdir(&a, "z"), ERR_ACCESS);
}

TEST_F(LeaseFrontends, TheLeasesOfAFrontendGoneRunOutAfterTheIdleTime) {
    {
        tc_conn a;
        session(&a, 0, host1);
        ASSERT_EQ(tc_lock(&a, 0, {1}), 0);
        // The first frontend goes away without an orderly stop: nothing
        // renews its leases any more.
        srv_abandon(f[0].srv);
        f[0].srv = nullptr;
    }
    {
        tc_conn b;
        session(&b, 1, host2);
        EXPECT_EQ(tc_lock(&b, 0, {1}), ERR_ACCESS);
    }
    // The agent fails over: the same identity at the second frontend keeps
    // its lock without asking.
    auto left = std::chrono::steady_clock::now();
    {
        tc_conn a2;
        session(&a2, 1, host1);
        EXPECT_EQ(tc_mkdir(&a2, "kept"), 0);
        left = std::chrono::steady_clock::now();
    }
    // Another identity gets it once the idle time after that connection ran out.
    auto deadline = left + std::chrono::seconds(60);
    uint8_t rc;
    do {
        tc_conn b;
        session(&b, 1, host2);
        rc = tc_lock(&b, 0, {1});
        if (rc == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a poll, not a wait
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(rc, 0);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - left);
    EXPECT_GE(waited.count(), cfg.idle_timeout_ms - 100);
}

// A job that fails over holds its lock at the next frontend at once, but
// that frontend never saw the closes the first one had received: it must not
// vouch for the job. The identity's next job there is its own again.
TEST_F(LeaseFrontends, AJobThatFailsOverGetsNoStampFromTheNextFrontend) {
    {
        tc_conn a;
        session(&a, 0, host1);
        ASSERT_EQ(tc_lock(&a, 0, {1}), 0);
        srv_abandon(f[0].srv);
        f[0].srv = nullptr;
    }
    tc_conn a2;
    session(&a2, 1, host1);
    EXPECT_EQ(tc_mkdir(&a2, "kept"), 0);
    EXPECT_EQ(tc_release(&a2, 1700000000u), ERR_SERVER);
    tc_conn next;
    session(&next, 1, host1);
    ASSERT_EQ(tc_lock(&next, 0, {1}), 0);
    EXPECT_EQ(tc_release(&next, 1700000100u), 0);
}

// verify run through one frontend (or any process on the catalog) while a
// job holds its lock through another: the job's stamp is refused there too.
TEST_F(LeaseFrontends, StampsClearedThroughOneFrontendStopAJobOnTheOther) {
    tc_conn a;
    session(&a, 0, host1);
    ASSERT_EQ(tc_lock(&a, 0, {1}), 0);
    ASSERT_EQ(f[1].st->cat.ops->stamps_clear(f[1].st->cat.self, 7, nullptr, nullptr), CAT_OK);
    EXPECT_EQ(tc_release(&a, 1700000000u), ERR_SERVER);
    tc_conn next;
    session(&next, 0, host1);
    ASSERT_EQ(tc_lock(&next, 0, {1}), 0);
    EXPECT_EQ(tc_release(&next, 1700000100u), 0);
}

} // namespace

#endif
