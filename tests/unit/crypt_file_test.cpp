// Tests of the machine key file and the whole-file cipher: round trips of
// every buffer boundary, fgets-like line pieces, damaged and foreign files.
#include "keys/crypt_file.h"

#include "platform/platform.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const unsigned char kKey[MACHINE_KEY_SIZE] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                              12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                              23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<unsigned char> encrypt(const std::string& plain, const unsigned char* key = kKey,
                                   size_t chunk = 7) {
    FILE* f = tmpfile();
    crypt_file cf;
    EXPECT_EQ(crypt_file_open_key(&cf, f, 1, key), 0);
    for (size_t i = 0; i < plain.size(); i += chunk)
        crypt_file_write(&cf, plain.data() + i, std::min(chunk, plain.size() - i));
    EXPECT_EQ(crypt_file_finish(&cf), 0);
    std::vector<unsigned char> out;
    rewind(f);
    int c;
    while ((c = fgetc(f)) != EOF)
        out.push_back(static_cast<unsigned char>(c));
    fclose(f);
    return out;
}

// Reads every line piece of the given file bytes with a buffer of size.
std::vector<std::string> read_lines(const std::vector<unsigned char>& bytes, int size,
                                    const unsigned char* key = kKey) {
    FILE* f = tmpfile();
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    crypt_file cf;
    EXPECT_EQ(crypt_file_open_key(&cf, f, 0, key), 0);
    std::vector<std::string> lines;
    std::vector<char> buf(static_cast<size_t>(size) + 8, 'Z');
    while (crypt_file_gets(&cf, buf.data(), size)) {
        size_t len = strlen(buf.data());
        EXPECT_LE(len, static_cast<size_t>(size - 1));
        EXPECT_EQ(buf[static_cast<size_t>(size)], 'Z'); // nothing written past size
        lines.push_back(buf.data());
    }
    EXPECT_EQ(crypt_file_finish(&cf), 0);
    fclose(f);
    return lines;
}

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines)
        s += l;
    return s;
}

} // namespace

TEST(CryptFile, RoundTripAtEveryBufferBoundary) {
    for (size_t n : {0u, 1u, 15u, 16u, 17u, 1007u, 1008u, 1009u, 2016u, 5000u}) {
        std::string plain;
        for (size_t i = 0; i < n; i++)
            plain += static_cast<char>('a' + i % 26);
        auto bytes = encrypt(plain);
        EXPECT_EQ(bytes.size(), (n / 16 + 1) * 16) << n; // PKCS#7 always pads
        EXPECT_EQ(join(read_lines(bytes, 4096)), plain) << n;
    }
}

TEST(CryptFile, LinesSpanReadsAndLongLinesComeInPieces) {
    std::string plain = "# header\n";
    std::string long_line(1500, 'x'); // crosses the 1008-byte reads
    plain += long_line + "\n" + "Src=" + std::string(296, 's') + "\nlast";
    auto lines = read_lines(encrypt(plain, kKey, 1000), 260);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "# header\n");
    for (size_t i = 1; i < lines.size(); i++)
        EXPECT_LE(lines[i].size(), 259u);
    EXPECT_EQ(join(lines), plain);
    // The 300-character Src= line (with its line end) is one full piece and the rest.
    auto it = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("Src=", 0) == 0; });
    ASSERT_NE(it, lines.end());
    EXPECT_EQ(it->size(), 259u);
    EXPECT_EQ(*(it + 1), std::string(41, 's') + "\n");
    EXPECT_EQ(lines.back(), "last");
}

TEST(CryptFile, GetsRefusesWritersAndTinyBuffers) {
    FILE* f = tmpfile();
    crypt_file cf;
    ASSERT_EQ(crypt_file_open_key(&cf, f, 1, kKey), 0);
    char buf[8] = "keep";
    EXPECT_EQ(crypt_file_gets(&cf, buf, sizeof buf), nullptr);
    EXPECT_EQ(crypt_file_finish(&cf), 0);
    fclose(f);

    auto bytes = encrypt("ab\n");
    FILE* g = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), g);
    rewind(g);
    ASSERT_EQ(crypt_file_open_key(&cf, g, 0, kKey), 0);
    EXPECT_EQ(crypt_file_gets(&cf, buf, 1), nullptr);
    EXPECT_STREQ(buf, "keep");
    crypt_file_write(&cf, "zz", 2); // ignored for a reader
    EXPECT_STREQ(crypt_file_gets(&cf, buf, 2), "a");
    EXPECT_STREQ(crypt_file_gets(&cf, buf, sizeof buf), "b\n");
    EXPECT_EQ(crypt_file_gets(&cf, buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "b\n"); // untouched at the end
    EXPECT_EQ(crypt_file_finish(&cf), 0);
    fclose(g);
}

TEST(CryptFile, DamagedOrForeignFilesEndWithoutOverrun) {
    EXPECT_TRUE(read_lines({}, 260).empty()); // empty file: no text at all

    std::string plain = "# Tavni Backup Schedule\nUserId=1\n";
    auto good = encrypt(plain);
    auto odd = good;
    odd.resize(odd.size() - 5); // not a multiple of 16
    EXPECT_NE(join(read_lines(odd, 260)), plain);
    {
        FILE* f = tmpfile();
        fwrite(odd.data(), 1, odd.size(), f);
        rewind(f);
        crypt_file cf;
        ASSERT_EQ(crypt_file_open_key(&cf, f, 0, kKey), 0);
        char line[64];
        while (crypt_file_gets(&cf, line, sizeof line)) {
        }
        EXPECT_EQ(cf.damaged, 1);
        crypt_file_finish(&cf);
        fclose(f);
    }

    std::vector<unsigned char> random(4000);
    for (size_t i = 0; i < random.size(); i++)
        random[i] = static_cast<unsigned char>(i * 131 + 7);
    read_lines(random, 260); // any text, but bounded

    unsigned char other[MACHINE_KEY_SIZE];
    memcpy(other, kKey, sizeof other);
    other[0] ^= 1;
    EXPECT_EQ(join(read_lines(good, 260, other)).rfind("# Tavni Backup Schedule", 0),
              std::string::npos);
}

class MachineKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        dir_ = unique_temp_path("mk");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
        machine_key_forget();
    }
    void TearDown() override {
        machine_key_forget();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    fs::path old_, dir_;
};

TEST_F(MachineKeyTest, MissingKeyFileIsCreatedOwnerOnlyAndReadAtTheOffsets) {
    fs::create_directory("etc");
    unsigned char key[MACHINE_KEY_SIZE];
    ASSERT_EQ(load_machine_key(key), 0);
    ASSERT_EQ(fs::file_size("etc/tavni.ak"), 4096u);
    if (!plat_is_windows) {
        auto perms = fs::status("etc/tavni.ak").permissions();
        EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    }
    std::vector<unsigned char> file(4096);
    FILE* f = fopen("etc/tavni.ak", "rb");
    ASSERT_EQ(fread(file.data(), 1, file.size(), f), file.size());
    fclose(f);
    for (int i = 0; i < MACHINE_KEY_PIECES; i++)
        EXPECT_EQ(memcmp(key + 4 * i, file.data() + machine_key_offsets[i], 4), 0) << i;

    // Cached: a changed file does not change the key within the process.
    fs::remove("etc/tavni.ak");
    unsigned char again[MACHINE_KEY_SIZE];
    ASSERT_EQ(load_machine_key(again), 0);
    EXPECT_EQ(memcmp(key, again, sizeof key), 0);
    machine_key_forget();
    ASSERT_EQ(load_machine_key(again), 0); // a new file, a new key
    EXPECT_NE(memcmp(key, again, sizeof key), 0);
}

TEST_F(MachineKeyTest, ShortKeyFileOrMissingFolderFails) {
    unsigned char key[MACHINE_KEY_SIZE] = {0};
    EXPECT_EQ(load_machine_key(key), -1); // no etc folder: cannot be created
    EXPECT_FALSE(fs::exists("etc/tavni.ak"));
    fs::create_directory("etc");
    FILE* f = fopen("etc/tavni.ak", "wb");
    std::vector<unsigned char> part(4095, 0x5a);
    fwrite(part.data(), 1, part.size(), f);
    fclose(f);
    EXPECT_EQ(load_machine_key(key), -1);
    FILE* file = tmpfile();
    crypt_file cf;
    EXPECT_EQ(crypt_file_open(&cf, file, 0), -1);
    EXPECT_EQ(cf.ctx, nullptr);
    fclose(file);
    for (uint32_t off : machine_key_offsets)
        EXPECT_LE(off + 4, 4096u);
}
