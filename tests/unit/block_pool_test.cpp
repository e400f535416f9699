// Tests of the block workers: a worker's pieces are those of the stream chain
// read by the backup thread (bytes, sizes, progress counts and MD5), for whole
// blocks, short last blocks, empty files and files that shrank; files named
// ahead are claimed in order, and a layout other than the one guessed is
// worked on again.
#include "backup/block_pool.h"

#include "backup/streams.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum { PIECE = 65466 };

const uint8_t k_key[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6,
                           7, 8, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4};

struct piece_seen {
    int32_t result;
    std::string bytes;
    uint64_t read_after;
    bool operator==(const piece_seen& o) const {
        return result == o.result && bytes == o.bytes && read_after == o.read_after;
    }
};

// What the backup thread's own chain gives for a block of path.
std::vector<piece_seen> chain_pieces(const std::string& path, int64_t offset, uint32_t length) {
    std::vector<piece_seen> out;
    plat_file f = plat_file_open_read(path.c_str());
    EXPECT_NE(f, PLAT_NO_FILE);
    uint64_t counter = 0;
    data_stream* s = encrypt_stream_new(
        compress_stream_new(file_read_stream_new(f, offset, length, &counter)), k_key);
    std::vector<uint8_t> buf(PIECE);
    for (;;) {
        const int32_t n = s->read(s, buf.data(), PIECE);
        out.push_back({n, n > 0 ? std::string(buf.begin(), buf.begin() + n) : "", counter});
        if (n <= 0) break;
    }
    data_stream_free(s);
    plat_file_close(f);
    return out;
}

std::vector<piece_seen> work_pieces(const block_work* w) {
    std::vector<piece_seen> out;
    for (uint32_t i = 0; i < w->piece_count; i++) {
        const block_piece& p = w->pieces[i];
        out.push_back({p.result,
                       p.result > 0
                           ? std::string(reinterpret_cast<const char*>(w->payload) + p.offset,
                                         static_cast<size_t>(p.result))
                           : "",
                       p.read_after});
    }
    return out;
}

std::string md5_of(const std::string& data) {
    uint8_t out[16];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(out), 16);
}

class BlockPool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tavni-pool-" + std::to_string(std::random_device{}()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        pool_ = block_pool_new(3, k_key);
        ASSERT_NE(pool_, nullptr);
    }
    void TearDown() override {
        block_pool_free(pool_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string noise(size_t n, unsigned seed) {
        std::mt19937 gen(seed);
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(gen() & 0xFF);
        return s;
    }
    static std::string text(size_t n) {
        std::string s;
        while (s.size() < n)
            s += "the quick brown fox jumps over the lazy dog " + std::to_string(s.size()) + "\n";
        s.resize(n);
        return s;
    }
    // Sends the file through the pool as the backup thread would, checking
    // each block's work against its own chain.
    void check_file(const std::string& path, const std::string& content, uint64_t size,
                    uint32_t block_size) {
        const uint32_t blocks = static_cast<uint32_t>((size + block_size - 1) / block_size);
        plat_file fd = block_pool_claim(pool_, path.c_str(), size);
        const bool claimed = fd != PLAT_NO_FILE;
        if (!claimed) fd = plat_file_open_read(path.c_str());
        ASSERT_NE(fd, PLAT_NO_FILE);
        ASSERT_TRUE(block_pool_begin(pool_, path.c_str(), fd, size, block_size, blocks));
        for (uint32_t b = 0; b < blocks; b++) {
            const block_work* w = block_pool_take(pool_, b);
            ASSERT_NE(w, nullptr) << path << " block " << b;
            const uint64_t offset = static_cast<uint64_t>(b) * block_size;
            const uint32_t length =
                static_cast<uint32_t>(std::min<uint64_t>(block_size, size - offset));
            EXPECT_EQ(work_pieces(w), chain_pieces(path, static_cast<int64_t>(offset), length))
                << path << " block " << b;
            if (blocks > 1 && offset < content.size()) {
                EXPECT_EQ(w->md5_error, 0);
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(w->md5), 16),
                          md5_of(content.substr(offset, length)));
            }
        }
        block_pool_end(pool_);
        if (!claimed) plat_file_close(fd);
    }

    fs::path dir_;
    block_pool* pool_ = nullptr;
};

TEST_F(BlockPool, WorkIsWhatTheChainGivesForEveryKindOfBlock) {
    const std::string t = text(1048576 + 70000);
    const std::string n = noise(3 * PIECE + 17, 2);
    check_file(write("text.txt", t), t, t.size(), 1048576); // a whole block and a short one
    check_file(write("noise.bin", n), n, n.size(), 65536);  // incompressible, several pieces
    check_file(write("exact.bin", n.substr(0, 65536)), n.substr(0, 65536), 65536, 65536);
    check_file(write("one.txt", "x"), "x", 1, 4096);
}

TEST_F(BlockPool, AFileThatShrankEndsItsBlockWithTheChainsError) {
    const std::string n = noise(5000, 3);
    const std::string path = write("shrunk.bin", n);
    // Announced (and named) with the size its status had before it shrank.
    check_file(path, n, 12000, 4096);
    block_pool_name_file(pool_, path.c_str(), 12000);
    plat_file fd = block_pool_claim(pool_, path.c_str(), 12000);
    ASSERT_NE(fd, PLAT_NO_FILE);
    ASSERT_TRUE(block_pool_begin(pool_, path.c_str(), fd, 12000, 4096, 3));
    const block_work* w = block_pool_take(pool_, 1);
    ASSERT_NE(w, nullptr);
    ASSERT_GT(w->piece_count, 0u);
    EXPECT_EQ(w->pieces[w->piece_count - 1].result, STREAM_ERROR);
    EXPECT_EQ(w->md5_error, 0); // a short read is not an error of the MD5's read
    w = block_pool_take(pool_, 2);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->pieces[w->piece_count - 1].result, STREAM_ERROR);
    block_pool_end(pool_);
}

TEST_F(BlockPool, NamedFilesAreClaimedInOrderAndOthersGivenUp) {
    const std::string a = text(9000), b = noise(20000, 4), c = text(300);
    const std::string pa = write("a.txt", a), pb = write("b.bin", b), pc = write("c.txt", c);
    // Nothing is named before the server has given a block size.
    EXPECT_FALSE(block_pool_wants_file(pool_));
    check_file(pa, a, a.size(), 4096);
    EXPECT_TRUE(block_pool_wants_file(pool_));
    block_pool_name_file(pool_, pa.c_str(), a.size());
    block_pool_name_file(pool_, pb.c_str(), b.size());
    block_pool_name_file(pool_, pc.c_str(), c.size());
    // b is sent next: a is given up; c stays named.
    check_file(pb, b, b.size(), 4096);
    // A size other than the one named is not the same file.
    EXPECT_EQ(block_pool_claim(pool_, pc.c_str(), c.size() + 1), PLAT_NO_FILE);
    check_file(pc, c, c.size(), 4096); // opened by the caller
    // A file named with one layout and sent with another is worked again.
    block_pool_name_file(pool_, pa.c_str(), a.size());
    check_file(pa, a, a.size(), 2048);
    // Named files left at the end are closed with the pool (the sanitizers
    // and the descriptor tests see leaks).
    block_pool_name_file(pool_, pb.c_str(), b.size());
}

TEST_F(BlockPool, ARetryWorksTheFileAgainFromItsFirstBlock) {
    const std::string n = noise(50000, 5);
    const std::string path = write("r.bin", n);
    plat_file fd = plat_file_open_read(path.c_str());
    ASSERT_TRUE(block_pool_begin(pool_, path.c_str(), fd, n.size(), 16384, 4));
    ASSERT_NE(block_pool_take(pool_, 0), nullptr);
    ASSERT_NE(block_pool_take(pool_, 1), nullptr);
    // The same file begun again (the attempt loop after a refused write).
    ASSERT_TRUE(block_pool_begin(pool_, path.c_str(), fd, n.size(), 16384, 4));
    for (uint32_t b = 0; b < 4; b++) {
        const block_work* w = block_pool_take(pool_, b);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->block, b);
        const uint32_t length = b < 3 ? 16384u : static_cast<uint32_t>(n.size() - 3 * 16384);
        EXPECT_EQ(work_pieces(w), chain_pieces(path, int64_t{16384} * b, length));
    }
    // Blocks asked for out of order are left to the caller.
    EXPECT_EQ(block_pool_take(pool_, 1), nullptr);
    block_pool_end(pool_);
    plat_file_close(fd);
    // A block size the pool does not take leaves every block inline.
    fd = plat_file_open_read(path.c_str());
    EXPECT_FALSE(block_pool_begin(pool_, path.c_str(), fd, n.size(), BLOCK_POOL_BLOCK_MAX + 1, 1));
    EXPECT_EQ(block_pool_take(pool_, 0), nullptr);
    block_pool_end(pool_);
    plat_file_close(fd);
}

TEST(BlockPoolSize, OneWorkerMeansNoPool) {
    EXPECT_EQ(block_pool_new(1, k_key), nullptr);
    EXPECT_EQ(block_pool_new(4, nullptr), nullptr);
    EXPECT_GE(block_pool_default_workers(), 1u);
    EXPECT_LE(block_pool_default_workers(), static_cast<uint32_t>(BLOCK_POOL_MAX_WORKERS));
}

} // namespace
