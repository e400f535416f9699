// server_bench.cpp - receive rates of tavni-server on loopback: a stream of
// 1 MiB blocks, and many small files, each made durable by the group commit.
//
// The servers run in this process on temporary stores; the sending side is
// the tests' agent peer with its blocks encoded before the clock starts. By
// default each store keeps its catalog and blocks in its folder. With
// TAVNI_BENCH_CATALOG (a postgresql:// address) and TAVNI_BENCH_BLOCKS (an
// s3:// location; keys from the environment) the stores share those back
// ends, and the argument (1 or 2) is the number of frontends the work is
// split across, one sending thread and one user each.
#include "../tests/server/test_client.cpp" // the agent-side peer, shared with the tests

#include "tools/server/admin.h"
#include "tools/server/server.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

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

    uint32_t user = 1;

    bool start(uint32_t user_id) {
        user = user_id;
        dir =
            (fs::temp_directory_path() / ("tavni-bench-" + std::to_string(std::random_device{}())))
                .string();
        srv_backends be;
        if (const char* c = getenv("TAVNI_BENCH_CATALOG")) be.catalog = c;
        if (const char* b = getenv("TAVNI_BENCH_BLOCKS")) be.blocks = b;
        std::string err;
        if (!srv_store_init(dir, be, &err)) {
            fprintf(stderr, "bench: %s\n", err.c_str());
            return false;
        }
        st = srv_store_open(dir, true, &err);
        if (!st) return false;
        for (int i = 0; i < 32; i++)
            key[i] = static_cast<uint8_t>(i + 3);
        tc_sha1(key, 32, digest);
        memset(host, 0x42, 20);
        cat_user u{};
        u.id = user;
        u.name = "bench";
        u.account = "bench";
        memcpy(u.key_digest, digest, 20);
        st->cat.ops->user_add(st->cat.self, u);
        srv_config cfg;
        srv = srv_start(st, cfg, &port, &err);
        return srv != nullptr;
    }

    bool session(tc_conn* c) {
        return tc_connect(c, port) && tc_login(c, user, digest, host, "bench.tbs") == 0 &&
               tc_lock(c, 0, {1}) == 0;
    }

    ~bench_server() {
        srv_stop(srv);
        srv_store_close(st);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// Waits until every version the connection closed is durable: the server
// answers a listing only then. That can take as long as the server's backlog,
// longer than the peer's usual wait for an answer; a clock stopped by a timed
// out wait would count versions not yet durable. false when no answer came.
bool wait_durable(tc_conn* c) {
    const uint32_t usual = c->timeout_ms;
    c->timeout_ms = 600000;
    tc_page p;
    const uint8_t rc = tc_find(c, 0, 0x20, "", &p);
    c->timeout_ms = usual;
    return rc != ERR_SCKREAD && rc != ERR_SEQUENCE;
}

// Frontends (the benchmark's argument), each with a session of its own user.
struct bench_frontends {
    std::vector<std::unique_ptr<bench_server>> servers;
    std::vector<std::unique_ptr<tc_conn>> conns; // closed before the servers stop
    bool start(int n) {
        for (int i = 0; i < n; i++) {
            servers.push_back(std::make_unique<bench_server>());
            conns.push_back(std::make_unique<tc_conn>());
            if (!servers.back()->start(static_cast<uint32_t>(i + 1)) ||
                !servers.back()->session(conns.back().get()))
                return false;
        }
        return true;
    }
    // Runs work(i) for every frontend on a thread of its own; false when one failed.
    template <class Fn>
    bool each(Fn work) {
        std::vector<std::thread> threads;
        std::vector<char> ok(servers.size(), 0);
        for (size_t i = 0; i < servers.size(); i++)
            threads.emplace_back([&, i] { ok[i] = work(i) ? 1 : 0; });
        for (auto& t : threads)
            t.join();
        for (char o : ok)
            if (!o) return false;
        return true;
    }
};

// Eight 32 MiB files per iteration, split across the frontends, made
// durable; bytes counted are the block ciphertexts received. The CPU column
// is the whole process (every side).
void BM_BlockStream(benchmark::State& state) {
    bench_frontends f;
    const int n = static_cast<int>(state.range(0));
    if (!f.start(n)) {
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
        enc.push_back(tc_encode_block(f.servers[0]->key, plain.data(), plain.size()));
        std::array<uint8_t, 16> m;
        tc_md5(plain.data(), plain.size(), m.data());
        md5s.push_back(m);
    }
    uint64_t bytes = 0;
    int round = 0;
    for (auto _ : state) {
        const int base = round;
        round += 8;
        const bool ok = f.each([&](size_t i) {
            tc_conn* c = f.conns[i].get();
            for (int file = static_cast<int>(i); file < 8; file += n) {
                tc_open o;
                std::string path = "stream/" + std::to_string(base + file);
                if (tc_wopen(c, path, static_cast<uint64_t>(nblocks) << 20, 1, &o) != 0)
                    return false;
                for (int e = 0; e < nblocks; e++) {
                    if (tc_offer(c, o.handle, nullptr) != 0) return false;
                    const std::vector<uint8_t>& blk = enc[static_cast<size_t>(e)];
                    for (size_t pos = 0; pos < blk.size(); pos += 65466)
                        tc_write_silent(c, o.handle, 8, blk.data() + pos,
                                        std::min<size_t>(65466, blk.size() - pos));
                    tc_write_silent(c, o.handle, 10, md5s[static_cast<size_t>(e)].data(), 16);
                }
                tc_file_close(c, o.handle);
            }
            return wait_durable(c);
        });
        if (!ok) {
            state.SkipWithError("open or offer refused, or the durability wait unanswered");
            return;
        }
        for (int e = 0; e < nblocks; e++)
            bytes += 8 * enc[static_cast<size_t>(e)].size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    uint64_t batches = 0;
    for (auto& s : f.servers)
        batches += srv_get_stats(s->srv).batches;
    state.counters["batches"] = static_cast<double>(batches);
}
BENCHMARK(BM_BlockStream)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

// 20,000 small files (TAVNI_BENCH_SMALL_FILES), each its own version, split
// across the frontends; the clock stops once the last one is durable.
void BM_SmallFiles(benchmark::State& state) {
    bench_frontends f;
    const int n = static_cast<int>(state.range(0));
    if (!f.start(n)) {
        state.SkipWithError("server did not start");
        return;
    }
    int nfiles = 20000;
    if (const char* v = getenv("TAVNI_BENCH_SMALL_FILES")) nfiles = std::max(n, atoi(v));
    std::string content(200, 'x');
    std::vector<uint8_t> enc = tc_encode_block(
        f.servers[0]->key, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    int64_t files = 0;
    for (auto _ : state) {
        const bool ok = f.each([&](size_t i) {
            tc_conn* c = f.conns[i].get();
            for (int k = static_cast<int>(i); k < nfiles; k += n) {
                tc_open o;
                std::string path = "small/d" + std::to_string(k / 1000) + "/f" + std::to_string(k);
                if (tc_wopen(c, path, content.size(), 1, &o) != 0 ||
                    tc_offer(c, o.handle, nullptr) != 0)
                    return false;
                tc_write_silent(c, o.handle, 8, enc.data(), enc.size());
                tc_write_silent(c, o.handle, 8, nullptr, 0);
                tc_write_silent(c, o.handle, 10, nullptr, 0);
                tc_file_close(c, o.handle);
            }
            return wait_durable(c);
        });
        if (!ok) {
            state.SkipWithError("open or offer refused, or the durability wait unanswered");
            return;
        }
        files += nfiles;
    }
    state.SetItemsProcessed(files);
    uint64_t versions = 0, batches = 0;
    for (auto& s : f.servers) {
        versions += srv_get_stats(s->srv).versions_committed;
        batches += srv_get_stats(s->srv).batches;
    }
    state.counters["versions"] = static_cast<double>(versions);
    state.counters["batches"] = static_cast<double>(batches);
}
BENCHMARK(BM_SmallFiles)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
