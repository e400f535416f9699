// Pack files: records read back as written, a torn tail cut at every point
// of the last record, damage refused and reported, hostile lengths refused
// without allocating for them, and failed writes and syncs of the disk.
#include "tools/server/pack_file.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct block {
    std::vector<uint8_t> data;
    uint8_t digest[32];
    uint64_t offset = 0;
};

block make_block(uint32_t len, uint32_t seed) {
    block b;
    b.data.resize(len);
    for (uint32_t i = 0; i < len; ++i)
        b.data[i] = static_cast<uint8_t>((i * 31 + seed * 7) ^ (i >> 8));
    unsigned int n = 0;
    EVP_Digest(b.data.data(), len, b.digest, &n, EVP_sha256(), nullptr);
    return b;
}

struct PackFile : ::testing::Test {
    temp_dir dir;
    std::string path = (dir.path / "p.pack").string();
    std::vector<block> blocks;

    // A new pack holding n blocks of varied lengths, synced and closed.
    void write_pack(uint32_t n, uint32_t last_len = 0) {
        pack_file p;
        ASSERT_EQ(PACK_OK, pack_open_append(path, true, &p, nullptr));
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t len = i + 1 == n && last_len ? last_len : 1 + (i * 977) % 9000;
            blocks.push_back(make_block(len, i));
            ASSERT_EQ(PACK_OK, pack_append(&p, blocks.back().digest, blocks.back().data.data(), len,
                                           &blocks.back().offset));
        }
        ASSERT_EQ(PACK_OK, pack_sync(&p));
        ASSERT_EQ(PACK_OK, pack_close(&p));
    }
    int read(const block& b, std::vector<uint8_t>* out, uint32_t len = 0) {
        plat_file f = plat_file_open_read(path.c_str());
        int rc =
            pack_read(f, b.offset, len ? len : static_cast<uint32_t>(b.data.size()), b.digest, out);
        plat_file_close(f);
        return rc;
    }
    void expect_all_readable() {
        std::vector<uint8_t> out;
        for (const block& b : blocks) {
            ASSERT_EQ(PACK_OK, read(b, &out)) << "block at " << b.offset;
            ASSERT_EQ(b.data, out);
        }
    }
    std::string bytes() { return read_bytes(path); }
    void put_bytes(const std::string& s) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << s;
    }
    std::vector<pack_record_info> scan(pack_scan_summary* sum) {
        std::vector<pack_record_info> seen;
        EXPECT_EQ(PACK_OK, pack_scan(
                               path,
                               [](void* ctx, const pack_record_info& r) {
                                   static_cast<std::vector<pack_record_info>*>(ctx)->push_back(r);
                               },
                               &seen, sum));
        return seen;
    }
};

TEST_F(PackFile, ManyBlocksReadBackAndScanAsWrittenAndReopeningCutsNothing) {
    write_pack(300);
    expect_all_readable();
    pack_scan_summary sum;
    std::vector<pack_record_info> seen = scan(&sum);
    ASSERT_EQ(blocks.size(), seen.size());
    EXPECT_EQ(0u, sum.damaged);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i].whole);
        EXPECT_EQ(blocks[i].offset, seen[i].offset);
        EXPECT_EQ(blocks[i].data.size(), seen[i].length);
        EXPECT_EQ(0, memcmp(blocks[i].digest, seen[i].digest, 32));
    }

    const std::string before = bytes();
    pack_file p;
    uint64_t cut = 99;
    ASSERT_EQ(PACK_OK, pack_open_append(path, false, &p, &cut));
    EXPECT_EQ(0u, cut);
    EXPECT_EQ(before.size(), p.size);
    blocks.push_back(make_block(5000, 1000));
    ASSERT_EQ(PACK_OK, pack_append(&p, blocks.back().digest, blocks.back().data.data(), 5000,
                                   &blocks.back().offset));
    EXPECT_EQ(before.size(), blocks.back().offset);
    ASSERT_EQ(PACK_OK, pack_sync(&p));
    ASSERT_EQ(PACK_OK, pack_close(&p));
    EXPECT_EQ(before, bytes().substr(0, before.size()));
    expect_all_readable();

    // A new pack never replaces a file already there.
    EXPECT_EQ(PACK_INVALID, pack_open_append(path, true, &p, nullptr));
    EXPECT_EQ(PLAT_NO_FILE, p.f);
}

TEST_F(PackFile, TornTailIsCutAtEveryPointOfTheLastRecordAndAppendingGoesOn) {
    write_pack(3, 100);
    const std::string whole = bytes();
    const uint64_t last = blocks.back().offset;
    const block lost = blocks.back();
    blocks.pop_back();
    std::vector<std::string> tails;
    for (uint64_t k = last; k < whole.size(); ++k)
        tails.push_back(whole.substr(0, k));
    // A tail that a file system filled with zeros after a crash.
    tails.push_back(whole.substr(0, last) + std::string(4096, '\0'));
    for (const std::string& torn : tails) {
        SCOPED_TRACE("pack of " + std::to_string(torn.size()) + " bytes");
        put_bytes(torn);
        pack_file p;
        uint64_t cut = 0;
        ASSERT_EQ(PACK_OK, pack_open_append(path, false, &p, &cut));
        EXPECT_EQ(torn.size() - last, cut);
        EXPECT_EQ(last, p.size);
        block again = lost;
        ASSERT_EQ(PACK_OK, pack_append(&p, again.digest, again.data.data(), 100, &again.offset));
        EXPECT_EQ(last, again.offset);
        ASSERT_EQ(PACK_OK, pack_sync(&p));
        ASSERT_EQ(PACK_OK, pack_close(&p));
        EXPECT_EQ(whole, bytes());
    }

    // A pack cut inside its header is made again from nothing.
    for (size_t k = 0; k < PACK_HEADER_SIZE; ++k) {
        put_bytes(whole.substr(0, k));
        pack_file p;
        ASSERT_EQ(PACK_OK, pack_open_append(path, false, &p, nullptr)) << k;
        EXPECT_EQ(PACK_HEADER_SIZE, p.size);
        ASSERT_EQ(PACK_OK, pack_close(&p));
        EXPECT_EQ(whole.substr(0, PACK_HEADER_SIZE), bytes());
    }
}

TEST_F(PackFile, FlippedByteIsRefusedByReadReportedByScanAndNeverCutFromTheMiddle) {
    write_pack(5);
    const std::string whole = bytes();
    std::vector<uint8_t> out;
    // One byte of data, of the digest, of the length, of the magic.
    for (uint64_t at : {blocks[2].offset + PACK_RECORD_HEADER_SIZE + 10, blocks[2].offset + 20,
                        blocks[2].offset + 5, blocks[2].offset}) {
        SCOPED_TRACE("byte " + std::to_string(at));
        std::string bad = whole;
        bad[at] = static_cast<char>(bad[at] ^ 0x40);
        put_bytes(bad);
        EXPECT_EQ(PACK_DAMAGED, read(blocks[2], &out));
        EXPECT_TRUE(out.empty());
        ASSERT_EQ(PACK_OK, read(blocks[3], &out));
        EXPECT_EQ(blocks[3].data, out);

        pack_scan_summary sum;
        std::vector<pack_record_info> seen = scan(&sum);
        ASSERT_EQ(5u, seen.size());
        EXPECT_EQ(4u, sum.records);
        EXPECT_EQ(1u, sum.damaged);
        EXPECT_FALSE(seen[2].whole);
        EXPECT_EQ(blocks[2].offset, seen[2].offset);
        EXPECT_EQ(blocks[3].offset - blocks[2].offset, seen[2].extent);
        EXPECT_EQ(blocks[3].offset, seen[3].offset);

        pack_file p;
        EXPECT_EQ(PACK_DAMAGED, pack_open_append(path, false, &p, nullptr));
        EXPECT_EQ(bad, bytes());
    }

    // Read with another record's digest, or another length: refused.
    put_bytes(whole);
    block other = blocks[2];
    memcpy(other.digest, blocks[1].digest, 32);
    EXPECT_EQ(PACK_DAMAGED, read(other, &out));
    EXPECT_EQ(PACK_DAMAGED,
              read(blocks[2], &out, static_cast<uint32_t>(blocks[2].data.size() - 1)));

    // Not a pack at all: left as it is.
    std::string foreign = whole;
    foreign[0] = 'X';
    put_bytes(foreign);
    pack_file p;
    pack_scan_summary sum;
    EXPECT_EQ(PACK_FOREIGN, pack_open_append(path, false, &p, nullptr));
    EXPECT_EQ(PACK_FOREIGN, pack_scan(path, nullptr, nullptr, &sum));
    EXPECT_EQ(foreign, bytes());
}

TEST_F(PackFile, LengthsPastTheEndOrAbsurdAreRefusedWithoutAllocating) {
    write_pack(2);
    const std::string whole = bytes();
    std::vector<uint8_t> out;
    EXPECT_EQ(PACK_INVALID, read(blocks[1], &out, 0xffffffffu));
    EXPECT_EQ(PACK_INVALID, read(blocks[1], &out, PACK_BLOCK_LIMIT + 1));
    EXPECT_EQ(0u, out.capacity());

    for (uint32_t len : {0xffffffffu, static_cast<uint32_t>(PACK_BLOCK_LIMIT)}) {
        SCOPED_TRACE("length field " + std::to_string(len));
        std::string bad = whole;
        for (int i = 0; i < 4; ++i)
            bad[blocks[1].offset + 4 + i] = static_cast<char>(len >> (8 * i));
        put_bytes(bad);
        block asked = blocks[1];
        std::vector<uint8_t> none;
        EXPECT_EQ(len > PACK_BLOCK_LIMIT ? PACK_INVALID : PACK_DAMAGED, read(asked, &none, len));
        EXPECT_EQ(0u, none.capacity());
        EXPECT_EQ(PACK_DAMAGED, read(asked, &none));

        pack_scan_summary sum;
        std::vector<pack_record_info> seen = scan(&sum);
        ASSERT_EQ(2u, seen.size());
        EXPECT_FALSE(seen[1].whole);
        EXPECT_EQ(whole.size() - blocks[1].offset, seen[1].extent);

        // As the last record it is a torn tail.
        pack_file p;
        uint64_t cut = 0;
        ASSERT_EQ(PACK_OK, pack_open_append(path, false, &p, &cut));
        EXPECT_EQ(whole.size() - blocks[1].offset, cut);
        ASSERT_EQ(PACK_OK, pack_close(&p));
    }
}

TEST_F(PackFile, FailedWriteTakesItsRecordBackAndFailedSyncStopsThePack) {
    if (!PLAT_FAULT_COMPILED_IN) GTEST_SKIP() << "built without TAVNI_FAULT_INJECTION";
    pack_file p;
    ASSERT_EQ(PACK_OK, pack_open_append(path, true, &p, nullptr));
    block a = make_block(700, 1), b = make_block(900, 2);
    const plat_fault_plan full{PLAT_FAULT_WRITE, 1, false, ENOSPC, PLAT_FAULT_FAIL};
    ASSERT_EQ(0, plat_fault_arm(&full));
    EXPECT_EQ(PACK_FAILED, pack_append(&p, a.digest, a.data.data(), 700, &a.offset));
    plat_fault_arm(nullptr);
    EXPECT_FALSE(p.broken);
    ASSERT_EQ(PACK_OK, pack_append(&p, b.digest, b.data.data(), 900, &b.offset));
    EXPECT_EQ(PACK_HEADER_SIZE, b.offset);
    EXPECT_EQ(PACK_INVALID, pack_append(&p, a.digest, a.data.data(), 0, &a.offset));

    const plat_fault_plan sync_fails{PLAT_FAULT_SYNC, 1, false, EIO, PLAT_FAULT_FAIL};
    ASSERT_EQ(0, plat_fault_arm(&sync_fails));
    EXPECT_EQ(PACK_FAILED, pack_sync(&p));
    plat_fault_arm(nullptr);
    EXPECT_TRUE(p.broken);
    EXPECT_EQ(PACK_INVALID, pack_sync(&p));
    EXPECT_EQ(PACK_INVALID, pack_append(&p, a.digest, a.data.data(), 700, &a.offset));
    ASSERT_EQ(PACK_OK, pack_close(&p));

    blocks.push_back(b);
    expect_all_readable();
}

} // namespace
