// One contract for every block store: the same cases run against the local
// folder and against an S3 bucket (a fresh bucket per test), each with and
// without packs for its small blocks (the packs indexed in a SQLite
// catalog). The S3 cases
// need an endpoint in TAVNI_S3_ENDPOINT (with TAVNI_S3_ACCESS,
// TAVNI_S3_SECRET, TAVNI_S3_REGION), as tests/services/s3_block_store.sh
// sets up; without one they are skipped.
#include "common/text.h"
#include "tools/server/s3_client.h"
#include "tools/server/store.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string sha256_hex(const std::string& s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), md, &n, EVP_sha256(), nullptr);
    return hex_lower(md, n);
}

std::string env_or_empty(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

class BlockStoreContract : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "local") {
            base_ = unique_temp_path("blockstore");
            fs::remove_all(base_);
            fs::create_directories(base_);
            bs_ = block_store_local(base_.string(), true, nullptr);
            ASSERT_NE(bs_.ops, nullptr);
            return;
        }
        if (packed()) {
            base_ = unique_temp_path("blockstore");
            fs::remove_all(base_);
            fs::create_directories(base_);
            std::string err;
            cat_ = catalog_sqlite_open(base_.string(), true, &err);
            ASSERT_NE(cat_.ops, nullptr) << err;
        }
        if (GetParam() == "packs") {
            bs_ = block_store_local(base_.string(), true, &cat_);
            ASSERT_NE(bs_.ops, nullptr);
            return;
        }
#ifndef TAVNI_HAVE_CURL
        GTEST_SKIP() << "this build has no S3 support (libcurl was missing)";
#endif
        cfg_.endpoint = env_or_empty("TAVNI_S3_ENDPOINT");
        if (cfg_.endpoint.empty())
            GTEST_SKIP() << "TAVNI_S3_ENDPOINT is not set: no S3 endpoint to test against "
                            "(tests/services/s3_block_store.sh starts one)";
        cfg_.access_key = env_or_empty("TAVNI_S3_ACCESS");
        cfg_.secret_key = env_or_empty("TAVNI_S3_SECRET");
        cfg_.region = env_or_empty("TAVNI_S3_REGION");
        if (cfg_.region.empty()) cfg_.region = "default";
        uint8_t r[6] = {0};
        RAND_bytes(r, sizeof r);
        cfg_.bucket = "tavni-contract" + hex_lower(r, sizeof r);
        std::string err;
        ASSERT_TRUE(block_store_s3_make_bucket(cfg_, &err)) << err;
        bs_ = block_store_s3(cfg_, packed() ? &cat_ : nullptr, &err);
        ASSERT_NE(bs_.ops, nullptr) << err;
    }
    void TearDown() override {
        if (bs_.ops) bs_.ops->destroy(bs_.self);
        if (cat_.ops) cat_.ops->destroy(cat_.self);
        if (!base_.empty()) fs::remove_all(base_);
    }

    bool packed() const {
        return GetParam() == "packs" || GetParam() == "s3packs";
    }

    blk_staging* stage(const std::string& bytes, blk_digest* d, bool finish = true) {
        blk_staging* s = bs_.ops->stage_open(bs_.self);
        EXPECT_NE(s, nullptr);
        if (!s) return nullptr;
        // In two writes, as the protocol delivers a block in pieces.
        size_t half = bytes.size() / 2;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
        EXPECT_EQ(bs_.ops->stage_write(bs_.self, s, p, half), 0);
        EXPECT_EQ(bs_.ops->stage_write(bs_.self, s, p + half, bytes.size() - half), 0);
        if (finish) {
            uint64_t len = 0;
            EXPECT_EQ(bs_.ops->stage_finish(bs_.self, s, d, &len), 0);
            EXPECT_EQ(len, bytes.size());
        }
        return s;
    }
    // Publishes bytes as one block (marked for replacement or not).
    blk_digest put(const std::string& bytes, bool replace = false) {
        blk_digest d;
        std::vector<blk_staging*> batch{stage(bytes, &d)};
        if (replace) bs_.ops->stage_replace(bs_.self, batch[0]);
        EXPECT_EQ(bs_.ops->publish(bs_.self, &batch), 0);
        EXPECT_TRUE(batch.empty());
        return d;
    }
    std::string stored(const blk_digest& d) {
        std::vector<uint8_t> got;
        int rc = bs_.ops->get(bs_.self, d, &got);
        if (rc == BLK_DAMAGED) return "<damaged>";
        if (rc != 0) return "<none>";
        return std::string(got.begin(), got.end());
    }
    // Damage from outside the store: other bytes under the block's name.
    void damage(const blk_digest& d, const std::string& bytes) {
        if (GetParam() == "local") {
            std::ofstream((base_ / "blocks" / d.substr(0, 2) / d).string(),
                          std::ios::trunc | std::ios::binary)
                << bytes;
            return;
        }
        put_object("blocks/" + d, bytes);
    }
    void put_object(const std::string& key, const std::string& bytes) {
#ifdef TAVNI_HAVE_CURL
        std::string err;
        s3_client* c = s3_client_new(cfg_, s3_limits(), &err);
        ASSERT_NE(c, nullptr) << err;
        EXPECT_EQ(
            s3_put(c, key, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "", &err),
            S3_OK)
            << err;
        s3_client_free(c);
#else
        (void)key, (void)bytes;
#endif
    }
    // Damage from outside a packed store: one byte of d's record flipped in
    // its pack (a file or an object).
    void damage_packed(const blk_digest& d) {
        cat_packed row;
        std::string name;
        ASSERT_EQ(cat_.ops->packed_get(cat_.self, d, &row, &name), CAT_OK);
        std::string pack;
        if (GetParam() == "packs") {
            fs::path path = base_ / "packs" / (name + ".pack");
            std::ifstream in(path, std::ios::binary);
            pack.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            pack.at(row.pos + 60) ^= 0x20;
            std::ofstream(path, std::ios::trunc | std::ios::binary) << pack;
            return;
        }
#ifdef TAVNI_HAVE_CURL
        std::string err;
        s3_client* c = s3_client_new(cfg_, s3_limits(), &err);
        ASSERT_NE(c, nullptr) << err;
        std::vector<uint8_t> got;
        ASSERT_EQ(s3_get(c, "packs/" + name, 1 << 26, &got, &err), S3_OK) << err;
        s3_client_free(c);
        pack.assign(got.begin(), got.end());
        pack.at(row.pos + 60) ^= 0x20;
        put_object("packs/" + name, pack);
#endif
    }

    fs::path base_;
    s3_config cfg_;
    block_store bs_{nullptr, nullptr};
    catalog cat_{nullptr, nullptr};
};

TEST_P(BlockStoreContract, APublishedBlockIsThereUntilRemoved) {
    std::string bytes = "ciphertext of one block, sixteen-byte padded....";
    blk_digest d = put(bytes);
    EXPECT_EQ(d, sha256_hex(bytes));
    EXPECT_TRUE(bs_.ops->has(bs_.self, d, bytes.size()));
    EXPECT_FALSE(bs_.ops->has(bs_.self, d, bytes.size() + 1));
    EXPECT_EQ(stored(d), bytes);

    EXPECT_EQ(bs_.ops->remove(bs_.self, d), 0);
    EXPECT_FALSE(bs_.ops->has(bs_.self, d, bytes.size()));
    EXPECT_EQ(stored(d), "<none>");
    EXPECT_EQ(bs_.ops->remove(bs_.self, d), 0); // not there counts as removed

    // Names that are not digests reach nothing.
    for (const char* bad : {"", "../x", "ABCDEF", "blocks/../../etc"}) {
        EXPECT_FALSE(bs_.ops->has(bs_.self, bad, 0)) << bad;
        EXPECT_EQ(stored(bad), "<none>") << bad;
        EXPECT_EQ(bs_.ops->remove(bs_.self, bad), -1) << bad;
    }
}

TEST_P(BlockStoreContract, TheSameBlockTwiceIsStoredOnce) {
    std::string bytes(4096, 'b');
    blk_digest d1, d2;
    std::vector<blk_staging*> batch{stage(bytes, &d1), stage(bytes, &d2)};
    EXPECT_EQ(d1, d2);
    EXPECT_EQ(bs_.ops->publish(bs_.self, &batch), 0);
    EXPECT_EQ(put(bytes), d1); // and again in a later batch
    EXPECT_EQ(stored(d1), bytes);
    EXPECT_EQ(bs_.ops->remove(bs_.self, d1), 0);
    EXPECT_FALSE(bs_.ops->has(bs_.self, d1, bytes.size()));
}

TEST_P(BlockStoreContract, AStoredBlockOfAnotherLengthIsReplaced) {
    if (packed()) GTEST_SKIP() << "a packed record is checked on every read: see below";
    std::string bytes(1000, 'L');
    blk_digest d = put(bytes);
    damage(d, "short");
    EXPECT_FALSE(bs_.ops->has(bs_.self, d, bytes.size()));
    put(bytes);
    EXPECT_TRUE(bs_.ops->has(bs_.self, d, bytes.size()));
    EXPECT_EQ(stored(d), bytes);
}

TEST_P(BlockStoreContract, ADamagedBlockIsReplacedOnlyWhenMarked) {
    if (packed()) GTEST_SKIP() << "a packed record is checked on every read: see below";
    std::string bytes(512, 'd');
    blk_digest d = put(bytes);
    std::string wrong(512, 'X'); // same length: only the catalog's mark can tell
    damage(d, wrong);
    put(bytes);
    EXPECT_EQ(stored(d), wrong); // kept, never taken over silently
    put(bytes, true);
    EXPECT_EQ(stored(d), bytes);
}

// A packed block's record is checked on every read: damage reads as damaged
// (never as other bytes), a publish keeps it until the catalog marks it, and
// the marked publish stores it whole again.
TEST_P(BlockStoreContract, ADamagedPackedRecordReadsAsDamagedUntilReplaced) {
    if (!packed()) GTEST_SKIP() << "no packs in this store";
    std::string bytes(700, 'p'), other(900, 'o');
    blk_digest d = put(bytes);
    blk_digest beside = put(other);
    damage_packed(d);
    EXPECT_EQ(stored(d), "<damaged>");
    EXPECT_EQ(stored(beside), other);
    put(bytes);
    EXPECT_EQ(stored(d), "<damaged>");
    put(bytes, true);
    EXPECT_EQ(stored(d), bytes);
    EXPECT_TRUE(bs_.ops->has(bs_.self, d, bytes.size()));
}

TEST_P(BlockStoreContract, AnAbortedStagingLeavesNothing) {
    blk_digest d;
    std::string bytes(300, 'a');
    bs_.ops->stage_abort(bs_.self, stage(bytes, &d)); // finished, then aborted
    EXPECT_FALSE(bs_.ops->has(bs_.self, d, bytes.size()));
    bs_.ops->stage_abort(bs_.self, stage(bytes, &d, false)); // aborted while open
    EXPECT_FALSE(bs_.ops->has(bs_.self, d, bytes.size()));
    EXPECT_EQ(stored(d), "<none>");
    if (GetParam() == "local" || GetParam() == "packs") {
        EXPECT_TRUE(fs::is_empty(base_ / "blocks" / "tmp")) << "a temporary was left behind";
    }
}

TEST_P(BlockStoreContract, AFailedPublishStoresNothingThatCounts) {
    blk_digest done, open;
    std::string a(200, '1'), b(200, '2');
    // One staging of the batch never finished: the whole batch fails, and
    // the finished one is not stored either.
    std::vector<blk_staging*> batch{stage(a, &done), stage(b, &open, false)};
    EXPECT_EQ(bs_.ops->publish(bs_.self, &batch), -1);
    EXPECT_TRUE(batch.empty()); // consumed all the same
    EXPECT_FALSE(bs_.ops->has(bs_.self, done, a.size()));
    EXPECT_EQ(stored(done), "<none>");
}

TEST_P(BlockStoreContract, ThreadsStageAndPublishSideBySide) {
    const int threads = 4, per_thread = 12;
    std::vector<std::thread> ts;
    std::vector<std::vector<std::pair<blk_digest, std::string>>> done(threads);
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&, t] {
            for (int i = 0; i < per_thread; i++) {
                // Every other block is the same in every thread.
                std::string bytes = i % 2 ? "shared-" + std::to_string(i)
                                          : "own-" + std::to_string(t) + "-" + std::to_string(i);
                bytes += std::string(1000 + i, 'x');
                blk_digest d;
                blk_staging* s = bs_.ops->stage_open(bs_.self);
                uint64_t len = 0;
                bool ok = s &&
                          bs_.ops->stage_write(bs_.self, s,
                                               reinterpret_cast<const uint8_t*>(bytes.data()),
                                               bytes.size()) == 0 &&
                          bs_.ops->stage_finish(bs_.self, s, &d, &len) == 0;
                std::vector<blk_staging*> batch{s};
                if (ok && bs_.ops->publish(bs_.self, &batch) == 0 &&
                    bs_.ops->has(bs_.self, d, bytes.size()))
                    done[t].emplace_back(d, bytes);
            }
        });
    for (std::thread& t : ts)
        t.join();
    for (int t = 0; t < threads; t++) {
        ASSERT_EQ(done[t].size(), static_cast<size_t>(per_thread)) << "thread " << t;
        for (const auto& b : done[t])
            EXPECT_EQ(stored(b.first), b.second);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, BlockStoreContract,
                         ::testing::Values("local", "packs", "s3", "s3packs"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

} // namespace
