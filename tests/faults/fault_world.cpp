// fault_world.cpp - the scene of the fault sweeps and the invariant checks.
#include "faults/fault_world.h"

#include "backup/fci/fci.h"
#include "backup/job.h"
#include "keys/machine_key.h"
#include "backup/ts_file.h"
#include "platform/server.h"
#include "runtime/progress.h"
#include "common/timing.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "report/report.h"
#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/wire.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace faults {

namespace {

const uint32_t k_user = 7;
const char* const k_acckey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
// The destination and the name the mirrored naming gives an absolute path.
const char* const k_remote_prefix = "/1/Today/Root";
// Modification time of everything the changes touch: far from the original
// times and never exactly an hour off them.
const int64_t k_changed_offset = 7777;

world* g_world = nullptr;

void pause_hook(uint32_t) {
    if (g_world) g_world->on_pause();
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Bytes that compress poorly and differ by seed.
std::string pseudo_bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

int64_t mtime_of(const fs::path& p) {
    plat_file_info info;
    return plat_file_status(p.string().c_str(), &info) == 0 ? info.mtime : -1;
}

void set_mtime(const fs::path& p, int64_t t) {
    plat_set_file_mtime(p.string().c_str(), t);
}

std::string md5_hex(const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_md5(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; i++) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

std::string sized(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes, md5 " + md5_hex(bytes);
}

// Copies a tree; files keep their modification times (the change index and
// the server's listing compare them).
void copy_tree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(from)) {
        fs::path target = to / fs::relative(e.path(), from);
        if (e.is_directory()) {
            fs::create_directories(target);
        } else if (e.is_regular_file()) {
            fs::copy_file(e.path(), target, fs::copy_options::overwrite_existing);
            set_mtime(target, mtime_of(e.path()));
        }
    }
}

bool times_match(int64_t a, int64_t b) {
    int64_t d = a > b ? a - b : b - a;
    return d == 0 || d == 3600;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

// The quoted path after marker on a log line ("...marker'PATH'..."), or empty.
std::string quoted_after(const std::string& line, const std::string& marker) {
    size_t at = line.find(marker);
    if (at == std::string::npos) return "";
    size_t start = at + marker.size();
    size_t end = line.rfind('\'');
    if (end == std::string::npos || end < start) return "";
    return line.substr(start, end - start);
}

// The store of a stopped server, read through the server's own library.
struct store_reader {
    srv_store* st = nullptr;
    fs::path scratch;
    std::string error;
    explicit store_reader(const fs::path& dir, const fs::path& scratch_file)
        : scratch(scratch_file) {
        st = srv_store_open(dir.string(), false, &error);
    }
    ~store_reader() { srv_store_close(st); }
    bool ok() const { return st != nullptr; }

    // The current version of a (normalized) server path and its plain bytes.
    // False with *why: no version, or a version that does not decode.
    bool content(const std::string& path, std::string* bytes, cat_version* v, std::string* why) {
        if (st->cat.ops->version_at(st->cat.self, k_user, path, 0, v) != CAT_OK) {
            *why = "no current version on the server";
            return false;
        }
        uint8_t key[32];
        srv_parse_hex(k_acckey, key, 32);
        FILE* f = fopen(scratch.string().c_str(), "wb");
        if (!f) {
            *why = "cannot write " + scratch.string();
            return false;
        }
        std::string reason;
        bool decoded = srv_decode_version(st, *v, key, f, &reason);
        fclose(f);
        if (!decoded) {
            *why = "the current version does not decode: " + reason;
            return false;
        }
        *bytes = read_file(scratch);
        return true;
    }

    bool version(const std::string& path, cat_version* v) {
        return st->cat.ops->version_at(st->cat.self, k_user, path, 0, v) == CAT_OK;
    }

    // Every current version of the user that does not decode whole.
    std::vector<std::pair<std::string, std::string>> damaged() {
        std::vector<std::pair<std::string, std::string>> out;
        std::vector<std::pair<uint32_t, cat_version>> all;
        if (st->cat.ops->all_current(st->cat.self, k_user, &all) != CAT_OK) {
            out.emplace_back("", "the catalog cannot be read");
            return out;
        }
        uint8_t key[32];
        srv_parse_hex(k_acckey, key, 32);
        for (const auto& p : all) {
            std::string why;
            if (!srv_decode_version(st, p.second, key, nullptr, &why))
                out.emplace_back(p.second.path, why);
        }
        return out;
    }

    // Files (relative path -> true) and folders (-> false) below path.
    void tree(const std::string& path, const std::string& rel, std::map<std::string, bool>* out) {
        std::vector<cat_entry> entries;
        if (st->cat.ops->list(st->cat.self, k_user, path, 0, &entries) != CAT_OK) return;
        for (const cat_entry& e : entries) {
            std::string r = rel.empty() ? e.name : rel + "/" + e.name;
            (*out)[r] = !e.folder;
            if (e.folder) tree(path + "/" + e.name, r, out);
        }
    }
};

// The stamps the server holds for the user (one per host and schedule).
std::vector<int64_t> server_stamps(const fs::path& store) {
    std::vector<int64_t> out;
    sqlite3* db = nullptr;
    std::string path = (store / "catalog.db").string();
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT stamp FROM stamps WHERE user = ?", -1, &q, nullptr) ==
            SQLITE_OK) {
            sqlite3_bind_int64(q, 1, k_user);
            while (sqlite3_step(q) == SQLITE_ROW)
                out.push_back(sqlite3_column_int64(q, 0));
        }
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return out;
}

uint32_t get_le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Local regular files below dir, with their paths.
std::vector<fs::path> files_below(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

// ---- points and violations --------------------------------------------------

std::string fault_point::text() const {
    std::string t = std::string(plat_fault_op_name(plan.op)) + ":" + std::to_string(plan.nth) +
                    (plan.persistent ? "+" : "") + ":";
    return t + (plan.action == PLAT_FAULT_KILL ? "kill" : std::to_string(plan.error));
}

std::string describe(const violation& v) {
    std::string inv = v.invariant == 0 ? "run" : "invariant " + std::to_string(v.invariant);
    std::string s = "VIOLATION [" + v.point + "] " + inv;
    if (!v.file.empty()) s += " '" + v.file + "'";
    return s + ": expected " + v.expected + "; found " + v.found;
}

int sweep_error(plat_fault_op op) {
    switch (op) {
    case PLAT_FAULT_WRITE:
        return 28; // ENOSPC: a full disk
    case PLAT_FAULT_STATUS:
    case PLAT_FAULT_OPEN:
    case PLAT_FAULT_RENAME:
        return 13; // EACCES: refused
    case PLAT_FAULT_SEND:
    case PLAT_FAULT_RECV:
        return 104; // ECONNRESET
    default:
        return 5; // EIO
    }
}

bool read_counts(const std::string& path, uint64_t out[PLAT_FAULT_OPS]) {
    std::ifstream in(path);
    if (!in) return false;
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        out[i] = 0;
    std::string name;
    unsigned long long n = 0;
    int seen = 0;
    while (in >> name >> n) {
        plat_fault_plan p;
        if (plat_fault_parse((name + ":1:1").c_str(), &p) != 0) return false;
        out[p.op] = n;
        seen++;
    }
    return seen == PLAT_FAULT_OPS;
}

std::vector<fault_point> pick_points(const uint64_t counts[PLAT_FAULT_OPS],
                                     const uint64_t skip[PLAT_FAULT_OPS],
                                     const std::vector<plat_fault_op>& ops, size_t budget,
                                     bool spread, bool kill, bool in_server, uint64_t* total) {
    std::vector<std::pair<plat_fault_op, uint64_t>> chosen;
    *total = 0;
    for (plat_fault_op op : ops)
        if (counts[op] > skip[op]) *total += counts[op] - skip[op];
    auto add = [&](plat_fault_op op, uint64_t n) {
        for (const auto& c : chosen)
            if (c.first == op && c.second == n) return;
        chosen.emplace_back(op, n);
    };
    if (*total <= budget) {
        for (plat_fault_op op : ops)
            for (uint64_t n = skip[op] + 1; n <= counts[op]; n++)
                add(op, n);
    } else if (spread) {
        // Shares by frequency (so that the points fall over the whole run),
        // at least one per operation that occurs, the remainder to the
        // busiest; each share evenly spaced over the operation's calls.
        std::vector<plat_fault_op> present;
        for (plat_fault_op op : ops)
            if (counts[op] > skip[op]) present.push_back(op);
        std::map<plat_fault_op, size_t> share;
        size_t given = 0;
        for (plat_fault_op op : present) {
            uint64_t range = counts[op] - skip[op];
            share[op] =
                std::min<size_t>(static_cast<size_t>(range),
                                 std::max<size_t>(1, static_cast<size_t>(budget * range / *total)));
            given += share[op];
        }
        while (given > budget) { // the minimum of one each overshot: trim the busiest
            plat_fault_op big = present[0];
            for (plat_fault_op op : present)
                if (share[op] > share[big]) big = op;
            share[big]--;
            given--;
        }
        while (given < budget) {
            plat_fault_op best = PLAT_FAULT_OPS;
            for (plat_fault_op op : present)
                if (share[op] < counts[op] - skip[op] &&
                    (best == PLAT_FAULT_OPS || (counts[op] - skip[op]) * (share[best] + 1) >
                                                   (counts[best] - skip[best]) * (share[op] + 1)))
                    best = op;
            if (best == PLAT_FAULT_OPS) break;
            share[best]++;
            given++;
        }
        for (plat_fault_op op : present) {
            uint64_t range = counts[op] - skip[op];
            size_t n = share[op];
            for (size_t k = 0; k < n; k++)
                add(op, skip[op] + 1 + (n > 1 ? (range - 1) * k / (n - 1) : 0));
        }
    } else {
        // Equal shares per operation (what one leaves unused goes to the
        // others), each share stratified over the operation's calls: the
        // first and the last call, and one call drawn from each stretch in
        // between with a fixed seed, so that every run of the sweep covers
        // the same points.
        std::vector<plat_fault_op> present;
        for (plat_fault_op op : ops)
            if (counts[op] > skip[op]) present.push_back(op);
        std::map<plat_fault_op, size_t> share;
        size_t left = budget;
        std::vector<plat_fault_op> open = present;
        while (!open.empty() && left > 0) {
            size_t each = std::max<size_t>(1, left / open.size());
            std::vector<plat_fault_op> still;
            for (plat_fault_op op : open) {
                uint64_t room = counts[op] - skip[op] - share[op];
                size_t give = static_cast<size_t>(std::min<uint64_t>({each, room, left}));
                share[op] += give;
                left -= give;
                if (counts[op] - skip[op] > share[op]) still.push_back(op);
            }
            open.swap(still);
        }
        std::mt19937_64 rng(20240611);
        for (plat_fault_op op : present) {
            uint64_t range = counts[op] - skip[op];
            size_t k_max = share[op];
            if (k_max == 0) continue;
            add(op, skip[op] + 1);
            if (k_max > 1) add(op, counts[op]);
            for (size_t k = 1; k + 1 < k_max; k++) {
                uint64_t lo = 2 + (range - 2) * (k - 1) / (k_max - 2);
                uint64_t hi = 1 + (range - 2) * k / (k_max - 2);
                if (hi < lo) hi = lo;
                add(op, skip[op] + lo + rng() % (hi - lo + 1));
            }
        }
    }
    std::sort(chosen.begin(), chosen.end());
    std::vector<fault_point> out;
    for (const auto& c : chosen) {
        fault_point p;
        p.in_server = in_server;
        p.plan = plat_fault_plan{c.first, c.second, false, kill ? 0 : sweep_error(c.first),
                                 kill ? PLAT_FAULT_KILL : PLAT_FAULT_FAIL};
        out.push_back(p);
    }
    return out;
}

// ---- the world ----------------------------------------------------------------

// Two block workers, whatever the machine's cores: the sweeps cover the
// workers on a one-core machine too (the inline path has its own cases).
static void use_two_block_workers() {
    if (getenv("TAVNI_BACKUP_WORKERS")) return;
#ifdef _WIN32
    _putenv("TAVNI_BACKUP_WORKERS=2");
#else
    setenv("TAVNI_BACKUP_WORKERS", "2", 1);
#endif
}

world::world(const std::string& name) : name_(name) {
    use_two_block_workers();
    root_ = fs::temp_directory_path() /
            ("tavni-faults-" + std::to_string(plat_process_id()) + "-" + name);
    const char* b = getenv("TAVNI_BUILD_DIR");
    const char* s = getenv("TAVNI_SOURCE_DIR");
    if (b) build_ = fs::absolute(b).string();
    if (s) source_ = fs::absolute(s).string();
    std::string area = "/tavni-faults-area-" + std::to_string(plat_process_id()) + "-" + name;
    std::string event = "/tavni-faults-event-" + std::to_string(plat_process_id()) + "-" + name;
    progress_open_names(area.c_str(), event.c_str());
    ctfs_init();
    g_world = this;
    ctfs_set_sleep_for_tests(pause_hook);
}

world::~world() {
    if (server_) server_kill();
    ctfs_set_sleep_for_tests(nullptr);
    g_world = nullptr;
    ctfs_cleanup();
    progress_close();
    timing_set_for_tests(timing_defaults());
    plat_fault_arm(nullptr);
    std::error_code ec;
    if (!getenv("TAVNI_FAULT_KEEP")) fs::remove_all(root_, ec);
}

bool world::shell(const std::string& script, std::string* output) {
    fs::path out = root_ / "shell.out";
    std::string cmd = "(" + script + ") >'" + out.string() + "' 2>&1";
    int status = std::system(cmd.c_str());
    if (output) *output = read_file(out);
    return status == 0;
}

int world::wait_process(plat_process* p, uint32_t limit_ms) {
    plat_wait_result r = PLAT_WAIT_FAILED;
    plat_process_wait(p, limit_ms, &r);
    if (r != PLAT_WAIT_ENDED) {
        plat_process_terminate(p, 137);
    }
    uint32_t code = 0;
    if (plat_process_exit_code(p, &code) != 0) return -1;
    return static_cast<int>(code);
}

std::string world::remote_of(const fs::path& local) const {
    std::string p;
    srv_normalize_path(k_remote_prefix + local.string(), false, &p);
    return p;
}

bool world::build(std::string* why) {
    if (build_.empty() || source_.empty()) {
        *why = "TAVNI_BUILD_DIR and TAVNI_SOURCE_DIR must name the build and source folders";
        return false;
    }
    if (root_.string().find_first_of(" '\"") != std::string::npos) {
        *why = "the temporary folder's path must hold no blanks or quotes: " + root_.string();
        return false;
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
    fs::create_directories(install() / "etc");
    fs::create_directories(aside());

    // A dozen files in a few folders: empty, one byte, three blocks of the
    // server's 1 MiB, some text and binary, a folder and a file to delete and
    // one to move away; and a plain (not mirrored) source.
    base_time_ = (static_cast<int64_t>(time(nullptr)) - 5 * 86400) / 60 * 60;
    struct item {
        const char* rel;
        std::string bytes;
    };
    std::string text;
    for (int i = 0; i < 60; i++)
        text += "line " + std::to_string(i) + " of a letter that is kept for ever\n";
    const std::vector<item> tree = {
        {"m/a.txt", text},
        {"m/empty.txt", ""},
        {"m/one.bin", "x"},
        {"m/big.bin", pseudo_bytes(2 * 1048576 + 524288, 1)},
        {"m/docs/letter.txt", text.substr(0, 900)},
        {"m/docs/notes.txt", "notes\n"},
        {"m/docs/old/keep.txt", "kept\n"},
        {"m/pics/p1.bin", pseudo_bytes(100000, 2)},
        {"m/pics/p2.bin", pseudo_bytes(50000, 3)},
        {"m/trash/t1.txt", "trash one\n"},
        {"m/trash/t2.txt", "trash two\n"},
        {"m/move-me.txt", "I travel and come back\n"},
        {"m/del.txt", "to be deleted\n"},
        {"n/x.txt", "plain x\n"},
        {"n/sub/y.txt", pseudo_bytes(3000, 4)},
    };
    int64_t t = base_time_;
    for (const item& it : tree) {
        write_file(work() / it.rel, it.bytes);
        set_mtime(work() / it.rel, t);
        t += 61;
    }
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(source_) / "etc"))
        if (e.path().extension() == ".emt")
            fs::copy_file(e.path(), install() / "etc" / e.path().filename(),
                          fs::copy_options::overwrite_existing);

    std::string out;
    // The key reaches the programs in a file, never on a command line.
    const std::string keyfile = (root_ / "acckey").string();
    write_file(root_ / "acckey", std::string(k_acckey) + "\n");
    if (!shell("'" + build_ + "/tavni-server' init --store '" + store_dir().string() + "' && '" +
                   build_ + "/tavni-server' user add --store '" + store_dir().string() +
                   "' --id 7 --name bob --account acme --acckey-file '" + keyfile + "'",
               &out)) {
        *why = "tavni-server init: " + out;
        return false;
    }
    if (!shell("'" + build_ + "/tavni-ctl' schedule new --root '" + install().string() +
                   "' --user-id 7 --acckey-file '" + keyfile +
                   "' --dest /1/Today --name faults --src '" + mirrored().string() + "' --sync '" +
                   mirrored().string() + "' --src '" + plain().string() + "' '" + schedule() + "'",
               &out)) {
        *why = "tavni-ctl schedule new: " + out;
        return false;
    }
    if (!server_start()) {
        *why = "the server did not start: " + read_file(root_ / "server.out");
        return false;
    }
    write_file(install() / "etc" / "hosts", "127.0.0.1:" + std::to_string(port_) + "\n");

    run_outcome first = run_inprocess(nullptr, false);
    server_stop();
    std::vector<violation> v;
    check_settled("first backup", first, &v);
    if (!v.empty()) {
        *why = "the first, undisturbed backup is not clean: " + describe(v[0]) + "\n" + first.log;
        return false;
    }
    copy_tree(work(), root_ / "snap");
    return true;
}

void world::restore_snapshot() {
    std::error_code ec;
    fs::remove_all(work(), ec);
    copy_tree(root_ / "snap", work());
}

void world::apply_changes() {
    const int64_t t = base_time_ + k_changed_offset;
    std::string letter = read_file(mirrored() / "docs/letter.txt") + "and a postscript\n";
    write_file(mirrored() / "docs/letter.txt", letter);
    set_mtime(mirrored() / "docs/letter.txt", t);
    // One block of three changes, the size stays.
    {
        std::fstream big((mirrored() / "big.bin").string(),
                         std::ios::binary | std::ios::in | std::ios::out);
        big.seekp(1048576 + 4096);
        std::string patch = pseudo_bytes(4096, 99);
        big.write(patch.data(), static_cast<std::streamsize>(patch.size()));
    }
    set_mtime(mirrored() / "big.bin", t);
    write_file(mirrored() / "new.txt", "a new file\n");
    set_mtime(mirrored() / "new.txt", t);
    fs::remove(mirrored() / "del.txt");
    fs::remove_all(mirrored() / "trash");
    fs::rename(mirrored() / "move-me.txt", aside() / "move-me.txt");
    // A file that became a folder and a folder that became a file, under the
    // same names: the server holds the other kind until the run replaces it.
    fs::remove(mirrored() / "pics/p2.bin");
    write_file(mirrored() / "pics/p2.bin/inner.txt", "a folder now\n");
    set_mtime(mirrored() / "pics/p2.bin/inner.txt", t);
    fs::remove_all(mirrored() / "docs/old");
    write_file(mirrored() / "docs/old", "a file now\n");
    set_mtime(mirrored() / "docs/old", t);
    write_file(plain() / "x.txt", "plain x, changed\n");
    set_mtime(plain() / "x.txt", t);
}

void world::move_back() {
    fs::rename(aside() / "move-me.txt", mirrored() / "move-me.txt");
}

// ---- the server child -----------------------------------------------------------

bool world::server_start(const std::string& fault, const std::string& counts) {
    if (server_) server_kill();
    server_starts_++;
    fs::path out = root_ / "server.out";
    fs::path pid = root_ / "server.pid";
    server_log_ += read_file(out);
    fs::remove(out);
    std::string env = "env -u TAVNI_FAULT -u TAVNI_FAULT_COUNTS";
    if (!fault.empty()) env += " TAVNI_FAULT=" + fault;
    if (!counts.empty()) env += " TAVNI_FAULT_COUNTS='" + counts + "'";
    // A watcher ends the server when this process is gone (a crash, a
    // time-out of the test), so that no orphan keeps the port and the store.
    const std::string me = std::to_string(plat_process_id());
    std::string script = "echo $$ >'" + pid.string() + "'; (while kill -0 " + me +
                         " && kill -0 $$; do sleep 1; done; kill -9 $$) >/dev/null 2>&1 & exec " +
                         env + " '" + build_ + "/tavni-server' serve --store '" +
                         store_dir().string() + "' --listen 127.0.0.1:" + std::to_string(port_) +
                         " >'" + out.string() + "' 2>&1";
    server_ = plat_process_start(("sh -c \"" + script + "\"").c_str());
    server_armed_ = !fault.empty();
    server_exit_ = -1;
    if (!server_) return false;
    // Until it says where it listens, or ends.
    for (int i = 0; i < 3000; i++) {
        std::string text = read_file(out);
        size_t at = text.find("serving ");
        size_t nl = at == std::string::npos ? std::string::npos : text.find('\n', at);
        if (nl != std::string::npos) {
            size_t colon = text.rfind(':', nl);
            if (port_ == 0 && colon != std::string::npos)
                port_ = static_cast<uint16_t>(std::stoul(text.substr(colon + 1, nl - colon - 1)));
            return true;
        }
        plat_wait_result r = PLAT_WAIT_FAILED;
        plat_process_wait(server_, 10, &r);
        if (r == PLAT_WAIT_ENDED) {
            uint32_t code = 0;
            plat_process_exit_code(server_, &code);
            server_exit_ = static_cast<int>(code);
            plat_process_close(server_);
            server_ = nullptr;
            return false;
        }
    }
    server_kill();
    return false;
}

bool world::server_alive() {
    if (!server_) return false;
    plat_wait_result r = PLAT_WAIT_FAILED;
    plat_process_wait(server_, 0, &r);
    if (r != PLAT_WAIT_ENDED) return true;
    uint32_t code = 0;
    plat_process_exit_code(server_, &code);
    server_exit_ = static_cast<int>(code);
    plat_process_close(server_);
    server_ = nullptr;
    return false;
}

int world::server_stop() {
    if (!server_alive()) return server_exit_;
    std::string pid = read_file(root_ / "server.pid");
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
        pid.pop_back();
    if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
        std::system(("kill -TERM " + pid + " 2>/dev/null").c_str());
    int code = wait_process(server_, 60000);
    plat_process_close(server_);
    server_ = nullptr;
    server_exit_ = code;
    return code;
}

void world::server_kill() {
    if (!server_) return;
    plat_process_terminate(server_, 137);
    plat_process_close(server_);
    server_ = nullptr;
}

bool world::server_idle_counts(uint64_t out[PLAT_FAULT_OPS]) {
    std::string counts = (root_ / "idle.counts").string();
    if (!server_start("", counts)) return false;
    server_stop();
    return read_counts(counts, out);
}

void world::on_pause() {
    switch (pause_mode_) {
    case PAUSE_NONE:
        return;
    case PAUSE_REVIVE_SERVER:
        if (!server_alive()) {
            notes_.push_back("the server ended with exit code " + std::to_string(server_exit_) +
                             " during the run; started again unarmed");
            server_start();
        }
        return;
    case PAUSE_AWAIT_KILL:
        if (server_ && server_armed_) {
            // The connection broke because the armed server is dying: wait for
            // its end, then bring it back on the same store and port at once.
            plat_wait_result r = PLAT_WAIT_FAILED;
            plat_process_wait(server_, 30000, &r);
            if (r != PLAT_WAIT_ENDED) {
                notes_.push_back("the connection broke but the armed server did not end");
                return;
            }
            server_alive(); // collects the exit code
            server_start();
        } else if (!server_alive()) {
            server_start();
        }
        return;
    }
}

std::string world::take_server_log() {
    std::string out = server_log_ + read_file(root_ / "server.out");
    server_log_.clear();
    fs::remove(root_ / "server.out");
    return out;
}

std::vector<std::string> world::take_notes() {
    std::vector<std::string> out;
    out.swap(notes_);
    return out;
}

// ---- runs -------------------------------------------------------------------------

run_outcome world::run_inprocess(const plat_fault_plan* plan, bool quick_receive) {
    timing t = timing_defaults();
    t.reconnect_pause_ms = 1; // the pause hook waits for what it must
    t.user_lock_sleep_ms = 10;
    t.lock_recovery_ms = 10;
    if (quick_receive) t.recv_wait_ms = 1000; // a silent server costs 6 s, not 30
    timing_set_for_tests(t);
    report_reset_for_tests();
    machine_key_forget();
    char old[4096];
    run_outcome r;
    if (plat_get_cwd(old, sizeof old) != 0 || plat_set_cwd(install().string().c_str()) != 0) {
        r.failure = "cannot enter the installation folder";
        return r;
    }
    plat_fault_arm(plan); // also restarts the counters
    procjob(schedule().c_str());
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        r.counts[i] = plat_fault_count(static_cast<plat_fault_op>(i));
    r.hits = plat_fault_hits();
    plat_fault_arm(nullptr);
    plat_set_cwd(old);
    r.log = read_file(schedule() + ".log");
    r.files_failed = report_record()->files_failed;
    r.failure = report_record()->failure_message ? report_record()->failure_message : "";
    return r;
}

run_outcome world::run_process(const std::string& fault, const std::string& counts) {
    std::string env = "env -u TAVNI_FAULT -u TAVNI_FAULT_COUNTS";
    if (!fault.empty()) env += " TAVNI_FAULT=" + fault;
    if (!counts.empty()) env += " TAVNI_FAULT_COUNTS='" + counts + "'";
    std::string script = "cd '" + install().string() + "' && exec " + env + " '" + build_ +
                         "/tavni-backup' background '" + schedule() + "' >/dev/null 2>&1";
    run_outcome r;
    // The job mailslot is the machine's: while an agent of another test run
    // holds it, ours runs no job (and would leave an older job log to be
    // judged), so it is started again once that one is gone.
    const uint32_t start = plat_tick_ms();
    for (;;) {
        std::error_code ec;
        fs::remove(schedule() + ".log", ec);
        plat_process* p = plat_process_start(("sh -c \"" + script + "\"").c_str());
        if (!p) {
            r.exit_code = -1;
            return r;
        }
        r.exit_code = wait_process(p, 600000);
        plat_process_close(p);
        const std::string agent_log = read_file(install() / "agent.log");
        const bool mailslot_taken = agent_log.find("ipc_rx_setup(") != std::string::npos &&
                                    agent_log.find(") failed with error code") != std::string::npos;
        if (!mailslot_taken || plat_tick_ms() - start > 600000) break;
        plat_sleep_ms(100);
    }
    r.log = read_file(schedule() + ".log");
    return r;
}

// ---- checks -------------------------------------------------------------------------

void world::check_run(const std::string& point, const std::string& log,
                      std::vector<violation>* out) {
    store_reader store(store_dir(), root_ / "decode.tmp");
    if (!store.ok()) {
        out->push_back({point, 0, "", "the store opens", store.error});
        return;
    }
    static const std::pair<const char*, const char*> reported_markers[] = {
        {"FILE: Successfully backed up '", "logged as backed up"},
        {"FILE: Current; Not backing up: '", "logged as current by the change index"},
        {"FILE: File was reported to be changed, but is in fact up to date: '",
         "logged as up to date by the server"},
    };
    std::map<std::string, std::string> reported; // path -> how
    std::set<std::string> handled;               // every "FILE: 'x' ..." line
    std::set<std::string> synced;                // folders whose listing ran through
    std::vector<std::string> deleted;            // remote paths
    // A run whose release the server refused says so in its job log (its
    // report, sent before the release, could not): its lines of files sent
    // promise nothing, and its change index is withdrawn.
    const bool sent_taken_back =
        log.find("The server did not confirm that the files sent by this backup are stored") !=
        std::string::npos;
    for (const std::string& line : lines_of(log)) {
        for (const auto& m : reported_markers) {
            if (sent_taken_back && m.first == reported_markers[0].first) continue;
            std::string p = quoted_after(line, m.first);
            if (!p.empty()) reported[p] = m.second;
        }
        // A close the server never confirmed takes the file's line back (the
        // next run checks it again); a later line of the same run may send
        // it once more.
        std::string unconfirmed =
            quoted_after(line, "FILE: WARNING: The server did not confirm the close of '");
        if (!unconfirmed.empty()) {
            auto it = reported.find(unconfirmed);
            if (it != reported.end() && it->second == reported_markers[0].second)
                reported.erase(it);
        }
        if (line.size() > 4 && line.compare(line.size() - 4, 4, " ...") == 0) {
            std::string p = quoted_after(line, "FILE: '");
            if (!p.empty()) handled.insert(p);
        }
        std::string f = quoted_after(line, "SYNC: Synchronizing '");
        if (!f.empty()) synced.insert(f);
        std::string d = quoted_after(line, "SYNC OBJECT: '");
        if (!d.empty() && line.find("' is gone; deleting from server.") != std::string::npos)
            deleted.push_back(d.substr(0, d.find("' is gone")));
    }

    // 1. Reported means restorable, for what the log names...
    auto must_match = [&](const std::string& path, const std::string& how, int invariant) {
        std::string local = read_file(path);
        std::string server, why;
        cat_version v;
        if (!store.content(remote_of(path), &server, &v, &why)) {
            out->push_back(
                {point, invariant, path, "a whole copy on the server (" + how + ")", why});
        } else if (server != local) {
            out->push_back(
                {point, invariant, path,
                 "the server's copy equal to the local file (" + how + "; " + sized(local) + ")",
                 "a copy of " + sized(server)});
        }
    };
    for (const auto& r : reported) {
        if (!fs::is_regular_file(r.first)) {
            out->push_back({point, 1, r.first, "a local file (" + r.second + ")", "none"});
            continue;
        }
        must_match(r.first, r.second, 1);
    }
    // ...and for the files of a mirrored folder that the server's listing
    // showed as current (they get no line of their own).
    for (const std::string& folder : synced) {
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
            std::string p = e.path().string();
            if (!e.is_regular_file() || handled.count(p) || reported.count(p)) continue;
            cat_version v;
            if (!store.version(remote_of(p), &v)) continue; // not current: not skipped
            if (v.size != static_cast<uint64_t>(fs::file_size(p)) ||
                !times_match(v.mtime, mtime_of(p)))
                continue;
            must_match(p, "current by the server's listing of a mirrored folder", 1);
        }
    }

    // 2. Mirroring deletes only what is gone.
    for (const std::string& remote : deleted) {
        std::string prefix = k_remote_prefix;
        if (remote.compare(0, prefix.size(), prefix) != 0) continue;
        fs::path local = remote.substr(prefix.size());
        std::error_code ec;
        fs::file_status st = fs::symlink_status(local, ec);
        if (fs::exists(st)) {
            std::string what =
                fs::is_directory(st)
                    ? "a folder"
                    : "a file of " + std::to_string(fs::file_size(local, ec)) + " bytes";
            out->push_back({point, 2, local.string(),
                            "a delete only for entries gone locally ('" + remote + "')",
                            what + " still there"});
        }
    }

    // What the server holds current must be whole (verify).
    for (const auto& d : store.damaged())
        out->push_back({point, 1, "/" + d.first, "verify to find every current version whole",
                        "DAMAGED: " + d.second});
}

void world::check_trusted_index(const std::string& point, std::vector<violation>* out) {
    store_reader store(store_dir(), root_ / "decode.tmp");
    if (!store.ok()) {
        out->push_back({point, 0, "", "the store opens", store.error});
        return;
    }
    // Which index the next run opens, and whether it will trust it.
    char fci_path[4096];
    fci_path_for(schedule().c_str(), fci_path, sizeof fci_path);
    std::string path = fs::exists(std::string(fci_path) + ".ro") ? std::string(fci_path) + ".ro"
                                                                 : std::string(fci_path);
    std::string index = read_file(path);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(index.data());
    bool trusted = false;
    int64_t stamp = 0;
    if (index.size() >= FCI_HEADER_SIZE + FCI_RECORD_SIZE && get_le32(b) == FCI_VERSION &&
        ts_file_check(schedule().c_str()) != TS_DIFFERENT) {
        stamp = static_cast<int32_t>(get_le32(b + 4));
        for (int64_t s : server_stamps(store_dir()))
            if (s == stamp) trusted = true;
    }
    auto in_index = [&](const fs::path& file, int64_t mtime, uint64_t size) {
        unsigned char d[SHA_DIGEST_LENGTH];
        std::string text = file.string();
        SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), d);
        for (size_t at = FCI_HEADER_SIZE; at + FCI_RECORD_SIZE <= index.size();
             at += FCI_RECORD_SIZE) {
            if (memcmp(b + at, d, 20) != 0) continue;
            int64_t t = static_cast<int32_t>(get_le32(b + at + 20));
            uint64_t sz =
                get_le32(b + at + 24) | (static_cast<uint64_t>(get_le32(b + at + 28)) << 32);
            if (sz == size && times_match(t, mtime)) return true;
        }
        return false;
    };
    for (const fs::path& base : {mirrored(), plain()}) {
        for (const fs::path& file : files_below(base)) {
            int64_t mtime = mtime_of(file);
            uint64_t size = fs::file_size(file);
            std::string why_skipped;
            if (trusted && in_index(file, mtime, size))
                why_skipped = "current by the trusted change index (stamp " +
                              std::to_string(stamp) + ", which the server vouched for)";
            cat_version v;
            if (why_skipped.empty() && base == mirrored() && store.version(remote_of(file), &v) &&
                v.size == size && times_match(v.mtime, mtime))
                why_skipped = "current by the server's listing of a mirrored folder";
            if (why_skipped.empty()) continue;
            std::string local = read_file(file), server, why;
            if (!store.content(remote_of(file), &server, &v, &why))
                out->push_back({point, 3, file.string(),
                                "the next run skips it as " + why_skipped +
                                    ", so the server must hold it whole",
                                why});
            else if (server != local)
                out->push_back({point, 3, file.string(),
                                "the next run skips it as " + why_skipped +
                                    ", so the server's copy must equal the local " + sized(local),
                                "a copy of " + sized(server)});
        }
    }
}

void world::check_settled(const std::string& point, const run_outcome& run,
                          std::vector<violation>* out, const std::string& server_log) {
    std::string failed;
    for (const std::string& line : lines_of(run.log))
        if (line.find("ERROR") != std::string::npos ||
            line.find("Failed backing up") != std::string::npos ||
            line.find("File does not exist") != std::string::npos ||
            line.find("NOT deleting") != std::string::npos ||
            line.find("did not complete") != std::string::npos ||
            line.find("aborting") != std::string::npos)
            failed += "\n      " + line;
    if (run.log.find("Backup job completed normally.") == std::string::npos)
        failed += "\n      (no \"Backup job completed normally.\")";
    // The release's refusal comes after the report: only the job log says it.
    const bool unconfirmed =
        run.log.find("The server did not confirm that the files sent by this backup are "
                     "stored") != std::string::npos;
    const bool earlier_doubt =
        server_log.find("held a lock when the previous server process ended") !=
            std::string::npos &&
        unconfirmed;
    if (unconfirmed && !earlier_doubt)
        failed += "\n      (the server did not confirm the run's files at the release)";
    const bool failure = !run.failure.empty();
    if (run.files_failed != 0 || failure || !failed.empty())
        out->push_back({point, 3, "", "the undisturbed run to finish without a failed item",
                        std::to_string(run.files_failed) + " failed item(s)" +
                            (!failure ? "" : ", failure \"" + run.failure + "\"") + failed});

    store_reader store(store_dir(), root_ / "decode.tmp");
    if (!store.ok()) {
        out->push_back({point, 0, "", "the store opens", store.error});
        return;
    }
    // The mirrored source: the server's tree is the local tree.
    std::map<std::string, bool> server_tree;
    store.tree(remote_of(mirrored()), "", &server_tree);
    std::map<std::string, bool> local_tree;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(mirrored()))
        local_tree[fs::relative(e.path(), mirrored()).string()] = e.is_regular_file();
    for (const auto& l : local_tree) {
        fs::path file = mirrored() / l.first;
        auto s = server_tree.find(l.first);
        if (s == server_tree.end()) {
            out->push_back({point, 3, file.string(), "a restore of the destination to hold it",
                            "nothing on the server"});
        } else if (s->second != l.second) {
            out->push_back({point, 3, file.string(), l.second ? "a file" : "a folder",
                            s->second ? "a file on the server" : "a folder on the server"});
        }
    }
    for (const auto& s : server_tree)
        if (!local_tree.count(s.first))
            out->push_back({point, 3, (mirrored() / s.first).string(),
                            "a restore of the mirrored destination to equal the local tree",
                            std::string(s.second ? "a file" : "a folder") +
                                " on the server that is gone locally"});
    // Both sources: every local file restores byte-identical.
    for (const fs::path& base : {mirrored(), plain()}) {
        for (const fs::path& file : files_below(base)) {
            std::string local = read_file(file), server, why;
            cat_version v;
            if (!store.content(remote_of(file), &server, &v, &why))
                out->push_back({point, 3, file.string(), "a restore equal to the local file", why});
            else if (server != local)
                out->push_back({point, 3, file.string(),
                                "a restore equal to the local " + sized(local),
                                "a copy of " + sized(server)});
        }
    }
    for (const auto& d : store.damaged())
        out->push_back({point, 3, "/" + d.first, "verify to find every current version whole",
                        "DAMAGED: " + d.second});
}

std::string world::keep_evidence(const std::string& point,
                                 const std::vector<std::pair<std::string, std::string>>& files) {
    std::string tag;
    for (char c : point)
        tag += (isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    fs::path dir = fs::temp_directory_path() / "tavni-faults-evidence" / name_ / tag;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    for (const auto& f : files)
        write_file(dir / f.first, f.second);
    return dir.string();
}

} // namespace faults
