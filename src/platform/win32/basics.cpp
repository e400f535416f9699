// basics.cpp - Windows: platform constants, errors, time and debug output.
//
// Error texts come from the system message table in the default language;
// ticks come from the multimedia timer, as the progress area's tick fields
// are defined by it.
#include "platform/platform.h"

#include "platform/win32/handle.h"

#include <windows.h>
#include <mmsystem.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

const char plat_path_sep = '\\';
const bool plat_path_fold_case = true;
const bool plat_is_windows = true;

int plat_last_error() {
    return static_cast<int>(GetLastError());
}

void plat_set_last_error(int code) {
    SetLastError(static_cast<DWORD>(code));
}

// The C library's own translation of system codes, kept here so that a failed
// call reads as the errno a caller of the C library would have seen.
int plat_errno_for_error(int code) {
    static const struct {
        int err;
        DWORD codes[10];
    } table[] = {
        {EINVAL,
         {ERROR_INVALID_FUNCTION, ERROR_INVALID_ACCESS, ERROR_INVALID_DATA, ERROR_INVALID_PARAMETER,
          ERROR_NEGATIVE_SEEK, ERROR_INVALID_NAME}},
        {ENOENT,
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_NO_MORE_FILES,
          ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME, ERROR_BAD_PATHNAME, ERROR_FILENAME_EXCED_RANGE}},
        {EMFILE, {ERROR_TOO_MANY_OPEN_FILES}},
        {EACCES,
         {ERROR_ACCESS_DENIED, ERROR_CURRENT_DIRECTORY, ERROR_LOCK_VIOLATION,
          ERROR_NETWORK_ACCESS_DENIED, ERROR_CANNOT_MAKE, ERROR_FAIL_I24, ERROR_DRIVE_LOCKED,
          ERROR_SEEK_ON_DEVICE, ERROR_NOT_LOCKED, ERROR_LOCK_FAILED}},
        {EBADF, {ERROR_INVALID_HANDLE, ERROR_INVALID_TARGET_HANDLE, ERROR_DIRECT_ACCESS_HANDLE}},
        {ENOMEM,
         {ERROR_ARENA_TRASHED, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_BLOCK,
          ERROR_NOT_ENOUGH_QUOTA}},
        {E2BIG, {ERROR_BAD_ENVIRONMENT}},
        {ENOEXEC, {ERROR_BAD_FORMAT}},
        {EXDEV, {ERROR_NOT_SAME_DEVICE}},
        {EEXIST, {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
        {EAGAIN, {ERROR_NO_PROC_SLOTS, ERROR_MAX_THRDS_REACHED, ERROR_NESTING_NOT_ALLOWED}},
        {EPIPE, {ERROR_BROKEN_PIPE}},
        {ENOSPC, {ERROR_DISK_FULL}},
        {ECHILD, {ERROR_WAIT_NO_CHILDREN, ERROR_CHILD_NOT_COMPLETE}},
        {ENOTEMPTY, {ERROR_DIR_NOT_EMPTY}},
    };
    if (code <= 0) return -1;
    for (const auto& row : table)
        for (DWORD c : row.codes)
            if (c == static_cast<DWORD>(code)) return row.err;
    return -1;
}

char* plat_error_text(int code, char* buf, size_t size) {
    if (size == 0) return buf;
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&text), 0, nullptr);
    win32::local_memory owned(text);
    if (n == 0 || text == nullptr) {
        snprintf(buf, size, "Unknown error %d", code);
        return buf;
    }
    // The table's texts end in "\r\n"; callers add their own line ends.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        --n;
    size_t len = n;
    if (len >= size) len = size - 1;
    memcpy(buf, text, len);
    buf[len] = 0;
    return buf;
}

static void fill_systime(const SYSTEMTIME& st, plat_systime* out) {
    out->year = st.wYear;
    out->month = st.wMonth;
    out->day_of_week = st.wDayOfWeek;
    out->day = st.wDay;
    out->hour = st.wHour;
    out->minute = st.wMinute;
    out->second = st.wSecond;
    out->milliseconds = st.wMilliseconds;
}

void plat_local_time(plat_systime* out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    fill_systime(st, out);
}

// The C library's conversion: it applies the zone's daylight rules of t's
// own date, as the job log's clock does for now.
bool plat_local_time_of(int64_t t, plat_systime* out) {
    const __time64_t tt = static_cast<__time64_t>(t);
    struct tm tm;
    if (_localtime64_s(&tm, &tt) != 0) return false;
    *out = plat_systime{static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
                        static_cast<uint16_t>(tm.tm_wday), static_cast<uint16_t>(tm.tm_mday),
                        static_cast<uint16_t>(tm.tm_hour), static_cast<uint16_t>(tm.tm_min),
                        static_cast<uint16_t>(tm.tm_sec), 0};
    return true;
}

void plat_utc_time(plat_systime* out) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    fill_systime(st, out);
}

uint64_t plat_file_clock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

uint32_t plat_tick_ms() {
    return static_cast<uint32_t>(timeGetTime());
}

void plat_sleep_ms(uint32_t ms) {
    Sleep(static_cast<DWORD>(ms));
}

void plat_debug_output(const char* text) {
    OutputDebugStringA(text);
}

bool plat_stdout_is_terminal() {
    return _isatty(_fileno(stdout)) != 0;
}
