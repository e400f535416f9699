// Benchmark of the frame codec: seal and open of one packet per iteration at
// three payload sizes, with the OpenSSL allocations per packet as a counter
// (the codec is meant to make none).
#include "protocol/frame.h"

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <vector>

static long g_allocations = 0;
static void* count_malloc(size_t n, const char*, int) {
    g_allocations++;
    return malloc(n);
}
static void* count_realloc(void* p, size_t n, const char*, int) {
    g_allocations++;
    return realloc(p, n);
}
static void plain_free(void* p, const char*, int) {
    free(p);
}
static const bool g_counting =
    CRYPTO_set_mem_functions(count_malloc, count_realloc, plain_free) == 1;

static void BM_FrameSealOpen(benchmark::State& state) {
    const uint8_t key[32] = {3};
    ctfs_cipher* c = ctfs_cipher_new(CTFS_CIPHER_AES, key);
    size_t payload = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> plain(6 + payload, 0x42), out(CTFS_PLAIN_MAX), frame(CTFS_FRAME_BUF);
    ctfs_header_write(plain.data(), ctfs_header{static_cast<uint16_t>(payload), 140, 0, 0});
    long before = g_allocations;
    for (auto _ : state) {
        size_t n = ctfs_frame_seal(c, plain.data(), plain.size());
        std::copy(c->frame, c->frame + n, frame.begin());
        ctfs_header h;
        benchmark::DoNotOptimize(ctfs_frame_decode(c, frame.data(), n, &h, out.data(), out.size()));
    }
    state.counters["allocs_per_packet"] = g_counting ? static_cast<double>(g_allocations - before) /
                                                           static_cast<double>(state.iterations())
                                                     : -1;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload));
    ctfs_cipher_free(c);
}
BENCHMARK(BM_FrameSealOpen)->Arg(0)->Arg(4096)->Arg(65495);

BENCHMARK_MAIN();
