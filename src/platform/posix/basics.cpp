// basics.cpp - Linux: platform constants, errors, time and debug output.
#include "platform/platform.h"
#include "platform/posix/files_internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

const char plat_path_sep = '/';
const bool plat_path_fold_case = false;
const bool plat_is_windows = false;

int plat_last_error() {
    return errno;
}

void plat_set_last_error(int code) {
    errno = code;
}

int plat_errno_for_error(int code) {
    return code;
}

char* plat_error_text(int code, char* buf, size_t size) {
    if (size == 0) return buf;
    // The GNU strerror_r returns the text it chose; copy it into buf.
    char tmp[256];
    const char* text = strerror_r(code, tmp, sizeof tmp);
    size_t n = strlen(text);
    if (n >= size) n = size - 1;
    memcpy(buf, text, n);
    buf[n] = 0;
    return buf;
}

static void fill_systime(const struct tm& tm, long nsec, plat_systime* out) {
    out->year = static_cast<uint16_t>(tm.tm_year + 1900);
    out->month = static_cast<uint16_t>(tm.tm_mon + 1);
    out->day_of_week = static_cast<uint16_t>(tm.tm_wday);
    out->day = static_cast<uint16_t>(tm.tm_mday);
    out->hour = static_cast<uint16_t>(tm.tm_hour);
    out->minute = static_cast<uint16_t>(tm.tm_min);
    out->second = static_cast<uint16_t>(tm.tm_sec);
    out->milliseconds = static_cast<uint16_t>(nsec / 1000000);
}

void plat_local_time(plat_systime* out) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    // Log lines ask many times a second: the conversion of the last second
    // asked for is kept per thread (the zone rules are read once anyway).
    thread_local time_t last_second = -1;
    thread_local struct tm last_tm;
    if (ts.tv_sec != last_second) {
        struct tm tm;
        localtime_r(&ts.tv_sec, &tm);
        last_tm = tm;
        last_second = ts.tv_sec;
    }
    fill_systime(last_tm, ts.tv_nsec, out);
}

bool plat_local_time_of(int64_t t, plat_systime* out) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&tt, &tm)) return false;
    *out = plat_systime{static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
                        static_cast<uint16_t>(tm.tm_wday), static_cast<uint16_t>(tm.tm_mday),
                        static_cast<uint16_t>(tm.tm_hour), static_cast<uint16_t>(tm.tm_min),
                        static_cast<uint16_t>(tm.tm_sec), 0};
    return true;
}

void plat_utc_time(plat_systime* out) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    fill_systime(tm, ts.tv_nsec, out);
}

uint64_t plat_file_clock() {
    // The kernel stamps files from the coarse clock (or finer, never earlier).
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) != 0) clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t filetime_1970 = 116444736000000000ULL;
    return filetime_1970 + static_cast<uint64_t>(ts.tv_sec) * 10000000ULL +
           static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

uint32_t plat_tick_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void plat_sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void plat_debug_output(const char* text) {
    // One write per line so that lines of several threads stay whole. The
    // error stream may be a pipe whose reader has gone: that must not end
    // the agent, and the line is simply lost, as on Windows with no debugger.
    int saved = errno;
    write_all_no_sigpipe(STDERR_FILENO, text, strlen(text));
    errno = saved;
}

bool plat_stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}
