// log.h - the process log, the job log and the debug output.
//
// Each line is "YYYY-MM-DD hh:mm:ss.mmmm] message" in local time, formatted in
// per-call buffers and written unbuffered with one write call, so lines of
// two threads never interleave. Messages carry their own "\n". There are no
// levels and no rotation; a log is emptied when opened. The two logs share
// no lock: a thread stuck writing one never holds up a writer of the other.
#pragma once

#include <atomic>
#include <cstddef>

#if defined(__GNUC__)
#define TAVNI_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TAVNI_PRINTF(fmt, args)
#endif

enum { LOG_LINE_MAX = 16383, DEBUG_LINE_MAX = 253 };

// Opens (truncating) the process log, closing one open before; 0, or -1 with
// plat_last_error() set (the log then stays silent).
int agent_log_open(const char* path);
// Safe to repeat and when never opened.
void agent_log_close();
bool agent_log_is_open();
// One line to the process log, cut at LOG_LINE_MAX characters with its
// time stamp; nothing when the log is not open. Write errors are ignored.
void agent_log_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// Other users' requests refused by the agent (a stop, a job message), noted
// in the process log: the first LOG_REFUSALS_SHOWN each with a line of its
// own, then one line saying that the rest are only counted, and their total
// at the end, so that a stranger cannot fill the disk with log lines.
// Thread-safe.
enum { LOG_REFUSALS_SHOWN = 100 };
struct log_refusals {
    const char* what; // "stop requests": the lines' plural noun
    std::atomic<unsigned long> count{0};
};
// Counts one refusal and logs its line while they are shown, then "Further
// refused WHAT are counted, not logged." after the last one shown.
void log_refusal(log_refusals* r, const char* format, ...) TAVNI_PRINTF(2, 3);
// With tell, logs "N WHAT from other users were refused in all." when more
// were refused than shown; then starts the count again.
void log_refusals_end(log_refusals* r, bool tell);

// Opens (truncating) the job log, readable by its owner only on Linux; 0 or
// -1 with plat_last_error() set (its lines then go to the debug output). Like
// every file the agent writes beside a schedule, it is never opened through a
// symbolic link. A job log open before is closed first.
int job_log_open(const char* path);
// Safe to repeat and when never opened.
void job_log_close();
// For the tools that share the agent's parsers but keep no job log: quiet
// drops the job-log lines written while no job log is open, which would
// otherwise go to the debug output (standard error on Linux).
void job_log_quiet_when_closed(bool quiet);
// One line to the job log, or to the debug output when it is not open; cut
// and unchecked as agent_log_printf.
void job_log_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// A job log line formatted (and timestamped) now and written later, in the
// same write call as the line that follows it: for the lines of one file
// with nothing between them that could end the process. A held line is lost
// only if the process dies before the next line is written.
struct log_held_line {
    size_t length;
    char text[LOG_LINE_MAX + 1];
};
void job_log_hold(log_held_line* held, const char* format, ...) TAVNI_PRINTF(2, 3);
// Writes the held line alone, as job_log_printf would have.
void job_log_write_held(const log_held_line* held);
// Writes the held line and then the new one with one write call (or to the
// debug output, one line each, when the job log is not open).
void job_log_printf_after(const log_held_line* held, const char* format, ...) TAVNI_PRINTF(2, 3);

// Debug output: the message without timestamp, cut to 253 characters, plus CR LF.
void debug_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// Formats one timestamped line into out (LOG_LINE_MAX + 1 bytes, always
// terminated); its length, cut at LOG_LINE_MAX, or 0 when formatting failed.
size_t log_format_line(char* out, const char* message);
// The same with a given local time.
struct plat_systime;
size_t log_format_line_at(char* out, const plat_systime* time, const char* message);
