// process.cpp - Windows: facts about the running process and its end.
#include "platform/platform.h"

#include "platform/fault_backend.h"

#include <windows.h>

int plat_exe_path(char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    DWORD cap = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
    DWORD n = GetModuleFileNameA(nullptr, buf, cap);
    if (n == 0) {
        buf[0] = 0;
        return -1;
    }
    // A cut path fills the buffer exactly (older systems leave it without a
    // terminator); a cut path is no path.
    if (n >= cap) {
        buf[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    return 0;
}

int plat_process_id() {
    return static_cast<int>(GetCurrentProcessId());
}

void plat_exit_process(int code) {
    fault_write_counts_at_exit();
    ExitProcess(static_cast<UINT>(code));
}
