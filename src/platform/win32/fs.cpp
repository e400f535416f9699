// fs.cpp - Windows: files and folders, volumes, security records, system facts.
//
// "A" functions throughout; file descriptors come from the runtime library's
// low-level I/O (_open, _read, _lseeki64) so that the core sees one small
// integer type on both platforms.
#include "platform/platform.h"
#include "platform/win32/files_internal.h"
#include "platform/win32/handle.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <sys/types.h>

namespace {

uint64_t filetime_value(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

int64_t filetime_seconds(uint64_t ft) {
    return static_cast<int64_t>((ft / 10000 - 11644473600000ULL) / 1000);
}

void fill_from_find(const WIN32_FIND_DATAA& fd, plat_file_info* out) {
    memset(out, 0, sizeof *out);
    out->attributes = fd.dwFileAttributes;
    out->size = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? 0
                    : static_cast<int64_t>((static_cast<uint64_t>(fd.nFileSizeHigh) << 32) |
                                           fd.nFileSizeLow);
    out->write_time = filetime_value(fd.ftLastWriteTime);
    out->mtime = out->write_time ? filetime_seconds(out->write_time) : 0;
    size_t n = strnlen(fd.cFileName, PLAT_NAME_MAX - 1);
    memcpy(out->name, fd.cFileName, n);
    out->name[n] = 0;
}

// Maps a runtime-library errno to a Windows error so that plat_last_error()
// stays the one source of error codes for the low-level file calls.
void set_error_from_errno() {
    DWORD code;
    switch (errno) {
    case ENOENT:
        code = ERROR_FILE_NOT_FOUND;
        break;
    case EACCES:
        code = ERROR_ACCESS_DENIED;
        break;
    case EEXIST:
        code = ERROR_FILE_EXISTS;
        break;
    case EBADF:
        code = ERROR_INVALID_HANDLE;
        break;
    case EMFILE:
        code = ERROR_TOO_MANY_OPEN_FILES;
        break;
    case ENOSPC:
        code = ERROR_DISK_FULL;
        break;
    case ERANGE:
        code = ERROR_INSUFFICIENT_BUFFER;
        break;
    case ENOTEMPTY:
        code = ERROR_DIR_NOT_EMPTY;
        break;
    default:
        code = ERROR_GEN_FAILURE;
        break;
    }
    SetLastError(code);
}

} // namespace

int plat_file_status(const char* path, plat_file_info* out) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return -1;
    struct _stati64 st;
    if (_stati64(path, &st) != 0) {
        set_error_from_errno();
        return -1;
    }
    // The FILETIME, not the seconds of _stati64: a write within the same
    // second must show.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    const DWORD attr = data.dwFileAttributes;
    memset(out, 0, sizeof *out);
    out->attributes = attr;
    out->size = (attr & FILE_ATTRIBUTE_DIRECTORY) ? 0 : static_cast<int64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtime);
    out->write_time = filetime_value(data.ftLastWriteTime);
    const char* slash = strrchr(path, '\\');
    const char* name = slash ? slash + 1 : path;
    size_t n = strnlen(name, PLAT_NAME_MAX - 1);
    memcpy(out->name, name, n);
    out->name[n] = 0;
    return 0;
}

bool plat_exists(const char* path) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return false;
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool plat_is_folder(const char* path) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return false;
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

struct plat_dir {
    win32::find_handle find; // not valid for a folder without entries
};

plat_dir* plat_dir_open(const char* folder, plat_file_info* first) {
    if (plat_fault_check(PLAT_FAULT_LIST)) return nullptr;
    // The pattern is the folder, a backslash and "*", with runs of backslashes
    // collapsed (a leading "\\" of a share path stays).
    std::string pattern;
    size_t len = strlen(folder);
    for (size_t i = 0; i < len; i++) {
        char c = folder[i];
        if (c == '\\' && i > 1 && !pattern.empty() && pattern.back() == '\\') continue;
        pattern += c;
    }
    if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA fd;
    win32::find_handle h(FindFirstFileA(pattern.c_str(), &fd));
    if (!h) {
        // An empty drive root has no "." entry: list it as empty, not failed.
        DWORD err = GetLastError();
        DWORD attr = GetFileAttributesA(folder);
        if (err != ERROR_FILE_NOT_FOUND || attr == INVALID_FILE_ATTRIBUTES ||
            !(attr & FILE_ATTRIBUTE_DIRECTORY)) {
            SetLastError(err);
            return nullptr;
        }
        memset(first, 0, sizeof *first);
        first->attributes = attr;
        first->name[0] = '.';
        return new plat_dir;
    }
    fill_from_find(fd, first);
    plat_dir* d = new plat_dir;
    d->find = std::move(h);
    return d;
}

int plat_dir_next(plat_dir* d, plat_file_info* out) {
    if (plat_fault_check(PLAT_FAULT_LIST)) return -1;
    if (!d) return -1;
    if (!d->find) {
        SetLastError(0);
        return -1;
    }
    WIN32_FIND_DATAA fd;
    if (!FindNextFileA(d->find.get(), &fd)) {
        if (GetLastError() == ERROR_NO_MORE_FILES) SetLastError(0);
        return -1;
    }
    fill_from_find(fd, out);
    return 0;
}

void plat_dir_close(plat_dir* d) {
    delete d; // closes the listing; accepts null
}

bool plat_dir_peek_folder(const plat_dir*, plat_file_info*) {
    return false;
}

// A listing here is read as it is walked, with each entry's status: there is
// nothing to gain from reading it ahead.
struct plat_dir_ahead {};

plat_dir_ahead* plat_dir_read_ahead(const char*) {
    return nullptr;
}

plat_dir* plat_dir_open_ahead(plat_dir_ahead*, const char* folder, plat_file_info* first,
                              uint32_t) {
    return plat_dir_open(folder, first);
}

void plat_dir_ahead_close(plat_dir_ahead* a) {
    delete a;
}

bool plat_error_is_access_denied(int code) {
    return code == ERROR_ACCESS_DENIED;
}

plat_file plat_file_open_read(const char* path) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        set_error_from_errno();
        return PLAT_NO_FILE;
    }
    return fd;
}

plat_file plat_file_create(const char* path, bool) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    int fd = open_guarded(path, GUARD_EMPTY);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

plat_file plat_file_open_write(const char* path) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    // Shared for reading and writing, so a reader of the same file in this
    // process keeps its descriptor.
    int fd = open_guarded(path, GUARD_EXISTING);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

int32_t plat_file_read(plat_file f, void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_READ)) return -1;
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    int n = _read(f, buf, size);
    if (n < 0) set_error_from_errno();
    return n;
}

int32_t plat_file_read_at(plat_file f, int64_t offset, void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_READ)) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(f));
    if (h == INVALID_HANDLE_VALUE || offset < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    // On a handle opened for synchronous use the offset in OVERLAPPED makes
    // this one read positional; the call still waits for its bytes.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(h, buf, size, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t plat_file_write(plat_file f, const void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_WRITE)) return -1;
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    int n = _write(f, buf, size);
    if (n < 0) set_error_from_errno();
    return n;
}

int64_t plat_file_seek(plat_file f, int64_t offset, plat_seek_origin origin) {
    int whence = origin == PLAT_SEEK_SET ? SEEK_SET : origin == PLAT_SEEK_CUR ? SEEK_CUR : SEEK_END;
    __int64 r = _lseeki64(f, offset, whence);
    if (r < 0) {
        set_error_from_errno();
        return -1;
    }
    return r;
}

int plat_file_close(plat_file f) {
    if (f == PLAT_NO_FILE) return 0;
    if (_close(f) != 0) {
        set_error_from_errno();
        return -1;
    }
    return 0;
}

int plat_get_cwd(char* buf, size_t size) {
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
    if (n == 0) return -1;
    if (n >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    return 0;
}

int plat_set_cwd(const char* path) {
    return SetCurrentDirectoryA(path) ? 0 : -1;
}

int plat_mkdir(const char* path, bool) {
    return CreateDirectoryA(path, nullptr) ? 0 : -1;
}

int plat_rmdir(const char* path) {
    return RemoveDirectoryA(path) ? 0 : -1;
}

int plat_unlink(const char* path) {
    return DeleteFileA(path) ? 0 : -1;
}

int plat_rename(const char* from, const char* to) {
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    return MoveFileA(from, to) ? 0 : -1;
}

int plat_volume_cluster_size(const char* root, uint32_t* bytes) {
    DWORD spc, bps, free_clusters, total;
    if (!GetDiskFreeSpaceA(root, &spc, &bps, &free_clusters, &total)) return -1;
    *bytes = spc * bps;
    return 0;
}

int plat_volume_free_space(const char* root, uint64_t* bytes) {
    DWORD spc, bps, free_clusters, total;
    if (!GetDiskFreeSpaceA(root, &spc, &bps, &free_clusters, &total)) return -1;
    *bytes = static_cast<uint64_t>(spc) * bps * free_clusters;
    return 0;
}

int plat_fs_type(const char* path, char* buf, size_t size) {
    // The volume root: "X:\" or "\\server\share\"; otherwise the current volume.
    std::string root;
    if (path && path[0] && path[1] == ':') {
        root.assign(path, 2);
        root += '\\';
    } else if (path && path[0] == '\\' && path[1] == '\\') {
        const char* p = strchr(path + 2, '\\');
        if (p) p = strchr(p + 1, '\\');
        root = p ? std::string(path, static_cast<size_t>(p - path) + 1) : std::string(path) + "\\";
    }
    char name[MAX_PATH + 1];
    if (!GetVolumeInformationA(root.empty() ? nullptr : root.c_str(), nullptr, 0, nullptr, nullptr,
                               nullptr, name, sizeof name))
        return -1;
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    snprintf(buf, size, "%s", name);
    return 0;
}

int plat_file_security(const char* path, uint8_t* kind, uint32_t* value, uint8_t* buf,
                       uint32_t size) {
    OSVERSIONINFOA vi;
    vi.dwOSVersionInfoSize = sizeof vi;
    GetVersionExA(&vi);
    if (vi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        DWORD attr = GetFileAttributesA(path);
        if (attr == INVALID_FILE_ATTRIBUTES) return -1;
        *kind = 2;
        *value = attr;
        return 0;
    }
    DWORD needed = 0;
    if (!GetFileSecurityA(path,
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                              DACL_SECURITY_INFORMATION,
                          reinterpret_cast<PSECURITY_DESCRIPTOR>(buf), size, &needed))
        return -1;
    *kind = 3;
    *value = GetSecurityDescriptorLength(reinterpret_cast<PSECURITY_DESCRIPTOR>(buf));
    return 0;
}

int plat_os_version(uint32_t* platform_id, uint32_t* major, uint32_t* minor) {
    OSVERSIONINFOA vi;
    vi.dwOSVersionInfoSize = sizeof vi;
    if (!GetVersionExA(&vi)) return -1;
    *platform_id = vi.dwPlatformId;
    *major = vi.dwMajorVersion;
    *minor = vi.dwMinorVersion;
    return 0;
}

int plat_registry_read_string(const char* key, const char* value, char* buf, size_t size) {
    if (!buf || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    buf[0] = 0;
    HKEY opened;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &opened);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return -1;
    }
    win32::registry_key h(opened);
    DWORD type = 0;
    DWORD len = static_cast<DWORD>(size);
    rc = RegQueryValueExA(h.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &len);
    h.reset();
    if (rc != ERROR_SUCCESS) {
        buf[0] = 0;
        SetLastError(static_cast<DWORD>(rc));
        return -1;
    }
    if (type != REG_SZ) {
        buf[0] = 0;
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    // The stored text need not carry its terminator; make sure it ends in buf.
    if (len >= size) len = static_cast<DWORD>(size) - 1;
    buf[len] = 0;
    return 0;
}
