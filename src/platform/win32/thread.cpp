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
    DWORD value = 0;
    if (!GetExitCodeThread(t->handle.get(), &value)) return -1;
    *code = static_cast<int>(value);
    return 0;
}

int plat_thread_terminate(plat_thread* t, int code) {
    if (t == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return TerminateThread(t->handle.get(), static_cast<DWORD>(code)) ? 0 : -1;
}

bool plat_thread_needs_process_exit() {
    return false;
}

void plat_thread_close(plat_thread* t) {
    delete t;
}
