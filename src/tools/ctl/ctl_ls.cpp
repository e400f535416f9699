// ctl_ls.cpp - tavni-ctl ls: a folder (or with -R the tree below it) of the
// server as it stood at the end of a run, at a time, or now; with --history
// the names deleted from it by then as well, marked (deleted).
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_reader.h"
#include "tools/ctl/ctl_tree.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct ls_options {
    ctl_read_options read;
    ctl_point_options point;
    std::string path;
    bool recursive = false;
    bool history = false;
};

void print_entry(const std::string& shown, const read_entry& e) {
    const bool folder = (e.flags & READ_ENTRY_FOLDER) != 0;
    std::string notes;
    if (e.flags & READ_ENTRY_GONE) notes += " (deleted)";
    if (e.flags & READ_ENTRY_DELETED_LATER) notes += " (deleted since)";
    if (e.flags & READ_ENTRY_DAMAGED) notes += " (DAMAGED)";
    printf("%s %13llu %-23s %s%s%s\n", folder ? "d" : "-",
           static_cast<unsigned long long>(folder ? 0 : e.size),
           ctl_time_text(static_cast<int64_t>(e.mtime)).c_str(), shown.c_str(),
           folder ? "/" : "", notes.c_str());
}

int do_ls(const ls_options& o) {
    ctl_point p;
    if (ctl_point_from(o.point, &p) != 0) return 1;
    std::string path;
    if (!ctl_server_path(o.path, &path)) return ctl_fail("not a server path: " + o.path);
    ctl_reader r;
    if (ctl_read_open(o.read, &r) != 0) return 1;
    const uint8_t flags = o.history ? READ_FOLDER_HISTORY : 0;
    tfs_result rc;
    if (o.recursive) {
        rc = ctl_walk(r.s, p, path, flags, [](const std::string& child, const read_entry& e) {
            print_entry("/" + child, e);
            return true;
        });
    } else {
        std::vector<read_entry> entries;
        rc = ctl_list_folder(r.s, p, path, flags, &entries, nullptr);
        for (const read_entry& e : entries) print_entry(e.name, e);
    }
    if (rc == ERR_NOTDIR) {
        // A file: its version then.
        read_blocks_query q;
        q.run = p.run;
        q.at = p.at;
        q.path = path;
        q.limit = 1;
        read_blocks_page page;
        rc = read_block_list_page(r.s, q, &page);
        if (rc == ERR_NONE) {
            read_entry e;
            e.size = page.size;
            e.mtime = page.mtime;
            e.flags = page.damaged ? READ_ENTRY_DAMAGED : 0;
            print_entry("/" + path, e);
            return 0;
        }
    }
    if (rc == ERR_BADPATH)
        return ctl_fail("/" + path + (p.run || p.at ? " did not exist then" : " does not exist"));
    if (rc == ERR_READ_NO_RUN) return ctl_fail("no run " + std::to_string(p.run) + " (tavni-ctl snapshots lists them)");
    if (rc != ERR_NONE) return ctl_read_fail("cannot list /" + path, rc);
    return 0;
}

} // namespace

void register_ls_command(CLI::App& app) {
    auto o = std::make_shared<ls_options>();
    CLI::App* cmd = app.add_subcommand(
        "ls", "list a folder on the server as it stood at the end of a run, at a time, or now");
    ctl_read_add_options(cmd, &o->read);
    ctl_point_add_options(cmd, &o->point);
    cmd->add_option("path", o->path, "server folder or file (default: the top)");
    cmd->add_flag("-R,--recursive", o->recursive, "the whole tree below, with full paths");
    cmd->add_flag("--history", o->history, "also the names deleted by then, marked (deleted)");
    cmd->callback([o] {
        const int rc = do_ls(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
