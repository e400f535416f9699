// job.cpp - the job frame: job log, privileges, schedule, release.
//
// procjob owns everything job-wide: it opens the job log, enables the backup
// privileges, has the schedule read (which hands the job to __do_backup) and
// releases the parsed schedule on every way out. The job driver's phases
// live in __do_backup.
#include "backup/job.h"

#include "backup/schedule/filter_value.h"
#include "backup/schedule/schedule.h"
#include "common/text.h"
#include "report/report.h"
#include "runtime/log.h"
#include "platform/platform.h"

#include <openssl/sha.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

static std::atomic<bool> g_terminated{false};

bool termination_flag() {
    return g_terminated.load();
}
void termination_flag_set() {
    g_terminated.store(true);
}

namespace {

struct privilege {
    const char* name;
    const char* ok_text;
    const char* fail_text;
};

const privilege job_privileges[] = {
    {"SeBackupPrivilege", "Successfully enabled SE_BACKUP_NAME privilege.\n",
     "Failed to enable SE_BACKUP_NAME privilege.\n"},
    {"SeRestorePrivilege", "Successfully enabled SE_RESTORE_NAME privilege.\n",
     "Failed to enable SE_RESTORE_NAME privilege.\n"},
    {"SeSecurityPrivilege", "Successfully enabled SE_SECURITY_NAME privilege.\n",
     "Failed to enable SE_SECURITY_NAME privilege.\n"},
};

} // namespace

int schedule_read(const char* path) {
    int runs = 0;
    int rc = schedule_load_current(path, &runs);
    if (rc != 0 || !runs) return rc;

    schedule* s = current_schedule();
    s->path = bytes_to_string(path, strlen(path));
    s->schedule_number = schedule_number_from_line(s->last_line);
    s->mail_queue_path = schedule_mail_queue_name(path);
    SHA1(s->account_key, sizeof s->account_key, s->key_digest);
    uint32_t user_id = static_cast<uint32_t>(strtoul(s->values[SCHED_USERID], nullptr, 10));
    report_begin(s->mail_queue_path, s->values[SCHED_NAME], s->recipients, s->schedule_number,
                 user_id, s->key_digest, s->html ? 1 : 0);

    schedule_sort_filters(s->filters);
    for (const void* f = blob_list_first(s->filters); f; f = blob_list_next(s->filters))
        job_log_printf("Got filter: '%s'\n", static_cast<const folder_filter*>(f)->folder);

    job_log_printf("Calling __do_backup()...\n");
    __do_backup(path);
    return SCHEDULE_OK;
}

int procjob(const char* schedule_path) {
    if (!schedule_path) schedule_path = "";
    // A schedule left over from an earlier job is never seen by this one.
    schedule_release_current();
    std::string log_path = std::string(schedule_path) + ".log";
    if (job_log_open(log_path.c_str()) != 0)
        agent_log_printf("Could not open log file '%s'\n", schedule_path);
    job_log_printf("Initialized log file '%s.log'\n", schedule_path);

    // A privilege that cannot be enabled only makes single items fail later.
    for (const privilege& p : job_privileges)
        job_log_printf("%s", plat_enable_privilege(p.name) == 0 ? p.ok_text : p.fail_text);

    int result = schedule_read(schedule_path);

    schedule_release_current();
    job_log_close();
    return result;
}
