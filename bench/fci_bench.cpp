// File change index: lookups per second on 1,000,000 records with a cold and
// a warm page cache, and the time of fci_finish for 1,000,000 added records.
// Runs in a temporary folder that is made the current directory.
#include "backup/fci/fci.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int records = 1000000;

std::string path_of(int i) {
    return "C:\\Users\\bob\\Documents\\project" + std::to_string(i % 1000) + "\\file" +
           std::to_string(i) + ".dat";
}

struct Workspace {
    fs::path dir;
    char saved[4096];
    Workspace() {
        dir = fs::temp_directory_path() / "tavni-fci-bench";
        fs::remove_all(dir);
        fs::create_directories(dir);
        plat_get_cwd(saved, sizeof saved);
        plat_set_cwd(dir.string().c_str());
    }
    ~Workspace() {
        plat_set_cwd(saved);
        fs::remove_all(dir);
    }
};

Workspace* workspace() {
    static Workspace w;
    return &w;
}

// Builds job.fci with stamp 1 once; the lookups reopen it each time.
void ensure_index() {
    workspace();
    static bool built = false;
    if (built && fs::exists("job.fci")) return;
    std::unique_ptr<fci> f(new fci());
    fci_open(f.get(), "job.tbs", 0);
    for (int i = 0; i < records; i++)
        fci_add(f.get(), path_of(i).c_str(), 1000, i);
    fci_finish(f.get(), 1);
    built = true;
}

std::vector<int> shuffled(unsigned seed) {
    std::vector<int> order(records);
    for (int i = 0; i < records; i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    return order;
}

void run_lookups(benchmark::State& state, bool warm) {
    ensure_index();
    std::vector<int> order = shuffled(42);
    std::vector<std::string> paths;
    paths.reserve(records);
    for (int i : order)
        paths.push_back(path_of(i));
    int64_t done = 0, hits = 0;
    uint64_t reads = 0;
    uint32_t pages = 0, lead_bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<fci> f(new fci());
        fci_open(f.get(), "job.tbs", 1);
        if (warm) {
            bool found;
            for (const std::string& p : paths)
                fci_lookup(f.get(), p.c_str(), 1000, 0, &found);
        }
        uint64_t before = f->page_reads;
        state.ResumeTiming();
        for (size_t i = 0; i < paths.size(); i++) {
            bool found = false;
            fci_lookup(f.get(), paths[i].c_str(), 1000, order[i], &found);
            hits += found;
        }
        done += static_cast<int64_t>(paths.size());
        state.PauseTiming();
        reads += f->page_reads - before;
        pages = std::max(pages, fci_cache_pages(f.get()));
        lead_bytes = f->page_count * FCI_RECORD_SIZE;
        fci_finish(f.get(), 0); // keeps the ".ro" as the next index
        fs::rename("job.fci.ro", "job.fci");
        state.ResumeTiming();
    }
    state.SetItemsProcessed(done);
    state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(done);
    state.counters["page_reads"] =
        static_cast<double>(reads) / static_cast<double>(state.iterations());
    state.counters["cache_pages_max"] = pages;
    state.counters["lead_bytes"] = lead_bytes;
}

void BM_FciLookupColdCache(benchmark::State& state) {
    run_lookups(state, false);
}
void BM_FciLookupWarmCache(benchmark::State& state) {
    run_lookups(state, true);
}

void BM_FciFinish(benchmark::State& state) {
    workspace();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove("job2.fci");
        std::unique_ptr<fci> f(new fci());
        fci_open(f.get(), "job2.tbs", 0);
        for (int i = 0; i < records; i++)
            fci_add(f.get(), path_of(i).c_str(), 1000, i);
        state.ResumeTiming();
        fci_finish(f.get(), 2);
    }
    state.counters["records"] = records;
}

} // namespace

BENCHMARK(BM_FciLookupColdCache)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_FciLookupWarmCache)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_FciFinish)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_MAIN();
