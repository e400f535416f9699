// log.cpp - timestamped log lines, each written unbuffered when it is logged
// (a held line together with the line after it).
#include "runtime/log.h"

#include "platform/platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// One log file. Each log has its own descriptor and no lock: a line is one
// write call on it, which the system keeps whole against the other thread's
// lines, so the watchdog never waits on a job log that the backup thread is
// stuck writing (a full disk, a pipe nobody reads). writers counts the
// threads inside a write, so that a close never frees a descriptor number
// that a line is still being written to.
struct log_sink {
    std::atomic<plat_file> file{PLAT_NO_FILE};
    std::atomic<int> writers{0};
};

log_sink g_process_log;
log_sink g_job_log; // written only by the backup thread

// Writes one line; false when the log is not open.
bool write_line(log_sink* sink, const char* line, size_t len) {
    sink->writers.fetch_add(1);
    const plat_file f = sink->file.load();
    if (f != PLAT_NO_FILE) plat_log_write(f, line, len); // write errors are ignored
    sink->writers.fetch_sub(1);
    return f != PLAT_NO_FILE;
}

void close_sink(log_sink* sink) {
    const plat_file f = sink->file.exchange(PLAT_NO_FILE);
    if (f == PLAT_NO_FILE) return;
    // A writer that took the descriptor before the exchange may still be in
    // its write (only a thread the watchdog gave up, just before the process
    // ends): leave the descriptor open rather than let its number be reused.
    if (sink->writers.load() == 0) plat_file_close(f);
}

// Emptied, then kept in append mode (the platform's log open): when a second
// agent started in the same folder empties the log again, this process's
// lines go on at the new end instead of leaving a hole of zero bytes.
int open_sink(log_sink* sink, const char* path, bool owner_only) {
    close_sink(sink);
    const plat_file f = plat_log_open(path, owner_only);
    sink->file.store(f);
    return f == PLAT_NO_FILE ? -1 : 0;
}

} // namespace

namespace {

// v in decimal, at least width digits (zero-padded), as "%0*u" writes it.
char* put_number(char* at, unsigned v, int width) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < width)
        digits[n++] = '0';
    while (n > 0)
        *at++ = digits[--n];
    return at;
}

// "YYYY-MM-DD hh:mm:ss.mmmm] " into out; its length. Written by hand: every
// line of the job log begins with it, and a run of current files writes two
// lines a file.
size_t format_stamp(char* out, const plat_systime& t) {
    char* at = out;
    at = put_number(at, t.year, 4);
    *at++ = '-';
    at = put_number(at, t.month, 2);
    *at++ = '-';
    at = put_number(at, t.day, 2);
    *at++ = ' ';
    at = put_number(at, t.hour, 2);
    *at++ = ':';
    at = put_number(at, t.minute, 2);
    *at++ = ':';
    at = put_number(at, t.second, 2);
    *at++ = '.';
    at = put_number(at, t.milliseconds, 4);
    *at++ = ']';
    *at++ = ' ';
    return static_cast<size_t>(at - out);
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Rewrites the message text[0, len) (len includes its closing line end, if
// any) with its control characters escaped, into at most room bytes plus a
// terminator; the new length. Kept out of line: only messages that carry a
// control character come here, and its buffer stays off the common path.
__attribute__((noinline)) size_t escape_message(char* text, size_t len, size_t room) {
    const bool line_end = len > 0 && text[len - 1] == '\n';
    const size_t body = line_end ? len - 1 : len;
    char escaped[LOG_LINE_MAX + 1];
    size_t at = 0;
    for (size_t i = 0; i < body; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char form[5] = {static_cast<char>(c), 0, 0, 0, 0};
        if (c == '\\') {
            form[1] = '\\';
        } else if (c == '\n' || c == '\r' || c == '\t') {
            form[0] = '\\';
            form[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        } else if (is_control(c)) {
            static const char hex[] = "0123456789ABCDEF";
            form[0] = '\\';
            form[1] = 'x';
            form[2] = hex[c >> 4];
            form[3] = hex[c & 15];
        }
        const size_t n = strlen(form);
        if (at + n > room) break; // cut, as an overlong line is
        memcpy(escaped + at, form, n);
        at += n;
    }
    if (line_end && at < room) escaped[at++] = '\n';
    memcpy(text, escaped, at);
    text[at] = 0;
    return at;
}

// The stamp of time and then the message formatted in place, cut at
// LOG_LINE_MAX; its length, or 0 when formatting failed.
//
// A message's text (all of it but its closing line end) never carries a
// control character into the log: a file name with a line end would forge
// whole lines (a "User terminated the backup." of its own making). Such a
// message is written with each control character escaped as \n, \r, \t or
// \xHH, and, in it alone, each backslash doubled, so that its escapes read
// back without doubt; every other message (Windows paths with their
// backslashes included) is written exactly as formatted.
size_t format_line_vat(char* out, const plat_systime& time, const char* format, va_list args) {
    const size_t stamp = format_stamp(out, time);
    const int n = vsnprintf(out + stamp, LOG_LINE_MAX + 1 - stamp, format, args);
    if (n < 0) return 0;
    size_t len = stamp + static_cast<size_t>(n);
    if (len > static_cast<size_t>(LOG_LINE_MAX)) len = LOG_LINE_MAX;
    const size_t text = len - stamp;
    const size_t body = text > 0 && out[len - 1] == '\n' ? text - 1 : text;
    for (size_t i = stamp; i < stamp + body; i++)
        if (is_control(static_cast<unsigned char>(out[i])))
            return stamp + escape_message(out + stamp, text, LOG_LINE_MAX - stamp);
    return len;
}

size_t format_line_at(char* out, const plat_systime& time, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t len = format_line_vat(out, time, format, args);
    va_end(args);
    return len;
}

} // namespace

size_t log_format_line(char* out, const char* message) {
    plat_systime t;
    plat_local_time(&t);
    return log_format_line_at(out, &t, message);
}

size_t log_format_line_at(char* out, const plat_systime* time, const char* message) {
    return format_line_at(out, *time, "%s", message);
}

static size_t format_line(char* line, const char* format, va_list args) {
    plat_systime t;
    plat_local_time(&t);
    return format_line_vat(line, t, format, args);
}

// The process log keeps the access of its folder; the job log lists every
// path the job backs up, so only its owner may read it.
int agent_log_open(const char* path) {
    return open_sink(&g_process_log, path, false);
}

void agent_log_close() {
    close_sink(&g_process_log);
}

bool agent_log_is_open() {
    return g_process_log.file.load() != PLAT_NO_FILE;
}

// One process-log line from a format and its arguments.
static void process_log_line(const char* format, va_list args) {
    char line[LOG_LINE_MAX + 1];
    size_t len = format_line(line, format, args);
    write_line(&g_process_log, line, len);
}

void agent_log_printf(const char* format, ...) {
    if (!agent_log_is_open()) return;
    va_list args;
    va_start(args, format);
    process_log_line(format, args);
    va_end(args);
}

void log_refusal(log_refusals* r, const char* format, ...) {
    const unsigned long n = ++r->count;
    if (n > LOG_REFUSALS_SHOWN || !agent_log_is_open()) return;
    va_list args;
    va_start(args, format);
    process_log_line(format, args);
    va_end(args);
    if (n == LOG_REFUSALS_SHOWN) agent_log_printf("Further refused %s are counted, not logged.\n", r->what);
}

void log_refusals_end(log_refusals* r, bool tell) {
    const unsigned long n = r->count.exchange(0);
    if (tell && n > LOG_REFUSALS_SHOWN)
        agent_log_printf("%lu %s from other users were refused in all.\n", n, r->what);
}

namespace {
std::atomic<bool> g_job_log_quiet{false};

// Where a job-log line goes while no job log is open.
void job_log_elsewhere(const char* text) {
    if (!g_job_log_quiet.load(std::memory_order_relaxed)) plat_debug_output(text);
}
} // namespace

void job_log_quiet_when_closed(bool quiet) {
    g_job_log_quiet.store(quiet, std::memory_order_relaxed);
}

int job_log_open(const char* path) {
    return open_sink(&g_job_log, path, true);
}

void job_log_close() {
    close_sink(&g_job_log);
}

void job_log_printf(const char* format, ...) {
    char line[LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    size_t len = format_line(line, format, args);
    va_end(args);
    if (!write_line(&g_job_log, line, len)) job_log_elsewhere(line);
}

void job_log_hold(log_held_line* held, const char* format, ...) {
    va_list args;
    va_start(args, format);
    held->length = format_line(held->text, format, args);
    va_end(args);
}

void job_log_write_held(const log_held_line* held) {
    if (!write_line(&g_job_log, held->text, held->length)) job_log_elsewhere(held->text);
}

void job_log_printf_after(const log_held_line* held, const char* format, ...) {
    // Both lines in one buffer; each keeps its own cut at LOG_LINE_MAX.
    char lines[2 * (LOG_LINE_MAX + 1)];
    const size_t limit = LOG_LINE_MAX;
    const size_t first = held->length <= limit ? held->length : limit;
    memcpy(lines, held->text, first);
    va_list args;
    va_start(args, format);
    const size_t second = format_line(lines + first, format, args);
    va_end(args);
    if (write_line(&g_job_log, lines, first + second)) return;
    job_log_elsewhere(held->text);
    job_log_elsewhere(lines + first);
}

void debug_printf(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, DEBUG_LINE_MAX + 1, format, args);
    va_end(args);
    if (n < 0) n = 0;
    size_t len = strlen(line);
    memcpy(line + len, "\r\n", 3);
    plat_debug_output(line);
}
