// Block stream chain throughput (file read -> MD5 -> zlib 9 -> AES-256-CBC) on
// 1 MiB blocks, next to the same work done by direct library calls on the
// same bytes in memory.
#include "backup/streams.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const size_t block = 1 << 20;
const uint8_t key[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};

std::vector<uint8_t> make_data(bool compressible) {
    std::vector<uint8_t> b(block);
    std::mt19937 rng(11);
    if (!compressible) {
        for (auto& c : b)
            c = static_cast<uint8_t>(rng());
        return b;
    }
    // Text-like: words from a small vocabulary.
    static const char* words[] = {"backup ", "file ",       "index ",      "server ", "block ",
                                  "stream ", "2026-12-07 ", "Documents\\", "OK\n"};
    size_t i = 0;
    while (i < b.size()) {
        const char* w = words[rng() % 9];
        for (const char* p = w; *p && i < b.size(); p++)
            b[i++] = static_cast<uint8_t>(*p);
    }
    return b;
}

fs::path write_temp(const std::vector<uint8_t>& data, const char* name) {
    fs::path p = fs::temp_directory_path() / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return p;
}

void BM_StreamChain(benchmark::State& state) {
    bool compressible = state.range(0) != 0;
    std::vector<uint8_t> data = make_data(compressible);
    fs::path p = write_temp(data, compressible ? "tavni-sb-c" : "tavni-sb-r");
    plat_file f = plat_file_open_read(p.string().c_str());
    std::vector<uint8_t> out(65466);
    size_t produced = 0;
    for (auto _ : state) {
        uint8_t digest[16];
        data_stream* s = encrypt_stream_new(
            compress_stream_new(digest_stream_new(
                file_read_stream_new(f, 0, static_cast<uint32_t>(block), nullptr), digest)),
            key);
        produced = 0;
        int32_t r;
        while ((r = s->read(s, out.data(), static_cast<int32_t>(out.size()))) > 0)
            produced += static_cast<size_t>(r);
        data_stream_free(s);
        benchmark::DoNotOptimize(digest);
    }
    plat_file_close(f);
    fs::remove(p);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block));
    state.counters["out_ratio"] = static_cast<double>(produced) / static_cast<double>(block);
}

void BM_DirectCalls(benchmark::State& state) {
    bool compressible = state.range(0) != 0;
    std::vector<uint8_t> data = make_data(compressible);
    std::vector<uint8_t> z(compressBound(block));
    std::vector<uint8_t> c(z.size() + 32);
    static const uint8_t iv[16] = {0};
    for (auto _ : state) {
        uint8_t digest[16];
        unsigned int dl = 0;
        EVP_Digest(data.data(), data.size(), digest, &dl, EVP_md5(), nullptr);
        uLongf zl = static_cast<uLongf>(z.size());
        compress2(z.data(), &zl, data.data(), block, 9);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
        EVP_EncryptUpdate(ctx, c.data(), &n1, z.data(), static_cast<int>(zl));
        EVP_EncryptFinal_ex(ctx, c.data() + n1, &n2);
        EVP_CIPHER_CTX_free(ctx);
        benchmark::DoNotOptimize(digest);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block));
}

} // namespace

BENCHMARK(BM_StreamChain)->Arg(1)->Arg(0)->ArgName("compressible")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectCalls)->Arg(1)->Arg(0)->ArgName("compressible")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
