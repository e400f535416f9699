// agent.cpp - process entry, watchdog, backup thread and job loop.
#include "agent/agent.h"

#include "backup/block_pool.h"
#include "backup/job.h"
#include "agent/ipc.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "common/text.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "protocol/session.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

namespace {

const char* const process_log_name = "agent.log";

struct thread_args {
    const char* initial_path;
    int job_wait;
};

int backup_thread_entry(void* arg) {
    const thread_args* a = static_cast<const thread_args*>(arg);
    return backup_thread_run(a->initial_path, a->job_wait, plat_job_mailslot_name);
}

void log_system_error(const char* format) {
    char text[512];
    plat_error_text(plat_last_error(), text, sizeof text);
    agent_log_printf(format, text);
}

void wait_for_jobs(int job_wait) {
    progress_set_status("Checking for additional jobs...");
    agent_log_printf("Waiting %d second(s) for additional jobs via IPC.\n", job_wait);
    plat_sleep_ms(static_cast<uint32_t>(job_wait) * timing_get().job_wait_scale_ms);
}

bool ends_with_exe(const char* path) {
    size_t n = strlen(path);
    return n >= 4 && compare_nocase(path + n - 4, ".exe") == 0;
}

} // namespace

agent_mode agent_parse_mode(int argc, const char* const* argv) {
    if (argc < 2 || !argv[1]) return AGENT_MODE_NONE;
    if (strstr(argv[1], "crash")) return AGENT_MODE_CRASH;
    if (strstr(argv[1], "background")) return AGENT_MODE_BACKGROUND;
    return AGENT_MODE_INVALID;
}

int crash_dump_path(const char* exe_path, const plat_systime* utc, char* out, size_t size) {
    size_t base = strlen(exe_path);
    if (ends_with_exe(exe_path)) base -= 4;
    int n =
        snprintf(out, size, "%.*s_%4d%02d%02d_%02d%02d%02d.dmp", static_cast<int>(base), exe_path,
                 utc->year, utc->month, utc->day, utc->hour, utc->minute, utc->second);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) out[0] = 0;
        return -1;
    }
    return 0;
}

void write_crash_dump_of(void* fault_info, plat_thread* hung_thread) {
    // May run inside a fault handler: fixed buffers only.
    char exe[1024];
    if (plat_exe_path(exe, sizeof exe) != 0) return;
    plat_systime now;
    plat_utc_time(&now);
    char path[1100];
    if (crash_dump_path(exe, &now, path, sizeof path) != 0) return;
    plat_write_dump(path, fault_info, hung_thread);
}

void write_crash_dump(void* fault_info) {
    write_crash_dump_of(fault_info, nullptr);
}

bool agent_watchdog(plat_thread* thread) {
    bool terminated = false;
    for (;;) {
        const uint32_t seen = keepalive_value();
        const uint32_t slice = timing_get().watchdog_slice_ms;
        plat_wait_result r = plat_thread_wait(thread, slice);
        if (r == PLAT_WAIT_ENDED) {
            int code = 0;
            if (plat_thread_exit_code(thread, &code) != 0)
                log_system_error("Unable to determine backup thread exit code: %s\n");
            else if (code == 0)
                agent_log_printf("Backup thread exited normally.\n");
            else
                agent_log_printf("Backup thread exited abnormally (exit code %d).\n", code);
            return terminated;
        }
        if (r == PLAT_WAIT_ABANDONED) {
            agent_log_printf("Backup thread died unexpectedly.\n");
            return terminated;
        }
        if (r == PLAT_WAIT_TIMEOUT) {
            // A thread that bumped the counter during the slice is only slow.
            if (keepalive_value() != seen) continue;
            progress_complete();
            agent_log_printf(
                "Backup thread timed out after %d seconds (keepalive: %d); Aborting backup.\n",
                static_cast<int>(slice / 1000), static_cast<int>(seen));
            write_crash_dump_of(nullptr, thread);
            if (plat_thread_terminate(thread, 1) == 0) {
                // Its block workers end with it.
                block_pool_abandon_all();
                agent_log_printf("Backup thread terminated successfully.\n");
                terminated = true;
            } else {
                log_system_error("Unable to terminate backup thread: %s\n");
            }
            continue;
        }
        if (r == PLAT_WAIT_FAILED)
            log_system_error("Unable to wait for backup thread: %s\n");
        else
            agent_log_printf("Unable to wait for backup thread (unknown error).\n");
        return terminated;
    }
}

int backup_thread_run(const char* initial_path, int job_wait, const char* mailslot_name) {
    agent_log_printf("Enabling crash dumps.\n");
    plat_install_crash_handler(write_crash_dump);
    progress_set_status("Initializing...");

    int result = 0;
    bool sockets_started = false;
    if (ipc_rx_setup(mailslot_name) != IPC_OK) {
        int error = plat_last_error();
        agent_log_printf("ipc_rx_setup(%s) failed with error code: %d.\n", mailslot_name, error);
        progress_complete();
        result = 1;
    } else {
        agent_log_printf("ipc_rx_setup(%s) succeeded.\n", mailslot_name);
        if (ctfs_init() != 0) {
            agent_log_printf("ctfs_init() failed.\n");
            progress_complete();
            result = 1;
        } else {
            agent_log_printf("ctfs_init() succeeded.\n");
            sockets_started = true;
            // Every job of the process uses this many (1: the backup thread
            // alone compresses and encrypts the blocks).
            agent_log_printf("Block workers: %u (%u processor(s), at most %d).\n",
                             block_pool_default_workers(), plat_cpu_count(),
                             static_cast<int>(BLOCK_POOL_MAX_WORKERS));
        }
    }

    if (result == 0) {
        char last_job[IPC_MESSAGE_MAX] = "";
        char job[IPC_MESSAGE_MAX];
        if (initial_path && initial_path[0]) {
            agent_log_printf("initial procjob('%s') begin\n", initial_path);
            agent_log_printf("See '%s.log' for details.\n", initial_path);
            int rc = procjob(initial_path);
            progress_complete();
            if (rc != 0)
                agent_log_printf("initial procjob('%s') completed with error code %d\n",
                                 initial_path, rc);
            else
                agent_log_printf("initial procjob('%s') completed successfully\n", initial_path);
            copy_bounded(last_job, sizeof last_job, initial_path);
        }
        wait_for_jobs(job_wait);
        memset(job, 0, sizeof job);
        for (;;) {
            if (job[0]) {
                if (strcmp(job, last_job) == 0) {
                    agent_log_printf(
                        "The job that just completed was queued to run again; Skipping.\n");
                } else {
                    agent_log_printf("procjob('%s') begin\n", job);
                    agent_log_printf("See '%s.log' for details.\n", job);
                    int rc = procjob(job);
                    if (rc != 0)
                        agent_log_printf("procjob('%s') completed with error code %d\n", job, rc);
                    else
                        agent_log_printf("procjob('%s') completed successfully\n", job);
                    copy_bounded(last_job, sizeof last_job, job);
                    wait_for_jobs(job_wait);
                }
            }
            size_t length = 0;
            if (ipc_rx_read(job, sizeof job, &length) != IPC_OK) break;
            // The message is the path up to its NUL; one that fills the whole
            // buffer without a NUL cannot be a path and is dropped.
            if (length < sizeof job)
                job[length] = 0;
            else if (job[sizeof job - 1] != 0)
                job[0] = 0;
        }
        agent_log_printf(
            "No new jobs were queued; Finished processing backup jobs; Exiting normally.\n");
    }

    if (sockets_started) ctfs_cleanup();
    ipc_rx_close();
    progress_close();
    return result;
}

int agent_main(int argc, const char* const* argv, bool* must_exit) {
    *must_exit = false;
    debug_printf("tavni-backup.exe: Started.");
    if (agent_log_open(process_log_name) == 0) {
        agent_log_printf("Initialized log file '%s'\n", process_log_name);
        debug_printf("tavni-backup.exe: Initialized log file '%s'", process_log_name);
    }
    agent_log_printf("Enabling crash dumps.\n");
    plat_install_crash_handler(write_crash_dump);
    agent_log_printf("OpenSSL Library version '%s'\n", OpenSSL_version(OPENSSL_VERSION));

    int result = AGENT_EXIT_OK;
    plat_thread* thread = nullptr;
    agent_mode mode = agent_parse_mode(argc, argv);
    if (mode == AGENT_MODE_NONE || mode == AGENT_MODE_INVALID) {
        agent_log_printf("tavni-backup.exe: Invalid command-line argument usage.\n");
        result = mode == AGENT_MODE_NONE ? AGENT_EXIT_NO_ARGUMENT : AGENT_EXIT_BAD_MODE;
    } else if (mode == AGENT_MODE_CRASH) {
        agent_log_printf("Crashing...\n");
        plat_crash_now();
        result = AGENT_EXIT_NO_THREAD;
    } else {
        // Static: a given-up thread may outlive this frame until the process ends.
        static thread_args args;
        args = thread_args{argc > 2 ? argv[2] : nullptr, 1};
        if (args.initial_path) {
            agent_log_printf("Initial backup schedule: '%s'\n", args.initial_path);
        } else {
            agent_log_printf("No initial backup schedule specified; Waiting to receive via IPC.\n");
            args.job_wait = 30;
        }
        // A service manager's SIGTERM or a terminal's Ctrl-C stops the job as
        // the terminate event does (runtime/progress.h), before any thread starts.
        plat_interrupts_catch();
        progress_open();
        thread = plat_thread_start(backup_thread_entry, &args);
        if (!thread) {
            progress_complete();
            agent_log_printf(
                "Error creating backup thread; Aborting backup. Will try again later.\n");
            result = AGENT_EXIT_NO_THREAD;
            // Without a thread nobody else would close the area and event.
            progress_close();
        } else {
            keepalive_reset();
            *must_exit = agent_watchdog(thread) && plat_thread_needs_process_exit();
        }
    }
    agent_log_close();
    if (thread && !*must_exit) plat_thread_close(thread);
    return result;
}
