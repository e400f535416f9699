// job.cpp - placeholder job frame until the schedule reader lands.
#include "agent/backup/job.h"

#include "agent/log.h"

#include <atomic>
#include <string>

static std::atomic<bool> g_terminated{false};

bool termination_flag() { return g_terminated.load(); }
void termination_flag_set() { g_terminated.store(true); }

int procjob(const char* schedule_path) {
    std::string log_path = std::string(schedule_path) + ".log";
    if (job_log_open(log_path.c_str()) != 0) agent_log_printf("Could not open log file '%s'\n", schedule_path);
    job_log_printf("Initialized log file '%s.log'\n", schedule_path);
    job_log_close();
    return 0;
}

void __do_backup(const char*) {}
