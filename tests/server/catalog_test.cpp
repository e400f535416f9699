// catalog_test.cpp - the catalog's answers, the same cases against each back
// end: SQLite in a temporary folder and PostgreSQL in a fresh database (the
// PostgreSQL cases skip when no server is configured: TAVNI_PG_CONNINFO).
// Then what only the PostgreSQL catalog has: its schema steps, a connection
// the database ended, writers in several processes and the lock leases.
#include "tools/server/store.h"

#include "support/pg_scratch.h"
#include "support/test_files.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

// The time the catalog's claims are counted in: the clock's seconds.
int64_t now_for_claims() {
    return static_cast<int64_t>(time(nullptr));
}

blk_digest digest_of(char c) {
    return blk_digest(64, c);
}

cat_commit file(uint32_t user, const std::string& path, uint64_t size, uint32_t mtime,
                std::vector<blk_digest> blocks = {}) {
    cat_commit v;
    v.user = user;
    v.path = path;
    v.size = size;
    v.mtime = mtime;
    v.block_size = 1 << 20;
    v.security = std::string("sec\0rity", 8);
    for (const blk_digest& d : blocks)
        v.blocks.push_back(cat_block{d, std::vector<uint8_t>(16, 0xab), 48});
    return v;
}

// A catalog of either back end, made empty for one test.
struct catalog_place {
    std::string backend;
    std::string dir; // SQLite
#ifdef TAVNI_HAVE_LIBPQ
    std::unique_ptr<pg_scratch> pg;
#endif
    std::string skip; // why the case cannot run here

    catalog open(bool create, std::string* err) {
        if (backend == "sqlite") return catalog_sqlite_open(dir, create, err);
#ifdef TAVNI_HAVE_LIBPQ
        return catalog_pg_open(pg->conninfo, create, err);
#else
        return catalog_pg_open("", create, err);
#endif
    }
    bool make(const std::string& which, std::string* err) {
        backend = which;
        if (backend == "sqlite") {
            dir = unique_temp_path("cat").string();
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir);
            return true;
        }
        skip = pg_unavailable();
        if (!skip.empty()) return true;
#ifdef TAVNI_HAVE_LIBPQ
        pg.reset(new pg_scratch());
        return pg->make(err);
#else
        (void)err;
        return true;
#endif
    }
    std::string last; // drop_outbox's failure
    // Takes the outbox away as a catalog made before it was: SQLite drops
    // the table (it is made on open), PostgreSQL goes back to schema 4.
    bool drop_outbox() {
        if (backend == "sqlite") {
            sqlite3* db = nullptr;
            bool ok = sqlite3_open((dir + "/catalog.db").c_str(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, "DROP TABLE mail_delivery", nullptr, nullptr, nullptr) ==
                          SQLITE_OK;
            if (!ok) last = db ? sqlite3_errmsg(db) : "out of memory";
            sqlite3_close(db);
            return ok;
        }
#ifdef TAVNI_HAVE_LIBPQ
        bool ok = pg->sql("DROP TABLE mail_delivery; UPDATE schema_version SET version = 4", true);
        last = pg->last;
        return ok;
#else
        return false;
#endif
    }
    ~catalog_place() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

struct CatalogTest : ::testing::TestWithParam<const char*> {
    catalog_place place;
    catalog cat{nullptr, nullptr};
    uint8_t host[20], host2[20];

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(place.make(GetParam(), &err)) << err;
        if (!place.skip.empty()) GTEST_SKIP() << place.skip;
        cat = place.open(true, &err);
        ASSERT_NE(cat.ops, nullptr) << err;
        memset(host, 0x33, sizeof host);
        memset(host2, 0x44, sizeof host2);
        for (uint32_t id : {7u, 8u}) {
            cat_user u{id, id == 7 ? "bob" : "eve", "acme", 0, {}};
            memset(u.key_digest, static_cast<int>(id), 20);
            ASSERT_EQ(cat.ops->user_add(cat.self, u), CAT_OK);
        }
    }
    void TearDown() override {
        if (cat.ops) cat.ops->destroy(cat.self);
    }
    std::vector<int> commit(std::vector<cat_commit> batch, int64_t now) {
        std::vector<int> results;
        EXPECT_EQ(cat.ops->commit(cat.self, batch, now, &results), CAT_OK);
        return results;
    }
    std::string names(uint32_t user, const std::string& path, int64_t at = 0) {
        std::vector<cat_entry> out;
        int rc = cat.ops->list(cat.self, user, path, at, &out);
        if (rc != CAT_OK) return "rc " + std::to_string(rc);
        std::string s;
        for (const cat_entry& e : out)
            s += e.name + (e.folder ? "/ " : " ");
        return s;
    }
    std::string tree(uint32_t user, const std::string& path, int64_t at = 0) {
        std::vector<cat_tree_entry> out;
        int rc = cat.ops->tree(cat.self, user, path, at, &out);
        if (rc != CAT_OK) return "rc " + std::to_string(rc);
        std::string s;
        for (const cat_tree_entry& e : out)
            s += e.path + (e.folder ? "/ " : " ");
        return s;
    }
};

TEST_P(CatalogTest, UsersStampsAndHolders) {
    cat_user u;
    ASSERT_EQ(cat.ops->user_get(cat.self, 8, &u), CAT_OK);
    EXPECT_EQ(u.name, "eve");
    EXPECT_EQ(u.account, "acme");
    EXPECT_EQ(u.key_digest[19], 8);
    EXPECT_EQ(cat.ops->user_get(cat.self, 9, &u), CAT_NOT_FOUND);
    // One account, one number; a new account gets a later one; adding a
    // user again replaces its record.
    cat_user a7, c9{9, "cid", "globex", 0, {}};
    ASSERT_EQ(cat.ops->user_add(cat.self, c9), CAT_OK);
    ASSERT_EQ(cat.ops->user_get(cat.self, 7, &a7), CAT_OK);
    EXPECT_EQ(a7.account_number, 1u);
    ASSERT_EQ(cat.ops->user_get(cat.self, 8, &u), CAT_OK);
    EXPECT_EQ(u.account_number, 1u);
    ASSERT_EQ(cat.ops->user_get(cat.self, 9, &u), CAT_OK);
    EXPECT_GT(u.account_number, 1u);
    c9.name = "cid2";
    ASSERT_EQ(cat.ops->user_add(cat.self, c9), CAT_OK);
    ASSERT_EQ(cat.ops->user_get(cat.self, 9, &u), CAT_OK);
    EXPECT_EQ(u.name, "cid2");

    uint32_t st = 1;
    EXPECT_EQ(cat.ops->stamp_get(cat.self, 7, host, "daily", &st), CAT_NOT_FOUND);
    EXPECT_EQ(st, 0u);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "daily", 100), CAT_OK);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "daily", 300), CAT_OK); // replaced
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "weekly", 200), CAT_OK);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host2, "daily", 200), CAT_OK);
    EXPECT_EQ(cat.ops->stamp_get(cat.self, 7, host, "daily", &st), CAT_OK);
    EXPECT_EQ(st, 300u);
    std::vector<cat_stamp> stamps;
    ASSERT_EQ(cat.ops->stamps(cat.self, 7, &stamps), CAT_OK);
    ASSERT_EQ(stamps.size(), 3u); // newest first, then by schedule
    EXPECT_EQ(stamps[0].stamp, 300u);
    EXPECT_EQ(stamps[1].schedule, "daily");
    EXPECT_EQ(stamps[1].host[0], 0x44);
    EXPECT_EQ(stamps[2].schedule, "weekly");
    std::string weekly = "weekly";
    ASSERT_EQ(cat.ops->stamps_clear(cat.self, 7, host, &weekly), CAT_OK);
    ASSERT_EQ(cat.ops->stamps(cat.self, 7, &stamps), CAT_OK);
    EXPECT_EQ(stamps.size(), 2u);
    ASSERT_EQ(cat.ops->stamps_clear(cat.self, 7, host, nullptr), CAT_OK);
    ASSERT_EQ(cat.ops->stamps(cat.self, 7, &stamps), CAT_OK);
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps[0].host[0], 0x44);
    ASSERT_EQ(cat.ops->stamps_clear(cat.self, 7, nullptr, nullptr), CAT_OK);
    ASSERT_EQ(cat.ops->stamps(cat.self, 7, &stamps), CAT_OK);
    EXPECT_TRUE(stamps.empty());

    cat_holder h1{8, {}}, h2{7, {}};
    memcpy(h1.host, host, 20);
    memcpy(h2.host, host2, 20);
    ASSERT_EQ(cat.ops->holder_note(cat.self, h1), CAT_OK);
    ASSERT_EQ(cat.ops->holder_note(cat.self, h1), CAT_OK); // noted once
    ASSERT_EQ(cat.ops->holder_note(cat.self, h2), CAT_OK);
    std::vector<cat_holder> held;
    ASSERT_EQ(cat.ops->holders(cat.self, &held), CAT_OK);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].user, 7u);
    EXPECT_EQ(held[1].user, 8u);
    ASSERT_EQ(cat.ops->holder_forget(cat.self, h2), CAT_OK);
    ASSERT_EQ(cat.ops->holders(cat.self, &held), CAT_OK);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(memcmp(held[0].host, host, 20), 0);
}

TEST_P(CatalogTest, FoldersFilesAndTheirKinds) {
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "a/b", 10), CAT_OK);
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "a/b", 11), CAT_EXISTS);
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "", 11), CAT_EXISTS);
    // One batch: a version under a file and one over a folder are dropped
    // alone, the others are stored with their parents.
    std::vector<int> r = commit({file(7, "a/f", 5, 1), file(7, "a/f/g", 1, 1), file(7, "a/b", 1, 1),
                                 file(7, "x/y/z", 3, 2)},
                                20);
    EXPECT_EQ(r, (std::vector<int>{CAT_OK, CAT_NOT_DIR, CAT_NOT_FILE, CAT_OK}));
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "a/f/h", 21), CAT_NOT_DIR);
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "a/f", 21), CAT_NOT_DIR);
    EXPECT_EQ(names(7, ""), "a/ x/ ");
    EXPECT_EQ(names(7, "a"), "b/ f ");
    EXPECT_EQ(names(7, "a/f"), "rc " + std::to_string(CAT_NOT_DIR));
    EXPECT_EQ(names(7, "nope"), "rc " + std::to_string(CAT_NOT_FOUND));
    EXPECT_EQ(names(8, ""), ""); // users do not see each other's trees
    EXPECT_TRUE(cat.ops->is_folder(cat.self, 7, "", 0));
    EXPECT_TRUE(cat.ops->is_folder(cat.self, 7, "x/y", 0));
    EXPECT_FALSE(cat.ops->is_folder(cat.self, 7, "a/f", 0));

    cat_version v;
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "a/f", 0, &v), CAT_OK);
    EXPECT_EQ(v.size, 5u);
    EXPECT_EQ(v.committed, 20);
    EXPECT_EQ(v.replaced, 0);
    EXPECT_EQ(v.security, std::string("sec\0rity", 8));
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, "a/b", 0, &v), CAT_NOT_FOUND);

    // Removal: a file only as a file, a folder with everything below it.
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 0, "a/b", 30), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 1, "a/f", 30), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 0, "a/f", 30), CAT_OK);
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 0, "a/f", 31), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 1, "x", 32), CAT_OK);
    EXPECT_EQ(names(7, ""), "a/ ");
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, "x/y/z", 0, &v), CAT_NOT_FOUND);
    // The name of a removed file may become a folder.
    EXPECT_EQ(cat.ops->folder_make(cat.self, 7, "a/f", 40), CAT_OK);
}

TEST_P(CatalogTest, NamesAreBytesNotText) {
    const std::string utf8 = "caf\xc3\xa9";                      // é
    const std::string raw = std::string("bad\xff\xfe") + "name"; // not UTF-8
    const std::string nul = std::string("n\0l", 3);              // a zero byte inside
    std::vector<int> r =
        commit({file(7, "d/" + utf8, 1, 1), file(7, "d/" + raw, 2, 1), file(7, "d0/keep", 3, 1),
                file(7, "d/" + nul, 4, 1), file(7, raw + "/in", 5, 1)},
               10);
    EXPECT_EQ(r, std::vector<int>(5, CAT_OK));
    // Sorted as bytes: 0xc3 and 0xff after ASCII; "d" < "d0".
    EXPECT_EQ(names(7, "d"), "bad\xff\xfename " + utf8 + " " + nul + " ");
    EXPECT_EQ(names(7, ""), raw + "/ d/ d0/ ");
    cat_version v;
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "d/" + raw, 0, &v), CAT_OK);
    EXPECT_EQ(v.path, "d/" + raw);
    EXPECT_EQ(v.size, 2u);
    EXPECT_EQ(tree(7, raw), raw + "/in ");
    // Removing d leaves its sibling d0, whose name starts with "d".
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 1, "d", 20), CAT_OK);
    EXPECT_EQ(tree(7, ""), raw + "/ " + raw + "/in d0/ d0/keep ");
    EXPECT_EQ(cat.ops->remove(cat.self, 7, 1, raw, 21), CAT_OK);
    EXPECT_EQ(tree(7, ""), "d0/ d0/keep ");
}

TEST_P(CatalogTest, ListPagesFollowTheNamesAsBytes) {
    std::vector<cat_commit> batch;
    for (int i = 0; i < 250; i++)
        batch.push_back(file(7, "p/f" + std::to_string(i), static_cast<uint64_t>(i), 5));
    batch.push_back(file(7, "p/" + std::string("bad\xff\xfe", 5), 1, 1));
    batch.push_back(file(7, "p/" + std::string("n\0l", 3), 1, 1));
    batch.push_back(file(7, "p/sub/inner", 1, 1)); // p/sub is a folder
    batch.push_back(file(8, "p/other-user", 1, 1));
    commit(batch, 10);
    ASSERT_EQ(cat.ops->folder_make(cat.self, 7, "p/A-folder", 11), CAT_OK);
    std::vector<cat_entry> whole;
    ASSERT_EQ(cat.ops->list(cat.self, 7, "p", 0, &whole), CAT_OK);
    ASSERT_EQ(whole.size(), 254u);
    // Pages of 7 after the last name give the same entries in the same order.
    std::vector<cat_entry> paged, page;
    std::string after;
    for (int guard = 0; guard < 100; guard++) {
        ASSERT_EQ(cat.ops->list_page(cat.self, 7, "p", after, 7, &page), CAT_OK);
        if (page.empty()) break;
        EXPECT_LE(page.size(), 7u);
        paged.insert(paged.end(), page.begin(), page.end());
        after = page.back().name;
    }
    ASSERT_EQ(paged.size(), whole.size());
    for (size_t i = 0; i < whole.size(); i++) {
        EXPECT_EQ(paged[i].name, whole[i].name) << i;
        EXPECT_EQ(paged[i].folder, whole[i].folder) << i;
        EXPECT_EQ(paged[i].size, whole[i].size) << i;
    }
    uint64_t n = 0;
    EXPECT_EQ(cat.ops->list_count(cat.self, 7, "p", &n), CAT_OK);
    EXPECT_EQ(n, 254u);
    EXPECT_EQ(cat.ops->list_page(cat.self, 7, "nowhere", "", 7, &page), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->list_page(cat.self, 7, "p/f1", "", 7, &page), CAT_NOT_DIR);
    EXPECT_EQ(cat.ops->list_count(cat.self, 7, "p/f1", &n), CAT_NOT_DIR);
    // The root lists every top-level name of the user.
    ASSERT_EQ(cat.ops->list_page(cat.self, 8, "", "", 10, &page), CAT_OK);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].name, "p");
}

TEST_P(CatalogTest, HistoryAndTheTreeAtATime) {
    commit({file(7, "docs/a", 1, 1), file(7, "docs/b", 10, 1)}, 100);
    commit({file(7, "docs/a", 2, 2)}, 200);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 0, "docs/b", 250), CAT_OK);
    commit({file(7, "docs/a", 3, 3), file(7, "docs/new/c", 4, 4)}, 300);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 1, "docs/new", 400), CAT_OK);

    std::vector<cat_version> h;
    ASSERT_EQ(cat.ops->history(cat.self, 7, "docs/a", &h), CAT_OK);
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0].size, 1u);
    EXPECT_EQ(h[0].replaced, 200);
    EXPECT_EQ(h[1].replaced, 300);
    EXPECT_EQ(h[2].replaced, 0);
    EXPECT_TRUE(h[2].blocks.empty());
    cat_version v;
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "docs/a", 199, &v), CAT_OK);
    EXPECT_EQ(v.size, 1u);
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "docs/a", 200, &v), CAT_OK);
    EXPECT_EQ(v.size, 2u);
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, "docs/a", 99, &v), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "docs/b", 249, &v), CAT_OK);
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, "docs/b", 250, &v), CAT_NOT_FOUND);

    EXPECT_EQ(names(7, "docs", 150), "a b ");
    EXPECT_EQ(names(7, "docs", 260), "a ");
    EXPECT_EQ(names(7, "docs", 350), "a new/ ");
    EXPECT_EQ(names(7, "docs", 0), "a ");
    EXPECT_EQ(names(7, "", 150), "docs/ ");
    EXPECT_EQ(names(7, "docs/new", 50), "rc " + std::to_string(CAT_NOT_FOUND));
    EXPECT_EQ(names(7, "docs/a", 150), "rc " + std::to_string(CAT_NOT_DIR));
    EXPECT_TRUE(cat.ops->is_folder(cat.self, 7, "docs/new", 350));
    EXPECT_FALSE(cat.ops->is_folder(cat.self, 7, "docs/new", 400));

    EXPECT_EQ(tree(7, "", 350), "docs/ docs/a docs/new/ docs/new/c ");
    EXPECT_EQ(tree(7, "docs", 150), "docs/a docs/b ");
    EXPECT_EQ(tree(7, ""), "docs/ docs/a ");
    EXPECT_EQ(tree(7, "docs/a"), "rc " + std::to_string(CAT_NOT_DIR));
    EXPECT_EQ(tree(7, "nope"), "rc " + std::to_string(CAT_NOT_FOUND));
    std::vector<cat_tree_entry> t;
    ASSERT_EQ(cat.ops->tree(cat.self, 7, "docs", 350, &t), CAT_OK);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].size, 3u);
    EXPECT_EQ(t[0].committed, 300);
    EXPECT_EQ(t[0].mtime, 3u);
    EXPECT_EQ(t[1].mtime, 300u); // a folder: when it was made
}

TEST_P(CatalogTest, BlocksAndDamageMarks) {
    commit({file(7, "a", 96, 1, {digest_of('1'), digest_of('2')}),
            file(8, "b", 48, 1, {digest_of('2')}), file(7, "c", 48, 1, {digest_of('3')})},
           10);
    std::vector<std::pair<uint32_t, cat_version>> all;
    ASSERT_EQ(cat.ops->all_current(cat.self, 0, &all), CAT_OK);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].first, 7u);
    EXPECT_EQ(all[0].second.path, "a");
    ASSERT_EQ(all[0].second.blocks.size(), 2u);
    EXPECT_EQ(all[0].second.blocks[1].digest, digest_of('2'));
    EXPECT_EQ(all[0].second.blocks[1].md5, std::vector<uint8_t>(16, 0xab));
    EXPECT_EQ(all[0].second.blocks[1].length, 48u);
    EXPECT_EQ(all[2].first, 8u);
    ASSERT_EQ(cat.ops->all_current(cat.self, 8, &all), CAT_OK);
    ASSERT_EQ(all.size(), 1u);

    // Block 2 damaged: every current version using it is marked.
    cat_version a;
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "a", 0, &a), CAT_OK);
    cat_damage d;
    d.bad_blocks = {digest_of('2')};
    d.bad_versions = {a.id};
    ASSERT_EQ(cat.ops->damage_record(cat.self, d), CAT_OK);
    EXPECT_TRUE(cat.ops->block_damaged(cat.self, digest_of('2')));
    EXPECT_FALSE(cat.ops->block_damaged(cat.self, digest_of('1')));
    cat_version b;
    ASSERT_EQ(cat.ops->version_at(cat.self, 8, "b", 0, &b), CAT_OK);
    EXPECT_TRUE(b.damaged);
    EXPECT_TRUE(b.blocks[0].damaged);
    std::vector<cat_entry> ls;
    ASSERT_EQ(cat.ops->list(cat.self, 7, "", 0, &ls), CAT_OK);
    EXPECT_TRUE(ls[0].damaged);
    EXPECT_FALSE(ls[1].damaged);

    // A new version that stored the block afresh clears the block's mark;
    // verify finding a version whole clears the version's.
    cat_commit again = file(8, "b", 48, 2, {digest_of('2')});
    again.repaired = {digest_of('2')};
    commit({again}, 20);
    EXPECT_FALSE(cat.ops->block_damaged(cat.self, digest_of('2')));
    cat_damage good;
    good.good_versions = {a.id};
    ASSERT_EQ(cat.ops->damage_record(cat.self, good), CAT_OK);
    ASSERT_EQ(cat.ops->version_at(cat.self, 7, "a", 0, &a), CAT_OK);
    EXPECT_FALSE(a.damaged);
    EXPECT_FALSE(a.blocks[1].damaged);
}

TEST_P(CatalogTest, Mail) {
    cat_mail m{0, 7, 0x1122334455667788ull, "a@x\nb@y", 1000, std::string("bo\0dy\xff", 6)};
    ASSERT_EQ(cat.ops->mail_add(cat.self, m), CAT_OK);
    m.user = 8;
    m.body = "second";
    ASSERT_EQ(cat.ops->mail_add(cat.self, m), CAT_OK);
    m.user = 7;
    ASSERT_EQ(cat.ops->mail_add(cat.self, m), CAT_OK);
    std::vector<cat_mail> list;
    ASSERT_EQ(cat.ops->mail_list(cat.self, &list), CAT_OK);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].body, std::string(6, '\0')); // only its length
    EXPECT_EQ(list[0].schedule_id, 0x1122334455667788ull);
    EXPECT_EQ(list[1].user, 8u);
    cat_mail got;
    ASSERT_EQ(cat.ops->mail_get(cat.self, list[0].id, &got), CAT_OK);
    EXPECT_EQ(got.body, std::string("bo\0dy\xff", 6));
    EXPECT_EQ(got.recipients, "a@x\nb@y");
    EXPECT_EQ(got.received, 1000);
    EXPECT_EQ(cat.ops->mail_get(cat.self, list[2].id + 100, &got), CAT_NOT_FOUND);
    std::vector<int64_t> ids;
    ASSERT_EQ(cat.ops->mail_of(cat.self, 7, &ids), CAT_OK);
    EXPECT_EQ(ids, (std::vector<int64_t>{list[2].id, list[0].id})); // newest first
}

TEST_P(CatalogTest, UserListAndRemoveWithOrphans) {
    commit({file(7, "a", 100, 1, {digest_of('1'), digest_of('2')})}, 10);
    commit({file(7, "a", 50, 2, {digest_of('3')}), file(8, "b", 7, 1, {digest_of('2')})}, 20);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "daily", 5), CAT_OK);
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "r", 1, "x"}), CAT_OK);
    cat_holder h{7, {}};
    memcpy(h.host, host, 20);
    ASSERT_EQ(cat.ops->holder_note(cat.self, h), CAT_OK);
    cat_damage d;
    d.bad_blocks = {digest_of('1')};
    ASSERT_EQ(cat.ops->damage_record(cat.self, d), CAT_OK);

    std::vector<cat_user_summary> users;
    ASSERT_EQ(cat.ops->user_list(cat.self, &users), CAT_OK);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].user.name, "bob");
    EXPECT_EQ(users[0].files, 1u);
    EXPECT_EQ(users[0].bytes, 50u);
    EXPECT_EQ(users[0].versions, 2u);
    EXPECT_EQ(users[0].stamps, 1u);
    EXPECT_EQ(users[0].mails, 1u);
    EXPECT_EQ(users[1].bytes, 7u);

    // Block 2 is still named by user 8: not an orphan.
    std::vector<blk_digest> orphans;
    ASSERT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_OK);
    std::sort(orphans.begin(), orphans.end());
    EXPECT_EQ(orphans, (std::vector<blk_digest>{digest_of('1'), digest_of('3')}));
    EXPECT_FALSE(cat.ops->block_damaged(cat.self, digest_of('1')));
    EXPECT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->user_list(cat.self, &users), CAT_OK);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user.id, 8u);
    std::vector<cat_holder> held;
    ASSERT_EQ(cat.ops->holders(cat.self, &held), CAT_OK);
    EXPECT_TRUE(held.empty());
    std::vector<int64_t> ids;
    ASSERT_EQ(cat.ops->mail_of(cat.self, 7, &ids), CAT_OK);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(tree(7, ""), "");
    cat_version v;
    EXPECT_EQ(cat.ops->version_at(cat.self, 8, "b", 0, &v), CAT_OK);
}

// The outbox: a stored mail queues one delivery per recipient; a claim hands
// each due one to one worker; a record settles it and ends the claim.
TEST_P(CatalogTest, OutboxQueuesClaimsAndRecords) {
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "a@x\n\nb@y\n", 1000, "body"}), CAT_OK);
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 8, 2, "c@z", 1005, "other"}), CAT_OK);
    std::vector<cat_delivery> all;
    ASSERT_EQ(cat.ops->outbox_list(cat.self, 0, &all), CAT_OK);
    ASSERT_EQ(all.size(), 3u); // the empty line is no recipient
    EXPECT_EQ(all[0].recipient, "a@x");
    EXPECT_EQ(all[1].recipient, "b@y");
    EXPECT_EQ(all[1].idx, 1u);
    EXPECT_EQ(all[0].state, CAT_DLV_QUEUED);
    EXPECT_EQ(all[0].queued, 1000);
    EXPECT_EQ(all[0].next_try, 1000);
    const int64_t first = all[0].mail, second = all[2].mail;

    // Not due before its time; due ones oldest first, at most the limit.
    std::vector<cat_delivery> got;
    int64_t next_due = -1;
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 999, 10, "w1", 600, &got, &next_due), CAT_OK);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(next_due, 1000);
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 1010, 2, "w1", 600, &got, &next_due), CAT_OK);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].mail, first);
    EXPECT_EQ(got[1].recipient, "b@y");
    EXPECT_EQ(next_due, 1005); // the one left unclaimed
    // Claimed ones are nobody else's while the claim lasts.
    std::vector<cat_delivery> other;
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 1010, 10, "w2", 600, &other, &next_due), CAT_OK);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].mail, second);
    EXPECT_EQ(next_due, 0);

    // A record settles the claimed delivery; another worker's record does not.
    cat_delivery d = got[0];
    d.state = CAT_DLV_SENT;
    d.attempts = 1;
    d.last_try = d.sent = 1011;
    d.reply = std::string("250 ok\0x", 8);
    EXPECT_EQ(cat.ops->outbox_record(cat.self, d, "w2"), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->outbox_record(cat.self, d, "w1"), CAT_OK);
    EXPECT_EQ(cat.ops->outbox_record(cat.self, d, "w1"), CAT_NOT_FOUND); // claim ended
    cat_delivery r = got[1];
    r.state = CAT_DLV_RETRYING;
    r.attempts = 1;
    r.last_try = 1011;
    r.next_try = 1071;
    r.reply = "451 later";
    ASSERT_EQ(cat.ops->outbox_record(cat.self, r, "w1"), CAT_OK);
    ASSERT_EQ(cat.ops->outbox_list(cat.self, first, &all), CAT_OK);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].state, CAT_DLV_SENT);
    EXPECT_EQ(all[0].sent, 1011);
    EXPECT_EQ(all[0].reply, std::string("250 ok\0x", 8));
    EXPECT_EQ(all[1].state, CAT_DLV_RETRYING);
    EXPECT_EQ(all[1].next_try, 1071);
    EXPECT_EQ(all[1].attempts, 1u);
    // A retrying one is due again at its time; a sent one never.
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 1070, 10, "w1", 600, &got, &next_due), CAT_OK);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(next_due, 1071);
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 1071, 10, "w1", 600, &got, &next_due), CAT_OK);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].recipient, "b@y");
    EXPECT_EQ(got[0].attempts, 1u);
}

// A claim whose worker never settled it (a process that died) expires and
// the delivery is claimed again: sent twice at worst, never lost.
TEST_P(CatalogTest, OutboxClaimOfAWorkerGoneExpires) {
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "a@x", 10, "body"}), CAT_OK);
    std::vector<cat_delivery> got;
    int64_t next_due = 0;
    // A claim of one second: PostgreSQL counts it on its own clock.
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, now_for_claims(), 1, "dead", 1, &got, &next_due),
              CAT_OK);
    ASSERT_EQ(got.size(), 1u);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<cat_delivery> again;
    while (again.empty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(
            cat.ops->outbox_claim(cat.self, now_for_claims(), 1, "next", 600, &again, &next_due),
            CAT_OK);
        if (again.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].recipient, "a@x");
    EXPECT_EQ(cat.ops->outbox_record(cat.self, got[0], "dead"), CAT_NOT_FOUND);
}

TEST_P(CatalogTest, OutboxRetryRequeuesWhatWasKeptAndRemovalTakesIt) {
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "a@x\nb@y\nc@z\nd@w", 10, "b"}),
              CAT_OK);
    std::vector<cat_delivery> got;
    int64_t next_due = 0;
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 20, 10, "w", 600, &got, &next_due), CAT_OK);
    ASSERT_EQ(got.size(), 4u);
    const int64_t id = got[0].mail;
    const int states[] = {CAT_DLV_SENT, CAT_DLV_BOUNCED, CAT_DLV_RETRYING, CAT_DLV_FAILED};
    for (size_t i = 0; i < 4; i++) {
        got[i].state = states[i];
        got[i].attempts = 3;
        got[i].next_try = 5000;
        got[i].reply = "5xx or 4xx";
        ASSERT_EQ(cat.ops->outbox_record(cat.self, got[i], "w"), CAT_OK);
    }
    uint32_t queued = 99;
    EXPECT_EQ(cat.ops->outbox_retry(cat.self, id + 1, 30, &queued), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->outbox_retry(cat.self, id, 30, &queued), CAT_OK);
    EXPECT_EQ(queued, 3u); // all but the sent one
    std::vector<cat_delivery> all;
    ASSERT_EQ(cat.ops->outbox_list(cat.self, id, &all), CAT_OK);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].state, CAT_DLV_SENT);
    EXPECT_EQ(all[0].attempts, 3u);
    for (size_t i : {1u, 3u}) { // kept ones start afresh
        EXPECT_EQ(all[i].state, CAT_DLV_QUEUED) << i;
        EXPECT_EQ(all[i].attempts, 0u) << i;
        EXPECT_EQ(all[i].queued, 30) << i;
        EXPECT_EQ(all[i].next_try, 30) << i;
        EXPECT_EQ(all[i].reply, "") << i;
    }
    EXPECT_EQ(all[2].state, CAT_DLV_RETRYING); // a retrying one is due now, its count kept
    EXPECT_EQ(all[2].attempts, 3u);
    EXPECT_EQ(all[2].next_try, 30);

    // The user's removal takes the deliveries with the mail.
    std::vector<blk_digest> orphans;
    ASSERT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_OK);
    ASSERT_EQ(cat.ops->outbox_list(cat.self, 0, &all), CAT_OK);
    EXPECT_TRUE(all.empty());
    ASSERT_EQ(cat.ops->outbox_claim(cat.self, 100, 10, "w", 600, &got, &next_due), CAT_OK);
    EXPECT_TRUE(got.empty());
}

// A catalog made before the outbox gets it when opened; its stored mail is
// not queued (old reports are not sent out of the blue) until retried.
TEST_P(CatalogTest, AnOlderCatalogGetsTheOutboxAndItsMailWaitsForARetry) {
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "a@x\nb@y", 10, "old"}), CAT_OK);
    std::vector<cat_mail> mails;
    ASSERT_EQ(cat.ops->mail_list(cat.self, &mails), CAT_OK);
    ASSERT_EQ(mails.size(), 1u);
    cat.ops->destroy(cat.self);
    cat = catalog{nullptr, nullptr};
    ASSERT_TRUE(place.drop_outbox()) << place.last;
    std::string err;
    cat = place.open(false, &err);
    ASSERT_NE(cat.ops, nullptr) << err;
    std::vector<cat_delivery> all;
    ASSERT_EQ(cat.ops->outbox_list(cat.self, 0, &all), CAT_OK);
    EXPECT_TRUE(all.empty());
    uint32_t queued = 0;
    ASSERT_EQ(cat.ops->outbox_retry(cat.self, mails[0].id, 50, &queued), CAT_OK);
    EXPECT_EQ(queued, 2u);
    ASSERT_EQ(cat.ops->outbox_list(cat.self, 0, &all), CAT_OK);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].recipient, "b@y");
    EXPECT_EQ(all[1].queued, 50);
    // New mail is queued as usual.
    ASSERT_EQ(cat.ops->mail_add(cat.self, cat_mail{0, 7, 1, "c@z", 60, "new"}), CAT_OK);
    ASSERT_EQ(cat.ops->outbox_list(cat.self, 0, &all), CAT_OK);
    EXPECT_EQ(all.size(), 3u);
}

// "name flags" per entry: f folder, g gone by the time, d deleted later.
std::string history_text(const std::vector<cat_hist_entry>& page) {
    std::string s;
    for (const cat_hist_entry& e : page) {
        s += e.name;
        if (e.folder) s += "/";
        if (e.gone) s += "(g)";
        if (e.deleted_later) s += "(d)";
        s += " ";
    }
    return s;
}

TEST_P(CatalogTest, RunsAreKeptPerUserNewestFirst) {
    std::vector<int64_t> ids;
    for (int i = 0; i < 5; i++) {
        cat_run r;
        r.user = i == 2 ? 8 : 7;
        r.destination = 1;
        memcpy(r.host, host, 20);
        r.schedule = "daily";
        r.started = 1000 + i;
        ASSERT_EQ(cat.ops->run_start(cat.self, &r), CAT_OK);
        ids.push_back(r.id);
        if (i == 1 || i == 3) {
            r.ended = 1100 + i;
            r.vouched = i == 3;
            r.files_sent = 3;
            r.bytes_sent = 4096;
            r.files_skipped = 5;
            r.deleted = 1;
            ASSERT_EQ(cat.ops->run_end(cat.self, r), CAT_OK);
        }
    }
    std::vector<cat_run> page;
    ASSERT_EQ(cat.ops->runs_page(cat.self, 7, 0, 2, &page), CAT_OK);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].id, ids[4]);
    EXPECT_EQ(page[0].ended, 0); // started, never ended
    EXPECT_EQ(page[1].id, ids[3]);
    EXPECT_EQ(page[1].ended, 1103);
    EXPECT_TRUE(page[1].vouched);
    EXPECT_EQ(page[1].bytes_sent, 4096u);
    EXPECT_EQ(page[1].files_skipped, 5u);
    EXPECT_EQ(page[1].schedule, "daily");
    EXPECT_EQ(memcmp(page[1].host, host, 20), 0);
    ASSERT_EQ(cat.ops->runs_page(cat.self, 7, page[1].id, 10, &page), CAT_OK);
    ASSERT_EQ(page.size(), 2u); // user 8's run is not among them
    EXPECT_EQ(page[0].id, ids[1]);
    EXPECT_FALSE(page[0].vouched);
    EXPECT_EQ(page[1].id, ids[0]);

    cat_run r;
    int64_t next = -1;
    ASSERT_EQ(cat.ops->run_get(cat.self, 7, ids[0], &r, &next), CAT_OK);
    EXPECT_EQ(next, 1001); // the user's next run began then
    ASSERT_EQ(cat.ops->run_get(cat.self, 7, ids[4], &r, &next), CAT_OK);
    EXPECT_EQ(next, 0);
    EXPECT_EQ(cat.ops->run_get(cat.self, 7, ids[2], &r, &next), CAT_NOT_FOUND); // user 8's
    EXPECT_EQ(cat.ops->run_get(cat.self, 7, ids[4] + 100, &r, &next), CAT_NOT_FOUND);

    std::vector<blk_digest> orphans;
    ASSERT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_OK);
    ASSERT_EQ(cat.ops->runs_page(cat.self, 7, 0, 10, &page), CAT_OK);
    EXPECT_TRUE(page.empty());
}

TEST_P(CatalogTest, FolderPagesAsTheyStoodWithWhatBecameOfThem) {
    commit({file(7, "d/a", 1, 1), file(7, "d/b", 2, 2), file(7, "d/sub/x", 3, 3)}, 100);
    commit({file(7, "d/a", 11, 11)}, 200);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 0, "d/b", 300), CAT_OK);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 1, "d/sub", 300), CAT_OK);
    commit({file(7, "d/c", 4, 4)}, 400);
    // A name that was a file and is a folder now.
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 0, "d/c", 500), CAT_OK);
    ASSERT_EQ(cat.ops->folder_make(cat.self, 7, "d/c", 500), CAT_OK);

    auto page = [&](int64_t at, bool history, const std::string& after = "", size_t limit = 50) {
        std::vector<cat_hist_entry> out;
        int rc = cat.ops->history_page(cat.self, 7, "d", at, after, limit, history, &out);
        return rc == CAT_OK ? history_text(out) : "rc " + std::to_string(rc);
    };
    // At each run's end: what was there, and whether it is gone now.
    EXPECT_EQ(page(150, false), "a b(d) sub/(d) ");
    EXPECT_EQ(page(450, false), "a c(d) ");
    EXPECT_EQ(page(600, false), "a c/ ");
    // History adds what was there before and gone by then.
    EXPECT_EQ(page(450, true), "a b(g) c(d) sub/(g) ");
    EXPECT_EQ(page(600, true), "a b(g) c/ sub/(g) ");
    EXPECT_EQ(page(600, true, "b", 2), "c/ sub/(g) ");
    EXPECT_EQ(page(50, false), "rc " + std::to_string(CAT_NOT_FOUND));

    std::vector<cat_hist_entry> out;
    ASSERT_EQ(cat.ops->history_page(cat.self, 7, "d", 150, "", 10, false, &out), CAT_OK);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].size, 1u); // the version of then, not the newest
    EXPECT_EQ(out[0].committed, 100);
    EXPECT_NE(out[0].version, 0);
    EXPECT_EQ(cat.ops->history_page(cat.self, 7, "d/a", 150, "", 10, false, &out), CAT_NOT_DIR);
    EXPECT_EQ(cat.ops->history_page(cat.self, 8, "d", 150, "", 10, false, &out), CAT_NOT_FOUND);
    // The root lists the folder made at 100.
    ASSERT_EQ(cat.ops->history_page(cat.self, 7, "", 150, "", 10, false, &out), CAT_OK);
    EXPECT_EQ(history_text(out), "d/ ");
}

TEST_P(CatalogTest, BlocksBelongToTheUsersWhoseVersionsNameThem) {
    commit({file(7, "f", 10, 1, {digest_of('a')})}, 100);
    commit({file(7, "f", 20, 2, {digest_of('b')})}, 200); // 'a' only in a replaced version
    commit({file(8, "g", 10, 1, {digest_of('c')})}, 200);
    uint64_t len = 0;
    EXPECT_EQ(cat.ops->block_of_user(cat.self, 7, digest_of('a'), &len), CAT_OK);
    EXPECT_EQ(len, 48u);
    EXPECT_EQ(cat.ops->block_of_user(cat.self, 7, digest_of('b'), &len), CAT_OK);
    EXPECT_EQ(cat.ops->block_of_user(cat.self, 7, digest_of('c'), &len), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->block_of_user(cat.self, 8, digest_of('a'), &len), CAT_NOT_FOUND);
}

cat_packed packed_row(char c, uint64_t pos, uint64_t length, bool replace = false) {
    cat_packed r;
    r.digest = digest_of(c);
    r.pos = pos;
    r.length = length;
    r.replace = replace;
    return r;
}

TEST_P(CatalogTest, PackedBlocksAreIndexedOnceUnlessReplaced) {
    int64_t p1 = 0, p2 = 0, again = 0;
    ASSERT_EQ(cat.ops->pack_register(cat.self, "aa-0", &p1), CAT_OK);
    ASSERT_EQ(cat.ops->pack_register(cat.self, "aa-1", &p2), CAT_OK);
    EXPECT_NE(p1, p2);
    EXPECT_EQ(cat.ops->pack_register(cat.self, "aa-0", &again), CAT_EXISTS);

    cat_packed row;
    std::string name;
    EXPECT_EQ(cat.ops->packed_get(cat.self, digest_of('a'), &row, &name), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->packed_add(cat.self, p1, 200,
                                  {packed_row('a', 16, 100), packed_row('b', 164, 20)}),
              CAT_OK);
    ASSERT_EQ(cat.ops->packed_get(cat.self, digest_of('a'), &row, &name), CAT_OK);
    EXPECT_EQ(name, "aa-0");
    EXPECT_EQ(row.pack, p1);
    EXPECT_EQ(row.pos, 16u);
    EXPECT_EQ(row.length, 100u);

    // Packed again by another batch: the first row stays. Marked as a
    // replacement: the row moves to the new record.
    ASSERT_EQ(cat.ops->packed_add(cat.self, p2, 80, {packed_row('a', 16, 100)}), CAT_OK);
    ASSERT_EQ(cat.ops->packed_add(cat.self, p2, 300, {packed_row('b', 232, 20, true)}), CAT_OK);
    ASSERT_EQ(cat.ops->packed_get(cat.self, digest_of('a'), &row, &name), CAT_OK);
    EXPECT_EQ(name, "aa-0");
    ASSERT_EQ(cat.ops->packed_get(cat.self, digest_of('b'), &row, &name), CAT_OK);
    EXPECT_EQ(name, "aa-1");
    EXPECT_EQ(row.pos, 232u);

    std::vector<cat_pack> open;
    ASSERT_EQ(cat.ops->packs_unsealed(cat.self, &open), CAT_OK);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].name, "aa-0");
    EXPECT_EQ(open[0].size, 200u);
    EXPECT_EQ(open[1].size, 300u); // the size only grows with the batches
    EXPECT_EQ(cat.ops->pack_seal(cat.self, p1, 260), CAT_OK);
    EXPECT_EQ(cat.ops->pack_seal(cat.self, 999999, 1), CAT_NOT_FOUND);
    ASSERT_EQ(cat.ops->packs_unsealed(cat.self, &open), CAT_OK);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].id, p2);

    EXPECT_EQ(cat.ops->packed_remove(cat.self, digest_of('a')), CAT_OK);
    EXPECT_EQ(cat.ops->packed_remove(cat.self, digest_of('a')), CAT_OK); // gone counts as removed
    EXPECT_EQ(cat.ops->packed_get(cat.self, digest_of('a'), &row, &name), CAT_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Backends, CatalogTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                             return std::string(i.param);
                         });

} // namespace
