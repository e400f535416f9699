// agent.h - the agent process: entry, watchdog, backup thread and crash dumps.
//
// The entry opens the process log, arranges crash dumps, creates the progress
// area and runs the backup thread under the watchdog. The backup thread owns
// the job mailslot and runs the initial job and then every queued job, one at
// a time, until a job wait passes without a new one.
#pragma once

#include "platform/platform.h"

#include <cstddef>

// Process exit codes.
enum {
    AGENT_EXIT_OK = 0, // the backup thread was started
    AGENT_EXIT_NO_ARGUMENT = 1,
    AGENT_EXIT_BAD_MODE = 2,  // neither "crash" nor "background" in the first argument
    AGENT_EXIT_NO_THREAD = 3, // the backup thread could not be created; also left by "crash"
};

enum agent_mode { AGENT_MODE_NONE, AGENT_MODE_INVALID, AGENT_MODE_CRASH, AGENT_MODE_BACKGROUND };

// The mode word, tested by substring: "crash" first, then "background".
agent_mode agent_parse_mode(int argc, const char* const* argv);

// Runs the whole process and returns its exit code. *must_exit is set when the
// watchdog gave up a hung backup thread that the platform cannot stop: the
// caller must then end the process at once with the result (the thread may
// still hold locks that a normal exit would need).
int agent_main(int argc, const char* const* argv, bool* must_exit);

// Watches the backup thread in slices of timing_get().watchdog_slice_ms until
// it ends; a slice in which the keepalive counter did not change gets the
// thread dumped and terminated. Returns true when the thread was terminated.
// Every outcome, and every failure to wait, read the exit code or terminate,
// is logged to the process log.
bool agent_watchdog(plat_thread* thread);

// The backup thread's body: set-up, the initial job (when initial_path is
// neither null nor empty), the job loop. job_wait is in seconds, scaled by
// timing_get().job_wait_scale_ms. Returns the thread exit code (0, or 1 when
// the mailslot or the socket layer cannot be set up).
int backup_thread_run(const char* initial_path, int job_wait, const char* mailslot_name);

// The dump file name: the executable's path without its ".exe" (where there
// is one) plus "_YYYYMMDD_hhmmss.dmp" in UTC (the year space-padded to four).
// 0, or -1 when it does not fit in size.
int crash_dump_path(const char* exe_path, const plat_systime* utc, char* out, size_t size);

// Writes a dump next to the executable; fault_info as the crash handler gives
// it, or null. hung_thread, when given, is the thread whose state is wanted.
// No result and no log line (they may run inside a fault handler): nothing is
// written when the path cannot be formed or the platform cannot write it.
void write_crash_dump(void* fault_info);
void write_crash_dump_of(void* fault_info, plat_thread* hung_thread);
