// schedule.h - the schedule (TBS) file: reading, checking, values, rewrite.
//
// A schedule is an encrypted text (crypt_file) of "Key=value" lines after the
// header line "# Tavni Backup Schedule". The reader fills one plain record per
// job (key table, lists, recipients, HTML flag, account key, paths); the job
// (backup/job.h) hands it to the report and the job driver, and procjob
// releases the record at the end of the job. The text parser works on plain lines so that tests and
// the fuzzer need no cipher.
#pragma once

#include "common/blob_list.h"

#include <cstddef>
#include <cstdint>

// The single-value keys, in table order (the order of matching and of the
// required-key check).
enum schedule_key_id {
    SCHED_USERID,
    SCHED_ACCOUNTID,
    SCHED_SCHEDULE,
    SCHED_DEST,
    SCHED_NAME,
    SCHED_ENABLED,
    SCHED_ACCKEY,
    SCHED_AUTOREMOVE,
    SCHED_MIRROR,
    SCHED_PRECMD,
    SCHED_POSTCMD,
    SCHED_FATALPRECMD,
    SCHED_FATALPOSTCMD,
    SCHED_CMDTIMEOUT,
    SCHED_KEY_COUNT
};

// Job result codes of reading (returned by procjob, logged by the job loop).
enum schedule_result {
    SCHEDULE_OK = 0,
    SCHEDULE_CANNOT_OPEN = 2352,
    SCHEDULE_NO_CRYPTO = 2361,
    SCHEDULE_NO_TEXT = 2371,
    SCHEDULE_BAD_HEADER = 2381,
    SCHEDULE_EMAIL_CONFLICT = 2536,
    SCHEDULE_EMAIL_NO_MEMORY = 2571,
    SCHEDULE_TOO_MANY = 2595,
    SCHEDULE_NO_MEMORY = 2606,
    SCHEDULE_MISSING_KEY = 2678,
    SCHEDULE_BAD_ACCKEY = 2705
};

// Result codes of schedule_rewrite.
enum schedule_rewrite_result {
    REWRITE_OK = 0,
    REWRITE_CANNOT_OPEN = 2134,
    REWRITE_NO_READER = 2138,
    REWRITE_EMPTY = 2145,
    REWRITE_BAD_HEADER = 2151,
    REWRITE_NO_TEMP = 2161,
    REWRITE_NO_WRITER = 2168,
    REWRITE_CANNOT_REOPEN = 2203
};

enum {
    SCHEDULE_LINE_SIZE = 260, // lines come in pieces of at most 259 characters
    SCHEDULE_HEADER_LEN = 23,
    ACCOUNT_KEY_SIZE = 32,
    ACCOUNT_KEY_HEX = 64,
    KEY_DIGEST_SIZE = 20
};

extern const char schedule_header[]; // "# Tavni Backup Schedule" (23 characters)

struct schedule_key {
    const char* name; // with its "="
    bool required;
};
extern const schedule_key schedule_keys[SCHED_KEY_COUNT];

// One parsed schedule. Lists hold terminated strings except filters, which
// hold folder_filter records (filter_value.h).
struct schedule {
    const char* values[SCHED_KEY_COUNT]; // null when absent
    bool seen[SCHED_KEY_COUNT];
    bool owned[SCHED_KEY_COUNT]; // value copied from the file (freed on release)
    blob_list* sources;          // "Src=" (room 50, growth 25)
    blob_list* excluded;         // "XSrc=" (room 1, growth 1)
    blob_list* sync;             // "Sync=" (room 1, growth 10)
    blob_list* filters;          // "filter=" (room 10, growth 10); sorted before the driver runs
    blob_list* recipients;       // "Email=" / "schedule_email="; null when none
    int html;                    // report HTML flag; default set
    unsigned char account_key[ACCOUNT_KEY_SIZE];
    unsigned char key_digest[KEY_DIGEST_SIZE]; // SHA-1 of the account key
    int64_t schedule_number;
    char* path;                         // the schedule path (owned)
    char* mail_queue_path;              // the mail-queue file chosen for the report (owned)
    char last_line[SCHEDULE_LINE_SIZE]; // the last line read, for the schedule number
};

// ---- the job's schedule -------------------------------------------------------

// The schedule of the running job: set by schedule_load_current, null outside a job
// (and after a refused schedule). The job driver, the walk, the filters and
// the command runner read it; only the job driver changes the source list.
schedule* current_schedule();
// A value of the key table, or null when absent. The text belongs to the
// schedule and is valid until it is released.
const char* schedule_value(const schedule* s, schedule_key_id key);
// Releases the job's schedule (lists and copied values); safe when none.
void schedule_release_current();

// Reads the schedule file at path into the job's schedule (steps: open,
// decrypt, header, parse, defaults and checks), logging every message to the
// job log. @return a schedule_result code; *runs is 1 when the schedule is
// enabled. On a failure, or for a disabled schedule, the job's schedule is
// released again (current_schedule() is null).
int schedule_load_current(const char* path, int* runs);

// Rewrites the schedule file with the job's current source list, keeping every
// other line; the copy keeps the encryption. @return a schedule_rewrite_result.
// Without a job schedule nothing is touched (REWRITE_NO_READER).
int schedule_rewrite(const char* path);
// The same with an explicit source list.
int schedule_rewrite_sources(const char* path, const blob_list* sources);

// ---- the plain-text parser -------------------------------------------------------

// An fgets-like line source: at most size - 1 characters up to and including
// "\n", terminated; null at the end.
typedef char* (*schedule_gets_fn)(void* ctx, char* buf, int size);

// Empty record: lists made, no recipients, HTML set.
void schedule_init(schedule* s);
// Frees lists and copied values and zeroes the record; safe on a zeroed record.
void schedule_release(schedule* s);
// True when the line begins with the 23 header characters.
bool schedule_header_ok(const char* line);
// Handles one further line (a comment, a list key, a flag or a table key);
// cuts it at its first "\n" and "\r". @return 0 or a schedule_result.
int schedule_parse_line(schedule* s, char* line);
// Reads the header and every further line from next_line.
// @return 0, SCHEDULE_NO_TEXT, SCHEDULE_BAD_HEADER or a code of schedule_parse_line.
int schedule_parse(schedule* s, schedule_gets_fn next_line, void* ctx);
// Defaults, required keys, "enabled=" and the account key. @return 0 with
// *runs set when the job may run, 0 with *runs clear for a disabled schedule,
// or SCHEDULE_MISSING_KEY / SCHEDULE_BAD_ACCKEY.
int schedule_check(schedule* s, int* runs);

// The schedule number carried by a line: the eight characters before its last
// ".", read as hexadecimal; 0 when they are missing or not all hex digits.
int64_t schedule_number_from_line(const char* line);
// The mail-queue file name for a schedule: path + ".eml", or path + "-N.eml"
// for the first N of 1..9 whose file does not exist yet (9 when all do).
// A new string (mem_alloc); the caller frees it with free().
char* schedule_mail_queue_name(const char* path);
// Sorts the filter list by folder, descending, without regard to case.
void schedule_sort_filters(blob_list* filters);

// fgets over a block of memory (tests, fuzzing, tools).
struct text_reader {
    const char* data;
    size_t size;
    size_t pos;
};
// As schedule_gets_fn: buf, or null at the end of the block, for a null
// reader or buf, or a size below 2.
char* text_reader_gets(void* reader, char* buf, int size);
