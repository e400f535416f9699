// crash.cpp - Windows: the unhandled-exception filter and full-memory dumps.
//
// The dump writer comes from "dbghelp", loaded at the time of the dump so
// that a system without it still runs (and writes no dump). A full-memory
// dump holds every thread, so the hung thread needs no special treatment; it
// also holds the keys, so the file gets an access list of its own.
#include "platform/platform.h"

#include "platform/win32/handle.h"
#include "platform/win32/own_access.h"

#include <dbghelp.h>

namespace {

typedef BOOL(WINAPI* minidump_write_fn)(HANDLE process, DWORD pid, HANDLE file, MINIDUMP_TYPE type,
                                        PMINIDUMP_EXCEPTION_INFORMATION exception,
                                        PMINIDUMP_USER_STREAM_INFORMATION user,
                                        PMINIDUMP_CALLBACK_INFORMATION callback);

plat_crash_fn crash_callback = nullptr;
volatile LONG crash_entered = 0;

LONG WINAPI crash_filter(EXCEPTION_POINTERS* info) {
    // A fault inside the callback must not loop back into it.
    if (InterlockedExchange(&crash_entered, 1) == 0 && crash_callback != nullptr) {
        crash_callback(info);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void plat_install_crash_handler(plat_crash_fn fn) {
    crash_callback = fn;
    SetUnhandledExceptionFilter(crash_filter);
}

int plat_write_dump(const char* path, void* fault_info, plat_thread* hung_thread) {
    (void)hung_thread;
    if (path == nullptr || path[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    win32::module_handle dbghelp(LoadLibraryA("dbghelp"));
    if (!dbghelp) return -1;
    minidump_write_fn write_dump = reinterpret_cast<minidump_write_fn>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp.get(), "MiniDumpWriteDump")));
    if (write_dump == nullptr) return -1;

    // A full-memory dump holds the keys: without its own access list it
    // would be readable by whoever may read the installation folder.
    // Full access for the process's user, Administrators and SYSTEM,
    // nothing inherited from the folder.
    win32::own_access security;
    if (!win32::build_own_access(&security, true)) return -1;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &security.descriptor;
    attributes.bInheritHandle = FALSE;
    // Created new, so that the list applies: a file of that name (or a link
    // planted there) is removed first, never written through or kept with
    // the access it had.
    win32::file_handle file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && GetLastError() == ERROR_FILE_EXISTS && DeleteFileA(path))
        file.reset(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return -1;

    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = GetCurrentThreadId();
    exception.ExceptionPointers = static_cast<EXCEPTION_POINTERS*>(fault_info);
    exception.ClientPointers = FALSE; // the pointers are in this process's memory
    BOOL ok =
        write_dump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpWithFullMemory,
                   fault_info != nullptr ? &exception : nullptr, nullptr, nullptr);
    return ok ? 0 : -1;
}

void plat_crash_now() {
    // A non-continuable access violation goes through the filter like a real
    // fault, without relying on undefined behaviour in the compiled code.
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
