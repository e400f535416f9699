// walk.cpp - the walk of a local folder tree and the mirroring of its
// folders on the server.
//
// One call handles one folder: it makes the remote folder, takes the server's
// listing of mirrored folders (the presync list), goes through the local
// listing in its order and, for mirrored folders, deletes from the server the
// entries that no local entry accounted for. A listing that did not run to
// its end deletes nothing: an entry not yet compared may still exist locally.
#include "backup/walk.h"

#include "backup/backup_file.h"
#include "backup/block_pool.h"
#include "backup/filters.h"
#include "backup/job.h"
#include "backup/os_error.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "platform/platform.h"
#include "protocol/find_answer.h"
#include "protocol/remote.h"
#include "protocol/transport.h"
#include "report/report.h"
#include "common/owner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using dir_holder = owner<plat_dir, plat_dir_close>;

// The server's listing of a mirrored folder while the folder is walked.
// Entries that a local entry accounted for are marked, not removed, so that
// the name index stays valid; the sync phase deletes the unmarked ones in
// listing order.
struct presync_list {
    blob_list* entries = nullptr;   // ctfs_find_entry records, owned
    std::vector<int32_t> by_name;   // entry indices sorted by name, then index
    std::vector<uint8_t> accounted; // per entry: a local entry accounted for it

    presync_list() = default;
    presync_list(const presync_list&) = delete;
    presync_list& operator=(const presync_list&) = delete;
    ~presync_list() { blob_list_free(entries); }

    int32_t count() const { return entries ? blob_list_count(entries) : 0; }
    const ctfs_find_entry* at(int32_t i) const {
        return static_cast<const ctfs_find_entry*>(blob_list_get(entries, i));
    }
};

// A server name that a child path can be built from: not empty, no "/", not
// "." or "..", and no zero byte inside its stated length. Other names can
// match no local entry, and deleting "R/" + such a name would reach beyond
// the folder's own entries.
bool usable_server_name(const ctfs_find_entry* e) {
    if (!e || !e->name || e->name_length == 0) return false;
    if (strlen(e->name) != e->name_length) return false;
    if (strchr(e->name, '/')) return false;
    return strcmp(e->name, ".") != 0 && strcmp(e->name, "..") != 0;
}

// Moves the entries of one listing answer into the presync list.
void take_entries(presync_list* p, ctfs_find_request* answer, const char* local) {
    const int32_t n = blob_list_count(answer->entries);
    for (int32_t i = 0; i < n; i++) {
        ctfs_find_entry* e = static_cast<ctfs_find_entry*>(blob_list_get(answer->entries, i));
        if (!usable_server_name(e)) continue;
        const int32_t before = blob_list_count(p->entries);
        if (blob_list_insert(p->entries, e, sizeof *e, before) != before + 1) continue;
        job_log_printf("PRESYNC: Added '%s' to list of files in folder '%s'\n", e->name, local);
        e->name = nullptr; // the copy in the presync list owns it now
    }
}

// Lists the remote folder remote into p. false when there is no presync
// list (the first request failed, or the server listed nothing usable).
// A listing larger than any real folder is refused as a whole (reported as a
// failed item), so that nothing of it is deleted.
bool fetch_presync(backup_context* ctx, const char* local, const char* remote, presync_list* p) {
    ctfs_find_request req{};
    req.cursor = 0;
    req.list_flags = WALK_LIST_FLAGS;
    req.filter = "";
    req.path = remote;
    if (ctfs_find_files(ctx->session, &req) != ERR_NONE || !req.entries) {
        ctfs_find_files_free(&req);
        return false;
    }
    // Room for the announced total; a server that announces more than it
    // sends (or the reverse) only changes how often the list grows.
    const uint32_t further = req.further < 65536u ? req.further : 65536u;
    p->entries =
        blob_list_new(static_cast<int32_t>(req.count + further) + 1, 64, ctfs_find_entry_destroy);
    uint64_t received = req.count;
    bool refused = false;
    take_entries(p, &req, local);
    while (req.further != 0) {
        if (received > ctx->listing_limit) {
            job_log_printf("PRESYNC: ERROR: The server listed more than %u entries for folder "
                           "'%s'; NOT synchronizing it.\n",
                           static_cast<unsigned>(ctx->listing_limit), local);
            report_file_error_code(local, ERR_SEQUENCE);
            refused = true;
            break;
        }
        ctfs_find_request next{};
        next.cursor = req.next_cursor;
        next.list_flags = WALK_LIST_FLAGS;
        next.filter = "";
        next.path = "";
        const tfs_result rc = ctfs_find_files(ctx->session, &next);
        // A failed continuation keeps what arrived: only listed entries are
        // ever deleted. A page without entries ends the paging, so a server
        // that keeps announcing more without sending any cannot hold the walk.
        const bool progress = rc == ERR_NONE && next.entries && next.count > 0;
        if (progress) {
            received += next.count;
            take_entries(p, &next, local);
        }
        req.further = progress ? next.further : 0;
        req.next_cursor = next.next_cursor;
        ctfs_find_files_free(&next);
    }
    ctfs_find_files_free(&req);
    const int32_t n = p->count();
    if (n == 0 || refused) {
        blob_list_free(p->entries);
        p->entries = nullptr;
        return false;
    }
    p->accounted.assign(static_cast<size_t>(n), 0);
    p->by_name.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; i++)
        p->by_name[static_cast<size_t>(i)] = i;
    std::sort(p->by_name.begin(), p->by_name.end(), [p](int32_t a, int32_t b) {
        int c = strcmp(p->at(a)->name, p->at(b)->name);
        return c != 0 ? c < 0 : a < b;
    });
    return true;
}

// The first entry not accounted for whose name equals name exactly, or -1.
int32_t presync_find(const presync_list* p, const char* name) {
    if (!p->entries) return -1;
    auto it = std::lower_bound(
        p->by_name.begin(), p->by_name.end(), name,
        [p](int32_t i, const char* key) { return strcmp(p->at(i)->name, key) < 0; });
    for (; it != p->by_name.end() && strcmp(p->at(*it)->name, name) == 0; ++it)
        if (!p->accounted[static_cast<size_t>(*it)]) return *it;
    return -1;
}

// The server's entry of a mirrored folder's listing is of the other kind than
// the local entry of that name (a file that became a folder, or the reverse):
// the walk deletes it before the new kind goes up.
enum { SERVER_FILE = 0, SERVER_FOLDER = 1 };

bool other_kind(const presync_list* p, int32_t match, bool local_folder) {
    if (match < 0) return false;
    const bool server_folder = p->at(match)->type == SERVER_FOLDER;
    return server_folder != local_folder;
}

// Marks every copy of name as accounted: a server that lists a name twice
// (overlapping pages, or a faulty server) must not have the second copy
// deleted while the local entry exists.
void presync_account(presync_list* p, const char* name) {
    if (!p->entries) return;
    auto it = std::lower_bound(
        p->by_name.begin(), p->by_name.end(), name,
        [p](int32_t i, const char* key) { return strcmp(p->at(i)->name, key) < 0; });
    for (; it != p->by_name.end() && strcmp(p->at(*it)->name, name) == 0; ++it)
        p->accounted[static_cast<size_t>(*it)] = 1;
}

// The path of name in folder local would reach the limit of a local path:
// the walk passes the entry over (and says so).
bool path_too_long(const char* local, const char* name) {
    return strlen(name) + strlen(local) + 2 >= WALK_PATH_LIMIT;
}

// parent, a separator unless parent already ends in one, and name.
std::string join_path(const char* parent, const char* name, char separator) {
    std::string out(parent);
    if (out.empty() || (out.back() != '\\' && out.back() != '/')) out += separator;
    out += name;
    return out;
}

// Deletes the unaccounted entries of p from the remote folder remote.
void sync_phase(backup_context* ctx, const char* local, const char* remote, const presync_list* p,
                bool listing_complete) {
    job_log_printf("SYNC: Synchronizing '%s'\n", local);
    if (!p->entries) return;
    if (!listing_complete) {
        job_log_printf("SYNC: Listing of '%s' did not complete; NOT deleting from server.\n",
                       local);
        return;
    }
    for (int32_t i = 0; i < p->count(); i++) {
        if (p->accounted[static_cast<size_t>(i)]) continue;
        char path[WALK_PATH_LIMIT];
        int n = snprintf(path, sizeof path, "%s/%s", remote, p->at(i)->name);
        if (n < 1 || n > WALK_PATH_LIMIT - 1) {
            job_log_printf("SYNC FILE: '%s' is gone; NOT deleting from server.\n", path);
            continue;
        }
        job_log_printf("SYNC OBJECT: '%s' is gone; deleting from server.\n", path);
        backup_index_disown(ctx); // the previous index may still list it
        ctfs_path_request as_file{0, path};
        ctfs_delete(ctx->session, &as_file, nullptr);
        ctfs_path_request as_folder{1, path};
        ctfs_delete(ctx->session, &as_folder, nullptr);
    }
}

// The entries of a folder's listing read ahead of the walk, so that the files
// among them that are to be sent can be named to the block pool before their
// turn. Naming stops at a subfolder: its files come first.
struct listing_ahead {
    enum { MAX_ENTRIES = 64 };
    backup_context* ctx = nullptr;
    plat_dir* dir = nullptr;
    const char* local = nullptr;
    const folder_filter* filter = nullptr;
    const presync_list* presync = nullptr;
    std::deque<plat_file_info> entries; // read, not yet walked
    size_t considered = 0;              // of them, from the front, for naming
    bool ended = false;                 // the listing gave its last entry
    bool complete = false;              // ... and ran to its end
};

// The next entry for the walk: read ahead, or from the listing. 0, or -1 at
// the end of the listing, with *complete telling whether it ran to its end.
int next_entry(listing_ahead* a, plat_file_info* out, bool* complete) {
    if (!a->entries.empty()) {
        *out = a->entries.front();
        a->entries.pop_front();
        if (a->considered > 0) a->considered--;
        return 0;
    }
    if (a->ended) {
        *complete = a->complete;
        return -1;
    }
    if (plat_dir_next(a->dir, out) == 0) return 0;
    // The end of the listing leaves last error 0; anything else cut the
    // listing short.
    *complete = plat_last_error() == 0;
    return -1;
}

// A listed entry that the walk goes into: a folder that is not a link and
// whose status could be read.
bool walked_subfolder(const plat_file_info& e) {
    return (e.attributes & PLAT_ATTR_DIRECTORY) && !(e.attributes & PLAT_ATTR_REPARSE) &&
           e.status_error == 0 && strcmp(e.name, ".") != 0 && strcmp(e.name, "..") != 0;
}

// A listed file the walk will hand to backup_file and that backup_file will
// send: the checks of the walk's entry loop and of backup_file, read only.
// *child receives the file's path once it is built.
bool will_send(const listing_ahead* a, const plat_file_info& e, std::string* child) {
    if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) return false;
    if (path_too_long(a->local, e.name)) return false;
    if (e.status_error != 0 || (e.attributes & (PLAT_ATTR_REPARSE | PLAT_ATTR_DIRECTORY)))
        return false;
    *child = join_path(a->local, e.name, path_separator(a->ctx->style));
    if (is_excluded_source(a->ctx->excluded, child->c_str(), a->ctx->style)) return false;
    const int32_t match = presync_find(a->presync, e.name);
    if (other_kind(a->presync, match, false)) return false; // its folder is deleted first
    if (match >= 0 && walk_entry_current(a->presync->at(match)->mtime, a->presync->at(match)->size,
                                         e.mtime, e.size))
        return false;
    return backup_file_would_send(a->ctx, child->c_str(), &e, a->filter);
}

// Names the next file of the listing that is to be sent; false when there is
// none before the next subfolder, the end of the listing or the read-ahead
// limit.
bool name_next(void* walk) {
    listing_ahead* a = static_cast<listing_ahead*>(walk);
    for (;;) {
        if (a->considered < a->entries.size()) {
            const plat_file_info& e = a->entries[a->considered];
            if (walked_subfolder(e)) return false; // a subfolder: its files are sent first
            a->considered++;
            std::string child;
            if (!will_send(a, e, &child)) continue;
            block_pool_name_file(a->ctx->pool, child.c_str(),
                                 e.size > 0 ? static_cast<uint64_t>(e.size) : 0);
            return true;
        }
        if (a->ended || a->entries.size() >= listing_ahead::MAX_ENTRIES) return false;
        plat_file_info next;
        if (plat_dir_next(a->dir, &next) != 0) {
            a->ended = true;
            a->complete = plat_last_error() == 0;
            return false;
        }
        a->entries.push_back(next);
    }
}

// Makes a folder's read-ahead the one the block pool names files from, and
// gives the parent folder's back when the folder is done.
struct naming_scope {
    backup_context* ctx;
    bool (*saved_fn)(void*);
    void* saved_walk;
    naming_scope(backup_context* c, listing_ahead* a)
        : ctx(c), saved_fn(c->name_next), saved_walk(c->walk) {
        if (c->pool) {
            c->name_next = name_next;
            c->walk = a;
        }
    }
    ~naming_scope() {
        ctx->name_next = saved_fn;
        ctx->walk = saved_walk;
    }
    naming_scope(const naming_scope&) = delete;
    naming_scope& operator=(const naming_scope&) = delete;
};

using ahead_holder = owner<plat_dir_ahead, plat_dir_ahead_close>;

// A listing read ahead is used only when its read began at most this long
// before the walk would have listed the folder itself: the folders of an
// unchanged tree follow each other within milliseconds, while one that waited
// behind a long upload is listed afresh.
const uint32_t WALK_AHEAD_MAX_AGE_MS = 500;

// Starts reading the listing of the next subfolder of the folder walked by a
// (the one after the entry just taken from it), so that the system's status
// reads of its entries run while the walk goes through the current one. Null
// when no subfolder follows or it will not be walked.
plat_dir_ahead* read_next_folder_ahead(const listing_ahead* a) {
    plat_file_info next;
    bool found = false;
    for (const plat_file_info& e : a->entries) {
        if (walked_subfolder(e)) {
            next = e;
            found = true;
            break;
        }
    }
    if (!found && (a->ended || !a->dir || !plat_dir_peek_folder(a->dir, &next))) return nullptr;
    if (path_too_long(a->local, next.name)) return nullptr;
    const std::string child = join_path(a->local, next.name, path_separator(a->ctx->style));
    // The walk passes these folders over without listing them.
    if (is_builtin_exclusion(child.c_str(), true) ||
        is_excluded_source(a->ctx->excluded, child.c_str(), a->ctx->style))
        return nullptr;
    return plat_dir_read_ahead(child.c_str());
}

// The walk of one folder; listed_ahead, when not null, may hold its listing.
// replaced: the server's file of that name was just deleted, so the folder
// is made whatever the change index says.
int walk_listed(backup_context* ctx, const char* local, const char* remote,
                const folder_filter* filter, plat_dir_ahead* listed_ahead, bool replaced);

} // namespace

bool walk_entry_current(uint32_t server_mtime, uint64_t server_size, int64_t local_mtime,
                        int64_t local_size) {
    if (local_size < 0 || static_cast<uint64_t>(local_size) != server_size) return false;
    const int64_t local32 = static_cast<uint32_t>(local_mtime);
    const int64_t diff = static_cast<int64_t>(server_mtime) - local32;
    return diff == 0 || diff == WALK_HOUR || diff == -WALK_HOUR;
}

int walk_folder(backup_context* ctx, const char* local, const char* remote,
                const folder_filter* filter) {
    return walk_listed(ctx, local, remote, filter, nullptr, false);
}

namespace {

// Makes the server's folder. An answer lost with the connection is asked for
// again on a new one, as often as a file is retried: making a folder that
// exists is no error, and one lost answer must not cost the folder's whole
// contents. The connection is dropped first, so that the next request
// reconnects even when the server is only slow to answer.
tfs_result make_remote_folder(backup_context* ctx, const char* local, const char* remote) {
    ctfs_path_request mk{0, remote};
    tfs_result rc = ctfs_mkdir(ctx->session, &mk);
    for (int attempts = 1; (rc == ERR_SCKREAD || rc == ERR_SCKWRITE) &&
                           attempts < BACKUP_MAX_ATTEMPTS && !termination_flag();
         attempts++) {
        job_log_printf("DIRECTORY: WARNING: The connection to the server was lost while making "
                       "'%s'; retrying (%d of %d attempts)\n",
                       local, attempts, static_cast<int>(BACKUP_MAX_ATTEMPTS));
        ctfs_drop_connection(ctx->session);
        rc = ctfs_mkdir(ctx->session, &mk);
    }
    return rc;
}

void delete_other_kind(backup_context* ctx, const char* remote, bool local_folder) {
    job_log_printf(local_folder
                       ? "SYNC OBJECT: '%s' is a folder now; deleting the file from server.\n"
                       : "SYNC OBJECT: '%s' is a file now; deleting the folder from server.\n",
                   remote);
    backup_index_disown(ctx); // the previous index may still list it
    ctfs_path_request del{static_cast<uint8_t>(local_folder ? SERVER_FILE : SERVER_FOLDER), remote};
    ctfs_delete(ctx->session, &del, nullptr);
}

int walk_listed(backup_context* ctx, const char* local, const char* remote,
                const folder_filter* filter, plat_dir_ahead* listed_ahead, bool replaced) {
    if (termination_flag() || is_builtin_exclusion(local, true)) return 0;
    const path_style style = ctx->style;
    if (filter) {
        if (path_at_or_below(filter->folder, local, style) != 2 &&
            has_folder_filter(ctx->filters, local, style)) {
            job_log_printf("Ignoring: '%s' (filter)\n", local);
            return 0;
        }
    } else if (has_folder_filter(ctx->filters, local, style)) {
        return 0;
    }

    plat_file_info entry;
    dir_holder listing(plat_dir_open_ahead(listed_ahead, local, &entry, WALK_AHEAD_MAX_AGE_MS));
    if (!listing) {
        const int code = plat_last_error();
        if (plat_error_is_access_denied(code)) {
            // A failed item, with its line as every failed item has.
            job_log_printf("DIRECTORY: ERROR (errno %d) while attempting to open: '%s'\n", EACCES,
                           local);
            report_file_error_errno(local, EACCES);
            return 0;
        }
        plat_set_last_error(code);
        return 1;
    }
    // The folder's own "." entry carries its attributes; a root listing has
    // none, and its first entry is then handled as any other.
    if (strcmp(entry.name, ".") == 0 && (entry.attributes & PLAT_ATTR_REPARSE)) {
        job_log_printf("Ignoring '%s' as it is a reparse point.\n", local);
        return 0;
    }

    if ((replaced || !backup_index_lookup(ctx, local, 0, 0)) && !filter) {
        const tfs_result rc = make_remote_folder(ctx, local, remote);
        if (rc != ERR_NONE && rc != ERR_EXISTS) {
            job_log_printf("DIRECTORY: ERROR: Server side failure from ctfs_mkdir() with error "
                           "code %d on '%s'\n",
                           rc, local);
            if (rc == ERR_NOTDIR)
                job_log_printf("DIRECTORY: The server holds a file at '%s'; only a mirrored "
                               "folder replaces it with the folder.\n",
                               remote);
            report_file_error_code(remote, rc);
            return 0;
        }
    }
    backup_index_add(ctx, local, 0, 0);

    const bool mirrored = is_sync_folder(ctx->sync, local, style);
    presync_list presync;
    if (!filter && mirrored) fetch_presync(ctx, local, remote, &presync);

    const char separator = path_separator(style);
    bool complete = false;
    listing_ahead ahead;
    ahead.ctx = ctx;
    ahead.dir = listing.get();
    ahead.local = local;
    ahead.filter = filter;
    ahead.presync = &presync;
    naming_scope naming(ctx, &ahead);
    ahead_holder next_folder; // the listing of the next subfolder, read ahead
    for (;;) {
        const char* name = entry.name;
        bool stop = false;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            // nothing to do
        } else if (path_too_long(local, name)) {
            // Passed over, but it exists: a failed item whose server copy
            // stays (a folder with everything below it).
            const std::string child = join_path(local, name, separator);
            job_log_printf("ITEM: ERROR: path of '%s' is too long (%u characters, at most %d); "
                           "skipping.\n",
                           child.c_str(), static_cast<unsigned>(child.size()),
                           static_cast<int>(WALK_PATH_LIMIT) - 2);
            report_file_error_errno(child.c_str(), ENAMETOOLONG);
            presync_account(&presync, name);
        } else {
            const std::string child = join_path(local, name, separator);
            const int32_t match = presync_find(&presync, name);
            if (is_excluded_source(ctx->excluded, child.c_str(), style)) {
                presync_account(&presync, name);
            } else if (entry.status_error != 0) {
                // It exists but cannot be looked at: a failed item whose
                // server copy stays.
                plat_set_last_error(entry.status_error);
                errno_from_last_error();
                const int e = errno;
                job_log_printf("ITEM: ERROR (errno %d) while attempting to stat(): '%s'\n", e,
                               child.c_str());
                report_file_error_errno(child.c_str(), e);
                presync_account(&presync, name);
            } else if (entry.attributes & PLAT_ATTR_REPARSE) {
                // Its server copy stays in the list: the sync phase removes it.
                job_log_printf("Ignoring '%s' as it is a reparse point.\n", child.c_str());
            } else {
                const std::string remote_child = join_path(remote, name, '/');
                if (entry.attributes & PLAT_ATTR_DIRECTORY) {
                    const ahead_holder listed(next_folder.release());
                    next_folder.reset(read_next_folder_ahead(&ahead));
                    const bool replaced = other_kind(&presync, match, true);
                    if (replaced) delete_other_kind(ctx, remote_child.c_str(), true);
                    if (walk_listed(ctx, child.c_str(), remote_child.c_str(), filter, listed.get(),
                                    replaced) == 1) {
                        const int code = plat_last_error();
                        const int before = errno;
                        errno_from_last_error();
                        const int after = errno;
                        job_log_printf("DIRECTORY: ERROR (errno %d or %d or %d) while attempting "
                                       "to open: '%s'\n",
                                       code, before, after, child.c_str());
                        report_file_error_errno(child.c_str(), after);
                    }
                    presync_account(&presync, name);
                } else {
                    // The listing entry carries the file's status (size,
                    // times, attributes) as read while listing, so no second
                    // status call per file; a file that changes afterwards is
                    // caught when the file backup opens and reads it.
                    const plat_file_info& status = entry;
                    const bool replaced = other_kind(&presync, match, false);
                    const bool current =
                        match >= 0 && !replaced &&
                        walk_entry_current(presync.at(match)->mtime, presync.at(match)->size,
                                           status.mtime, status.size);
                    if (current) {
                        keepalive_bump();
                        report_up_to_date();
                        progress_begin_item(remote, static_cast<uint64_t>(status.size));
                        progress_end_item(PROGRESS_END_CURRENT);
                        backup_index_add(ctx, child.c_str(), status.mtime, status.size);
                        presync_account(&presync, name);
                    } else if (terminate_requested_paced()) {
                        job_log_printf("User terminated backup.\n");
                        termination_flag_set();
                        stop = true;
                    } else if (replaced) {
                        delete_other_kind(ctx, remote_child.c_str(), false);
                        backup_file_anew(ctx, child.c_str(), remote_child.c_str(), &status, filter);
                        presync_account(&presync, name);
                    } else {
                        backup_file(ctx, child.c_str(), remote_child.c_str(), &status, filter);
                        presync_account(&presync, name);
                    }
                }
            }
        }
        if (stop || termination_flag()) break;
        if (next_entry(&ahead, &entry, &complete) != 0) break;
    }
    // Nothing more is named from a listing that is closed.
    ahead.dir = nullptr;
    ahead.ended = true;
    listing.reset();

    if (mirrored) sync_phase(ctx, local, remote, &presync, complete);
    return 0;
}

} // namespace
