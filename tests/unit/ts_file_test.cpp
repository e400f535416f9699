// The schedule digest file: file MD5 across read boundaries, the compare
// rules (absent, same, changed, short), and the owner-only rewrite.
#include "backup/ts_file.h"

#include "common/text.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class TsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tavni_ts_" + std::to_string(std::random_device{}()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        schedule_ = (dir_ / "job.tbs").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    void put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string md5_hex(const std::string& path) {
        unsigned char d[16];
        if (file_md5(path.c_str(), d) != 0) return "failed";
        char hex[33];
        return hex_encode(d, 16, hex);
    }
    fs::path dir_;
    std::string schedule_;
};

} // namespace

TEST_F(TsFile, FileMd5KnownVectors) {
    const std::string f = (dir_ / "data").string();
    put(f, "");
    EXPECT_EQ(md5_hex(f), "D41D8CD98F00B204E9800998ECF8427E");
    put(f, "abc");
    EXPECT_EQ(md5_hex(f), "900150983CD24FB0D6963F7D28E17F72");
    // A million bytes: many full 4096-byte reads and a partial last one.
    put(f, std::string(1000000, 'a'));
    EXPECT_EQ(md5_hex(f), "7707D6AE4E027C70EEA2A935C2296F21");
    // Binary content with line ends and zero bytes is read unchanged.
    put(f, std::string("a\r\n\0b\x1a", 6));
    unsigned char d[16];
    ASSERT_EQ(file_md5(f.c_str(), d), 0);

    unsigned char untouched[16];
    memset(untouched, 0x5a, sizeof untouched);
    EXPECT_EQ(file_md5((dir_ / "missing").string().c_str(), untouched), -1);
    for (unsigned char c : untouched)
        EXPECT_EQ(c, 0x5a);
}

TEST_F(TsFile, CheckAndRewrite) {
    put(schedule_, "[schedule]\nname=one\n");
    EXPECT_EQ(ts_file_path(schedule_.c_str()), schedule_ + ".ts");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_NONE);

    ASSERT_EQ(ts_file_write(schedule_.c_str()), 0);
    const std::string ts = get(schedule_ + ".ts");
    ASSERT_EQ(ts.size(), 20u);
    EXPECT_EQ(ts.substr(0, 4), "md5=");
    unsigned char d[16];
    ASSERT_EQ(file_md5(schedule_.c_str(), d), 0);
    EXPECT_EQ(memcmp(ts.data() + 4, d, 16), 0);
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_SAME);

    put(schedule_, "[schedule]\nname=two\n");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_DIFFERENT);
    ASSERT_EQ(ts_file_write(schedule_.c_str()), 0);
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_SAME);

    // Bytes after the 20 are ignored, as the reader only looks at the digest.
    put(schedule_ + ".ts", get(schedule_ + ".ts") + "trailing");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_SAME);
}

TEST_F(TsFile, MalformedDigestFiles) {
    put(schedule_, "content");
    const std::string ts = schedule_ + ".ts";
    put(ts, "sha=0123456789abcdef");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_NONE);
    put(ts, "md5");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_NONE);
    put(ts, "");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_NONE);
    // A cut digest cannot prove the schedule unchanged, even when its bytes
    // are a prefix of the right digest.
    unsigned char d[16];
    ASSERT_EQ(file_md5(schedule_.c_str(), d), 0);
    put(ts, "md5=" + std::string(reinterpret_cast<char*>(d), 15));
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_DIFFERENT);
    put(ts, "md5=");
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_DIFFERENT);
    // A digest file whose schedule cannot be read compares as changed.
    put(ts, "md5=" + std::string(reinterpret_cast<char*>(d), 16));
    fs::remove(schedule_);
    EXPECT_EQ(ts_file_check(schedule_.c_str()), TS_DIFFERENT);
}

TEST_F(TsFile, RewriteIsOwnerOnlyAndNeedsTheSchedule) {
    // No schedule: no digest of unknown content is written.
    EXPECT_EQ(ts_file_write(schedule_.c_str()), -1);
    EXPECT_FALSE(fs::exists(schedule_ + ".ts"));

    put(schedule_, "content");
    const std::string ts = schedule_ + ".ts";
    put(ts, "old digest file with wide rights, longer than twenty bytes");
    if (!plat_is_windows) fs::permissions(ts, fs::perms::all);
    ASSERT_EQ(ts_file_write(schedule_.c_str()), 0);
    EXPECT_EQ(fs::file_size(ts), 20u);
    if (!plat_is_windows) {
        EXPECT_EQ(fs::status(ts).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
}
