// job.h - one job: the job frame (procjob) and the job driver (__do_backup).
#pragma once

// Runs one job from its schedule file; the schedule reader's result code, or
// 0 once the job driver was called, whatever the job's outcome.
int procjob(const char* schedule_path);

// The job driver; called by the schedule reader once the schedule is accepted.
void __do_backup(const char* schedule_path);

// The process-wide termination flag: set when the user stops a job, never cleared.
bool termination_flag();
void termination_flag_set();
