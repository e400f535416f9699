// fault_world.h - the scene of the fault sweeps: a small source tree with a
// mirrored and a plain source, a real tavni-server child on a loopback port,
// an installation folder for the agent, and the checks of the four data
// invariants after a run that something went wrong in.
//
// A world is built once per sweep (first undisturbed backup, then a snapshot
// of store, installation folder and sources); every fault point starts again
// from that snapshot at the same absolute paths, so that server paths and the
// change index stay valid. The agent runs in this process (procjob with a
// shortened timing record) or as the real tavni-backup program.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace faults {

namespace fs = std::filesystem;

// One place where a run is disturbed: which process, which call, what happens.
struct fault_point {
    bool in_server = false;
    plat_fault_plan plan{};
    std::string text() const; // "write:12:28", "send:40:kill"
};

// A broken invariant, with everything needed to find it again.
struct violation {
    std::string point;    // "agent write:12:28", "baseline", ...
    int invariant = 0;    // 1..4; 0 for a harness or process failure
    std::string file;     // the local path concerned, or empty
    std::string expected; // what the invariant demands
    std::string found;    // what there was
};
std::string describe(const violation& v);

// What one run of the agent left behind.
struct run_outcome {
    std::string log;                      // the job log
    uint64_t counts[PLAT_FAULT_OPS] = {}; // calls counted during the run
    uint64_t hits = 0;                    // calls the plan made fail
    uint64_t files_failed = 0;            // in-process runs: the report's count
    std::string failure;                  // in-process runs: the report's failure text
    int exit_code = 0;                    // real processes: the exit code
};

// How the reconnection pause of an in-process run behaves.
enum pause_mode {
    PAUSE_NONE,          // return at once
    PAUSE_REVIVE_SERVER, // a server that ended is noted and started again unarmed
    PAUSE_AWAIT_KILL,    // the armed server is expected to die: wait for it, start it again
};

class world {
  public:
    explicit world(const std::string& name);
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // Makes tree, store, schedule, the first undisturbed backup and the
    // snapshot. False with *why.
    bool build(std::string* why);

    // Every point starts here: the snapshot back in place, then the fixed
    // set of changes (modify, change one block, add, delete a file and a
    // folder, move a file away, turn a file into a folder and a folder into
    // a file).
    void restore_snapshot();
    void apply_changes();
    // Puts the moved file back where it was, unchanged.
    void move_back();

    // The server child on the world's port. fault: a TAVNI_FAULT value or
    // empty; counts: a TAVNI_FAULT_COUNTS file or empty. False when it did not
    // come up listening (a fault at start-up, for example).
    bool server_start(const std::string& fault = "", const std::string& counts = "");
    bool server_alive();
    // Stops it as an operator would (SIGTERM), so that it finishes its work;
    // SIGKILL when it does not end within the limit. Returns its exit code.
    int server_stop();
    void server_kill();
    // What the servers started since the last call wrote, taken and cleared.
    std::string take_server_log();
    // The exit code of a server that ended by itself, or -1.
    int server_exit_code() const { return server_exit_; }

    // One job in this process; plan null runs undisturbed and only counts.
    // quick_receive shortens the receive waits (only for disturbed runs).
    run_outcome run_inprocess(const plat_fault_plan* plan, bool quick_receive);
    // One job as the real program (background mode) with TAVNI_FAULT set to
    // fault (may be empty) and, when counts is not empty, TAVNI_FAULT_COUNTS.
    run_outcome run_process(const std::string& fault, const std::string& counts);

    void set_pause_mode(pause_mode m) { pause_mode_ = m; }
    // Called from the agent's reconnection pause.
    void on_pause();
    // Notes of things seen during a run that no invariant covers (a server
    // that ended under a fail fault), taken and cleared.
    std::vector<std::string> take_notes();

    // ---- checks; the store is read in this process while no server runs ----
    // Invariants 1 and 2 on the log of a disturbed run, and a whole verify.
    void check_run(const std::string& point, const std::string& log, std::vector<violation>* out);
    // Invariant 3 (and 4, through the stamp) before the next run: every file
    // that the next run would skip, by a trusted change index or by the
    // server's listing of a mirrored folder, must restore byte-identical.
    void check_trusted_index(const std::string& point, std::vector<violation>* out);
    // Invariant 3 after the undisturbed run: no failed item, a restore of the
    // destination equal to the local tree, verify clean. server_log: what its
    // server wrote; a server that could not clear its doubt about a job of
    // the previous process (it ended with the lock noted) refuses this run's
    // stamp, and the run saying so is no failure of its own.
    void check_settled(const std::string& point, const run_outcome& run,
                       std::vector<violation>* out, const std::string& server_log = "");

    // Counts of the server process for start and stop alone (no job), so
    // that sweeps can leave out points that only break the start.
    bool server_idle_counts(uint64_t out[PLAT_FAULT_OPS]);

    const fs::path& root() const { return root_; }
    const std::string& build_dir() const { return build_; }
    fs::path work() const { return root_ / "work"; }
    fs::path install() const { return work() / "install"; }
    fs::path store_dir() const { return work() / "store"; }
    fs::path mirrored() const { return work() / "m"; }
    fs::path plain() const { return work() / "n"; }
    fs::path aside() const { return work() / "aside"; }
    std::string schedule() const { return (install() / "job.tbs").string(); }
    // Keeps the logs of a point that broke an invariant; the folder.
    std::string keep_evidence(const std::string& point,
                              const std::vector<std::pair<std::string, std::string>>& files);

  private:
    std::string remote_of(const fs::path& local) const; // normalized server path
    bool shell(const std::string& script, std::string* output = nullptr);
    int wait_process(struct plat_process* p, uint32_t limit_ms);

    std::string name_;
    fs::path root_;
    std::string build_, source_;
    uint16_t port_ = 0;
    struct plat_process* server_ = nullptr;
    bool server_armed_ = false;
    int server_exit_ = -1;
    int server_starts_ = 0;
    pause_mode pause_mode_ = PAUSE_NONE;
    std::vector<std::string> notes_;
    std::string server_log_;
    int64_t base_time_ = 0;
};

// Reads "op count" lines as TAVNI_FAULT_COUNTS writes them; false when the
// file is missing or malformed.
bool read_counts(const std::string& path, uint64_t out[PLAT_FAULT_OPS]);

// The error each operation fails with in the sweeps (errno values).
int sweep_error(plat_fault_op op);

// Picks at most budget points out of every call that counts[] holds (each
// op from 1 to its count, above skip[op]); with fixed seed, always the first
// and the last call of each op, the rest drawn. spread: evenly spaced
// instead of drawn (kill sweeps spread over the whole run).
std::vector<fault_point> pick_points(const uint64_t counts[PLAT_FAULT_OPS],
                                     const uint64_t skip[PLAT_FAULT_OPS],
                                     const std::vector<plat_fault_op>& ops, size_t budget,
                                     bool spread, bool kill, bool in_server, uint64_t* total);

} // namespace faults
