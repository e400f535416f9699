// report.h - the job's statistics and result, one record per process.
//
// Calls must come in their order (begin, session, counting, per-file calls,
// then success or failure); a call out of order silences the reporter
// (state 4) instead of producing a wrong report. The last call turns the
// record into e-mail messages (report/mail.h).
#pragma once

#include "common/blob_list.h"
#include "protocol/codes.h"

#include <cstddef>
#include <cstdint>

struct ctfs_session;
struct ctfs_email_request;

enum report_state {
    REPORT_IDLE = 0,
    REPORT_BEGUN = 1,
    REPORT_IN_SESSION = 2,
    REPORT_COUNTING = 3,
    REPORT_BROKEN = 4
};

enum { REPORT_TOKEN_CHARS = 40, REPORT_DIGEST_SIZE = 20 };

// The message text under composition. Grows by doubling up to limit; once a
// piece did not fit, full stays set and every later piece is dropped.
struct report_body {
    char* text; // terminated; null when not allocated
    size_t length;
    size_t capacity;
    size_t limit;
    bool full;
};

// The process-wide record. Text fields marked borrowed point into the
// caller's memory (schedule, session) and are valid only during the job that
// set them; report_begin forgets those of the previous job.
struct job_report {
    int state;
    const char* queue_path;      // borrowed
    const char* job_name;        // borrowed
    const blob_list* recipients; // borrowed, may be null
    int64_t schedule_id;
    uint32_t user_id;
    char encryption_token[REPORT_TOKEN_CHARS + 1];
    int default_flags;
    int64_t start_time;
    int64_t stop_time;
    ctfs_session* session;    // borrowed
    const char* account_name; // borrowed from the session
    const char* user_name;    // borrowed from the session
    uint64_t files_requested;
    uint64_t start_size;
    const char* destination; // borrowed
    uint64_t files_transferred;
    uint64_t files_up_to_date;
    uint64_t files_failed;
    uint64_t stop_size;
    blob_list* errors;     // owned; pairs of path, reason; null outside counting
    char* failure_message; // owned copy of the last failure text; null before the first
    report_body body;      // owned
    int queue_files;       // queue files written by the report being sent
    int lost_messages;     // messages of that report that could not be queued
};

// None of the calls below returns a result: a call in the wrong state, or a
// report_begin whose body cannot be allocated, only moves the record to
// REPORT_BROKEN (read it with report_state_get), and nothing is sent for that
// job. Texts and lists passed in are borrowed where the record marks them
// so; only the failure text and the failed files' paths and reasons are
// copied.

// Starts a job's report (state REPORT_IDLE only). digest (may be null: forty
// '0' characters) is the 20-byte key digest shown as the encryption token.
void report_begin(const char* queue_path, const char* job_name, const blob_list* recipients,
                  int64_t schedule_id, uint32_t user_id, const unsigned char digest[20],
                  int default_flags);
// The logged-in session (borrowed, may be null), through which success
// messages are handed to the server.
void report_session(const ctfs_session* session);
// Starts counting (state REPORT_IN_SESSION only): zeroes the counters and
// starts a new error list owned by the record.
void report_counting(uint64_t files_requested, uint64_t start_size, const char* destination);
// The counting calls (state REPORT_COUNTING only).
void report_transferred();
// Takes back one report_transferred: the file turned out not to be stored
// (its close was never confirmed by the server).
void report_transfer_withdrawn();
void report_up_to_date();
// Counts a failed file and keeps copies of its path and the reason: the
// system's text for errnum (errno is left as it was) or the protocol's text
// for code. A null path counts as empty.
void report_file_error_errno(const char* path, int errnum);
void report_file_error_code(const char* path, int code);
// The same with a reason of the job's own making (null counts as empty), for
// an item refused for a cause that neither the system nor the server names.
void report_file_error_text(const char* path, const char* reason);
// Ends a job that succeeded: sends the success report (report_send with
// "etc/success"), frees the error list and the body, and returns the record
// to REPORT_IDLE, also when a message was lost. Out of order: the job-log line
// "report_success() problem at line 586" and REPORT_BROKEN.
void report_success(uint64_t stop_size);
// Ends a job that failed (states REPORT_BEGUN to REPORT_COUNTING): keeps a
// copy of the message (null: empty; the protocol's text for code), sends the
// failure report ("etc/failnoinfo" before a session, else "etc/failinfo") and
// returns the record to REPORT_IDLE as report_success does.
void report_fail_code(int code);
void report_fail_text(const char* message);
// The record's state (a report_state value).
int report_state_get();

// Read access to the record (tests, tools); the pointer is valid for the
// life of the process.
const job_report* report_record();

// The record itself, for the mail module that composes from it and sets its
// state; nothing else writes through it.
job_report* report_record_mutable();

// ---- test only ---------------------------------------------------------------

typedef tfs_result (*report_mail_fn)(ctfs_session* s, const ctfs_email_request* r);
typedef int64_t (*report_clock_fn)();

// Frees what the record owns and returns it to its process-start state.
void report_reset_for_tests();
// Replaces the server hand-off (ctfs_email) and the clock; null restores each.
void report_set_mail_sender_for_tests(report_mail_fn fn);
void report_set_clock_for_tests(report_clock_fn fn);
// The hand-off and clock in use.
report_mail_fn report_mail_sender();
int64_t report_now();
