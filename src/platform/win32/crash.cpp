// crash.cpp - Windows: the unhandled-exception filter and full-memory dumps.
//
// The dump writer comes from "dbghelp", loaded at the time of the dump so
// that a system without it still runs (and writes no dump). A full-memory
// dump holds every thread, so the hung thread needs no special treatment; it
// also holds the keys, so the file gets an access list of its own.
#include "platform/platform.h"

#include "platform/win32/handle.h"

#include <dbghelp.h>

namespace {

// The dump's own access list: full access for the process's user,
// Administrators and SYSTEM, nothing inherited from the folder. Everything
// lives in this record (no heap), as the filter may run with a damaged heap.
struct dump_security {
    SECURITY_DESCRIPTOR descriptor;
    DWORD acl[256]; // an ACL, DWORD-aligned
    DWORD user[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
    DWORD admins[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1];
    DWORD system[SECURITY_MAX_SID_SIZE / sizeof(DWORD) + 1];
};

PACL dump_acl(dump_security* s) {
    return reinterpret_cast<PACL>(s->acl);
}

// Fills s; false (last error set) when the user or the list cannot be made.
bool build_dump_security(dump_security* s) {
    HANDLE opened = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
        return false;
    win32::kernel_handle token(opened);
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, s->user, sizeof s->user, &length))
        return false;
    token.reset();
    PSID user = reinterpret_cast<TOKEN_USER*>(s->user)->User.Sid;
    DWORD size = sizeof s->admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, s->admins, &size)) return false;
    size = sizeof s->system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, s->system, &size)) return false;
    PACL acl = dump_acl(s);
    if (!InitializeAcl(acl, sizeof s->acl, ACL_REVISION)) return false;
    PSID granted[] = {user, s->admins, s->system};
    for (PSID sid : granted)
        if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return false;
    return InitializeSecurityDescriptor(&s->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&s->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&s->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

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
    dump_security security;
    if (!build_dump_security(&security)) return -1;
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
