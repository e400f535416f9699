// mail.h - e-mail report messages: templates, composition and delivery.
//
// Composition is pure: a report record and a template text give a body.
// Delivery hands a success message to the server and writes everything the
// server did not take to an encrypted mail-queue file beside the schedule.
#pragma once

#include "report/report.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum {
    REPORT_TEMPLATE_BUF = 32768, // at most REPORT_TEMPLATE_BUF - 1 bytes are read
    REPORT_BODY_START = 131072,
    REPORT_BODY_MAX = 10485760,
    REPORT_FLAG_HTML = 1,
    REPORT_FLAG_ERRORS_ONLY = 2,
};

extern const char* const report_fallback_address; // "internal-backup-agent"
extern const char* const report_template_missing; // "\nEmail template missing!"
extern const char* const report_template_bad;     // "\nError loading email template!"

// ---- body buffer ---------------------------------------------------------------

// Allocates capacity bytes (empty text) with the given growth limit; 0, or -1
// when the memory cannot be had (the body is then left unallocated). b is
// overwritten, not freed: free an allocated body first. The text is the
// body's, released by report_body_free.
int report_body_init(report_body* b, size_t capacity, size_t limit);
// Frees the text and zeroes the record; safe on an unallocated body.
void report_body_free(report_body* b);
// Empties the text; full stays as it was (it lasts for the whole report).
void report_body_clear(report_body* b);
// Appends n bytes. A piece fits when length + n < capacity; otherwise the
// capacity doubles up to limit. Returns false, sets full and drops the piece
// (and every later one) when it cannot fit, also when the memory to grow
// cannot be had; false at once for an unallocated body.
bool report_body_append(report_body* b, const char* piece, size_t n);

// ---- templates -----------------------------------------------------------------

// Turns what a template read gave into template text in out (REPORT_TEMPLATE_BUF
// bytes): opened false gives the missing-template text; fewer than 1 or
// exactly REPORT_TEMPLATE_BUF - 1 bytes give the loading-error text; else the
// bytes up to the first zero byte with every carriage return removed.
// count is clamped to REPORT_TEMPLATE_BUF - 1. Returns the text length.
size_t report_template_from_bytes(char* out, bool opened, const void* data, size_t count);
// Reads at most REPORT_TEMPLATE_BUF - 1 bytes of path into out; as above
// (a file that cannot be opened is a missing template). Never fails.
size_t report_template_load(const char* path, char* out);
// "%s%s.emt" of base (null: empty) and "_html" or "_txt".
std::string report_template_path(const char* base, bool html);

// ---- composition ---------------------------------------------------------------

// Empties body and expands the template (length len) with the record's
// values. Tokens are tried case-sensitively in their fixed order; a "#" that
// starts none is copied and the scan goes on after it. Never reads outside
// [tmpl, tmpl + len). Returns false when the body filled up on the way.
bool report_expand(const job_report* r, const char* tmpl, size_t len, bool html, report_body* body);

// Parses a recipient entry: "flags,address" (flags read like atoi) or a bare
// address that takes default_flags. Returns the flags (a number too large
// for an int is cut to INT_MAX); *address points into entry, which must
// outlive its use.
int report_parse_recipient(const char* entry, int default_flags, const char** address);

// ---- delivery ------------------------------------------------------------------

// The queue file's header lines, up to and including "[message]\n".
std::string report_queue_header(const job_report* r, const char* address);

// The queue path for the next message of a report after first_path was used:
// the schedule path behind first_path, followed by "-%d" (1 to 9) and ".eml",
// the first that cannot be opened for reading; "-9" when all exist.
std::string report_next_queue_path(const char* first_path);

// Builds and delivers one message per recipient of the record, with the
// fallback recipient when there are none or all were skipped. Resets and then
// counts r->queue_files and r->lost_messages; reports nothing else: a lost
// message, or a body that filled up, moves r->state to REPORT_BROKEN.
void report_send(job_report* r, const char* base);
// One message: 0 when skipped for flag bit 1 and a job without failed files,
// 1 otherwise (delivered, queued or lost; a lost message sets state 4). The
// body is composed into r->body. A success message ("etc/success") goes to
// the server when the record has a session; what the server does not take,
// and every other message, is written to the next queue file (owner-only,
// encrypted; a file that could not be written whole is removed again).
int report_deliver(job_report* r, const char* base, const char* address, int flags);
