// ctl_diff.cpp - tavni-ctl diff: what changed on the server between the ends
// of two runs: names added, files modified (another stored version) and
// names deleted, one per line.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_reader.h"
#include "tools/ctl/ctl_tree.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

struct diff_options {
    ctl_read_options read;
    uint64_t run_a = 0, run_b = 0;
};

typedef std::map<std::string, read_entry> tree_map;

tfs_result load(ctfs_session* s, uint64_t run, tree_map* out) {
    ctl_point p;
    p.run = run;
    return ctl_walk(s, p, "", 0, [out](const std::string& path, const read_entry& e) {
        (*out)[path] = e;
        return true;
    });
}

int do_diff(const diff_options& o) {
    ctl_reader r;
    if (ctl_read_open(o.read, &r) != 0) return 1;
    tree_map a, b;
    for (auto side : {std::make_pair(o.run_a, &a), std::make_pair(o.run_b, &b)}) {
        const tfs_result rc = load(r.s, side.first, side.second);
        if (rc == ERR_READ_NO_RUN)
            return ctl_fail("no run " + std::to_string(side.first) +
                            " (tavni-ctl snapshots lists them)");
        if (rc != ERR_NONE)
            return ctl_read_fail("cannot list run " + std::to_string(side.first), rc);
    }
    unsigned long added = 0, modified = 0, deleted = 0;
    for (const auto& kv : b) {
        const bool folder = (kv.second.flags & READ_ENTRY_FOLDER) != 0;
        auto it = a.find(kv.first);
        if (it == a.end()) {
            printf("added     /%s%s\n", kv.first.c_str(), folder ? "/" : "");
            added++;
        } else if (!folder && ((it->second.flags & READ_ENTRY_FOLDER) ||
                               it->second.version != kv.second.version)) {
            printf("modified  /%s\n", kv.first.c_str());
            modified++;
        }
    }
    for (const auto& kv : a)
        if (!b.count(kv.first)) {
            printf("deleted   /%s%s\n", kv.first.c_str(),
                   (kv.second.flags & READ_ENTRY_FOLDER) ? "/" : "");
            deleted++;
        }
    printf("%lu added, %lu modified, %lu deleted\n", added, modified, deleted);
    return 0;
}

} // namespace

void register_diff_command(CLI::App& app) {
    auto o = std::make_shared<diff_options>();
    CLI::App* cmd = app.add_subcommand(
        "diff", "what was added, modified and deleted on the server between two runs");
    ctl_read_add_options(cmd, &o->read);
    cmd->add_option("run_a", o->run_a, "the earlier run")->required();
    cmd->add_option("run_b", o->run_b, "the later run")->required();
    cmd->callback([o] {
        const int rc = do_diff(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
