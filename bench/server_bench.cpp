// server_bench.cpp - receive rates of tavni-server on loopback: a stream of
// 1 MiB blocks, and many small files, each made durable by the group commit.
//
// The server runs in this process on a temporary store; the sending side is
// the tests' agent peer with its blocks encoded before the clock starts.
#include "../tests/server/test_client.cpp" // the agent-side peer, shared with the tests

#include "tools/server/admin.h"
#include "tools/server/server.h"

#include <benchmark/benchmark.h>

#include <array>

#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

struct bench_server {
    std::string dir;
    srv_store* st = nullptr;
    srv_server* srv = nullptr;
    uint16_t port = 0;
    uint8_t key[32];
    uint8_t digest[20];
    uint8_t host[20];

    bool start() {
        dir =
            (fs::temp_directory_path() / ("tavni-bench-" + std::to_string(std::random_device{}())))
                .string();
        std::string err;
        if (!srv_store_init(dir, &err)) return false;
        st = srv_store_open(dir, true, &err);
        if (!st) return false;
        for (int i = 0; i < 32; i++)
            key[i] = static_cast<uint8_t>(i + 3);
        tc_sha1(key, 32, digest);
        memset(host, 0x42, 20);
        cat_user u{};
        u.id = 1;
        u.name = "bench";
        u.account = "bench";
        memcpy(u.key_digest, digest, 20);
        st->cat.ops->user_add(st->cat.self, u);
        srv_config cfg;
        srv = srv_start(st, cfg, &port, &err);
        return srv != nullptr;
    }

    bool session(tc_conn* c) {
        return tc_connect(c, port) && tc_login(c, 1, digest, host, "bench.tbs") == 0 &&
               tc_lock(c, 0, {1}) == 0;
    }

    ~bench_server() {
        srv_stop(srv);
        srv_store_close(st);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// Eight 32 MiB files per iteration, made durable; bytes counted are the block
// ciphertexts received. The CPU column is the whole process (both sides).
void BM_BlockStream(benchmark::State& state) {
    bench_server b;
    tc_conn c;
    if (!b.start() || !b.session(&c)) {
        state.SkipWithError("server did not start");
        return;
    }
    const int nblocks = 32;
    std::mt19937 rng(7);
    std::vector<std::vector<uint8_t>> enc;
    std::vector<std::array<uint8_t, 16>> md5s;
    std::vector<uint8_t> plain(1 << 20);
    for (int i = 0; i < nblocks; i++) {
        for (auto& x : plain)
            x = static_cast<uint8_t>(rng());
        enc.push_back(tc_encode_block(b.key, plain.data(), plain.size()));
        std::array<uint8_t, 16> m;
        tc_md5(plain.data(), plain.size(), m.data());
        md5s.push_back(m);
    }
    uint64_t bytes = 0;
    int round = 0;
    for (auto _ : state) {
        for (int file = 0; file < 8; file++) { // 256 MiB, then one wait for durability
            tc_open o;
            std::string path = "stream/" + std::to_string(round++);
            if (tc_wopen(&c, path, static_cast<uint64_t>(nblocks) << 20, 1, &o) != 0) {
                state.SkipWithError("open failed");
                return;
            }
            for (int e = 0; e < nblocks; e++) {
                if (tc_offer(&c, o.handle, nullptr) != 0) {
                    state.SkipWithError("offer refused");
                    return;
                }
                const std::vector<uint8_t>& blk = enc[static_cast<size_t>(e)];
                for (size_t pos = 0; pos < blk.size(); pos += 65466)
                    tc_write_silent(&c, o.handle, 8, blk.data() + pos,
                                    std::min<size_t>(65466, blk.size() - pos));
                tc_write_silent(&c, o.handle, 10, md5s[static_cast<size_t>(e)].data(), 16);
                bytes += blk.size();
            }
            tc_file_close(&c, o.handle);
        }
        tc_page p; // waits until these versions are durable
        tc_find(&c, 0, 0x20, "", &p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    srv_stats s = srv_get_stats(b.srv);
    state.counters["batches"] = static_cast<double>(s.batches);
}
BENCHMARK(BM_BlockStream)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// 20,000 small files, each its own version; the clock stops once the last
// one is durable.
void BM_SmallFiles(benchmark::State& state) {
    bench_server b;
    tc_conn c;
    if (!b.start() || !b.session(&c)) {
        state.SkipWithError("server did not start");
        return;
    }
    const int nfiles = 20000;
    std::string content(200, 'x');
    std::vector<uint8_t> enc =
        tc_encode_block(b.key, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    int64_t files = 0;
    for (auto _ : state) {
        for (int i = 0; i < nfiles; i++) {
            tc_open o;
            std::string path = "small/d" + std::to_string(i / 1000) + "/f" + std::to_string(i);
            if (tc_wopen(&c, path, content.size(), 1, &o) != 0 ||
                tc_offer(&c, o.handle, nullptr) != 0) {
                state.SkipWithError("open or offer refused");
                return;
            }
            tc_write_silent(&c, o.handle, 8, enc.data(), enc.size());
            tc_write_silent(&c, o.handle, 8, nullptr, 0);
            tc_write_silent(&c, o.handle, 10, nullptr, 0);
            tc_file_close(&c, o.handle);
        }
        tc_page p;
        tc_find(&c, 0, 0x20, "", &p);
        files += nfiles;
    }
    state.SetItemsProcessed(files);
    srv_stats s = srv_get_stats(b.srv);
    state.counters["versions"] = static_cast<double>(s.versions_committed);
    state.counters["batches"] = static_cast<double>(s.batches);
}
BENCHMARK(BM_SmallFiles)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
