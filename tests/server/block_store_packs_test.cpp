// block_store_packs_test.cpp - the local block store with its small blocks
// in pack files indexed in a SQLite catalog: round trips through packs and
// reopenings, the repair of a pack a crashed process left with a torn tail,
// a store whose blocks were all files before, and damage to a packed record.
#include "common/text.h"
#include "tools/server/pack_file.h"
#include "tools/server/store.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string sha256_hex(const std::string& s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), md, &n, EVP_sha256(), nullptr);
    return hex_lower(md, n);
}

// Distinct bytes per number, of a size between 1 byte and 9 KiB.
std::string block_bytes(int i) {
    std::string s = "block " + std::to_string(i) + " ";
    s.resize(1 + static_cast<size_t>(i * 7919) % 9216, static_cast<char>('a' + i % 26));
    return s;
}

// The pack files below DIR/packs.
std::vector<fs::path> pack_files(const fs::path& base) {
    std::vector<fs::path> out;
    if (!fs::exists(base / "packs")) return out;
    for (const auto& e : fs::directory_iterator(base / "packs"))
        if (e.path().extension() == ".pack") out.push_back(e.path());
    return out;
}

struct PackedStore : ::testing::Test {
    fs::path base;
    catalog cat{nullptr, nullptr};
    block_store bs{nullptr, nullptr};

    void SetUp() override {
        base = unique_temp_path("packstore");
        fs::remove_all(base);
        fs::create_directories(base);
    }
    void TearDown() override {
        close();
        fs::remove_all(base);
    }
    // Opens the catalog and the store as the serving process does; with
    // packs false, the store as it was before packs (every block a file).
    void open(bool packs = true) {
        std::string err;
        cat = catalog_sqlite_open(base.string(), !fs::exists(base / "catalog.db"), &err);
        ASSERT_NE(cat.ops, nullptr) << err;
        bs = block_store_local(base.string(), true, packs ? &cat : nullptr);
        ASSERT_NE(bs.ops, nullptr);
    }
    void close() {
        if (bs.ops) bs.ops->destroy(bs.self);
        if (cat.ops) cat.ops->destroy(cat.self);
        bs = block_store{nullptr, nullptr};
        cat = catalog{nullptr, nullptr};
    }
    blk_staging* stage(const std::string& bytes) {
        blk_staging* s = bs.ops->stage_open(bs.self);
        EXPECT_NE(s, nullptr);
        blk_digest d;
        uint64_t len = 0;
        EXPECT_EQ(bs.ops->stage_write(bs.self, s, reinterpret_cast<const uint8_t*>(bytes.data()),
                                      bytes.size()),
                  0);
        EXPECT_EQ(bs.ops->stage_finish(bs.self, s, &d, &len), 0);
        return s;
    }
    // Publishes the blocks in one batch; 0 / -1.
    int put(const std::vector<std::string>& blocks, bool replace = false) {
        std::vector<blk_staging*> batch;
        for (const std::string& b : blocks) {
            batch.push_back(stage(b));
            if (replace) bs.ops->stage_replace(bs.self, batch.back());
        }
        return bs.ops->publish(bs.self, &batch);
    }
    std::string stored(const std::string& bytes) {
        std::vector<uint8_t> got;
        if (bs.ops->get(bs.self, sha256_hex(bytes), &got) != 0) return "<none>";
        return std::string(got.begin(), got.end());
    }
    bool has(const std::string& bytes) {
        return bs.ops->has(bs.self, sha256_hex(bytes), bytes.size());
    }
    bool packed(const std::string& bytes, cat_packed* row = nullptr, std::string* name = nullptr) {
        cat_packed r;
        std::string n;
        bool found = cat.ops->packed_get(cat.self, sha256_hex(bytes), &r, &n) == CAT_OK;
        if (row) *row = r;
        if (name) *name = n;
        return found;
    }
    size_t unsealed() {
        std::vector<cat_pack> open;
        EXPECT_EQ(cat.ops->packs_unsealed(cat.self, &open), CAT_OK);
        return open.size();
    }
};

TEST_F(PackedStore, ManySmallBlocksRoundTripThroughPacksAndSurviveReopening) {
    open();
    std::vector<std::string> blocks;
    for (int i = 0; i < 320; i++)
        blocks.push_back(block_bytes(i));
    for (size_t at = 0; at < blocks.size(); at += 32)
        ASSERT_EQ(put(std::vector<std::string>(blocks.begin() + at, blocks.begin() + at + 32)), 0);
    // A large block stays a file of its own.
    std::string large(PACK_BLOCK_THRESHOLD + 1, 'L');
    ASSERT_EQ(put({large, blocks[0]}), 0);
    std::string large_d = sha256_hex(large);
    EXPECT_TRUE(fs::exists(base / "blocks" / large_d.substr(0, 2) / large_d));
    EXPECT_FALSE(packed(large));
    // A block of exactly the threshold is packed.
    std::string edge(PACK_BLOCK_THRESHOLD, 'E');
    ASSERT_EQ(put({edge}), 0);
    EXPECT_TRUE(packed(edge));

    for (const std::string& b : blocks) {
        EXPECT_TRUE(packed(b));
        EXPECT_FALSE(fs::exists(base / "blocks" / sha256_hex(b).substr(0, 2) / sha256_hex(b)));
        EXPECT_EQ(stored(b), b);
    }
    EXPECT_EQ(pack_files(base).size(), 1u); // one opening appends to one pack
    EXPECT_EQ(unsealed(), 1u);

    close(); // seals the pack
    open();
    EXPECT_EQ(unsealed(), 0u);
    for (const std::string& b : blocks) {
        EXPECT_TRUE(has(b));
        EXPECT_EQ(stored(b), b);
    }
    EXPECT_EQ(stored(large), large);
    EXPECT_EQ(stored(edge), edge);
    // A new opening appends to a pack of its own, never to a sealed one.
    ASSERT_EQ(put({block_bytes(1000)}), 0);
    EXPECT_EQ(stored(block_bytes(1000)), block_bytes(1000));
    EXPECT_EQ(pack_files(base).size(), 2u);
}

TEST_F(PackedStore, AFullPackIsSealedAndTheNextBatchGoesToANewOne) {
    open();
    // Batches of blocks of the threshold's size until the pack has reached
    // its target (the record headers take the last batch past it: that
    // batch still goes in whole).
    std::vector<std::string> blocks;
    const uint64_t per_pack = PACK_TARGET_SIZE / PACK_BLOCK_THRESHOLD;
    for (uint64_t i = 0; i < per_pack; i++) {
        std::string b(PACK_BLOCK_THRESHOLD, static_cast<char>('a' + i % 26));
        b.replace(0, 16, std::to_string(1000000000000000 + i));
        blocks.push_back(b);
    }
    for (size_t at = 0; at < blocks.size(); at += 8)
        ASSERT_EQ(put(std::vector<std::string>(blocks.begin() + at,
                                               blocks.begin() + std::min(blocks.size(), at + 8))),
                  0);
    EXPECT_EQ(pack_files(base).size(), 1u);
    EXPECT_EQ(unsealed(), 1u);
    ASSERT_EQ(put({block_bytes(1)}), 0);
    EXPECT_EQ(pack_files(base).size(), 2u);
    EXPECT_EQ(unsealed(), 1u); // the full one is sealed
    for (const std::string& b : blocks)
        EXPECT_EQ(stored(b), b);
    EXPECT_EQ(stored(block_bytes(1)), block_bytes(1));
}

#ifndef _WIN32
TEST_F(PackedStore, ATornPackTailIsCutOnReopeningAndEveryIndexedBlockReads) {
    std::vector<std::string> blocks;
    for (int i = 0; i < 40; i++)
        blocks.push_back(block_bytes(i));
    // A serving process stores blocks and dies without closing anything.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        open();
        bool ok = put(std::vector<std::string>(blocks.begin(), blocks.begin() + 20)) == 0 &&
                  put(std::vector<std::string>(blocks.begin() + 20, blocks.end())) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Its last append was torn: part of a record header and some data.
    std::vector<fs::path> packs = pack_files(base);
    ASSERT_EQ(packs.size(), 1u);
    const uintmax_t whole = fs::file_size(packs[0]);
    {
        std::ofstream f(packs[0], std::ios::binary | std::ios::app);
        f << "TVRB" << std::string(100, '\x5a');
    }
    open();
    EXPECT_EQ(fs::file_size(packs[0]), whole);
    EXPECT_EQ(unsealed(), 0u);
    for (const std::string& b : blocks) {
        EXPECT_TRUE(has(b));
        EXPECT_EQ(stored(b), b);
    }
    // The repaired pack takes no more records; a new one does.
    ASSERT_EQ(put({block_bytes(500)}), 0);
    EXPECT_EQ(fs::file_size(packs[0]), whole);
    EXPECT_EQ(stored(block_bytes(500)), block_bytes(500));
}
#endif

TEST_F(PackedStore, ABatchWhoseBarrierFailsNamesNothingAndTheNextGoesToANewPack) {
    if (!PLAT_FAULT_COMPILED_IN) GTEST_SKIP() << "built without TAVNI_FAULT_INJECTION";
    open();
    std::string a = block_bytes(1), b = block_bytes(2), c = block_bytes(3);
    ASSERT_EQ(put({a}), 0);
    const plat_fault_plan sync_fails{PLAT_FAULT_SYNC, 1, false, EIO, PLAT_FAULT_FAIL};
    ASSERT_EQ(0, plat_fault_arm(&sync_fails));
    EXPECT_EQ(put({b}), -1);
    plat_fault_arm(nullptr);
    EXPECT_FALSE(has(b));
    EXPECT_FALSE(packed(b));
    // The pack's state is unknown after a failed sync: no more appends to it.
    ASSERT_EQ(put({c}), 0);
    EXPECT_EQ(pack_files(base).size(), 2u);
    EXPECT_EQ(stored(a), a);
    EXPECT_EQ(stored(c), c);
    close();
    open(); // the pack given up is repaired and sealed
    EXPECT_EQ(unsealed(), 0u);
    EXPECT_EQ(stored(a), a);
    EXPECT_EQ(stored(c), c);
    EXPECT_FALSE(has(b));
}

TEST_F(PackedStore, AStoreOfBlockFilesKeepsServingThemWithPacks) {
    open(false);
    std::string small = block_bytes(3), large(PACK_BLOCK_THRESHOLD * 2, 'F');
    ASSERT_EQ(put({small, large}), 0);
    EXPECT_TRUE(pack_files(base).empty());
    close();

    open();
    EXPECT_TRUE(has(small));
    EXPECT_TRUE(has(large));
    EXPECT_EQ(stored(small), small);
    EXPECT_EQ(stored(large), large);
    // Sent again: the file counts as stored, nothing is packed.
    ASSERT_EQ(put({small}), 0);
    EXPECT_FALSE(packed(small));
    EXPECT_TRUE(pack_files(base).empty());
    // Removed: the file goes as before.
    EXPECT_EQ(bs.ops->remove(bs.self, sha256_hex(small)), 0);
    EXPECT_FALSE(has(small));
}

TEST_F(PackedStore, ADamagedPackedBlockIsReportedAndReplacedWhenMarked) {
    open();
    std::string bytes = block_bytes(7), other = block_bytes(8);
    ASSERT_EQ(put({bytes, other}), 0);
    cat_packed row;
    std::string name;
    ASSERT_TRUE(packed(bytes, &row, &name));
    // One byte of its data flips on disk.
    {
        std::fstream f(base / "packs" / (name + ".pack"),
                       std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(row.pos + PACK_RECORD_HEADER_SIZE + 3));
        f.put('\x01');
    }
    EXPECT_EQ(stored(bytes), "<none>"); // never handed out
    EXPECT_EQ(stored(other), other);
    // Not marked: the stored copy counts (only the catalog's mark can tell).
    ASSERT_EQ(put({bytes}), 0);
    EXPECT_EQ(stored(bytes), "<none>");
    // Marked: appended again and its row switched to the new record.
    ASSERT_EQ(put({bytes}, true), 0);
    EXPECT_EQ(stored(bytes), bytes);
    cat_packed now;
    ASSERT_TRUE(packed(bytes, &now));
    EXPECT_NE(now.pos, row.pos);
    close();
    open();
    EXPECT_EQ(stored(bytes), bytes);
    EXPECT_EQ(stored(other), other);
}

TEST_F(PackedStore, ARemovedPackedBlockIsGoneAndCanBeStoredAgain) {
    open();
    std::string bytes = block_bytes(11);
    ASSERT_EQ(put({bytes}), 0);
    ASSERT_EQ(bs.ops->remove(bs.self, sha256_hex(bytes)), 0);
    EXPECT_FALSE(has(bytes));
    EXPECT_EQ(stored(bytes), "<none>");
    ASSERT_EQ(put({bytes}), 0);
    EXPECT_TRUE(has(bytes));
    EXPECT_EQ(stored(bytes), bytes);
}

} // namespace
