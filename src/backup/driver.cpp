// driver.cpp - the job driver: one job's phases in their fixed order.
//
// Pre-backup command, counting of the selection, server session and user
// lock, the change-index decision, the backup of every source and every
// filtered folder, report, lock release, the schedule digest and the
// post-backup command. The job's outcome reaches the user through the
// report, the job log and the progress area; nothing is returned.
#include "backup/job.h"

#include "backup/backup_context.h"
#include "backup/backup_file.h"
#include "backup/command.h"
#include "backup/fci/fci.h"
#include "backup/filters.h"
#include "backup/cluster.h"
#include "backup/folder_scan.h"
#include "backup/os_error.h"
#include "backup/schedule/schedule.h"
#include "backup/server_names.h"
#include "backup/ts_file.h"
#include "backup/walk.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "backup/host_id.h"
#include "common/text.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/pins.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "report/report.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

enum { REMOTE_PATH_SIZE = 1024, USER_LOCK_RETRIES = 12, USER_LOCK_PAUSE_SECONDS = 5 };

const char k_terminated_text[] =
    "The backup started but did not complete because it was terminated by the user.";

// What one scan of a folder adds to the totals.
struct scan_totals {
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t size = 0;
    uint64_t size_on_disk = 0;
};

struct count_context {
    const schedule* sc;
    const folder_filter* filter; // the filter callback's own filter
    scan_totals totals;
};

bool passed_over(const schedule* sc, const char* path) {
    return is_excluded_source(sc->excluded, path) || has_folder_filter(sc->filters, path);
}

void add_entry(scan_totals& t, const scan_entry* e, bool folder) {
    if (folder)
        t.directories++;
    else
        t.files++;
    t.size += static_cast<uint64_t>(e->size);
    t.size_on_disk += static_cast<uint64_t>(e->size_on_disk);
}

bool entry_is_folder(const scan_entry* e) {
    return (e->mode & 0170000) == 0040000;
}

int count_source_entry(const scan_entry* e, void* user) {
    keepalive_bump();
    count_context* c = static_cast<count_context*>(user);
    if (passed_over(c->sc, e->path)) return SCAN_SKIP_FOLDER;
    add_entry(c->totals, e, entry_is_folder(e));
    return SCAN_GO_ON;
}

int count_filter_entry(const scan_entry* e, void* user) {
    keepalive_bump();
    count_context* c = static_cast<count_context*>(user);
    if (passed_over(c->sc, e->path)) return SCAN_SKIP_FOLDER;
    const bool folder = entry_is_folder(e);
    if (!folder && filter_skips_file(c->sc->filters, c->filter, e->path)) return SCAN_SKIP_FOLDER;
    add_entry(c->totals, e, folder);
    return SCAN_GO_ON;
}

scan_totals scan_counting(const schedule* sc, const char* folder, const folder_filter* filter) {
    count_context c{sc, filter, {}};
    scan_options o{SCAN_DESCEND | SCAN_FOLDERS_FIRST, nullptr,
                   filter ? count_filter_entry : count_source_entry, &c};
    scan_folder(folder, &o);
    return c.totals;
}

// The job's selection, counted before the session starts.
struct job_totals {
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t size = 0;
    uint64_t size_on_disk = 0;
    uint64_t missing = 0;
    uint64_t excluded = 0;
};

void add_scan(job_totals& t, const scan_totals& s) {
    t.files += s.files;
    t.directories += s.directories;
    t.size += s.size;
    t.size_on_disk += s.size_on_disk;
}

// Reads the status of a source or filtered folder; a bare share root gets its
// trailing separator first.
int item_status(const char* path, plat_file_info* info) {
    std::string completed = share_root_complete(path, native_path_style());
    return plat_file_status(completed.c_str(), info);
}

bool is_reparse(const plat_file_info& info) {
    return (info.attributes & PLAT_ATTR_REPARSE) != 0;
}
bool is_folder(const plat_file_info& info) {
    return (info.attributes & PLAT_ATTR_DIRECTORY) != 0;
}

job_totals count_selection(const schedule* sc) {
    job_totals t;
    for (int32_t i = 0; i < blob_list_count(sc->sources); i++) {
        const char* src = static_cast<const char*>(blob_list_get(sc->sources, i));
        keepalive_bump();
        if (passed_over(sc, src)) {
            t.excluded++;
            continue;
        }
        plat_file_info info;
        if (item_status(src, &info) != 0) {
            t.missing++;
            t.files++;
            continue;
        }
        if (is_reparse(info)) {
            job_log_printf("FILE: Ignoring '%s' because it is a reparse point.\n", src);
            continue;
        }
        if (is_folder(info)) {
            job_log_printf("Processing top-level directory: '%s'\n", src);
            scan_totals s = scan_counting(sc, src, nullptr);
            add_scan(t, s);
            t.directories++; // the folder itself
            job_log_printf("Number of files in this directory: %u\n",
                           static_cast<unsigned>(s.files));
            job_log_printf("Number of directories in this directory: %u\n",
                           static_cast<unsigned>(s.directories));
            job_log_printf("Size of files this directory: %llu bytes\n",
                           static_cast<unsigned long long>(s.size));
            job_log_printf("Size (on disk) of files in this directory: %llu bytes\n",
                           static_cast<unsigned long long>(s.size_on_disk));
        } else {
            t.size += static_cast<uint64_t>(info.size);
            t.size_on_disk += static_cast<uint64_t>(size_on_disk(info.size, cluster_size(src)));
            t.files++;
        }
    }
    for (int32_t i = 0; i < blob_list_count(sc->filters); i++) {
        const folder_filter* f = static_cast<const folder_filter*>(blob_list_get(sc->filters, i));
        keepalive_bump();
        plat_file_info info;
        if (item_status(f->folder, &info) != 0) {
            t.missing++;
            t.files++;
            continue;
        }
        if (is_reparse(info)) {
            job_log_printf("FILE: Ignoring '%s' because it is a reparse point.\n", f->folder);
            continue;
        }
        if (is_folder(info)) add_scan(t, scan_counting(sc, f->folder, f));
    }
    job_log_printf("Total number of files: %llu\n", static_cast<unsigned long long>(t.files));
    job_log_printf("Total number of directories: %llu\n",
                   static_cast<unsigned long long>(t.directories));
    job_log_printf("Total size of files: %llu bytes\n", static_cast<unsigned long long>(t.size));
    job_log_printf("Total size (on disk) of files: %llu bytes\n",
                   static_cast<unsigned long long>(t.size_on_disk));
    job_log_printf("Total number of missing items: %d\n",
                   static_cast<int>(static_cast<uint32_t>(t.missing)));
    job_log_printf("Total number of excluded items: %d\n",
                   static_cast<int>(static_cast<uint32_t>(t.excluded)));
    return t;
}

// The terminate event as the protocol client's waits ask it: a stop seen
// there ends the job as one seen between files does.
bool job_stop_check() {
    if (!terminate_requested()) return false;
    job_log_printf("User terminated the backup.\n");
    termination_flag_set();
    return true;
}

// The schedule file's name after its last separator.
const char* schedule_file_name(const char* path) {
    const char* cut = strrchr(path, path_separator(native_path_style()));
    return cut ? cut + 1 : path;
}

void fill_session(ctfs_session* s, const schedule* sc, const char* schedule_path) {
    ctfs_session_init(s);
    s->user_id = static_cast<uint32_t>(strtoul(schedule_value(sc, SCHED_USERID), nullptr, 10));
    s->auth_mode = AUTH_MODE_AGENT;
    host_id_compute(s->host_id);
    copy_bounded(s->primary_list, sizeof s->primary_list, "etc/hosts");
    ctfs_pin_file_for(s->primary_list, s->pin_file, sizeof s->pin_file);
    s->pin_at_login = true;
    s->cipher_mode = 3;
    memcpy(s->key_digest, sc->key_digest, sizeof s->key_digest);
    copy_bounded(s->job_name, sizeof s->job_name, schedule_value(sc, SCHED_NAME));
    copy_bounded(s->schedule_name, sizeof s->schedule_name, schedule_file_name(schedule_path));
}

// Takes the user lock, retrying while another session holds it. 0 when the
// lock is held; otherwise the failure has been logged and reported.
int take_user_lock(ctfs_session* s, uint32_t dest_number) {
    ctfs_lock_request lock{0, 1, &dest_number};
    tfs_result r = ctfs_user_lock(s, &lock);
    for (int left = USER_LOCK_RETRIES; r == ERR_ACCESS && left > 0; left--) {
        job_log_printf("Could not obtain user lock (user already logged in?); Sleeping %d seconds "
                       "and trying %d "
                       "more times...\n",
                       USER_LOCK_PAUSE_SECONDS, left);
        if (!ctfs_pause(s, timing_get().user_lock_sleep_ms)) break;
        r = ctfs_user_lock(s, &lock);
    }
    if (termination_flag()) {
        // The user's stop ended a wait of the log-in or of the lock.
        job_log_printf("Backup stopped by the user before the user lock was obtained.\n");
        report_fail_text(k_terminated_text);
        return -1;
    }
    if (r == ERR_ACCESS) {
        job_log_printf("Maximum number of attempts to obtain user lock exhausted; aborting.\n");
        report_session(s);
        report_fail_code(ERR_ACCESS);
        return -1;
    }
    if (r != ERR_NONE) {
        job_log_printf("Unable to start user session (Error %d); aborting.\n", r);
        if (s->identity_changed) {
            // Nothing was sent to that server: the report says why.
            std::string why = std::string("The backup server's identity changed: ") +
                              s->identity_server +
                              " presented another key than the one this computer trusts for "
                              "it, so nothing was sent to it. If its key was changed on "
                              "purpose, run tavni-ctl trust-server " +
                              s->identity_server + ".";
            report_fail_text(why.c_str());
        } else {
            report_fail_code(r);
        }
        return -1;
    }
    report_session(s);
    job_log_printf("User lock obtained; Ready to begin.\n");
    return 0;
}

// Backs up one source or filtered folder below the destination. taken: the
// server names of the items before it in this job.
void backup_item(backup_context* ctx, const schedule* sc, const std::string& dest,
                 const char* local, const folder_filter* filter,
                 std::vector<server_name_use>* taken) {
    keepalive_bump();
    const path_style style = native_path_style();
    const bool mirror = mirror_setting(schedule_value(sc, SCHED_MIRROR));
    std::string name;
    if (server_name_form(local, mirror, style, &name) != 0) return; // no server form: skipped
    // A name another item of this job holds: nothing of this one is sent or
    // deleted, or the two would be mixed in one server folder.
    const char* holder = is_excluded_source(sc->excluded, local)
                             ? nullptr
                             : server_name_claim(taken, name, local, style);
    if (holder) {
        job_log_printf("ITEM: ERROR: '%s' would be stored on the server as '%s%s', which '%s' "
                       "uses already in this job; skipping.\n",
                       local, dest.c_str(), name.c_str(), holder);
        const std::string why = "its server name '" + name + "' is used by '" + holder +
                                "' in this job (two items with the same last name need "
                                "mirror=1)";
        report_file_error_text(local, why.c_str());
        return;
    }
    if (mirror) {
        for (const std::string& parent : server_parent_folders(dest, name)) {
            ctfs_path_request mk{0, parent.c_str()};
            safe_mkdir(ctx->session, &mk);
        }
    }
    const std::string remote = dest + name;
    if (is_excluded_source(sc->excluded, local)) return;
    if (remote.size() >= REMOTE_PATH_SIZE) {
        // The remote path would not fit the server's path buffer: fail the
        // item rather than store it under a cut name.
        job_log_printf(
            "ITEM: ERROR: server path of '%s' is %u characters long (at most %d); skipping.\n",
            local, static_cast<unsigned>(remote.size()), REMOTE_PATH_SIZE - 1);
        report_file_error_errno(local, ENAMETOOLONG);
        return;
    }

    plat_file_info info;
    if (item_status(local, &info) != 0) {
        errno_from_last_error();
        const int e = errno;
        job_log_printf("ITEM: ERROR (errno %d) while attempting to stat(): '%s'\n", e, local);
        if (e == ENOENT) job_log_printf("Previous error indicates the file was not found.\n");
        if (e == EINVAL)
            job_log_printf("Previous error indicates invalid parameter. Check for invalid file "
                           "time stamps!\n");
        report_file_error_errno(local, e);
        return;
    }
    if (is_reparse(info)) {
        job_log_printf("FILE: Ignoring '%s' because it is a reparse point.\n", local);
        return;
    }
    if (is_folder(info)) {
        if (walk_folder(ctx, local, remote.c_str(), filter) == 1) {
            errno_from_last_error();
            const int e = errno;
            job_log_printf("DIRECTORY: ERROR (errno %d) while attempting to open: '%s'\n", e,
                           local);
            report_file_error_errno(local, e);
        }
        return;
    }
    backup_file(ctx, local, remote.c_str(), &info, filter);
}

// The protocol client's waits ask for the user's stop while the job talks
// to the server.
struct stop_check_holder {
    stop_check_holder() { ctfs_set_stop_check(job_stop_check); }
    ~stop_check_holder() { ctfs_set_stop_check(nullptr); }
};

// RAII for the job's session and change index: closed on every way out.
struct session_holder {
    std::unique_ptr<ctfs_session> s{new ctfs_session()};
    ~session_holder() { ctfs_session_close(s.get()); }
};

struct fci_holder {
    fci index{};
    bool opened = false;
    ~fci_holder() {
        if (opened) fci_release(&index);
    }
};

struct context_holder {
    backup_context ctx{};
    context_holder() { backup_context_init(&ctx); }
    ~context_holder() { backup_context_release(&ctx); }
};

} // namespace

void __do_backup(const char* schedule_path) {
    schedule* sc = current_schedule();
    if (!sc) return;
    progress_set_job_name(schedule_value(sc, SCHED_NAME));

    int command_fatal = 0;
    const char* precmd = schedule_value(sc, SCHED_PRECMD);
    if (precmd && *precmd &&
        command_run(COMMAND_PRE_BACKUP, precmd,
                    command_fatal_setting(schedule_value(sc, SCHED_FATALPRECMD)),
                    schedule_value(sc, SCHED_CMDTIMEOUT), &command_fatal) == COMMAND_JOB_ENDS)
        return;

    job_log_printf("Calculating...\n");
    progress_begin_item("", 0);
    progress_set_status("Calculating...");
    const job_totals totals = count_selection(sc);

    progress_set_status("Synchronizing...");
    stop_check_holder stop_check;
    session_holder session;
    ctfs_session* s = session.s.get();
    fill_session(s, sc, schedule_path);
    progress_set_total(totals.size);
    const char* dest_value = schedule_value(sc, SCHED_DEST);
    const uint32_t dest_number =
        static_cast<uint32_t>(strtoul(dest_value[0] ? dest_value + 1 : dest_value, nullptr, 10));
    ctfs_set_recovery(dest_number, true);
    if (take_user_lock(s, dest_number) != 0) return;

    // The change index is trusted only for an unchanged schedule and the
    // stamp the server handed back at log-in.
    if (ts_file_check(schedule_path) == TS_DIFFERENT) s->fci_stamp = 0;
    fci_holder index;
    index.opened = true;
    if (fci_open(&index.index, schedule_path, static_cast<int32_t>(s->fci_stamp)) == 0) {
        job_log_printf("Using FCI cache.\n");
        ctfs_lock_request announce{TFS_LOCK_FCI | TFS_LOCK_FCI_FIRST, 1, &dest_number};
        ctfs_user_lock(s, &announce);
        s->fci_started = 1;
        ctfs_set_recovery(dest_number, false);
    } else {
        job_log_printf("Not using FCI cache.\n");
    }

    report_counting(totals.files, totals.size, dest_value);
    progress_set_status("Backing up...");
    job_log_printf("Starting backup of files...\n");
    progress_set_start_tick(plat_tick_ms());

    std::string dest = dest_value;
    {
        ctfs_path_request mk{0, dest.c_str()};
        safe_mkdir(s, &mk);
    }
    if (dest.empty() || dest.back() != '/') dest += '/';

    context_holder context;
    backup_context* ctx = &context.ctx;
    ctx->session = s;
    ctx->index = &index.index;
    ctx->excluded = sc->excluded;
    ctx->sync = sc->sync;
    ctx->filters = sc->filters;
    ctx->account_key = sc->account_key;
    backup_context_start_pool(ctx);
    std::vector<server_name_use> taken;
    for (int32_t i = 0; i < blob_list_count(sc->sources); i++)
        backup_item(ctx, sc, dest, static_cast<const char*>(blob_list_get(sc->sources, i)), nullptr,
                    &taken);
    for (int32_t i = 0; i < blob_list_count(sc->filters); i++) {
        const folder_filter* f = static_cast<const folder_filter*>(blob_list_get(sc->filters, i));
        backup_item(ctx, sc, dest, f->folder, f, &taken);
    }

    // Files a broken connection may have lost are sent again before the
    // report counts them.
    backup_confirm_closes(ctx);
    // The report (and its e-mail, handed to the server) goes while the lock
    // is held; it cannot know the release's answer. After the release nothing
    // more is sent.
    const uint64_t sent = report_record()->files_transferred;
    if (termination_flag())
        report_fail_text(k_terminated_text);
    else
        report_success(0);
    job_log_printf("Backup of files complete.\n");
    const uint32_t stamp = static_cast<uint32_t>(time(nullptr));
    s->fci_stamp = stamp;
    // The next index names every file sent whose close was not lost with a
    // connection; the closes still unconfirmed are confirmed by the release's
    // answer. A job ended before the release leaves an index whose stamp the
    // server never took.
    backup_settle_closes(ctx);
    fci_finish(&index.index, static_cast<int32_t>(stamp));
    ctfs_lock_request release{TFS_LOCK_RELEASE | TFS_LOCK_STAMP, 0, nullptr};
    const tfs_result released = ctfs_user_lock(s, &release);
    const bool closes_confirmed = backup_release_confirms(ctx);
    // A refused release (the server could not store a file of the job) or
    // one that did not confirm the last closes: the new index must not vouch
    // for them, whatever stamp the server kept.
    if (released != ERR_NONE || !closes_confirmed) fci_withdraw(&index.index);
    if (released != ERR_NONE && sent > 0)
        job_log_printf("The server did not confirm that the files sent by this backup are stored "
                       "(Error %d); the next backup checks them again.\n",
                       released);
    ctfs_session_close(s);
    job_log_printf("Logged out user.\n");

    if (ts_file_write(schedule_path) == 0) job_log_printf("Rewrote MD5.\n");

    if (termination_flag()) return;
    const char* postcmd = schedule_value(sc, SCHED_POSTCMD);
    if (postcmd && *postcmd)
        command_run(COMMAND_POST_BACKUP, postcmd,
                    command_fatal_setting(schedule_value(sc, SCHED_FATALPOSTCMD)),
                    schedule_value(sc, SCHED_CMDTIMEOUT), &command_fatal);
    if (!command_fatal) job_log_printf("Backup job completed normally.\n");
}
