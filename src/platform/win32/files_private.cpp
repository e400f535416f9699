// files_private.cpp - Windows: files for key material.
//
// Windows keeps the access inherited from the installation folder; the file
// is created exclusively or truncated as asked and handed out as a stdio stream.
#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

FILE* plat_open_private(const char* path, plat_private_mode mode) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD disposition = mode == PLAT_PRIVATE_CREATE_NEW ? CREATE_NEW : CREATE_ALWAYS;
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) {
        _close(fd); // also closes the handle
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return f;
}
