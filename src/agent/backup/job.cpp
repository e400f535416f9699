// job.cpp - the job frame: job log, privileges, schedule, release.
//
// procjob owns everything job-wide: it opens the job log, enables the backup
// privileges, has the schedule read (which hands the job to __do_backup) and
// releases the parsed schedule on every way out. The job driver's phases
// live in __do_backup.
#include "agent/backup/job.h"

#include "agent/backup/schedule.h"
#include "agent/log.h"
#include "platform/platform.h"

#include <atomic>
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
