// pack_bench.cpp - storing a batch of blocks as files of their own (the local
// block store: staged, synced, renamed, synced) against appending them to a
// pack with one sync, by block size; the figures behind the size up to which
// blocks go to packs (docs/design-packs.md).
//
// Each iteration stores one batch of 32 new blocks of the argument's size in
// a store below the temporary folder; the blocks differ in every iteration,
// so the file store never finds one already there.
#include "tools/server/pack_file.h"
#include "tools/server/store.h"

#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kBatch = 32;

struct bench_dir {
    fs::path path =
        fs::temp_directory_path() / ("tavni-pack-bench-" + std::to_string(std::random_device{}()));
    bench_dir() { fs::create_directories(path); }
    ~bench_dir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// A block whose first eight bytes are a counter, so that no two are alike.
void next_block(std::vector<uint8_t>* b, uint64_t n) {
    for (int i = 0; i < 8; ++i)
        (*b)[i] = static_cast<uint8_t>(n >> (8 * i));
}

void BM_BlockFiles(benchmark::State& state) {
    bench_dir dir;
    block_store bs = block_store_local(dir.path.string(), true, nullptr);
    std::vector<uint8_t> block(static_cast<size_t>(state.range(0)), 0x5a);
    uint64_t n = 0;
    for (auto _ : state) {
        std::vector<blk_staging*> batch;
        for (int i = 0; i < kBatch; ++i) {
            next_block(&block, n++);
            blk_staging* s = bs.ops->stage_open(bs.self);
            blk_digest d;
            uint64_t len = 0;
            bs.ops->stage_write(bs.self, s, block.data(), block.size());
            bs.ops->stage_finish(bs.self, s, &d, &len);
            batch.push_back(s);
        }
        if (bs.ops->publish(bs.self, &batch) != 0) state.SkipWithError("publish failed");
    }
    bs.ops->destroy(bs.self);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * state.range(0));
}

void BM_PackAppend(benchmark::State& state) {
    bench_dir dir;
    pack_file p;
    uint64_t packs = 0;
    std::vector<uint8_t> block(static_cast<size_t>(state.range(0)), 0x5a);
    uint8_t digest[32];
    uint64_t n = 0;
    for (auto _ : state) {
        if (p.f == PLAT_NO_FILE || p.size >= PACK_TARGET_SIZE) {
            pack_close(&p);
            std::string name = (dir.path / (std::to_string(packs++) + ".pack")).string();
            if (pack_open_append(name, true, &p, nullptr) != PACK_OK) state.SkipWithError("open");
        }
        for (int i = 0; i < kBatch; ++i) {
            next_block(&block, n++);
            // Hashed as the file store's staging hashes it.
            unsigned int len = 0;
            EVP_Digest(block.data(), block.size(), digest, &len, EVP_sha256(), nullptr);
            uint64_t off = 0;
            pack_append(&p, digest, block.data(), static_cast<uint32_t>(block.size()), &off);
        }
        if (pack_sync(&p) != PACK_OK) state.SkipWithError("sync failed");
    }
    pack_close(&p);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatch);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBatch * state.range(0));
}

} // namespace

BENCHMARK(BM_BlockFiles)->RangeMultiplier(4)->Range(4 << 10, 1 << 20)->UseRealTime();
BENCHMARK(BM_PackAppend)->RangeMultiplier(4)->Range(4 << 10, 1 << 20)->UseRealTime();

BENCHMARK_MAIN();
