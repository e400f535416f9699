// Replays the fuzz corpora through the readers they target, so that every
// input once found by the fuzzers stays covered by the ordinary test run.
#include "protocol/find_answer.h"
#include "protocol/frame.h"
#include "protocol/session_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {
std::vector<std::vector<uint8_t>> corpus(const char* name) {
    std::vector<std::vector<uint8_t>> out;
    std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" /
        "corpus" / name;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::ifstream f(e.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return out;
}
} // namespace

TEST(ProtocolCorpus, ReadersSurviveEveryInput) {
    const uint8_t key[32] = {7};
    ctfs_cipher* aes = ctfs_cipher_new(CTFS_CIPHER_AES, key);
    ctfs_cipher* none = ctfs_cipher_new(CTFS_CIPHER_NULL_1, key);
    std::vector<uint8_t> out(CTFS_MAX_PAYLOAD);
    std::vector<std::vector<uint8_t>> frames = corpus("frame_decoder");
    EXPECT_FALSE(frames.empty());
    int decoded = 0;
    for (const auto& in : frames) {
        if (in.empty()) continue;
        ctfs_header h;
        if (ctfs_frame_decode((in[0] & 1) ? aes : none, in.data() + 1, in.size() - 1, &h,
                              out.data(), out.size()) == 0)
            decoded++;
    }
    EXPECT_GE(decoded, 2); // the seeds hold well-formed frames too
    ctfs_cipher_free(aes);
    ctfs_cipher_free(none);

    int whole = 0;
    for (const auto& in : corpus("auth_answer")) {
        if (in.empty()) continue;
        ctfs_auth_answer a;
        if (ctfs_parse_auth_answer(in.data() + 1, in.size() - 1, (in[0] & 1) != 0, &a)) whole++;
    }
    EXPECT_GE(whole, 2);

    int listed = 0;
    for (const auto& in : corpus("find_answer")) {
        if (in.empty()) continue;
        ctfs_find_request r{};
        if (ctfs_parse_find_answer(in.data() + 1, in.size() - 1, in[0], &r) == 0) {
            listed++;
            ctfs_find_files_free(&r);
        } else {
            EXPECT_EQ(r.entries, nullptr);
        }
    }
    EXPECT_GE(listed, 3);
}
