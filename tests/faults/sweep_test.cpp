// The fault sweeps: one backup run disturbed at many points (a failed call
// in the agent, a failed call in the server's store or sockets, the agent
// killed, the server killed), each followed by the checks of the data
// invariants:
//   1. reported means restorable (and verify finds it whole);
//   2. mirroring deletes only what is gone;
//   3. an interrupted run never leaves a trusted index that lies: the next
//      run skips only what the server holds whole, and after it the
//      destination restores equal to the local tree;
//   4. the server vouches (the stamp at the release) only for what is durable
//      (checked through 3: a vouched index that lies is caught there).
//
// Points are sampled with a fixed seed where the full set is too large; each
// sweep prints how many it covers. Environment:
//   TAVNI_FAULT_SWEEP=full   every point
//   TAVNI_FAULT_POINT=op:N:error|kill   just that point (the reproduction)
//   TAVNI_FAULT_OPS=status,list   only these operations
//   TAVNI_FAULT_KEEP=1       keep the sweep's folders, with a copy of the scene
//                            as the disturbed run left it (after-disturbed-run/)
#include "faults/fault_world.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace faults {
namespace {

enum sweep_kind { AGENT_FAULTS, SERVER_FAULTS, AGENT_KILLS, SERVER_KILLS };

const char* test_name(sweep_kind k) {
    switch (k) {
    case AGENT_FAULTS:
        return "AgentFaults";
    case SERVER_FAULTS:
        return "ServerFaults";
    case AGENT_KILLS:
        return "AgentKills";
    default:
        return "ServerKills";
    }
}

size_t budget(sweep_kind k) {
    switch (k) {
    case AGENT_FAULTS:
        return 80;
    case SERVER_FAULTS:
        return 60;
    default:
        return 20; // the kill sweeps: 20 points spread over the run
    }
}

// Every operation, or those named in TAVNI_FAULT_OPS ("status,list").
std::vector<plat_fault_op> swept_ops() {
    const char* names = getenv("TAVNI_FAULT_OPS");
    std::vector<plat_fault_op> ops;
    for (int i = 0; i < PLAT_FAULT_OPS; i++) {
        std::string name = plat_fault_op_name(static_cast<plat_fault_op>(i));
        if (!names || !*names ||
            ("," + std::string(names) + ",").find("," + name + ",") != std::string::npos)
            ops.push_back(static_cast<plat_fault_op>(i));
    }
    return ops;
}

class FaultSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!PLAT_FAULT_COMPILED_IN) GTEST_SKIP() << "built without TAVNI_FAULT_INJECTION";
    }

    void sweep(sweep_kind kind);

    // One point: the snapshot, the changes, the disturbed run, the checks,
    // the file moved back, the undisturbed run, the checks again.
    std::vector<violation> run_point(world& w, sweep_kind kind, const fault_point& p);

    std::string repro(const world& w, sweep_kind kind, const fault_point& p) const {
        return "TAVNI_FAULT_POINT=" + p.text() + " TAVNI_BUILD_DIR=" + w.build_dir() +
               " TAVNI_SOURCE_DIR=" +
               (getenv("TAVNI_SOURCE_DIR") ? getenv("TAVNI_SOURCE_DIR") : "") + " " +
               w.build_dir() + "/tavni_fault_tests --gtest_filter=FaultSweep." + test_name(kind);
    }
};

std::vector<violation> FaultSweep::run_point(world& w, sweep_kind kind, const fault_point& p) {
    const std::string name = std::string(p.in_server ? "server " : "agent ") + p.text();
    std::vector<violation> found;
    w.take_server_log(); // what earlier points left
    w.restore_snapshot();
    w.apply_changes();

    run_outcome disturbed;
    switch (kind) {
    case AGENT_FAULTS:
        w.set_pause_mode(PAUSE_NONE);
        if (!w.server_start()) found.push_back({name, 0, "", "the server starts", "it did not"});
        disturbed = w.run_inprocess(&p.plan, true);
        break;
    case SERVER_FAULTS:
        w.set_pause_mode(PAUSE_REVIVE_SERVER);
        w.server_start(p.text()); // may end at once: a fault while it starts
        disturbed = w.run_inprocess(nullptr, true);
        break;
    case AGENT_KILLS:
        w.set_pause_mode(PAUSE_NONE);
        if (!w.server_start()) found.push_back({name, 0, "", "the server starts", "it did not"});
        disturbed = w.run_process(p.text(), "");
        break;
    case SERVER_KILLS:
        w.set_pause_mode(PAUSE_AWAIT_KILL);
        w.server_start(p.text());
        disturbed = w.run_inprocess(nullptr, true);
        break;
    }
    w.set_pause_mode(PAUSE_NONE);
    int server_code = w.server_stop();
    const std::string disturbed_server = w.take_server_log();
    if (getenv("TAVNI_FAULT_KEEP")) {
        // The scene as the disturbed run left it, for a closer look.
        std::error_code ec;
        fs::path copy = w.root() / "after-disturbed-run";
        fs::remove_all(copy, ec);
        fs::copy(w.work(), copy, fs::copy_options::recursive, ec);
    }
    for (const std::string& note : w.take_notes())
        found.push_back({name, 0, "", "the server to keep serving under a failed call", note});
    if (kind == SERVER_FAULTS && server_code != 0 && server_code != -1)
        found.push_back({name, 0, "", "the server to end normally when asked",
                         "exit code " + std::to_string(server_code)});

    w.check_run(name, disturbed.log, &found);
    w.move_back();
    w.check_trusted_index(name, &found);

    run_outcome settled;
    std::string settled_server;
    if (!w.server_start()) {
        found.push_back({name, 0, "", "the server starts for the undisturbed run", "it did not"});
    } else {
        settled = w.run_inprocess(nullptr, false);
        w.server_kill(); // everything the run reported is durable before its lock release
        settled_server = w.take_server_log();
        w.check_settled(name, settled, &found, settled_server);
    }
    if (!found.empty()) {
        std::string kept = w.keep_evidence(name, {{"disturbed-run.log", disturbed.log},
                                                  {"disturbed-server.out", disturbed_server},
                                                  {"undisturbed-run.log", settled.log},
                                                  {"undisturbed-server.out", settled_server}});
        for (const violation& v : found)
            std::cout << "    " << describe(v) << "\n";
        std::cout << "    logs of both runs and their servers: " << kept
                  << "\n    reproduce: " << repro(w, kind, p) << "\n";
    }
    return found;
}

void FaultSweep::sweep(sweep_kind kind) {
    world w(test_name(kind));
    std::string why;
    ASSERT_TRUE(w.build(&why)) << why;

    // How many calls one disturbed-to-be run makes, and which of them the
    // server makes just starting and stopping.
    uint64_t counts[PLAT_FAULT_OPS] = {};
    uint64_t skip[PLAT_FAULT_OPS] = {};
    std::vector<violation> baseline;
    w.restore_snapshot();
    w.apply_changes();
    if (kind == AGENT_FAULTS) {
        ASSERT_TRUE(w.server_start());
        run_outcome r = w.run_inprocess(nullptr, false);
        std::copy(r.counts, r.counts + PLAT_FAULT_OPS, counts);
        w.server_stop();
        w.check_run("counting run", r.log, &baseline);
    } else if (kind == AGENT_KILLS) {
        ASSERT_TRUE(w.server_start());
        std::string file = (w.root() / "agent.counts").string();
        run_outcome r = w.run_process("", file);
        w.server_stop();
        ASSERT_EQ(r.exit_code, 0) << r.log;
        ASSERT_TRUE(read_counts(file, counts)) << file;
        w.check_run("counting run", r.log, &baseline);
    } else {
        ASSERT_TRUE(w.server_idle_counts(skip));
        std::string file = (w.root() / "server.counts").string();
        ASSERT_TRUE(w.server_start("", file));
        run_outcome r = w.run_inprocess(nullptr, false);
        w.server_stop();
        ASSERT_TRUE(read_counts(file, counts)) << file;
        w.check_run("counting run", r.log, &baseline);
    }
    for (const violation& v : baseline)
        ADD_FAILURE() << "an undisturbed run breaks an invariant: " << describe(v);

    uint64_t total = 0;
    std::vector<fault_point> points;
    const bool kill = kind == AGENT_KILLS || kind == SERVER_KILLS;
    const bool server = kind == SERVER_FAULTS || kind == SERVER_KILLS;
    const char* only = getenv("TAVNI_FAULT_POINT");
    const char* full = getenv("TAVNI_FAULT_SWEEP");
    if (only && *only) {
        fault_point p;
        p.in_server = server;
        ASSERT_EQ(plat_fault_parse(only, &p.plan), 0) << "TAVNI_FAULT_POINT=" << only;
        points.push_back(p);
        total = 1;
    } else {
        size_t n = (full && std::string(full) == "full") ? SIZE_MAX : budget(kind);
        points = pick_points(counts, skip, swept_ops(), n, kill, kill, server, &total);
        // A disk that stays full or broken from some call on: a few
        // persistent points of the operations where that happens.
        if (!kill && n != SIZE_MAX) {
            for (plat_fault_op op : swept_ops()) {
                if (op != PLAT_FAULT_OPEN && op != PLAT_FAULT_READ && op != PLAT_FAULT_WRITE &&
                    op != PLAT_FAULT_SYNC)
                    continue;
                if (counts[op] <= skip[op]) continue;
                uint64_t range = counts[op] - skip[op];
                for (uint64_t at : {skip[op] + 1 + range / 4, skip[op] + 1 + range / 2}) {
                    fault_point p;
                    p.in_server = server;
                    p.plan = plat_fault_plan{op, at, true, sweep_error(op), PLAT_FAULT_FAIL};
                    bool dup = false;
                    for (const fault_point& q : points)
                        dup = dup || q.text() == p.text();
                    if (!dup) points.push_back(p);
                }
            }
        }
    }
    std::string tally;
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        if (counts[i] > skip[i])
            tally += std::string(" ") + plat_fault_op_name(static_cast<plat_fault_op>(i)) + "=" +
                     std::to_string(counts[i] - skip[i]);
    std::cout << test_name(kind) << ": " << points.size() << " of " << total
              << " single-call points, persistent ones included (calls of one run:" << tally << ")"
              << ((only && *only) || (full && std::string(full) == "full")
                      ? ""
                      : "; TAVNI_FAULT_SWEEP=full runs them all")
              << std::endl;

    std::map<int, size_t> by_invariant;
    std::vector<std::string> broken_points;
    size_t i = 0;
    for (const fault_point& p : points) {
        auto t0 = std::chrono::steady_clock::now();
        std::cout << "  [" << ++i << "/" << points.size() << "] "
                  << (p.in_server ? "server " : "agent ") << p.text() << std::endl;
        std::vector<violation> found = run_point(w, kind, p);
        for (const violation& v : found)
            by_invariant[v.invariant]++;
        if (!found.empty()) broken_points.push_back(p.text());
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::cout << "      "
                  << (found.empty() ? "ok" : std::to_string(found.size()) + " violation(s)") << " ("
                  << static_cast<int>(secs * 10) / 10.0 << " s)" << std::endl;
    }
    std::string summary;
    for (const auto& b : by_invariant)
        summary += " " + std::string(b.first ? "invariant " + std::to_string(b.first) : "run") +
                   ": " + std::to_string(b.second) + ";";
    std::string list;
    for (const std::string& s : broken_points)
        list += " " + s;
    EXPECT_TRUE(broken_points.empty())
        << broken_points.size() << " of " << points.size() << " points break invariants ("
        << summary << " ):" << list << "\nsee the VIOLATION lines above";
}

TEST_F(FaultSweep, AgentFaults) {
    sweep(AGENT_FAULTS);
}

TEST_F(FaultSweep, ServerFaults) {
    sweep(SERVER_FAULTS);
}

TEST_F(FaultSweep, AgentKills) {
    sweep(AGENT_KILLS);
}

TEST_F(FaultSweep, ServerKills) {
    sweep(SERVER_KILLS);
}

} // namespace
} // namespace faults
