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

#include "platform/platform.h"
#include "platform/server.h"

#include <CLI/CLI.hpp>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>

namespace {

struct restore_options {
    ctl_read_options read;
    ctl_point_options point;
    std::vector<std::string> paths;
    std::string to;
    bool overwrite = false;
    bool dry_run = false;
    bool same_owner = false;
};

// A held folder stays open while any file below it is being restored.
typedef std::shared_ptr<plat_restore_dir> held_dir;

held_dir hold(plat_restore_dir* d) {
    return d ? held_dir(d, plat_restore_dir_close) : held_dir();
}

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
    ctfs_session* s; // the planning session
    // Guards what follows, and standard output and error, between the file
    // restorers.
    std::mutex mu;
    progress bar;
    unsigned long written = 0, whole = 0, failed = 0;
    uint64_t bytes = 0;
};

// One file restorer: a session and decoders of its own, so that one file's
// round trips to the server overlap the decoding and writing of others. A
// file of one block is decoded on the restorer's thread (a hand-over to
// another would only add a wake-up); the blocks of a longer file on
// threads beside it, while the next ones are fetched. The pools are freed
// with it.
struct file_restorer {
    ctfs_session* s = nullptr;
    decode_pool* one = nullptr;
    decode_pool* many = nullptr;
    file_restorer(ctfs_session* session, const uint8_t* key, uint32_t threads)
        : s(session), one(decode_pool_new(0, key)), many(decode_pool_new(threads, key)) {}
    file_restorer(const file_restorer&) = delete;
    file_restorer& operator=(const file_restorer&) = delete;
    ~file_restorer() {
        decode_pool_free(one);
        decode_pool_free(many);
    }
};

void failed(restore_state* st, const std::string& server, const std::string& why) {
    std::lock_guard<std::mutex> lock(st->mu);
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

void restore_one(restore_state* st, const file_restorer& w, plat_restore_dir* dir,
                 const plan_item& it) {
    const restore_options& o = *st->o;
    read_blocks_page v;
    const tfs_result rc = read_block_list(w.s, st->point.run, st->point.at, it.server, &v);
    if (rc != ERR_NONE) {
        failed(st, it.server, std::string("cannot list its blocks: ") + read_err_text(rc));
        return;
    }
    restore_file_opts fo;
    fo.overwrite = o.overwrite;
    fo.dry_run = o.dry_run;
    fo.same_owner = o.same_owner;
    std::string why;
    const restore_outcome out = restore_write_file(
        dir, it.parts.back(), v, ctl_server_source(w.s),
        v.blocks.size() > 1 ? w.many : w.one, fo,
        [st](uint64_t n) {
            std::lock_guard<std::mutex> lock(st->mu);
            st->bar.tick(n);
        },
        &why);
    if (out == RESTORE_FAILED) {
        failed(st, it.server, why);
        return;
    }
    std::lock_guard<std::mutex> lock(st->mu);
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
        break;
    }
}

// A file for a restorer, with the folder it goes into.
struct file_task {
    held_dir dir;
    const plan_item* item;
};

// The files handed from the walk to the restorers, a bounded number at a
// time; in order, so that files near each other are written near in time.
struct file_queue {
    std::mutex mu;
    std::condition_variable ready, room;
    std::deque<file_task> tasks;
    bool closed = false;
};

enum { FILE_QUEUE_MAX = 256 };

struct restorer_run {
    restore_state* st;
    file_queue* q;
    file_restorer w;
};

int restorer_main(void* arg) {
    restorer_run* r = static_cast<restorer_run*>(arg);
    for (;;) {
        file_task t;
        {
            std::unique_lock<std::mutex> lock(r->q->mu);
            r->q->ready.wait(lock, [r] { return r->q->closed || !r->q->tasks.empty(); });
            if (r->q->tasks.empty()) return 0;
            t = std::move(r->q->tasks.front());
            r->q->tasks.pop_front();
        }
        r->q->room.notify_one();
        restore_one(r->st, r->w, t.dir.get(), *t.item);
    }
}

// Where the walk sends each file: to the restorers' queue, or (without
// restorers) restored at once on the walk's own thread.
struct file_sink {
    file_queue* q = nullptr;
    const file_restorer* inline_restorer = nullptr;

    void put(restore_state* st, const held_dir& dir, const plan_item& it) {
        if (!q) {
            restore_one(st, *inline_restorer, dir.get(), it);
            return;
        }
        std::unique_lock<std::mutex> lock(q->mu);
        q->room.wait(lock, [this] { return q->tasks.size() < FILE_QUEUE_MAX; });
        q->tasks.push_back(file_task{dir, &it});
        q->ready.notify_one();
    }
};

// Restores the planned names in order, holding the folders on the way.
void run_plan(restore_state* st, const held_dir& root, const std::vector<plan_item>& items,
              file_sink* sink) {
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
            plat_restore_dir* up = held.empty() ? root.get() : held.back().get();
            const std::string& name = it.parts[held.size()];
            held_dir d = hold(st->o->dry_run && plat_restore_what(up, name.c_str()) ==
                                                    PLAT_RESTORE_NONE
                                  ? nullptr
                                  : plat_restore_subdir(up, name.c_str()));
            if (!d) {
                reached = false;
                break;
            }
            held.push_back(std::move(d));
            held_parts.push_back(name);
        }
        if (!reached) {
            if (st->o->dry_run) {
                if (!it.folder) {
                    std::lock_guard<std::mutex> lock(st->mu);
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
            const plat_restore_kind k = plat_restore_what(
                held.empty() ? root.get() : held.back().get(), it.parts[held.size()].c_str());
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
        const held_dir& dir_held = held.empty() ? root : held.back();
        plat_restore_dir* dir = dir_held.get();
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
        sink->put(st, dir_held, it);
    }
}

// How many files are restored at once: enough sessions that the server's
// answers and this machine's decoding overlap, within what a server grants
// one address (eight connections by default, and the agent may hold some).
uint32_t restorer_count() {
    const uint32_t cores = plat_cpu_count();
    const uint32_t n = (cores < 1 ? 1 : cores) + 2;
    return n > 6 ? 6 : n;
}

// Restores the planned files with restorers on threads of their own (the
// first on the planning session, the others on sessions opened beside it),
// or, when no thread or session more can be had, on this thread.
void restore_files(restore_state* st, const ctl_reader& r, const held_dir& root,
                   const std::vector<plan_item>& items) {
    const uint32_t decoders = decode_pool_default_workers();
    const uint32_t want = st->o->dry_run ? 1 : restorer_count();
    std::vector<ctfs_session*> sessions{r.s};
    while (sessions.size() < want) {
        ctfs_session* s = ctl_read_open_another(r);
        if (!s) break;
        sessions.push_back(s);
    }
    file_queue q;
    std::vector<std::unique_ptr<restorer_run>> runs;
    std::vector<plat_thread*> threads;
    if (sessions.size() > 1) {
        // Each restorer decodes a long file beside it on one thread: the
        // other restorers keep the remaining cores busy.
        for (ctfs_session* s : sessions) {
            std::unique_ptr<restorer_run> run(
                new restorer_run{st, &q, {s, r.key, decoders ? 1u : 0u}});
            plat_thread* t = plat_thread_start(restorer_main, run.get());
            if (!t) break;
            threads.push_back(t);
            runs.push_back(std::move(run));
        }
    }
    file_sink sink;
    std::unique_ptr<file_restorer> alone;
    if (!threads.empty()) {
        sink.q = &q;
    } else {
        alone.reset(new file_restorer(r.s, r.key, decoders));
        sink.inline_restorer = alone.get();
    }
    run_plan(st, root, items, &sink);
    {
        std::lock_guard<std::mutex> lock(q.mu);
        q.closed = true;
    }
    q.ready.notify_all();
    for (plat_thread* t : threads) {
        while (plat_thread_wait(t, 600000) == PLAT_WAIT_TIMEOUT) {
        }
        plat_thread_close(t);
    }
    runs.clear();
    for (size_t i = 1; i < sessions.size(); i++) ctl_read_close_another(sessions[i]);
}

int do_restore(const restore_options& o) {
    restore_state st;
    st.o = &o;
    if (ctl_point_from(o.point, &st.point) != 0) return 1;
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
            return ctl_fail("no run " + std::to_string(st.point.run) + " (tavni-ctl snapshots lists them)");
        if (rc != ERR_NONE) return ctl_read_fail("cannot list /" + p, rc);
    }
    // The output folder is the caller's own choice and may be reached
    // through a link; below it, every name is reached from a held folder.
    held_dir root = hold(plat_restore_root(o.to.c_str(), !o.dry_run));
    if (!root && !o.dry_run)
        return ctl_fail("cannot open the output folder " + o.to + ": " + last_error_text());
    for (const plan_item& it : items) st.bar.total += it.folder ? 0 : it.size;
    st.bar.terminal = plat_stdout_is_terminal() && !o.dry_run;
    st.bar.start = plat_tick_ms();
    if (root) {
        restore_files(&st, r, root, items);
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
    ctl_point_add_options(cmd, &o->point);
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
