// command.cpp - the pre- and post-backup command runner.
//
// Each outcome first becomes a composed text, which is then logged inside a
// line that says what follows (abort or continue); a fatal pre-backup text is
// also the report's failure message. Waiting happens in command slices so the
// watchdog sees the backup thread alive for the whole time-out.
#include "backup/command.h"

#include "backup/job.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "report/report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct phase_texts {
    const char* status;
    const char* running;
    // Composed texts.
    const char* not_started;
    const char* exit_unreadable;
    const char* exit_nonzero;
    const char* wait_failed;
    const char* wait_abandoned;
    const char* wait_other;
    const char* timed_out;
    const char* terminate_failed;
    // Lines around a composed text.
    const char* start_fatal;     // not started, unreadable exit code
    const char* exit_fatal;      // non-zero exit (text, exit code)
    const char* exit_not_fatal;  // non-zero exit
    const char* wait_fatal;      // failed, abandoned or other wait, time-out
    const char* other_not_fatal; // every not-fatal case but the non-zero exit
    const char* success;
    const char* terminated;
};

const phase_texts k_pre = {
    "Running pre-backup command...",
    "Running pre-backup command: '%s' (with a timeout of %d hours)\n",
    "Pre-Backup command '%s' failed on CreateProcess(): %s",
    "Pre-Backup command '%s' failed on GetExitCodeProcess(): %s",
    "Pre-Backup command '%s' returned non-zero exit code %d",
    "Pre-Backup command '%s' failed on WaitForSingleObject(): %s",
    "Pre-Backup command died unexpectedly (WAIT_ABANDONED)",
    "Pre-Backup command '%s' failed on WaitForSingleObject() with unknown error code %d",
    "Pre-Backup command '%s' timed out after %d milliseconds",
    "Failed to terminate the pre-backup command process: %s",
    "%s; Aborting (pre-command failure is fatal).\n",
    "%s; Exit code %d; Aborting (pre-backup command failure is fatal).\n",
    "%s; Continuing (pre-backup command failure not fatal).\n",
    "%s; Aborting backup (pre-command failure is fatal).\n",
    "%s; Continuing (pre-command failure not fatal).\n",
    "Successfully executed pre-backup command (exit code 0).\n",
    "Successfully terminated the pre-backup command process.\n",
};

const phase_texts k_post = {
    "Running post-backup command...",
    "Running post-backup command: '%s' (with a timeout of %d hours)\n",
    "Post-Backup command '%s' failed on CreateProcess(): %s",
    "Post-Backup command '%s' failed on GetExitCodeProcess(): %s",
    "Post-Backup command '%s' returned non-zero exit code %d",
    "Post-Backup command '%s' failed on WaitForSingleObject(): %s",
    "Post-Backup command died unexpectedly (WAIT_ABANDONED)",
    "Post-Backup command '%s' failed on WaitForSingleObject() with unknown error code %d",
    "Post-Backup command '%s' timed out after %d milliseconds",
    "Failed to terminate the post-backup command process: %s",
    "%s; Aborting (post-command failure is fatal).\n",
    "%s; Exit code %d; Aborting (post-backup command failure is fatal).\n",
    "%s; Continuing (post-backup command failure not fatal).\n",
    "%s; Aborting backup (post-command failure is fatal).\n",
    "%s; Continuing (post-command failure not fatal).\n",
    "Successfully executed post-backup command (exit code 0).\n",
    "Successfully terminated the post-backup command process.\n",
};

const char* const k_user_stop_text =
    "The backup started but did not complete because it was terminated by "
    "the user (during execution of the pre-backup command).";

command_hooks g_hooks = {nullptr, nullptr};

void call_report_fail_text(const char* message) {
    if (g_hooks.report_fail_text)
        g_hooks.report_fail_text(message);
    else
        report_fail_text(message);
}

bool stop_requested() {
    return g_hooks.termination_flag ? g_hooks.termination_flag() : termination_flag();
}

std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

std::string last_error_text() {
    char buf[512];
    return plat_error_text(plat_last_error(), buf, sizeof buf);
}

// Reads a decimal number as the runtime library's atol would (leading blanks,
// sign, digits; 0 for none), saturating instead of overflowing.
long decimal_value(const char* text) {
    if (!text) return 0;
    const int saved = errno;
    long v = strtol(text, nullptr, 10);
    errno = saved;
    return v;
}

enum failure_lines { LINES_START, LINES_EXIT, LINES_WAIT };

struct run_state {
    command_phase phase;
    const phase_texts* t;
    bool fatal;
    int* command_fatal;
};

// Logs a failure by its fatal setting; a fatal pre-backup failure is also the
// job's failure report.
void judge_failure(const run_state& rs, failure_lines lines, const std::string& text,
                   int exit_code) {
    if (!rs.fatal) {
        job_log_printf(lines == LINES_EXIT ? rs.t->exit_not_fatal : rs.t->other_not_fatal,
                       text.c_str());
        return;
    }
    switch (lines) {
    case LINES_START:
        job_log_printf(rs.t->start_fatal, text.c_str());
        break;
    case LINES_EXIT:
        job_log_printf(rs.t->exit_fatal, text.c_str(), exit_code);
        break;
    case LINES_WAIT:
        job_log_printf(rs.t->wait_fatal, text.c_str());
        break;
    }
    if (rs.phase == COMMAND_PRE_BACKUP) call_report_fail_text(text.c_str());
    *rs.command_fatal = 1;
}

// Ends a child that must not go on; a child that cannot be ended stops the
// job whatever the fatal setting.
void terminate_child(const run_state& rs, plat_process* child) {
    if (plat_process_terminate(child, 0xFFFFFFFFu) == 0) {
        job_log_printf("%s", rs.t->terminated);
        return;
    }
    std::string text = format_text(rs.t->terminate_failed, last_error_text().c_str());
    job_log_printf("%s; Continuing.", text.c_str());
    *rs.command_fatal = 1;
}

void redirection_off(void** old_state) {
    switch (plat_redirection_disable(old_state)) {
    case PLAT_REDIRECTION_NO_MODULE:
        job_log_printf("GetModuleHandle(kernel32.dll) failed with exit code %d.",
                       plat_last_error());
        break;
    case PLAT_REDIRECTION_ABSENT:
        job_log_printf("Skipping disabling Wow64FsRedirection.\n");
        break;
    case PLAT_REDIRECTION_DONE:
        job_log_printf("Successfully disabled Wow64FsRedirection.\n");
        break;
    case PLAT_REDIRECTION_FAILED:
        job_log_printf("Failed to disable Wow64FsRedirection. Error code %d\n", plat_last_error());
        break;
    }
}

void redirection_back(void* old_state) {
    switch (plat_redirection_revert(old_state)) {
    case PLAT_REDIRECTION_NO_MODULE:
    case PLAT_REDIRECTION_ABSENT:
        job_log_printf("Skipping reverting Wow64FsRedirection.\n");
        break;
    case PLAT_REDIRECTION_DONE:
        job_log_printf("Successfully reverted Wow64FsRedirection.\n");
        break;
    case PLAT_REDIRECTION_FAILED:
        job_log_printf("Failed to revert Wow64FsRedirection. Error code %d\n", plat_last_error());
        break;
    }
}

// Waits for the started child and judges how it ended. True when the user
// stopped the job during the wait.
bool wait_and_judge(const run_state& rs, const char* command_line, plat_process* child,
                    uint32_t timeout_ms) {
    const uint32_t slice = timing_get().command_slice_ms ? timing_get().command_slice_ms : 1;
    uint64_t elapsed = 0;
    plat_wait_result last = PLAT_WAIT_TIMEOUT;
    int other = 0;
    while (last == PLAT_WAIT_TIMEOUT && elapsed < timeout_ms) {
        other = plat_process_wait(child, slice, &last);
        elapsed += slice;
        keepalive_bump();
        if (stop_requested()) {
            if (rs.phase == COMMAND_PRE_BACKUP) call_report_fail_text(k_user_stop_text);
            terminate_child(rs, child);
            return true;
        }
        if (other != 0) break;
    }

    if (other != 0) {
        judge_failure(rs, LINES_WAIT, format_text(rs.t->wait_other, command_line, other), 0);
        return false;
    }
    switch (last) {
    case PLAT_WAIT_ENDED: {
        uint32_t code = 0;
        if (plat_process_exit_code(child, &code) != 0) {
            std::string text =
                format_text(rs.t->exit_unreadable, command_line, last_error_text().c_str());
            judge_failure(rs, LINES_START, text, 0);
        } else if (code == 0) {
            job_log_printf("%s", rs.t->success);
        } else {
            const int exit_code = static_cast<int>(code);
            judge_failure(rs, LINES_EXIT, format_text(rs.t->exit_nonzero, command_line, exit_code),
                          exit_code);
        }
        break;
    }
    case PLAT_WAIT_ABANDONED:
        judge_failure(rs, LINES_WAIT, rs.t->wait_abandoned, 0);
        break;
    case PLAT_WAIT_FAILED: {
        std::string text = format_text(rs.t->wait_failed, command_line, last_error_text().c_str());
        judge_failure(rs, LINES_WAIT, text, 0);
        break;
    }
    case PLAT_WAIT_TIMEOUT:
        judge_failure(rs, LINES_WAIT,
                      format_text(rs.t->timed_out, command_line, static_cast<int>(timeout_ms)), 0);
        terminate_child(rs, child);
        break;
    }
    return false;
}

} // namespace

int command_timeout_hours(const char* cmdtimeout_value) {
    const long h = decimal_value(cmdtimeout_value);
    return h >= 1 && h <= 96 ? static_cast<int>(h) : 24;
}

bool command_fatal_setting(const char* value) {
    return decimal_value(value) != 0;
}

command_outcome command_run(command_phase phase, const char* command_line, bool fatal,
                            const char* cmdtimeout_value, int* command_fatal) {
    run_state rs = {phase, phase == COMMAND_PRE_BACKUP ? &k_pre : &k_post, fatal, command_fatal};
    void* old_state = nullptr;
    redirection_off(&old_state);

    progress_set_status(rs.t->status);
    progress_begin_item(command_line, 0);
    const int hours = command_timeout_hours(cmdtimeout_value);
    const uint64_t timeout64 = static_cast<uint64_t>(hours) * timing_get().command_hour_ms;
    const uint32_t timeout_ms =
        timeout64 > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(timeout64);
    job_log_printf(rs.t->running, command_line, hours);

    bool stopped = false;
    const int before = *command_fatal;
    *command_fatal = 0;
    plat_process* child = plat_process_start(command_line);
    if (!child) {
        std::string text = format_text(rs.t->not_started, command_line, last_error_text().c_str());
        judge_failure(rs, LINES_START, text, 0);
    } else {
        stopped = wait_and_judge(rs, command_line, child, timeout_ms);
        plat_process_close(child);
    }
    const bool failed_fatally = *command_fatal != 0;
    if (before) *command_fatal = before;

    redirection_back(old_state);
    return stopped || failed_fatally ? COMMAND_JOB_ENDS : COMMAND_JOB_CONTINUES;
}

void command_set_hooks_for_tests(const command_hooks* hooks) {
    g_hooks = hooks ? *hooks : command_hooks{nullptr, nullptr};
}
