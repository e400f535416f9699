// process_spawn.cpp - Windows: the hidden child process of the command runner
// and the Wow64 file-system redirection switch.
//
// The command line goes to CreateProcessA unchanged; the child's window is
// hidden and no start-up feedback cursor is shown. The redirection functions
// are looked up in kernel32.dll at each use, since older systems lack them.
#include "platform/platform.h"
#include "platform/win32/handle.h"

#include <windows.h>

#include <cstring>
#include <string>

struct plat_process {
    win32::kernel_handle process;
    win32::kernel_handle thread;
};

namespace {

typedef BOOL(WINAPI* redirection_disable_fn)(PVOID*);
typedef BOOL(WINAPI* redirection_revert_fn)(PVOID);

} // namespace

plat_process* plat_process_start(const char* command_line) {
    // CreateProcessA may write into the command line buffer.
    std::string line = command_line ? command_line : "";
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &si, &pi))
        return nullptr;
    plat_process* p = new plat_process();
    p->process.reset(pi.hProcess);
    p->thread.reset(pi.hThread);
    return p;
}

int plat_process_wait(plat_process* p, uint32_t ms, plat_wait_result* result) {
    DWORD r = WaitForSingleObject(p->process.get(), ms);
    switch (r) {
    case WAIT_OBJECT_0:
        *result = PLAT_WAIT_ENDED;
        return 0;
    case WAIT_TIMEOUT:
        *result = PLAT_WAIT_TIMEOUT;
        return 0;
    case WAIT_ABANDONED:
        *result = PLAT_WAIT_ABANDONED;
        return 0;
    case WAIT_FAILED:
        *result = PLAT_WAIT_FAILED;
        return 0;
    default:
        *result = PLAT_WAIT_FAILED;
        return static_cast<int>(r);
    }
}

int plat_process_exit_code(plat_process* p, uint32_t* code) {
    DWORD c = 0;
    if (!GetExitCodeProcess(p->process.get(), &c)) return -1;
    *code = c;
    return 0;
}

int plat_process_terminate(plat_process* p, uint32_t code) {
    // TerminateProcess refuses a process that has already ended.
    if (WaitForSingleObject(p->process.get(), 0) == WAIT_OBJECT_0) return 0;
    if (!TerminateProcess(p->process.get(), code)) {
        DWORD e = GetLastError();
        if (WaitForSingleObject(p->process.get(), 0) == WAIT_OBJECT_0) return 0;
        SetLastError(e);
        return -1;
    }
    // Termination is asynchronous; the process is gone when its handle is signalled.
    WaitForSingleObject(p->process.get(), INFINITE);
    return 0;
}

void plat_process_close(plat_process* p) {
    delete p; // closes both handles; accepts null
}

plat_redirection plat_redirection_disable(void** old_state) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return PLAT_REDIRECTION_NO_MODULE;
    redirection_disable_fn fn = reinterpret_cast<redirection_disable_fn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
    if (!fn) return PLAT_REDIRECTION_ABSENT;
    PVOID old = *old_state;
    if (!fn(&old)) return PLAT_REDIRECTION_FAILED;
    *old_state = old;
    return PLAT_REDIRECTION_DONE;
}

plat_redirection plat_redirection_revert(void* old_state) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel) return PLAT_REDIRECTION_NO_MODULE;
    redirection_revert_fn fn = reinterpret_cast<redirection_revert_fn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
    if (!fn) return PLAT_REDIRECTION_ABSENT;
    if (!fn(old_state)) return PLAT_REDIRECTION_FAILED;
    return PLAT_REDIRECTION_DONE;
}
