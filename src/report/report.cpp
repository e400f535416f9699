// report.cpp - the process-wide job report record and its ordered calls.
//
// Each call checks the state it needs; a call out of order moves the record
// to state 4, which no later job leaves, so a broken sequence never produces
// a wrong report. Sending is done by report/mail.cpp.
#include "report/report.h"

#include "runtime/log.h"
#include "runtime/progress.h"
#include "common/text.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "report/mail.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

static job_report g_report;
static report_mail_fn g_mail_fn = nullptr;
static report_clock_fn g_clock_fn = nullptr;

// The line number the success guard names in the job log.
enum { REPORT_SUCCESS_GUARD_LINE = 586 };

const job_report* report_record() {
    return &g_report;
}
job_report* report_record_mutable() {
    return &g_report;
}
int report_state_get() {
    return g_report.state;
}

report_mail_fn report_mail_sender() {
    return g_mail_fn ? g_mail_fn : ctfs_email;
}
int64_t report_now() {
    return g_clock_fn ? g_clock_fn() : static_cast<int64_t>(std::time(nullptr));
}
void report_set_mail_sender_for_tests(report_mail_fn fn) {
    g_mail_fn = fn;
}
void report_set_clock_for_tests(report_clock_fn fn) {
    g_clock_fn = fn;
}

static void free_errors(job_report* r) {
    blob_list_free(r->errors);
    r->errors = nullptr;
}

void report_reset_for_tests() {
    free_errors(&g_report);
    report_body_free(&g_report.body);
    free(g_report.failure_message);
    g_report = job_report{};
}

void report_begin(const char* queue_path, const char* job_name, const blob_list* recipients,
                  int64_t schedule_id, uint32_t user_id, const unsigned char digest[20],
                  int default_flags) {
    job_report* r = &g_report;
    if (r->state != REPORT_IDLE) {
        r->state = REPORT_BROKEN;
        return;
    }
    r->queue_path = queue_path;
    r->job_name = job_name;
    r->recipients = recipients;
    r->schedule_id = schedule_id;
    r->user_id = user_id;
    r->default_flags = default_flags;
    r->start_time = report_now();
    // The previous job's session and schedule are gone: forget what was
    // borrowed from them so that an early failure cannot read freed memory.
    r->session = nullptr;
    r->account_name = nullptr;
    r->user_name = nullptr;
    r->destination = nullptr;
    free_errors(r);
    report_body_free(&r->body);
    if (report_body_init(&r->body, REPORT_BODY_START, REPORT_BODY_MAX) != 0) {
        r->state = REPORT_BROKEN;
        return;
    }
    if (digest) {
        hex_encode(digest, REPORT_DIGEST_SIZE, r->encryption_token);
    } else {
        memset(r->encryption_token, '0', REPORT_TOKEN_CHARS);
        r->encryption_token[REPORT_TOKEN_CHARS] = 0;
    }
    r->state = REPORT_BEGUN;
}

void report_session(const ctfs_session* session) {
    job_report* r = &g_report;
    if (r->state != REPORT_BEGUN) {
        r->state = REPORT_BROKEN;
        return;
    }
    // The reporter hands success messages to the server through this session.
    r->session = const_cast<ctfs_session*>(session);
    r->account_name = session ? session->account.account_name : nullptr;
    r->user_name = session ? session->user.user_name : nullptr;
    r->state = REPORT_IN_SESSION;
}

void report_counting(uint64_t files_requested, uint64_t start_size, const char* destination) {
    job_report* r = &g_report;
    if (r->state != REPORT_IN_SESSION) {
        r->state = REPORT_BROKEN;
        return;
    }
    r->files_requested = files_requested;
    r->start_size = start_size;
    r->destination = destination;
    r->files_transferred = 0;
    r->files_up_to_date = 0;
    r->files_failed = 0;
    free_errors(r);
    r->errors = blob_list_new(1, 16, blob_list_default_destroy);
    r->state = REPORT_COUNTING;
}

void report_transferred() {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    g_report.files_transferred++;
}

void report_transfer_withdrawn() {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    if (g_report.files_transferred > 0) g_report.files_transferred--;
}

void report_up_to_date() {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    g_report.files_up_to_date++;
}

static void add_error(const char* path, const char* reason) {
    job_report* r = &g_report;
    r->files_failed++;
    // The progress record counts failed items here and only here, so that
    // it says what the report says.
    progress_count_failed();
    blob_list_append_text(r->errors, path ? path : "");
    blob_list_append_text(r->errors, reason ? reason : "");
}

void report_file_error_errno(const char* path, int errnum) {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    add_error(path, error_text(errnum)); // error_text keeps the caller's errno
}

void report_file_error_code(const char* path, int code) {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    add_error(path, ctfs_err_text(code));
}

void report_file_error_text(const char* path, const char* reason) {
    if (g_report.state != REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    add_error(path, reason ? reason : "");
}

// Ends a report that was sent: whatever composition did to the state, the
// reporter is ready for the next job.
static void finish_report(job_report* r) {
    free_errors(r);
    report_body_free(&r->body);
    r->state = REPORT_IDLE;
}

void report_success(uint64_t stop_size) {
    job_report* r = &g_report;
    if (r->state != REPORT_COUNTING) {
        job_log_printf("report_success() problem at line %d\n",
                       static_cast<int>(REPORT_SUCCESS_GUARD_LINE));
        r->state = REPORT_BROKEN;
        return;
    }
    r->stop_size = stop_size;
    r->stop_time = report_now();
    report_send(r, "etc/success");
    finish_report(r);
}

void report_fail_code(int code) {
    int s = g_report.state;
    if (s < REPORT_BEGUN || s > REPORT_COUNTING) {
        g_report.state = REPORT_BROKEN;
        return;
    }
    report_fail_text(ctfs_err_text(code));
}

void report_fail_text(const char* message) {
    job_report* r = &g_report;
    int s = r->state;
    if (s < REPORT_BEGUN || s > REPORT_COUNTING) {
        r->state = REPORT_BROKEN;
        return;
    }
    // A copy: the caller's text may not outlive this call, and the next job's
    // messages may still show it.
    char* copy = bytes_to_string(message ? message : "", strlen(message ? message : ""));
    free(r->failure_message);
    r->failure_message = copy;
    report_send(r, s == REPORT_BEGUN ? "etc/failnoinfo" : "etc/failinfo");
    finish_report(r);
}
