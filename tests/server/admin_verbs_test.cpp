// admin_verbs_test.cpp - the catalog queries behind user list and remove,
// ls -R, diff and status, on a catalog whose commit times the test chooses,
// and the user removal's block clean-up on a real store.
#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/shown.h"
#include "tools/server/store.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

namespace {

std::string fresh_dir(const char* tag) {
    auto p = unique_temp_path(std::string("admin-") + tag);
    std::filesystem::remove_all(p);
    return p.string();
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
    for (const blk_digest& d : blocks)
        v.blocks.push_back(cat_block{d, {}, 32});
    return v;
}

struct CatalogAdminTest : ::testing::Test {
    std::string dir;
    catalog cat{nullptr, nullptr};
    uint8_t host[20];

    void SetUp() override {
        dir = fresh_dir("cat");
        std::filesystem::create_directories(dir);
        std::string err;
        cat = catalog_sqlite_open(dir, true, &err);
        ASSERT_NE(cat.ops, nullptr) << err;
        memset(host, 0x33, sizeof host);
        for (uint32_t id : {7u, 8u}) {
            cat_user u{id, id == 7 ? "bob" : "eve", "acme", 0, {}};
            ASSERT_EQ(cat.ops->user_add(cat.self, u), CAT_OK);
        }
    }
    void TearDown() override {
        if (cat.ops) cat.ops->destroy(cat.self);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void commit(std::vector<cat_commit> batch, int64_t now) {
        std::vector<int> results;
        ASSERT_EQ(cat.ops->commit(cat.self, batch, now, &results), CAT_OK);
        for (int r : results)
            ASSERT_EQ(r, CAT_OK);
    }
    std::vector<std::string> paths(uint32_t user, const std::string& under, int64_t at) {
        std::vector<cat_tree_entry> t;
        EXPECT_EQ(cat.ops->tree(cat.self, user, under, at, &t), CAT_OK);
        std::vector<std::string> out;
        for (const cat_tree_entry& e : t)
            out.push_back(e.path + (e.folder ? "/" : ""));
        return out;
    }
    std::vector<std::string> diff(uint32_t user, const std::string& under, int64_t a, int64_t b) {
        std::vector<cat_tree_entry> ta, tb;
        EXPECT_EQ(cat.ops->tree(cat.self, user, under, a, &ta), CAT_OK);
        EXPECT_EQ(cat.ops->tree(cat.self, user, under, b, &tb), CAT_OK);
        return srv_tree_diff(ta, tb);
    }
};

typedef std::vector<std::string> lines;

} // namespace

TEST_F(CatalogAdminTest, TreeStandsAsItDidAtEachTimeAndDiffsBetweenThem) {
    commit({file(7, "1/Today/a/x", 1, 10), file(7, "1/Today/a/y", 1, 10),
            file(7, "1/Today/a/b/z", 1, 10), file(7, "1/Today/ab/c", 1, 10),
            file(8, "1/Today/a/other", 1, 10)},
           100);
    // Between the runs: x changed, y and the folder b deleted, new added,
    // and ab/c sent again unchanged (as after verify found it damaged).
    commit({file(7, "1/Today/a/x", 2, 20), file(7, "1/Today/a/new", 1, 20),
            file(7, "1/Today/ab/c", 1, 10)},
           200);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 0, "1/Today/a/y", 200), CAT_OK);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 1, "1/Today/a/b", 200), CAT_OK);

    // Below a folder only, not a sibling sharing its name's start, nor
    // another user's files.
    EXPECT_EQ(paths(7, "1/Today/a", 150),
              (lines{"1/Today/a/b/", "1/Today/a/b/z", "1/Today/a/x", "1/Today/a/y"}));
    EXPECT_EQ(paths(7, "1/Today/a", 0), (lines{"1/Today/a/new", "1/Today/a/x"}));
    EXPECT_EQ(paths(7, "", 0), (lines{"1/", "1/Today/", "1/Today/a/", "1/Today/a/new",
                                      "1/Today/a/x", "1/Today/ab/", "1/Today/ab/c"}));
    // A commit time counts from its second on.
    EXPECT_EQ(paths(7, "1/Today/a", 200), paths(7, "1/Today/a", 0));

    EXPECT_EQ(diff(7, "1/Today", 150, 0),
              (lines{"D /1/Today/a/b/", "D /1/Today/a/b/z", "A /1/Today/a/new", "M /1/Today/a/x",
                     "D /1/Today/a/y"}));
    EXPECT_EQ(diff(7, "1/Today", 0, 150),
              (lines{"A /1/Today/a/b/", "A /1/Today/a/b/z", "D /1/Today/a/new", "M /1/Today/a/x",
                     "A /1/Today/a/y"}));
    EXPECT_TRUE(diff(7, "1/Today", 200, 0).empty());

    std::vector<cat_tree_entry> t;
    EXPECT_EQ(cat.ops->tree(cat.self, 7, "1/Today/a/x", 0, &t), CAT_NOT_DIR);
    EXPECT_EQ(cat.ops->tree(cat.self, 7, "1/Today/a/b", 0, &t), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->tree(cat.self, 7, "1/Today/a", 50, &t), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->tree(cat.self, 7, "1/Today/a/b", 150, &t), CAT_OK);
}

// Names are bytes: a folder whose name is not ASCII (or not even valid
// UTF-8) is removed and listed with everything below it, as any other.
TEST_F(CatalogAdminTest, FoldersOfAnyNameAreRemovedAndListedWithTheirContents) {
    const std::string cyrillic = "1/Today/\xd0\x94\xd0\xbe\xd0\xba";
    const std::string latin1 = "1/Today/caf\xe9";
    commit({file(7, cyrillic + "/a", 1, 10), file(7, cyrillic + "/sub/b", 1, 10),
            file(7, latin1 + "/c", 1, 10)},
           100);
    EXPECT_EQ(paths(7, cyrillic, 0),
              (lines{cyrillic + "/a", cyrillic + "/sub/", cyrillic + "/sub/b"}));
    EXPECT_EQ(paths(7, latin1, 0), (lines{latin1 + "/c"}));
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 1, cyrillic, 200), CAT_OK);
    ASSERT_EQ(cat.ops->remove(cat.self, 7, 1, latin1, 200), CAT_OK);
    cat_version v;
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, cyrillic + "/sub/b", 0, &v), CAT_NOT_FOUND);
    EXPECT_EQ(cat.ops->version_at(cat.self, 7, latin1 + "/c", 0, &v), CAT_NOT_FOUND);
    EXPECT_EQ(paths(7, "", 0), (lines{"1/", "1/Today/"}));
    EXPECT_EQ(paths(7, cyrillic, 150).size(), 3u);
}

TEST_F(CatalogAdminTest, UserRemovalTakesEveryRowAndReportsOnlyUnsharedBlocks) {
    blk_digest shared = digest_of('a'), mine = digest_of('b'), old = digest_of('c'),
               theirs = digest_of('d');
    commit({file(7, "1/Today/f", 64, 1, {old, shared}), file(8, "1/Today/g", 64, 1, {shared})},
           100);
    commit({file(7, "1/Today/f", 64, 2, {mine, shared}), file(8, "1/Today/h", 32, 1, {theirs})},
           200);
    for (uint32_t u : {7u, 8u}) {
        ASSERT_EQ(cat.ops->stamp_set(cat.self, u, host, "job.tbs", 1000 + u), CAT_OK);
        ASSERT_EQ(cat.ops->holder_note(cat.self, cat_holder{u, {}}), CAT_OK);
        cat_mail m{0, u, 1, "a@example.com", 300, "Tavni Backup: backup completed"};
        ASSERT_EQ(cat.ops->mail_add(cat.self, m), CAT_OK);
    }
    cat_damage dmg;
    dmg.bad_blocks = {mine};
    ASSERT_EQ(cat.ops->damage_record(cat.self, dmg), CAT_OK);

    std::vector<cat_user_summary> users;
    ASSERT_EQ(cat.ops->user_list(cat.self, &users), CAT_OK);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].user.id, 7u);
    EXPECT_EQ(users[0].user.name, "bob");
    EXPECT_EQ(users[0].user.account, "acme");
    EXPECT_EQ(users[0].files, 1u);
    EXPECT_EQ(users[0].bytes, 64u);
    EXPECT_EQ(users[0].versions, 2u);
    EXPECT_EQ(users[0].stamps, 1u);
    EXPECT_EQ(users[0].mails, 1u);
    EXPECT_EQ(users[1].files, 2u);
    EXPECT_EQ(users[1].bytes, 96u);

    std::vector<blk_digest> orphans;
    ASSERT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_OK);
    std::sort(orphans.begin(), orphans.end());
    EXPECT_EQ(orphans, (std::vector<blk_digest>{mine, old})); // the replaced version's too
    EXPECT_FALSE(cat.ops->block_damaged(cat.self, mine));
    EXPECT_EQ(cat.ops->user_remove(cat.self, 7, &orphans), CAT_NOT_FOUND);

    cat_user u;
    EXPECT_EQ(cat.ops->user_get(cat.self, 7, &u), CAT_NOT_FOUND);
    EXPECT_TRUE(paths(7, "", 0).empty());
    EXPECT_TRUE(paths(7, "", 150).empty());
    std::vector<cat_version> hist;
    ASSERT_EQ(cat.ops->history(cat.self, 7, "1/Today/f", &hist), CAT_OK);
    EXPECT_TRUE(hist.empty());
    std::vector<cat_stamp> stamps;
    ASSERT_EQ(cat.ops->stamps(cat.self, 7, &stamps), CAT_OK);
    EXPECT_TRUE(stamps.empty());
    std::vector<int64_t> mail;
    ASSERT_EQ(cat.ops->mail_of(cat.self, 7, &mail), CAT_OK);
    EXPECT_TRUE(mail.empty());
    std::vector<cat_holder> holders;
    ASSERT_EQ(cat.ops->holders(cat.self, &holders), CAT_OK);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].user, 8u);

    // The other user keeps everything, the shared block included.
    ASSERT_EQ(cat.ops->stamps(cat.self, 8, &stamps), CAT_OK);
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_EQ(stamps[0].stamp, 1008u);
    ASSERT_EQ(cat.ops->mail_of(cat.self, 8, &mail), CAT_OK);
    EXPECT_EQ(mail.size(), 1u);
    cat_version v;
    ASSERT_EQ(cat.ops->version_at(cat.self, 8, "1/Today/g", 0, &v), CAT_OK);
    ASSERT_EQ(v.blocks.size(), 1u);
    EXPECT_EQ(v.blocks[0].digest, shared);
    ASSERT_EQ(cat.ops->user_list(cat.self, &users), CAT_OK);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].user.id, 8u);
}

TEST(AdminReport, DestinationsAndFailureReports) {
    EXPECT_EQ(srv_destination_of("1/Today/Root/home/a.txt", false), "/1/Today");
    EXPECT_EQ(srv_destination_of("1/Today", true), "/1/Today");
    EXPECT_EQ(srv_destination_of("1/Today", false), "/1");
    EXPECT_EQ(srv_destination_of("1", true), "");
    EXPECT_EQ(srv_destination_of("loose", false), "/");

    std::string reason;
    EXPECT_TRUE(srv_mail_is_failure("Tavni Backup: backup failed\r\n=====\r\n\r\nThe backup job "
                                    "\"docs\" did not complete. The reason given:\r\n\r\n  "
                                    "Could not connect to the server.  \r\n\r\nFiles sent...",
                                    &reason));
    EXPECT_EQ(reason, "Could not connect to the server.");
    EXPECT_TRUE(srv_mail_is_failure("Subject: Backup FAILED\n", &reason));
    EXPECT_EQ(reason, "");
    EXPECT_FALSE(
        srv_mail_is_failure("Tavni Backup: backup completed\n\nFiles failed  0\n", &reason));
}

TEST(AdminReport, DiffTellsAKindChangeAndIgnoresAnUnchangedResend) {
    std::vector<cat_tree_entry> a{{"d", true, 0, 0, 5, 0, false},
                                  {"f", false, 1, 10, 5, 100, false},
                                  {"g", false, 2, 10, 5, 100, false}};
    std::vector<cat_tree_entry> b{{"d", false, 3, 1, 5, 200, false},
                                  {"f", false, 4, 10, 5, 200, false},
                                  {"g", false, 5, 10, 6, 200, false}};
    EXPECT_EQ(srv_tree_diff(a, b), (lines{"D /d/", "A /d", "M /g"}));
    EXPECT_TRUE(srv_tree_diff(a, a).empty());
}

// The removal on a real store: the confirmation is required, the rows go
// first, and only the blocks no one else names are deleted from disk.
TEST(AdminUserRemove, DeletesOnlyUnsharedBlocksAndNeedsConfirmation) {
    std::string dir = fresh_dir("store");
    std::string err;
    ASSERT_TRUE(srv_store_init(dir, &err)) << err;
    srv_store* st = srv_store_open(dir, true, &err);
    ASSERT_NE(st, nullptr) << err;
    uint8_t digest[20] = {};
    ASSERT_EQ(srv_cmd_user_add(st, 7, "bob", "acme", digest), 0);
    ASSERT_EQ(srv_cmd_user_add(st, 8, "eve", "acme", digest), 0);
    block_store& bs = st->blocks;
    auto put = [&](const std::string& bytes) {
        blk_staging* s = bs.ops->stage_open(bs.self);
        EXPECT_NE(s, nullptr);
        EXPECT_EQ(bs.ops->stage_write(bs.self, s, reinterpret_cast<const uint8_t*>(bytes.data()),
                                      bytes.size()),
                  0);
        blk_digest d;
        uint64_t len = 0;
        EXPECT_EQ(bs.ops->stage_finish(bs.self, s, &d, &len), 0);
        std::vector<blk_staging*> batch{s};
        EXPECT_EQ(bs.ops->publish(bs.self, &batch), 0);
        return d;
    };
    blk_digest shared = put(std::string(32, 's')), mine = put(std::string(32, 'm'));
    std::vector<int> results;
    ASSERT_EQ(st->cat.ops->commit(st->cat.self,
                                  {file(7, "1/Today/f", 64, 1, {shared, mine}),
                                   file(8, "1/Today/g", 32, 1, {shared})},
                                  100, &results),
              CAT_OK);

    EXPECT_EQ(srv_cmd_user_remove(st, 7, false), 2);
    cat_user u;
    EXPECT_EQ(st->cat.ops->user_get(st->cat.self, 7, &u), CAT_OK);
    EXPECT_TRUE(bs.ops->has(bs.self, mine, 32));
    EXPECT_EQ(srv_cmd_user_remove(st, 9, true), 1);

    EXPECT_EQ(srv_cmd_user_remove(st, 7, true), 0);
    EXPECT_EQ(st->cat.ops->user_get(st->cat.self, 7, &u), CAT_NOT_FOUND);
    EXPECT_FALSE(bs.ops->has(bs.self, mine, 32));
    EXPECT_TRUE(bs.ops->has(bs.self, shared, 32));
    EXPECT_EQ(bs.ops->remove(bs.self, mine), 0); // already gone counts as removed
    EXPECT_EQ(bs.ops->remove(bs.self, "../../etc"), -1);
    srv_store_close(st);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// status on a store: rows per destination, the newest stamp of any schedule
// as the last job, and the newest report that says the backup failed.
TEST(AdminStatus, RowsPerDestinationWithTheLastJobAndFailure) {
    std::string dir = fresh_dir("status");
    std::string err;
    ASSERT_TRUE(srv_store_init(dir, &err)) << err;
    srv_store* st = srv_store_open(dir, false, &err);
    ASSERT_NE(st, nullptr) << err;
    catalog& cat = st->cat;
    uint8_t digest[20] = {}, host[20] = {};
    ASSERT_EQ(srv_cmd_user_add(st, 7, "bob", "acme", digest), 0);
    ASSERT_EQ(srv_cmd_user_add(st, 8, "eve", "acme", digest), 0);
    std::vector<int> results;
    ASSERT_EQ(cat.ops->commit(cat.self,
                              {file(7, "1/Today/Root/a", 10, 1), file(7, "1/Today/Root/b", 5, 1),
                               file(7, "1/Week/Root/c", 7, 1)},
                              60, &results),
              CAT_OK);
    ASSERT_EQ(cat.ops->commit(cat.self, {file(7, "1/Today/Root/a", 12, 2)}, 120, &results), CAT_OK);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "week.tbs", 1000), CAT_OK);
    ASSERT_EQ(cat.ops->stamp_set(cat.self, 7, host, "today.tbs", 2000), CAT_OK);
    const char* failed = "Tavni Backup: backup failed\n\nThe reason given:\n\n  Disk full\n";
    for (auto m : {cat_mail{0, 7, 1, "a@example.com", 3000, "Tavni Backup: backup failed"},
                   cat_mail{0, 7, 1, "a@example.com", 3600, failed},
                   cat_mail{0, 7, 1, "a@example.com", 4000, "Tavni Backup: backup completed"},
                   cat_mail{0, 8, 1, "a@example.com", 5000, failed}})
        ASSERT_EQ(cat.ops->mail_add(cat.self, m), CAT_OK);

    const char* old_tz = getenv("TZ");
    const std::string saved_tz = old_tz ? old_tz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    ::testing::internal::CaptureStdout();
    int rc = srv_cmd_status(st, 7);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "USER  DESTINATION  FILES  BYTES  LAST-STORED                LAST-JOB       "
                   "            LAST-FAILURE               REASON\n"
                   "7     /1/Today     2      17     1970-01-01 00:02:00 +0000  1970-01-01 "
                   "00:33:20 +0000  1970-01-01 01:00:00 +0000  Disk full\n"
                   "7     /1/Week      1      7      1970-01-01 00:01:00 +0000  1970-01-01 "
                   "00:33:20 +0000  1970-01-01 01:00:00 +0000  Disk full\n");

    ::testing::internal::CaptureStdout();
    rc = srv_cmd_status(st, 0);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("\n8     -            0      0      -                          -        "
                       "                  1970-01-01 01:23:20 +0000  Disk full\n"),
              std::string::npos)
        << out;

    // The same facts for scripts: exact numbers, times in seconds beside
    // their text, null for what there is none of.
    ::testing::internal::CaptureStdout();
    rc = srv_cmd_status(st, 0, true);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("{\"user\":7,\"destination\":\"/1/Today\",\"files\":2,\"bytes\":17,"
                       "\"last_stored\":120,\"last_stored_text\":\"1970-01-01 00:02:00 +0000\","
                       "\"last_job\":2000,"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("{\"user\":8,\"destination\":null,\"files\":0,\"bytes\":0,"
                       "\"last_stored\":null,\"last_stored_text\":null,\"last_job\":null,"
                       "\"last_job_text\":null,\"last_failure\":5000,\"last_failure_text\":"
                       "\"1970-01-01 01:23:20 +0000\",\"reason\":\"Disk full\"}"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.substr(0, 17), "{\"destinations\":[");
    EXPECT_NE(out.find("],\"last_store_failure\":null}\n"), std::string::npos) << out;
    if (old_tz)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(srv_cmd_status(st, 9), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    srv_store_close(st);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// Sizes are exact for scripts and in units for people.
TEST(AdminReport, SizesAreExactForScriptsAndInUnitsForPeople) {
    EXPECT_EQ(srv_size_text(200000, false), "200000");
    EXPECT_EQ(srv_size_text(200000, true), "195.3 KiB");
    EXPECT_EQ(srv_size_text(1023, true), "1023 B");
    EXPECT_EQ(srv_size_text(1024, true), "1.0 KiB");
    EXPECT_EQ(srv_size_text(1048575, true), "1.0 MiB"); // never "1024.0 KiB"
    EXPECT_EQ(srv_size_text(5ull << 40, true), "5.0 TiB");
    EXPECT_EQ(srv_size_text(UINT64_MAX, true), "16.0 EiB");
}
