// restore.cpp - Windows: the restore's folders and files, reached through
// held handles.
//
// Every folder below the output folder is opened without following a
// reparse point and held open without delete sharing: while the handle
// lives, neither it nor any folder above it can be renamed or removed, so
// the path of a name inside it keeps meaning that folder. Files are created
// new without following a reparse point, get their access list and time on
// their own handle, and are checked by file identity before and after they
// get their names.
#include "platform/server.h"
#include "platform/win32/handle.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct plat_restore_dir {
    win32::file_handle h;
    std::string path;
};

struct plat_restore_file {
    std::string dir_path; // the held folder's; it stays open while the file is used
    std::string temp;
    FILE* stream;
    DWORD volume, index_high, index_low;
    bool committed;
};

namespace {

bool plain_name(const char* name) {
    if (!name || !name[0] || strpbrk(name, "\\/:")) return false;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

std::string join(const std::string& dir, const char* name) {
    if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) return dir + name;
    return dir + "\\" + name;
}

// Opens a folder and holds it: no delete sharing, so that it cannot be
// renamed or replaced while held. follow: the caller's own choice of folder
// (a reparse point on the way is followed). Invalid with the last error.
win32::file_handle hold_folder(const std::string& path, bool follow) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    win32::file_handle h(CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     flags, nullptr));
    if (!h) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info)) return win32::file_handle();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return win32::file_handle();
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return win32::file_handle();
    }
    return h;
}

// Makes the folder (when missing) and holds it without following a reparse point.
win32::file_handle make_and_hold(const std::string& path) {
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return win32::file_handle();
    return hold_folder(path, false);
}

// The identity of what stands at path (a reparse point itself, never what
// it names); false when nothing regular is there.
bool identity_at(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    win32::file_handle h(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
    if (!h || !GetFileInformationByHandle(h.get(), info)) return false;
    return !(info->dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

bool holds(const plat_restore_file* f, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    return identity_at(path, &info) && info.dwVolumeSerialNumber == f->volume &&
           info.nFileIndexHigh == f->index_high && info.nFileIndexLow == f->index_low;
}

} // namespace

plat_restore_dir* plat_restore_root(const char* path, bool create) {
    if (!path || !path[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string p(path);
    win32::file_handle h = hold_folder(p, true);
    if (!h && create &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        // The deepest existing folder (the caller's choice, followed), then
        // each missing one, held while the next is made inside it.
        while (p.size() > 3 && (p.back() == '\\' || p.back() == '/'))
            p.pop_back();
        std::vector<std::string> missing;
        std::string base = p;
        for (;;) {
            size_t k = base.find_last_of("\\/");
            if (k == std::string::npos || k < 2) return nullptr;
            missing.push_back(base.substr(k + 1));
            base = base.substr(0, k);
            if (base.size() == 2 && base[1] == ':') base += '\\';
            h = hold_folder(base, true);
            if (h) break;
            if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
                return nullptr;
        }
        for (size_t i = missing.size(); i-- > 0;) {
            if (missing[i].empty() || missing[i] == ".") continue;
            base = join(base, missing[i].c_str());
            win32::file_handle sub = make_and_hold(base);
            if (!sub) return nullptr;
            h = std::move(sub);
        }
        p = base;
    }
    if (!h) return nullptr;
    return new plat_restore_dir{std::move(h), p};
}

plat_restore_dir* plat_restore_subdir(plat_restore_dir* d, const char* name) {
    if (!d || !plain_name(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path = join(d->path, name);
    win32::file_handle h = make_and_hold(path);
    if (!h) return nullptr;
    return new plat_restore_dir{std::move(h), path};
}

void plat_restore_dir_close(plat_restore_dir* d) {
    delete d; // accepts null; the handle closes keeping the last error
}

plat_restore_kind plat_restore_what(plat_restore_dir* d, const char* name) {
    if (!d || !plain_name(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PLAT_RESTORE_FAILED;
    }
    DWORD a = GetFileAttributesA(join(d->path, name).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? PLAT_RESTORE_NONE
                                                                      : PLAT_RESTORE_FAILED;
    }
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PLAT_RESTORE_LINK;
    if (a & FILE_ATTRIBUTE_DIRECTORY) return PLAT_RESTORE_FOLDER;
    if (a & FILE_ATTRIBUTE_DEVICE) return PLAT_RESTORE_OTHER;
    return PLAT_RESTORE_FILE;
}

plat_restore_file* plat_restore_create(plat_restore_dir* d, const char* temp_name) {
    if (!d || !plain_name(temp_name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    const std::string temp = join(d->path, temp_name);
    // A leftover or a planted name goes (a reparse point itself, never what
    // it names); a folder there makes the creation fail.
    if (!DeleteFileA(temp.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_ACCESS_DENIED)
        return nullptr;
    win32::file_handle h(CreateFileA(
        temp.c_str(), GENERIC_WRITE | WRITE_DAC | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info)) {
        h.reset();
        DeleteFileA(temp.c_str());
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h.get()), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        h.reset();
        DeleteFileA(temp.c_str());
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    h.release(); // the descriptor owns it now
    FILE* stream = _fdopen(fd, "wb");
    if (!stream) {
        _close(fd);
        DeleteFileA(temp.c_str());
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    return new plat_restore_file{d->path,          temp,
                                 stream,           info.dwVolumeSerialNumber,
                                 info.nFileIndexHigh, info.nFileIndexLow,
                                 false};
}

FILE* plat_restore_stream(plat_restore_file* f) {
    return f ? f->stream : nullptr;
}

int plat_restore_finish(plat_restore_file* f, uint8_t kind, const uint8_t* buf, uint32_t len,
                        int flags, int64_t mtime, int* dropped) {
    (void)flags; // Windows keeps no set-id bits
    int ignored = 0;
    if (!dropped) dropped = &ignored;
    *dropped = 0;
    if (!f) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (fflush(f->stream) != 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return -1;
    }
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f->stream)));
    if (kind == 3 && buf && len >= SECURITY_DESCRIPTOR_MIN_LENGTH) {
        // The stored bytes are a self-relative descriptor; checked before use.
        std::vector<uint8_t> sd(buf, buf + len);
        PSECURITY_DESCRIPTOR p = sd.data();
        if (!IsValidSecurityDescriptor(p) || GetSecurityDescriptorLength(p) > len) {
            *dropped |= PLAT_RESTORE_NOT_APPLIED;
        } else if (!SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, p)) {
            // The access list only: owner and group need privileges a
            // restore rarely has.
            return -1;
        }
    } else if (len > 0) {
        *dropped |= PLAT_RESTORE_NOT_APPLIED;
    }
    uint64_t t = static_cast<uint64_t>(mtime + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return SetFileTime(h, nullptr, nullptr, &ft) ? 0 : -1;
}

int plat_restore_commit(plat_restore_file* f, const char* name, bool replace) {
    if (!f || f->committed || !plain_name(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    if (!holds(f, f->temp)) {
        SetLastError(ERROR_FILE_INVALID);
        return -1;
    }
    const std::string target = join(f->dir_path, name);
    DWORD a = GetFileAttributesA(target.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(replace ? ERROR_ACCESS_DENIED : ERROR_FILE_EXISTS);
        return -1;
    }
    // The file stays open (shared for deletion) while it gets its name, so
    // what is checked afterwards is this very file.
    if (!MoveFileExA(f->temp.c_str(), target.c_str(),
                     MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)))
        return -1;
    f->committed = true;
    if (!holds(f, target)) {
        SetLastError(ERROR_FILE_INVALID);
        return -1;
    }
    return 0;
}

bool plat_error_is_swapped(int code) {
    return code == ERROR_FILE_INVALID;
}

void plat_restore_close(plat_restore_file* f) {
    if (!f) return;
    DWORD saved = GetLastError();
    fclose(f->stream);
    if (!f->committed && holds(f, f->temp)) DeleteFileA(f->temp.c_str());
    SetLastError(saved);
    delete f;
}

int plat_restore_skip(plat_restore_file* f, uint64_t n) {
    if (!f || n > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (fseeko64(f->stream, static_cast<off64_t>(n), SEEK_CUR) != 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return -1;
    }
    return 0;
}

int plat_restore_set_size(plat_restore_file* f, uint64_t size) {
    if (!f || size > static_cast<uint64_t>(INT64_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (fflush(f->stream) != 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return -1;
    }
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f->stream)));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    LARGE_INTEGER was;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    // The stream's own position is put back afterwards.
    if (!SetFilePointerEx(h, zero, &was, FILE_CURRENT) ||
        !SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h) ||
        !SetFilePointerEx(h, was, nullptr, FILE_BEGIN))
        return -1;
    return 0;
}

FILE* plat_restore_open_read(plat_restore_dir* d, const char* name, uint64_t* size,
                             int64_t* mtime) {
    if (!d || !plain_name(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win32::file_handle h(CreateFileA(join(d->path, name).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                     nullptr));
    if (!h) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h.get(), &info)) return nullptr;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return nullptr;
    }
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h.get()), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    h.release(); // the descriptor owns it now
    FILE* stream = _fdopen(fd, "rb");
    if (!stream) {
        _close(fd);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    *size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    const uint64_t t =
        static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
        info.ftLastWriteTime.dwLowDateTime;
    *mtime = static_cast<int64_t>(t / 10000000ULL) - 11644473600LL;
    return stream;
}
