// restore.cpp - Linux: the restore's folders and files, every name reached
// from a held folder descriptor.
//
// Below the output folder, folders are made with mkdirat and opened with
// openat(O_NOFOLLOW | O_DIRECTORY); files are made with openat(O_EXCL |
// O_NOFOLLOW), given owner, mode and time with fchown, fchmod and futimens,
// and moved to their names with renameat (renameat2 without replacing). So a
// folder swapped for a link after it was opened is still the folder written
// into, a link at any name is refused, and no call follows a name that
// someone else may have changed to the outside.
#include "platform/server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

struct plat_restore_dir {
    int fd;
};

struct plat_restore_file {
    int dir_fd; // the folder's; the folder stays open while the file is used
    FILE* stream;
    dev_t dev;
    ino_t ino;
    std::string temp;
    bool committed;
};

namespace {

void close_keep_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// One plain name: no separator, not "." or "..", not empty.
bool plain_name(const char* name) {
    if (!name || !name[0] || strchr(name, '/')) return false;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Opens the folder name inside dir_fd, making it owner-only when missing;
// never follows a link. The descriptor or -1.
int open_sub(int dir_fd, const char* name) {
    if (mkdirat(dir_fd, name, 0700) != 0 && errno != EEXIST) return -1;
    int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOTDIR) {
        // O_NOFOLLOW with O_DIRECTORY may say ENOTDIR for a link: a link is
        // told apart, since it is the case worth naming.
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            errno = ELOOP;
        else
            errno = ENOTDIR;
    }
    return fd;
}

// Whether name inside dir_fd is this very file (not followed if a link).
bool holds(int dir_fd, const char* name, dev_t dev, ino_t ino) {
    struct stat st;
    return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_dev == dev && st.st_ino == ino;
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// rename without replacing: renameat2's RENAME_NOREPLACE, or, where the file
// system has none, a new link and the old name removed.
int rename_noreplace(int dir_fd, const char* from, const char* to) {
#if defined(SYS_renameat2)
    const unsigned int noreplace = 1; // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, dir_fd, from, dir_fd, to, noreplace) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    if (linkat(dir_fd, from, dir_fd, to, 0) != 0) return -1;
    return unlinkat(dir_fd, from, 0);
}

} // namespace

plat_restore_dir* plat_restore_root(const char* path, bool create) {
    if (!path || !path[0]) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (!create || errno != ENOENT)) return nullptr;
    if (fd < 0) {
        // The deepest folder of the path that exists (the caller's choice,
        // links followed), then each missing one from its parent's descriptor.
        std::string p(path);
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        size_t cut = p.size();
        for (;;) {
            size_t k = p.rfind('/', cut - 1);
            std::string base = k == std::string::npos ? "." : (k == 0 ? "/" : p.substr(0, k));
            fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                cut = k == std::string::npos ? 0 : k + 1;
                break;
            }
            if (errno != ENOENT || k == std::string::npos || k == 0) return nullptr;
            cut = k;
        }
        while (cut < p.size()) {
            size_t end = p.find('/', cut);
            if (end == std::string::npos) end = p.size();
            std::string part = p.substr(cut, end - cut);
            cut = end + 1;
            if (part.empty() || part == ".") continue;
            int sub = part == ".." ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                   : open_sub(fd, part.c_str());
            close_keep_errno(fd);
            if (sub < 0) return nullptr;
            fd = sub;
        }
    }
    return new plat_restore_dir{fd};
}

plat_restore_dir* plat_restore_subdir(plat_restore_dir* d, const char* name) {
    if (!d || !plain_name(name)) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open_sub(d->fd, name);
    if (fd < 0) return nullptr;
    return new plat_restore_dir{fd};
}

void plat_restore_dir_close(plat_restore_dir* d) {
    if (!d) return;
    close_keep_errno(d->fd);
    delete d;
}

plat_restore_kind plat_restore_what(plat_restore_dir* d, const char* name) {
    if (!d || !plain_name(name)) {
        errno = EINVAL;
        return PLAT_RESTORE_FAILED;
    }
    struct stat st;
    if (fstatat(d->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? PLAT_RESTORE_NONE : PLAT_RESTORE_FAILED;
    if (S_ISREG(st.st_mode)) return PLAT_RESTORE_FILE;
    if (S_ISDIR(st.st_mode)) return PLAT_RESTORE_FOLDER;
    if (S_ISLNK(st.st_mode)) return PLAT_RESTORE_LINK;
    return PLAT_RESTORE_OTHER;
}

plat_restore_file* plat_restore_create(plat_restore_dir* d, const char* temp_name) {
    if (!d || !plain_name(temp_name)) {
        errno = EINVAL;
        return nullptr;
    }
    if (plat_fault_check(PLAT_FAULT_OPEN)) return nullptr;
    // A leftover of an earlier restore, or whatever was planted there: the
    // name goes (a link itself, never what it names).
    if (unlinkat(d->fd, temp_name, 0) != 0 && errno != ENOENT) return nullptr;
    int fd = openat(d->fd, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fchmod(fd, 0600) != 0 || fstat(fd, &st) != 0) {
        close_keep_errno(fd);
        unlinkat(d->fd, temp_name, 0);
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
        close_keep_errno(fd);
        unlinkat(d->fd, temp_name, 0);
        return nullptr;
    }
    return new plat_restore_file{d->fd, stream, st.st_dev, st.st_ino, temp_name, false};
}

FILE* plat_restore_stream(plat_restore_file* f) {
    return f ? f->stream : nullptr;
}

int plat_restore_finish(plat_restore_file* f, uint8_t kind, const uint8_t* buf, uint32_t len,
                        int flags, int64_t mtime, int* dropped) {
    int ignored = 0;
    if (!dropped) dropped = &ignored;
    *dropped = 0;
    if (!f) {
        errno = EINVAL;
        return -1;
    }
    if (fflush(f->stream) != 0) return -1;
    const int fd = fileno(f->stream);
    if (kind == 4 && len == 12 && buf) {
        const uid_t uid = static_cast<uid_t>(le32(buf));
        const gid_t gid = static_cast<gid_t>(le32(buf + 4));
        mode_t mode = static_cast<mode_t>(le32(buf + 8) & 07777);
        // The owner first: giving it clears the set-id bits that fchmod sets.
        if (geteuid() == 0 && fchown(fd, uid, gid) != 0) return -1;
        struct stat st;
        if (fstat(fd, &st) != 0) return -1;
        if ((mode & 06000) != 0 &&
            !((flags & PLAT_RESTORE_SAME_OWNER) && st.st_uid == uid && st.st_gid == gid)) {
            mode &= ~static_cast<mode_t>(06000);
            *dropped |= PLAT_RESTORE_DROPPED_SETID;
        }
        if (fchmod(fd, mode) != 0) return -1;
    } else if (len > 0) {
        *dropped |= PLAT_RESTORE_NOT_APPLIED;
    }
    timespec ts[2];
    ts[0].tv_sec = static_cast<time_t>(mtime);
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    return futimens(fd, ts) == 0 ? 0 : -1;
}

int plat_restore_commit(plat_restore_file* f, const char* name, bool replace) {
    if (!f || f->committed || !plain_name(name)) {
        errno = EINVAL;
        return -1;
    }
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    if (!holds(f->dir_fd, f->temp.c_str(), f->dev, f->ino)) {
        errno = ESTALE;
        return -1;
    }
    int r;
    if (replace) {
        struct stat st;
        if (fstatat(f->dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return -1;
        }
        r = renameat(f->dir_fd, f->temp.c_str(), f->dir_fd, name);
    } else {
        r = rename_noreplace(f->dir_fd, f->temp.c_str(), name);
    }
    if (r != 0) return -1;
    f->committed = true;
    // The temporary name was checked an instant before the rename: what was
    // moved must be this file still.
    if (!holds(f->dir_fd, name, f->dev, f->ino)) {
        errno = ESTALE;
        return -1;
    }
    return 0;
}

void plat_restore_close(plat_restore_file* f) {
    if (!f) return;
    int saved = errno;
    if (!f->committed && holds(f->dir_fd, f->temp.c_str(), f->dev, f->ino))
        unlinkat(f->dir_fd, f->temp.c_str(), 0);
    fclose(f->stream);
    errno = saved;
    delete f;
}

bool plat_error_is_swapped(int code) {
    return code == ESTALE;
}

int plat_restore_skip(plat_restore_file* f, uint64_t n) {
    if (!f || n > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    return fseeko(f->stream, static_cast<off_t>(n), SEEK_CUR) == 0 ? 0 : -1;
}

int plat_restore_set_size(plat_restore_file* f, uint64_t size) {
    if (!f || size > static_cast<uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (fflush(f->stream) != 0) return -1;
    return ftruncate(fileno(f->stream), static_cast<off_t>(size)) == 0 ? 0 : -1;
}

FILE* plat_restore_open_read(plat_restore_dir* d, const char* name, uint64_t* size,
                             int64_t* mtime) {
    if (!d || !plain_name(name)) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = openat(d->fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_keep_errno(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    FILE* stream = fdopen(fd, "rb");
    if (!stream) {
        close_keep_errno(fd);
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    *mtime = static_cast<int64_t>(st.st_mtime);
    return stream;
}
