// ctl_restore.cpp - tavni-ctl restore: files and folders of a run (or of a
// time, or the current tree) fetched from the server and decrypted on this
// machine into an output folder, every name below it reached from a held
// folder. Files already there and whole are left alone, so a restore that
// was cut off is simply started again.
//
// Exit codes: 0 every file is whole; 1 nothing could be restored (options,
// log-in, no such path); 2 some files were not restored (each named on
// standard error).
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_fetch.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_reader.h"
#include "tools/ctl/ctl_restore_writer.h"
#include "tools/ctl/ctl_tree.h"

#include "common/owner.h"
#include "platform/platform.h"
#include "platform/server.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct restore_options {
    ctl_read_options read;
    uint64_t run = 0;
    std::string at;
    std::vector<std::string> paths;
    std::string to;
    bool overwrite = false;
    bool dry_run = false;
    bool same_owner = false;
};

typedef owner<plat_restore_dir, plat_restore_dir_close> held_dir;

// One name to restore: its server path, its path below --to, and what it is.
struct plan_item {
    std::string server;
    std::vector<std::string> parts; // below --to
    bool folder;
    uint64_t size;
};

std::string last_error_text() {
    char text[256];
    return plat_error_text(plat_last_error(), text, sizeof text);
}

std::string join_parts(const std::vector<std::string>& parts, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) out += (i ? "/" : "") + parts[i];
    return out;
}

std::string size_text(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        u++;
    }
    char buf[32];
    snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
    return buf;
}

// The progress line on a terminal: bytes, rate and time left.
struct progress {
    bool terminal = false;
    uint64_t total = 0, done = 0;
    uint32_t start = 0, last = 0;
    bool shown = false;

    void tick(uint64_t n) {
        done += n;
        if (!terminal) return;
        const uint32_t now = plat_tick_ms();
        if (shown && now - last < 250) return;
        last = now;
        shown = true;
        const double secs = (now - start) / 1000.0;
        const double rate = secs > 0 ? done / secs : 0;
        std::string left = "?";
        if (rate > 0) {
            const uint64_t s = static_cast<uint64_t>((total - done) / rate);
            char buf[32];
            snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                     static_cast<unsigned long long>(s % 60));
            left = buf;
        }
        printf("\r\033[K%s of %s, %s/s, %s left", size_text(static_cast<double>(done)).c_str(),
               size_text(static_cast<double>(total)).c_str(), size_text(rate).c_str(),
               left.c_str());
        fflush(stdout);
    }
    // Clears the line before a message of its own.
    void clear() {
        if (terminal && shown) {
            printf("\r\033[K");
            fflush(stdout);
            shown = false;
        }
    }
};

struct restore_state {
    const restore_options* o;
    ctl_point point;
    ctfs_session* s;
    decode_pool* pool;
    progress bar;
    unsigned long written = 0, whole = 0, failed = 0;
    uint64_t bytes = 0;
};

void failed(restore_state* st, const std::string& server, const std::string& why) {
    st->bar.clear();
    fprintf(stderr, "tavni-ctl: /%s not restored: %s\n", server.c_str(), why.c_str());
    st->failed++;
}

// The names below --to for the server path given: its own name and, for a
// folder, everything below it.
tfs_result plan(restore_state* st, const std::string& path, std::vector<plan_item>* items) {
    const size_t cut = path.rfind('/');
    const std::string own = cut == std::string::npos ? path : path.substr(cut + 1);
    std::vector<read_entry> top;
    tfs_result rc = ERR_NONE;
    if (!path.empty()) rc = ctl_list_folder(st->s, st->point, path, 0, &top, nullptr);
    std::vector<std::string> base;
    if (rc == ERR_NOTDIR) {
        read_blocks_query q;
        q.run = st->point.run;
        q.at = st->point.at;
        q.path = path;
        q.limit = 1;
        read_blocks_page page;
        rc = read_block_list_page(st->s, q, &page);
        if (rc != ERR_NONE) return rc;
        items->push_back(plan_item{path, {own}, false, page.size});
        return ERR_NONE;
    }
    if (rc != ERR_NONE) return rc;
    if (!path.empty()) {
        base.push_back(own);
        items->push_back(plan_item{path, base, true, 0});
    }
    const size_t prefix = path.empty() ? 0 : path.size() + 1;
    return ctl_walk(st->s, st->point, path, 0, [&](const std::string& child, const read_entry& e) {
        plan_item it{child, base, (e.flags & READ_ENTRY_FOLDER) != 0, e.size};
        size_t pos = prefix;
        while (pos <= child.size()) {
            size_t end = child.find('/', pos);
            if (end == std::string::npos) end = child.size();
            it.parts.push_back(child.substr(pos, end - pos));
            pos = end + 1;
        }
        items->push_back(std::move(it));
        return true;
    });
}

void restore_one(restore_state* st, plat_restore_dir* dir, const plan_item& it) {
    const restore_options& o = *st->o;
    read_blocks_page v;
    const tfs_result rc = read_block_list(st->s, st->point.run, st->point.at, it.server, &v);
    if (rc != ERR_NONE) {
        failed(st, it.server, std::string("cannot list its blocks: ") + read_err_text(rc));
        return;
    }
    restore_file_opts fo;
    fo.overwrite = o.overwrite;
    fo.dry_run = o.dry_run;
    fo.same_owner = o.same_owner;
    std::string why;
    const restore_outcome out =
        restore_write_file(dir, it.parts.back(), v, ctl_server_source(st->s), st->pool, fo,
                           [st](uint64_t n) { st->bar.tick(n); }, &why);
    switch (out) {
    case RESTORE_WRITTEN:
        st->written++;
        st->bytes += v.size;
        if (!why.empty()) {
            st->bar.clear();
            printf("tavni-ctl: /%s: %s\n", it.server.c_str(), why.c_str());
        }
        break;
    case RESTORE_WHOLE:
        st->whole++;
        st->bar.tick(v.size);
        break;
    case RESTORE_DRY:
        st->written++;
        st->bytes += v.size;
        printf("would restore /%s (%llu bytes) as %s/%s\n", it.server.c_str(),
               static_cast<unsigned long long>(v.size), o.to.c_str(),
               join_parts(it.parts, it.parts.size()).c_str());
        break;
    case RESTORE_FAILED:
        failed(st, it.server, why);
        break;
    }
}

// Restores the planned names in order, holding the folders on the way.
void run_plan(restore_state* st, plat_restore_dir* root, const std::vector<plan_item>& items) {
    // Held folders from --to down to the current one; held[i] is the folder
    // at parts[0..i).
    std::vector<held_dir> held;
    std::vector<std::string> held_parts;
    // A folder that could not be reached or made, named once: what lies
    // below it is left out.
    std::string blocked;
    for (const plan_item& it : items) {
        const std::string below = join_parts(it.parts, it.parts.size());
        if (!blocked.empty() && below.compare(0, blocked.size() + 1, blocked + "/") == 0) continue;
        const size_t depth = it.parts.size() - 1; // folders above it
        size_t keep = 0;
        while (keep < held_parts.size() && keep < depth && held_parts[keep] == it.parts[keep])
            keep++;
        held.resize(keep);
        held_parts.resize(keep);
        bool reached = true;
        while (held.size() < depth) {
            plat_restore_dir* up = held.empty() ? root : held.back().get();
            const std::string& name = it.parts[held.size()];
            plat_restore_dir* d = st->o->dry_run && plat_restore_what(up, name.c_str()) ==
                                                        PLAT_RESTORE_NONE
                                      ? nullptr
                                      : plat_restore_subdir(up, name.c_str());
            if (!d) {
                reached = false;
                break;
            }
            held.emplace_back(d);
            held_parts.push_back(name);
        }
        if (!reached) {
            if (st->o->dry_run) {
                if (!it.folder) {
                    st->written++;
                    st->bytes += it.size;
                    printf("would restore /%s (%llu bytes) as %s/%s\n", it.server.c_str(),
                           static_cast<unsigned long long>(it.size), st->o->to.c_str(),
                           join_parts(it.parts, it.parts.size()).c_str());
                }
                continue;
            }
            blocked = join_parts(it.parts, held.size() + 1);
            const std::string at = st->o->to + "/" + blocked;
            const plat_restore_kind k = plat_restore_what(held.empty() ? root : held.back().get(),
                                                          it.parts[held.size()].c_str());
            // Named by the folder's own server path.
            std::string folder = it.server;
            for (size_t n = it.parts.size(); n > held.size() + 1; n--)
                folder = folder.substr(0, folder.rfind('/'));
            failed(st, folder,
                   k == PLAT_RESTORE_LINK
                       ? at + " is a link, not a folder (a restore never follows one)"
                   : k == PLAT_RESTORE_FILE || k == PLAT_RESTORE_OTHER
                       ? at + " exists and is not a folder"
                       : "cannot make " + at + ": " + last_error_text());
            continue;
        }
        plat_restore_dir* dir = held.empty() ? root : held.back().get();
        if (it.folder) {
            if (st->o->dry_run) continue;
            plat_restore_dir* d = plat_restore_subdir(dir, it.parts.back().c_str());
            if (!d) {
                blocked = below;
                const std::string at = st->o->to + "/" + below;
                const plat_restore_kind k = plat_restore_what(dir, it.parts.back().c_str());
                failed(st, it.server,
                       k == PLAT_RESTORE_LINK
                           ? at + " is a link, not a folder (a restore never follows one)"
                       : k == PLAT_RESTORE_FILE || k == PLAT_RESTORE_OTHER
                           ? at + " exists and is not a folder"
                           : "cannot make " + at + ": " + last_error_text());
                continue;
            }
            plat_restore_dir_close(d);
            continue;
        }
        restore_one(st, dir, it);
    }
}

int do_restore(const restore_options& o) {
    restore_state st;
    st.o = &o;
    st.point.run = o.run;
    if (!o.at.empty()) {
        st.point.at = time_text_parse(o.at);
        if (st.point.at <= 0)
            return ctl_fail("--at '" + o.at +
                            "' is not a time (seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] with an offset such as +0100, or none for UTC)");
    }
    std::vector<std::string> paths;
    for (const std::string& p : o.paths.empty() ? std::vector<std::string>{""} : o.paths) {
        std::string norm;
        if (!ctl_server_path(p, &norm)) return ctl_fail("not a server path: " + p);
        paths.push_back(norm);
    }
    ctl_reader r;
    if (ctl_read_open(o.read, &r) != 0) return 1;
    st.s = r.s;
    std::vector<plan_item> items;
    for (const std::string& p : paths) {
        const tfs_result rc = plan(&st, p, &items);
        if (rc == ERR_BADPATH)
            return ctl_fail("/" + p + (st.point.run || st.point.at ? " did not exist then"
                                                                   : " does not exist"));
        if (rc == ERR_READ_NO_RUN)
            return ctl_fail("no run " + std::to_string(o.run) + " (tavni-ctl snapshots lists them)");
        if (rc != ERR_NONE) return ctl_read_fail("cannot list /" + p, rc);
    }
    // The output folder is the caller's own choice and may be reached
    // through a link; below it, every name is reached from a held folder.
    held_dir root(plat_restore_root(o.to.c_str(), !o.dry_run));
    if (!root && !o.dry_run)
        return ctl_fail("cannot open the output folder " + o.to + ": " + last_error_text());
    std::unique_ptr<decode_pool, void (*)(decode_pool*)> pool(
        decode_pool_new(decode_pool_default_workers(), r.key), decode_pool_free);
    st.pool = pool.get();
    for (const plan_item& it : items) st.bar.total += it.folder ? 0 : it.size;
    st.bar.terminal = plat_stdout_is_terminal() && !o.dry_run;
    st.bar.start = plat_tick_ms();
    if (root) {
        run_plan(&st, root.get(), items);
    } else {
        for (const plan_item& it : items)
            if (!it.folder)
                printf("would restore /%s (%llu bytes) as %s/%s\n", it.server.c_str(),
                       static_cast<unsigned long long>(it.size), o.to.c_str(),
                       join_parts(it.parts, it.parts.size()).c_str());
    }
    st.bar.clear();
    printf("%s %lu files (%llu bytes), %lu already whole, %lu not restored\n",
           o.dry_run ? "would restore" : "restored", st.written,
           static_cast<unsigned long long>(st.bytes), st.whole, st.failed);
    return st.failed ? 2 : 0;
}

} // namespace

void register_restore_command(CLI::App& app) {
    auto o = std::make_shared<restore_options>();
    CLI::App* cmd = app.add_subcommand(
        "restore", "restore files and folders from the server, decrypted on this machine");
    ctl_read_add_options(cmd, &o->read);
    auto* run = cmd->add_option("--run", o->run, "the tree at the end of this run (tavni-ctl snapshots)");
    auto* at = cmd->add_option("--at", o->at,
                               "the tree at this time: seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] [+hhmm] (no offset: UTC)");
    run->excludes(at);
    cmd->add_option("paths", o->paths, "server folders or files (default: everything)");
    cmd->add_option("--to", o->to, "output folder (made when missing)")->required();
    cmd->add_flag("--overwrite", o->overwrite, "replace existing files that differ");
    cmd->add_flag("--dry-run", o->dry_run, "say what would be restored; write nothing");
    cmd->add_flag("--same-owner", o->same_owner,
                  "keep set-user-id and set-group-id bits of files restored to their stored "
                  "owner and group (as root)");
    cmd->footer("Exit codes: 0 every file restored or already whole; 1 nothing restored (options, "
                "log-in, path); 2 some files not restored (each named on standard error).");
    cmd->callback([o] {
        const int rc = do_restore(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
