// ctl_snapshots.cpp - tavni-ctl snapshots: the user's runs on the server,
// newest first, each a point whose tree ls, diff and restore can name.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_reader.h"

#include "common/json.h"
#include "common/text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct snapshots_options {
    ctl_read_options read;
    bool json = false;
};

std::string run_json(const read_run& r) {
    json_object o;
    o.add("id", r.id);
    o.add("started", r.started);
    if (r.ended)
        o.add("ended", r.ended);
    else
        o.add_null("ended");
    o.add("destination", static_cast<uint64_t>(r.destination));
    o.add("host", hex_lower(r.host, sizeof r.host));
    o.add_bool("vouched", r.vouched);
    o.add("files_sent", r.files_sent);
    o.add("bytes_sent", r.bytes_sent);
    o.add("files_skipped", r.files_skipped);
    o.add("deleted", r.deleted);
    o.add("schedule", r.schedule);
    return o.text();
}

int do_snapshots(const snapshots_options& o) {
    ctl_reader r;
    if (ctl_read_open(o.read, &r) != 0) return 1;
    std::vector<read_run> runs;
    const tfs_result rc = read_all_runs(r.s, &runs);
    if (rc != ERR_NONE) return ctl_read_fail("cannot list the runs", rc);
    if (o.json) {
        std::vector<std::string> items;
        for (const read_run& run : runs) items.push_back(run_json(run));
        json_object top;
        top.add_raw("runs", json_array(items));
        printf("%s\n", top.text().c_str());
        return 0;
    }
    printf("%-6s %-23s %-23s %-4s %-7s %9s %13s %s\n", "RUN", "STARTED", "ENDED", "DEST",
           "VOUCHED", "FILES", "BYTES", "SCHEDULE");
    for (const read_run& run : runs)
        printf("%-6llu %-23s %-23s %-4u %-7s %9llu %13llu %s\n",
               static_cast<unsigned long long>(run.id), ctl_time_text(run.started).c_str(),
               run.ended ? ctl_time_text(run.ended).c_str() : "(did not end)", run.destination,
               run.vouched ? "yes" : "no", static_cast<unsigned long long>(run.files_sent),
               static_cast<unsigned long long>(run.bytes_sent), run.schedule.c_str());
    if (runs.empty()) printf("(no runs yet)\n");
    return 0;
}

} // namespace

void register_snapshots_command(CLI::App& app) {
    auto o = std::make_shared<snapshots_options>();
    CLI::App* cmd = app.add_subcommand("snapshots", "list the backup runs on the server, newest first");
    ctl_read_add_options(cmd, &o->read);
    cmd->add_flag("--json", o->json, "one JSON object with a list of runs");
    cmd->callback([o] {
        const int rc = do_snapshots(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
