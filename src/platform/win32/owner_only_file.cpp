// owner_only_file.cpp - Windows: files that hold or protect keys. The file
// keeps the default security of its folder, as every file the agent writes.
#include "platform/platform.h"

#include <windows.h>

namespace {

struct file_handle {
    HANDLE h;
    ~file_handle() {
        if (h == INVALID_HANDLE_VALUE) return;
        DWORD e = GetLastError(); // keep the failing call's error for the caller
        CloseHandle(h);
        SetLastError(e);
    }
};

} // namespace

int plat_write_file_owner_only(const char* path, const void* data, size_t len) {
    file_handle f{CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) return -1;
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
        DWORD written = 0;
        if (!WriteFile(f.h, p, chunk, &written, nullptr)) return -1;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        p += written;
        len -= written;
    }
    HANDLE h = f.h;
    f.h = INVALID_HANDLE_VALUE;
    return CloseHandle(h) ? 0 : -1;
}
