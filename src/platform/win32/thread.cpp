// thread.cpp - Windows: the backup thread and the watchdog's view of it.
//
// A thread is a CreateThread handle. The start record (function and argument)
// belongs to the new thread, which frees it before it runs the function, so
// plat_thread_close may come before or after the thread ends. Windows can
// stop a hung thread itself, so the process never has to end in its place.
#include "platform/platform.h"

#include "platform/win32/handle.h"

#include <new>

struct plat_thread {
    win32::kernel_handle handle;
    // Set by plat_thread_terminate: the code the thread is taken to have
    // ended with, even when it returned by itself just before.
    bool given_up = false;
    int given_up_code = 0;
    bool end_seen = false; // a wait has answered "ended"
};

namespace {

struct start_record {
    plat_thread_fn fn;
    void* arg;
};

DWORD WINAPI thread_entry(LPVOID param) {
    start_record* start = static_cast<start_record*>(param);
    plat_thread_fn fn = start->fn;
    void* arg = start->arg;
    delete start;
    return static_cast<DWORD>(fn(arg));
}

} // namespace

plat_thread* plat_thread_start(plat_thread_fn fn, void* arg) {
    if (fn == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    start_record* start = new (std::nothrow) start_record{fn, arg};
    plat_thread* t = new (std::nothrow) plat_thread;
    if (start == nullptr || t == nullptr) {
        delete start;
        delete t;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD id = 0;
    t->handle.reset(CreateThread(nullptr, 0, thread_entry, start, 0, &id));
    if (!t->handle) {
        DWORD err = GetLastError();
        delete start;
        delete t;
        SetLastError(err);
        return nullptr;
    }
    return t;
}

plat_wait_result plat_thread_wait(plat_thread* t, uint32_t ms) {
    if (t == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return PLAT_WAIT_FAILED;
    }
    switch (WaitForSingleObject(t->handle.get(), static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
        t->end_seen = true;
        return PLAT_WAIT_ENDED;
    case WAIT_TIMEOUT:
        return PLAT_WAIT_TIMEOUT;
    case WAIT_ABANDONED:
        return PLAT_WAIT_ABANDONED;
    default:
        return PLAT_WAIT_FAILED;
    }
}

int plat_thread_exit_code(plat_thread* t, int* code) {
    if (t == nullptr || code == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (t->given_up) {
        *code = t->given_up_code;
        return 0;
    }
    DWORD value = 0;
    if (!GetExitCodeThread(t->handle.get(), &value)) return -1;
    // STILL_ACTIVE is also a code a thread may return: ask the handle.
    if (value == STILL_ACTIVE && WaitForSingleObject(t->handle.get(), 0) == WAIT_TIMEOUT) {
        SetLastError(ERROR_INVALID_STATE);
        return -1;
    }
    *code = static_cast<int>(value);
    return 0;
}

int plat_thread_terminate(plat_thread* t, int code) {
    if (t == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    // An end that a wait has reported keeps its code.
    if (t->end_seen) return 0;
    // A thread that ended after the last wait found it running is not
    // stopped again, but the watchdog gave it up all the same: it reads as
    // ended with code.
    if (WaitForSingleObject(t->handle.get(), 0) != WAIT_OBJECT_0) {
        if (!TerminateThread(t->handle.get(), static_cast<DWORD>(code))) return -1;
        // TerminateThread only starts the end; wait for it so that the next
        // wait answers "ended" at once, as the watchdog expects.
        WaitForSingleObject(t->handle.get(), 10000);
    }
    t->given_up = true;
    t->given_up_code = code;
    return 0;
}

bool plat_thread_needs_process_exit() {
    return false;
}

void plat_thread_close(plat_thread* t) {
    delete t;
}

uint32_t plat_cpu_count() {
    // The processors of the process's affinity mask (a job object or start
    // /affinity may hold it below the machine's count).
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        uint32_t n = 0;
        for (; process; process &= process - 1)
            n++;
        return n;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

int plat_thread_lower_priority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) ? 0 : -1;
}
