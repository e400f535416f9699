// owner_only_file.cpp - Windows: files that hold or protect keys. The file
// keeps the default security of its folder, as every file the agent writes.
#include "platform/platform.h"

#include <windows.h>

int plat_write_file_owner_only(const char* path, const void* data, size_t len) {
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) {
            DWORD e = GetLastError();
            CloseHandle(h);
            SetLastError(e);
            return -1;
        }
        p += written;
        len -= written;
    }
    return CloseHandle(h) ? 0 : -1;
}
