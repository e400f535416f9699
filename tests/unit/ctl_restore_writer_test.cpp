// The control tool's restore writer: a version made whole through held
// folders, with holes for zero blocks, refused at a damaged block with the
// block named, left alone when already whole, and never through a link.
#include "tools/ctl/ctl_restore_writer.h"

#include "common/owner.h"
#include "common/text.h"
#include "support/block_maker.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const uint8_t kKey[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4,
                          3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8};
const uint32_t kBlock = 65536;

// A server in memory: stored blocks by digest, and how many were fetched.
struct table_source {
    std::map<std::string, std::vector<uint8_t>> blocks;
    int fetches = 0;
    static bool fetch(void* ctx, const read_block_ref& ref, std::vector<uint8_t>* out,
                      std::string* why) {
        table_source* t = static_cast<table_source*>(ctx);
        t->fetches++;
        auto it = t->blocks.find(hex_lower(ref.digest, 32));
        if (it == t->blocks.end()) {
            *why = "not on the server";
            return false;
        }
        *out = it->second;
        return true;
    }
    restore_source source() { return restore_source{this, fetch}; }
};

// The version of content as the server would describe it, its blocks put
// in t. md5s: whether blocks carry an MD5 (files of one block do not).
read_blocks_page store_file(table_source* t, const std::string& content, uint32_t mtime,
                            bool md5s = true) {
    read_blocks_page v;
    v.size = content.size();
    v.mtime = mtime;
    v.block_size = kBlock;
    for (size_t at = 0; at < content.size(); at += kBlock) {
        const size_t n = std::min<size_t>(kBlock, content.size() - at);
        std::vector<uint8_t> plain(content.begin() + at, content.begin() + at + n);
        std::vector<uint8_t> stored = make_stored_block(kKey, plain);
        read_block_ref b;
        block_sha256(stored, b.digest);
        b.stored = stored.size();
        b.plain = static_cast<uint32_t>(n);
        b.has_md5 = md5s;
        if (md5s) block_md5(plain, b.md5);
        t->blocks[hex_lower(b.digest, 32)] = stored;
        v.blocks.push_back(b);
    }
    v.total = static_cast<uint32_t>(v.blocks.size());
    // Owner, group and mode 0640, as a Linux agent stores them.
    const uint8_t rec[] = {4, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xa0, 1, 0, 0};
    v.has_security = true;
    v.security.assign(reinterpret_cast<const char*>(rec), sizeof rec);
    return v;
}

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 31 + seed) % 251 + 1);
    return s;
}

struct writer_fixture : ::testing::Test {
    temp_dir tmp;
    table_source t;
    std::unique_ptr<decode_pool, void (*)(decode_pool*)> pool{decode_pool_new(3, kKey),
                                                              decode_pool_free};
    owner<plat_restore_dir, plat_restore_dir_close> dir{nullptr};
    void SetUp() override { dir.reset(plat_restore_root(tmp.path.string().c_str(), true)); }
    restore_outcome write(const std::string& name, const read_blocks_page& v, bool overwrite,
                          std::string* why) {
        restore_file_opts o;
        o.overwrite = overwrite;
        return restore_write_file(dir.get(), name, v, t.source(), pool.get(), o, nullptr, why);
    }
};

TEST_F(writer_fixture, WritesBlocksInOrderWithHolesForZeroBlocksAndTheStoredTimeAndMode) {
    // Data, four zero blocks, data, and zeros at the end.
    std::string content = pattern(kBlock + 100, 1) + std::string(4 * kBlock - 100, '\0') +
                          pattern(3 * kBlock, 2) + std::string(2 * kBlock + 5, '\0');
    const read_blocks_page v = store_file(&t, content, 1700000000);
    std::string why;
    ASSERT_EQ(write("f.bin", v, false, &why), RESTORE_WRITTEN) << why;
    const fs::path f = tmp.path / "f.bin";
    EXPECT_EQ(read_bytes(f), content);
    EXPECT_FALSE(fs::exists(tmp.path / "f.bin.tavni-part"));
    EXPECT_EQ(fs::file_size(f), content.size());
#if !defined(_WIN32)
    struct stat st;
    ASSERT_EQ(stat(f.string().c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1700000000);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Six zero blocks are holes (where the file system keeps holes at all).
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, content.size() - 5 * kBlock);
#endif
}

TEST_F(writer_fixture, ADamagedOrWrongBlockFailsItsFileNamingTheBlockAndLeavesNothing) {
    const read_blocks_page v = store_file(&t, pattern(3 * kBlock, 3), 1600000000);
    // Block 1's stored bytes changed on the server.
    std::vector<uint8_t>& stored = t.blocks[hex_lower(v.blocks[1].digest, 32)];
    stored[stored.size() / 2] ^= 0x20;
    std::string why;
    EXPECT_EQ(write("d.bin", v, false, &why), RESTORE_FAILED);
    EXPECT_EQ(why.rfind("block 1 (digest " + hex_lower(v.blocks[1].digest, 32).substr(0, 16), 0),
              0u)
        << why;
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(tmp.path / "d.bin"));
    EXPECT_FALSE(fs::exists(tmp.path / "d.bin.tavni-part"));

    // Whole stored bytes whose plain bytes are not the ones the MD5 names.
    read_blocks_page w = store_file(&t, pattern(2 * kBlock, 4), 1600000000);
    w.blocks[0].md5[0] ^= 1;
    EXPECT_EQ(write("m.bin", w, false, &why), RESTORE_FAILED);
    EXPECT_NE(why.find("block 0 ("), std::string::npos) << why;
    EXPECT_NE(why.find("checksum mismatch"), std::string::npos) << why;
    // A block list that does not cover the size.
    read_blocks_page cut = store_file(&t, pattern(2 * kBlock, 5), 1600000000);
    cut.blocks.pop_back();
    cut.total = 1;
    EXPECT_EQ(write("c.bin", cut, false, &why), RESTORE_FAILED);
    EXPECT_NE(why.find("block count"), std::string::npos) << why;
}

TEST_F(writer_fixture, AFileAlreadyWholeIsLeftAloneAndAnotherIsReplacedOnlyWhenAsked) {
    const std::string content = pattern(2 * kBlock + 17, 6);
    const read_blocks_page v = store_file(&t, content, 1650000000);
    std::string why;
    ASSERT_EQ(write("w.bin", v, false, &why), RESTORE_WRITTEN) << why;
    t.fetches = 0;
    EXPECT_EQ(write("w.bin", v, false, &why), RESTORE_WHOLE);
    EXPECT_EQ(t.fetches, 0) << "blocks with an MD5 are compared without reading the server";

    // Same size and time, one byte changed: not whole.
    {
        std::fstream f(tmp.path / "w.bin", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(kBlock + 3);
        f.put('!');
    }
    const fs::path w = tmp.path / "w.bin";
#if !defined(_WIN32)
    // The time put back to the stored one, so that only the bytes differ.
    struct timespec ts[2] = {{1650000000, 0}, {1650000000, 0}};
    utimensat(AT_FDCWD, w.string().c_str(), ts, 0);
#endif
    EXPECT_EQ(write("w.bin", v, false, &why), RESTORE_FAILED);
    EXPECT_NE(why.find("--overwrite"), std::string::npos) << why;
    EXPECT_NE(read_bytes(w), content);
    ASSERT_EQ(write("w.bin", v, true, &why), RESTORE_WRITTEN) << why;
    EXPECT_EQ(read_bytes(w), content);

    // A one-block file has no MD5: its block is fetched and compared.
    const read_blocks_page one = store_file(&t, "small file\n", 1650000000, false);
    ASSERT_EQ(write("s.txt", one, false, &why), RESTORE_WRITTEN) << why;
    t.fetches = 0;
    EXPECT_EQ(write("s.txt", one, false, &why), RESTORE_WHOLE);
    EXPECT_EQ(t.fetches, 1);
}

TEST_F(writer_fixture, NoLinkAtTheNameOrTheTemporaryNameIsFollowed) {
    const fs::path outside = tmp.path / "outside.txt";
    { std::ofstream(outside) << "keep me"; }
    std::error_code ec;
    fs::create_symlink(outside, tmp.path / "l.bin", ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    const read_blocks_page v = store_file(&t, pattern(kBlock + 1, 7), 1600000000);
    std::string why;
    EXPECT_EQ(write("l.bin", v, false, &why), RESTORE_FAILED);
    EXPECT_NE(why.find("link"), std::string::npos) << why;
    // A link planted at the temporary name goes itself; what it names stays.
    fs::create_symlink(outside, tmp.path / "p.bin.tavni-part");
    ASSERT_EQ(write("p.bin", v, false, &why), RESTORE_WRITTEN) << why;
    EXPECT_EQ(read_bytes(outside), "keep me");
    EXPECT_FALSE(fs::is_symlink(tmp.path / "p.bin"));
    // --overwrite replaces the link itself, never what it names.
    ASSERT_EQ(write("l.bin", v, true, &why), RESTORE_WRITTEN) << why;
    EXPECT_FALSE(fs::is_symlink(tmp.path / "l.bin"));
    EXPECT_EQ(read_bytes(outside), "keep me");
}

TEST(DecodePool, GivesBlocksBackInTheOrderHandedIn) {
    std::unique_ptr<decode_pool, void (*)(decode_pool*)> pool(decode_pool_new(4, kKey),
                                                             decode_pool_free);
    std::vector<std::string> plains;
    for (int i = 0; i < 40; i++) {
        plains.push_back(pattern(1000 + static_cast<size_t>(i) * 997, i));
        std::unique_ptr<decode_job> j(new decode_job);
        j->index = static_cast<uint32_t>(i);
        std::vector<uint8_t> p(plains.back().begin(), plains.back().end());
        j->stored = make_stored_block(kKey, p);
        block_sha256(j->stored, j->ref.digest);
        j->ref.stored = j->stored.size();
        j->plain_size = static_cast<uint32_t>(p.size());
        decode_pool_submit(pool.get(), std::move(j));
    }
    for (int i = 0; i < 40; i++) {
        std::unique_ptr<decode_job> j = decode_pool_take(pool.get());
        ASSERT_TRUE(j);
        EXPECT_EQ(j->index, static_cast<uint32_t>(i));
        EXPECT_EQ(j->result, DECODE_OK);
        EXPECT_EQ(std::string(j->plain.begin(), j->plain.end()), plains[static_cast<size_t>(i)]);
    }
    EXPECT_FALSE(decode_pool_take(pool.get()));
}

} // namespace
