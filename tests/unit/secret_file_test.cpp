// Tests of reading a secret from a file: line ends, lengths, missing files.
#include "common/secret_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(SecretFile, TakesTheTextWithoutOneLineEndAndRefusesMore) {
    const fs::path dir = fs::temp_directory_path() /
                         ("tavni-secret-" + std::to_string(reinterpret_cast<uintptr_t>(&dir)));
    fs::create_directories(dir);
    auto read = [&](const std::string& content, size_t max, std::string* out) {
        const fs::path p = dir / "key";
        std::ofstream(p, std::ios::binary) << content;
        std::string err;
        bool ok = secret_file_read(p.string(), max, out, &err);
        EXPECT_EQ(ok, err.empty()) << err;
        return ok;
    };
    const std::string key(64, 'a');
    std::string out;
    const struct {
        std::string content;
        bool ok;
        std::string text;
    } cases[] = {
        {key, true, key},
        {key + "\n", true, key},
        {key + "\r\n", true, key},
        {"", true, ""},
        {"\n", true, ""},
        {key + "\n\n", false, ""}, // a second line end is more than a key
        {key + "0", false, ""},
        {key + "0\n", false, ""},
        {std::string(100000, 'b'), false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.content, 64, &out), c.ok) << c.content.size();
        EXPECT_EQ(out, c.text) << c.content.size();
    }
    std::string err;
    EXPECT_FALSE(secret_file_read((dir / "missing").string(), 64, &out, &err));
    EXPECT_NE(err.find("missing"), std::string::npos) << err;
    fs::remove_all(dir);
}
