// log.h - the process log, the job log and the debug output.
//
// Each line is "YYYY-MM-DD hh:mm:ss.mmmm] message" in local time, formatted in
// per-call buffers and written unbuffered with one write call, so lines of
// two threads never interleave. Messages carry their own "\n". There are no
// levels and no rotation; a log is emptied when opened. The two logs share
// no lock: a thread stuck writing one never holds up a writer of the other.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define TAVNI_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TAVNI_PRINTF(fmt, args)
#endif

enum { LOG_MESSAGE_MAX = 16383, LOG_LINE_MAX = 16383, DEBUG_LINE_MAX = 253 };

// Opens (truncating) the process log; 0 or -1 (the log then stays silent).
int agent_log_open(const char* path);
void agent_log_close();
bool agent_log_is_open();
void agent_log_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// Opens (truncating) the job log, readable by its owner only on Linux; 0 or
// -1 (its lines then go to the debug output). Like every file the agent
// writes beside a schedule, it is never opened through a symbolic link.
int job_log_open(const char* path);
void job_log_close();
void job_log_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// Debug output: the message without timestamp, cut to 253 characters, plus CR LF.
void debug_printf(const char* format, ...) TAVNI_PRINTF(1, 2);

// Formats one timestamped line into out (LOG_LINE_MAX + 1 bytes); its length.
size_t log_format_line(char* out, const char* message);
// The same with a given local time.
struct plat_systime;
size_t log_format_line_at(char* out, const plat_systime* time, const char* message);
