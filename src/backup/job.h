// job.h - one job: the job frame (procjob) and the job driver (__do_backup).
#pragma once

// Runs one job from its schedule file; the schedule reader's result code, or
// 0 once the job driver was called, whatever the job's outcome.
int procjob(const char* schedule_path);

// Reads the schedule file at path into the job's schedule
// (schedule_load_current), starts the report, sorts and logs the filters and
// calls __do_backup. @return a schedule_result code; 0 also for a disabled
// schedule (the job then does not run); 0 after __do_backup.
int schedule_read(const char* path);

// The job driver; called by schedule_read once the schedule is accepted.
void __do_backup(const char* schedule_path);

// The process-wide termination flag: set when the user stops a job, never
// cleared. Both calls are safe from any thread.
bool termination_flag();
void termination_flag_set();
