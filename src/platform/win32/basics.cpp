// basics.cpp - Windows: platform constants, errors, time and debug output.
//
// Error texts come from the system message table in the default language;
// ticks come from the multimedia timer, as the progress area's tick fields
// are defined by it.
#include "platform/platform.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

const char plat_path_sep = '\\';
const bool plat_path_fold_case = true;
const bool plat_is_windows = true;

int plat_last_error() {
    return static_cast<int>(GetLastError());
}

void plat_set_last_error(int code) {
    SetLastError(static_cast<DWORD>(code));
}

char* plat_error_text(int code, char* buf, size_t size) {
    if (size == 0) return buf;
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&text), 0, nullptr);
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
    LocalFree(text);
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

void plat_utc_time(plat_systime* out) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    fill_systime(st, out);
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
