// log.cpp - timestamped log lines, one write and one flush each.
#include "agent/log.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Text mode: on Windows "\n" is stored as CR LF, as the logs require.
FILE* g_process_log = nullptr;
FILE* g_job_log = nullptr;
std::mutex g_write_lock; // serialises writers as a locked stdio stream would

// Writes under the lock and re-reads the stream there, so a log closed by
// another thread is never written.
bool write_line(FILE* const* stream, const char* line, size_t len) {
    std::lock_guard<std::mutex> hold(g_write_lock);
    if (!*stream) return false;
    fwrite(line, 1, len, *stream);
    fflush(*stream);
    return true;
}

// Empties the log, then keeps it in append mode: when a second agent started
// in the same folder empties the log again, this process's lines go on at
// the new end instead of leaving a hole of zero bytes up to its old offset.
FILE* open_emptied(const char* path) {
    FILE* f = fopen(path, "w");
    if (!f) return nullptr;
    fclose(f);
    return fopen(path, "a+");
}

} // namespace

size_t log_format_line(char* out, const char* message) {
    plat_systime t;
    plat_local_time(&t);
    return log_format_line_at(out, &t, message);
}

size_t log_format_line_at(char* out, const plat_systime* time, const char* message) {
    const plat_systime& t = *time;
    int n = snprintf(out, LOG_LINE_MAX + 1, "%04d-%02d-%02d %02d:%02d:%02d.%04d] %s", t.year,
                     t.month, t.day, t.hour, t.minute, t.second, t.milliseconds, message);
    if (n < 0) return 0;
    const size_t len = static_cast<size_t>(n);
    return len > static_cast<size_t>(LOG_LINE_MAX) ? static_cast<size_t>(LOG_LINE_MAX) : len;
}

static size_t format_line(char* line, const char* format, va_list args) {
    char message[LOG_MESSAGE_MAX + 1];
    vsnprintf(message, sizeof message, format, args);
    return log_format_line(line, message);
}

int agent_log_open(const char* path) {
    agent_log_close();
    FILE* f = open_emptied(path);
    std::lock_guard<std::mutex> hold(g_write_lock);
    g_process_log = f;
    return f ? 0 : -1;
}

void agent_log_close() {
    std::lock_guard<std::mutex> hold(g_write_lock);
    if (g_process_log) fclose(g_process_log);
    g_process_log = nullptr;
}

bool agent_log_is_open() {
    return g_process_log != nullptr;
}

void agent_log_printf(const char* format, ...) {
    if (!g_process_log) return;
    char line[LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    size_t len = format_line(line, format, args);
    va_end(args);
    write_line(&g_process_log, line, len);
}

int job_log_open(const char* path) {
    job_log_close();
    FILE* f = open_emptied(path);
    std::lock_guard<std::mutex> hold(g_write_lock);
    g_job_log = f;
    return f ? 0 : -1;
}

void job_log_close() {
    std::lock_guard<std::mutex> hold(g_write_lock);
    if (g_job_log) fclose(g_job_log);
    g_job_log = nullptr;
}

void job_log_printf(const char* format, ...) {
    char line[LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    size_t len = format_line(line, format, args);
    va_end(args);
    if (!write_line(&g_job_log, line, len)) plat_debug_output(line);
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
