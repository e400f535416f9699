// files_private.cpp - Windows: files written where others may plant names,
// files for key material, read streams and the log files.
//
// Windows keeps the access inherited from the folder. A name beside a
// schedule may have been turned into a symbolic link or a hard link by
// another user; the guarded open refuses both before it changes anything.
// No handle opened here is inheritable, so commands never get them.
#include "platform/platform.h"
#include "platform/win32/files_internal.h"
#include "platform/win32/handle.h"
#include "platform/win32/own_access.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <string>

int open_guarded(const char* path, int guard) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD disposition = OPEN_ALWAYS;
    if (guard & GUARD_NEW) disposition = CREATE_NEW;
    if (guard & GUARD_EXISTING) disposition = OPEN_EXISTING;
    // No security attributes: the handle is not inheritable. The reparse
    // flag opens a link itself rather than its target, so it can be refused.
    const DWORD share = (guard & GUARD_EXCLUSIVE) ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    win32::file_handle file(CreateFileA(path, GENERIC_WRITE, share, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (!file) return -1;
    const HANDLE h = file.get();
    DWORD error = 0;
    if (GetFileType(h) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(h, &info))
            error = GetLastError();
        else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            error = ERROR_CANT_ACCESS_FILE;
        else if (info.nNumberOfLinks > 1)
            error = ERROR_TOO_MANY_LINKS;
        else if ((guard & GUARD_EMPTY) && !SetEndOfFile(h)) // the file pointer is at 0
            error = GetLastError();
    }
    if (error != 0) {
        SetLastError(error); // kept while the handle is closed
        return -1;
    }
    int flags = _O_WRONLY | ((guard & GUARD_TEXT) ? _O_TEXT : _O_BINARY);
    if (guard & GUARD_APPEND) flags |= _O_APPEND;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return -1;
    }
    file.release(); // the descriptor owns it now
    return fd;
}

FILE* plat_open_private(const char* path, plat_private_mode mode) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    // Not shared while written: nobody reads a key file half made.
    int fd = open_guarded(path, GUARD_EXCLUSIVE |
                                    (mode == PLAT_PRIVATE_CREATE_NEW ? GUARD_NEW : GUARD_EMPTY));
    if (fd < 0) return nullptr;
    FILE* f = _fdopen(fd, "wb");
    if (!f) {
        _close(fd); // also closes the handle
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return f;
}

FILE* plat_fopen_read(const char* path, bool text) {
    FILE* f = fopen(path, text ? "r" : "rb");
    if (!f) return nullptr;
    // The runtime library makes its handles inheritable; a command started
    // with inherited handles must not get this one.
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    return f;
}

plat_file plat_log_open(const char* path, bool) {
    int fd = open_guarded(path, GUARD_EMPTY | GUARD_APPEND | GUARD_TEXT);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

int plat_log_write(plat_file f, const char* text, size_t len) {
    // Text mode: the runtime library turns "\n" into CR LF and holds its lock
    // on the descriptor for the whole call, so a line stays whole.
    while (len > 0) {
        unsigned chunk = len > 0x7fffffffu ? 0x7fffffffu : static_cast<unsigned>(len);
        int n = _write(f, text, chunk);
        if (n <= 0) {
            SetLastError(n < 0 && errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
            return -1;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int plat_replace_private_file(const char* path, const void* data, size_t len) {
    if (!path || (!data && len != 0) || len > 0x7fffffffu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (plat_fault_check(PLAT_FAULT_OPEN)) return -1;
    win32::own_access access;
    if (!win32::build_own_access(&access, false)) return -1;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &access.descriptor;
    attributes.bInheritHandle = FALSE;
    const std::string temp = std::string(path) + ".tmp";
    // Made new, so that its own list applies: a leftover (or a link planted
    // there, removed itself) goes first.
    if (!DeleteFileA(temp.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
    win32::file_handle h(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
    if (!h) return -1;
    DWORD written = 0;
    bool ok = (len == 0 || (WriteFile(h.get(), data, static_cast<DWORD>(len), &written, nullptr) &&
                            written == len)) &&
              FlushFileBuffers(h.get());
    h.reset();
    if (ok && MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    DWORD e = GetLastError();
    DeleteFileA(temp.c_str());
    SetLastError(e ? e : ERROR_WRITE_FAULT);
    return -1;
}
