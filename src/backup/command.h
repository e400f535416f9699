// command.h - the pre- and post-backup command runner.
//
// Runs a schedule's "precmd=" or "postcmd=" as a hidden child, waits for it in
// one-second slices (bumping the keepalive counter each slice) up to the
// "cmdtimeout=" time-out, and judges the outcome: logs it in the job log and,
// for a fatal failure before the backup, makes the failure report. Runs on the
// backup thread; holds at most one child at a time.
#pragma once

#include <cstdint>

enum command_phase { COMMAND_PRE_BACKUP, COMMAND_POST_BACKUP };

enum command_outcome {
    COMMAND_JOB_CONTINUES = 0,
    COMMAND_JOB_ENDS = 1, // fatal failure, child that could not be stopped, or user stop
};

// Hours of the time-out for a "cmdtimeout=" value (null when absent): its
// decimal value when in 1..96, else 24.
int command_timeout_hours(const char* cmdtimeout_value);
// True when a "fatalprecmd=" / "fatalpostcmd=" value (null when absent) reads
// as a non-zero decimal number.
bool command_fatal_setting(const char* value);

// Runs command_line (passed to the platform unchanged; the caller skips
// absent or empty ones). fatal: the phase's "fatal...cmd=" setting.
// *command_fatal is set to 1 when a failure counts as fatal or a timed-out
// child could not be terminated; it is never cleared here.
// After the pre-backup command the job ends on COMMAND_JOB_ENDS; after the
// post-backup command a set *command_fatal suppresses the normal-completion
// line. A post-backup failure is only logged: the job's report has already
// been made then, and a second one would break the reporter for later jobs.
command_outcome command_run(command_phase phase, const char* command_line, bool fatal,
                            const char* cmdtimeout_value, int* command_fatal);

// Test only: replaces the report call and the termination-flag check (null
// members keep the real ones; null restores both).
struct command_hooks {
    void (*report_fail_text)(const char* message);
    bool (*termination_flag)();
};
void command_set_hooks_for_tests(const command_hooks* hooks);
