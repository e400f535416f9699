// fs.cpp - Linux: files and folders, volumes, security records, system facts.
//
// Listings are read whole and sorted by name so that a walk has a stable
// order; "." carries the folder's own status as FindFirstFileA gives it.
#include "platform/platform.h"
#include "platform/posix/files_internal.h"
#include "common/owner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

const uint64_t filetime_1970 = 116444736000000000ULL;

void fill_info(const struct stat& st, const char* name, plat_file_info* out) {
    memset(out, 0, sizeof *out);
    uint32_t attr = 0;
    if (S_ISDIR(st.st_mode)) attr |= PLAT_ATTR_DIRECTORY;
    if (S_ISLNK(st.st_mode)) attr |= PLAT_ATTR_REPARSE;
    if (!(st.st_mode & S_IWUSR)) attr |= PLAT_ATTR_READONLY;
    if (S_ISREG(st.st_mode)) attr |= PLAT_ATTR_ARCHIVE;
    out->attributes = attr;
    out->size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    int64_t ticks = static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000LL + st.st_mtim.tv_nsec / 100;
    out->write_time = filetime_1970 + static_cast<uint64_t>(ticks);
    ticks = static_cast<int64_t>(st.st_ctim.tv_sec) * 10000000LL + st.st_ctim.tv_nsec / 100;
    out->change_time = filetime_1970 + static_cast<uint64_t>(ticks);
    out->device = static_cast<uint64_t>(st.st_dev);
    if (name) {
        size_t n = strnlen(name, PLAT_NAME_MAX - 1);
        memcpy(out->name, name, n);
        out->name[n] = 0;
    }
}

// Files, folders and links. Pipes, sockets and devices hold nothing to back
// up, and a pipe without a writer would hold its reader's open for ever.
bool listed_kind(mode_t mode) {
    return S_ISREG(mode) || S_ISDIR(mode) || S_ISLNK(mode);
}

// The attributes of the listing threads: a stack of 256 KiB, ample for a
// listing (its names and results live on the heap), so that the threads of a
// deep walk cannot take the address space of a 32-bit process.
struct small_stack {
    pthread_attr_t attr;
    bool ok;
    small_stack() {
        ok = pthread_attr_init(&attr) == 0;
        if (ok && pthread_attr_setstacksize(&attr, 256 * 1024) != 0) {
            pthread_attr_destroy(&attr);
            ok = false;
        }
    }
    ~small_stack() {
        if (ok) pthread_attr_destroy(&attr);
    }
    small_stack(const small_stack&) = delete;
    small_stack& operator=(const small_stack&) = delete;
    const pthread_attr_t* get() const { return ok ? &attr : nullptr; }
};

// Runs read(from, to) over [0, count), split among up to four threads when
// the count is large enough to be worth a thread; a share whose thread cannot
// start is read by the caller.
template <typename F> void status_in_parallel(size_t count, const F& read) {
    const size_t per_thread = 256; // status reads a thread must have to pay for itself
    const size_t parts = std::min({count / per_thread, size_t{plat_cpu_count()}, size_t{4}});
    if (parts < 2) {
        read(size_t{0}, count);
        return;
    }
    struct share {
        const F* read;
        size_t from, to;
        pthread_t thread;
        bool started;
    };
    share shares[4];
    const size_t each = (count + parts - 1) / parts;
    for (size_t p = 0; p < parts; p++)
        shares[p] = share{&read, p * each, std::min(count, (p + 1) * each), pthread_t{}, false};
    auto body = [](void* arg) -> void* {
        share* sh = static_cast<share*>(arg);
        (*sh->read)(sh->from, sh->to);
        return nullptr;
    };
    small_stack attr;
    for (size_t p = 1; p < parts; p++)
        shares[p].started = pthread_create(&shares[p].thread, attr.get(), body, &shares[p]) == 0;
    read(shares[0].from, shares[0].to);
    for (size_t p = 1; p < parts; p++) {
        if (shares[p].started)
            pthread_join(shares[p].thread, nullptr);
        else
            read(shares[p].from, shares[p].to);
    }
}

} // namespace

int plat_file_status(const char* path, plat_file_info* out) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return -1;
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    const char* slash = strrchr(path, '/');
    fill_info(st, slash ? slash + 1 : path, out);
    return 0;
}

bool plat_exists(const char* path) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return false;
    struct stat st;
    return lstat(path, &st) == 0;
}

bool plat_is_folder(const char* path) {
    if (plat_fault_check(PLAT_FAULT_STATUS)) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

struct plat_dir {
    std::vector<plat_file_info> entries;
    size_t next;
};

namespace {

// A folder's listing as the system gave it: the names in order, each with its
// status or the error of reading it. Read without the fault switch, on any
// thread; the switch is consulted when the listing is handed out.
struct listing_read {
    int error = 0; // of opening or reading the folder
    struct stat self;
    bool has_parent = false;
    struct stat parent;
    std::vector<std::string> names;
    std::vector<struct stat> stats;
    std::vector<int> errors; // per name: 0, or the error of its status read
};

void read_listing(const char* folder, listing_read* out) {
    if (stat(folder, &out->self) != 0) {
        out->error = errno;
        return;
    }
    if (!S_ISDIR(out->self.st_mode)) {
        out->error = ENOTDIR;
        return;
    }
    int folder_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (folder_fd < 0) {
        out->error = errno;
        return;
    }
    DIR* raw = fdopendir(folder_fd);
    if (!raw) {
        out->error = errno;
        close(folder_fd);
        return;
    }
    owner<DIR, closedir> dir(raw);
    const int fd = dirfd(raw);
    errno = 0;
    while (struct dirent* de = readdir(raw)) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
        if (strlen(de->d_name) >= PLAT_NAME_MAX) continue; // cannot be named here
        out->names.emplace_back(de->d_name);
    }
    if (errno != 0) {
        out->error = errno;
        return;
    }
    std::sort(out->names.begin(), out->names.end());
    out->has_parent = fstatat(fd, "..", &out->parent, 0) == 0;
    const size_t count = out->names.size();
    out->stats.resize(count);
    out->errors.assign(count, 0);
    auto read_range = [out, fd](size_t from, size_t to) {
        for (size_t i = from; i < to; i++)
            if (fstatat(fd, out->names[i].c_str(), &out->stats[i], AT_SYMLINK_NOFOLLOW) != 0)
                out->errors[i] = errno != 0 ? errno : EIO;
    };
    status_in_parallel(count, read_range);
}

// The listing handed out, after the fault switch was asked about each entry's
// status in listing order, as a listing read on the spot asks it.
plat_dir* listing_from(const listing_read& r, plat_file_info* first) {
    plat_dir* d = new plat_dir;
    d->next = 1;
    d->entries.reserve(r.names.size() + 2);
    plat_file_info info;
    fill_info(r.self, ".", &info);
    d->entries.push_back(info);
    if (r.has_parent) {
        fill_info(r.parent, "..", &info);
        d->entries.push_back(info);
    }
    for (size_t i = 0; i < r.names.size(); i++) {
        const std::string& n = r.names[i];
        int error = r.errors[i];
        if (plat_fault_check(PLAT_FAULT_STATUS)) error = errno != 0 ? errno : EIO;
        if (error != 0) {
            if (error == ENOENT) continue; // vanished since it was read
            // It exists but cannot be looked at (a folder readable but not
            // searchable, an I/O error): whoever walks the listing must fail
            // it, not take it for gone.
            memset(&info, 0, sizeof info);
            info.status_error = error;
            memcpy(info.name, n.c_str(), n.size() + 1);
            d->entries.push_back(info);
            continue;
        }
        if (!listed_kind(r.stats[i].st_mode)) continue;
        fill_info(r.stats[i], n.c_str(), &info);
        d->entries.push_back(info);
    }
    *first = d->entries[0];
    return d;
}

} // namespace

plat_dir* plat_dir_open(const char* folder, plat_file_info* first) {
    if (plat_fault_check(PLAT_FAULT_LIST)) return nullptr;
    listing_read r;
    read_listing(folder, &r);
    if (r.error != 0) {
        errno = r.error;
        return nullptr;
    }
    return listing_from(r, first);
}

struct plat_dir_ahead {
    std::string folder;
    listing_read read;
    uint32_t started; // plat_tick_ms when the read began
    pthread_t thread;
    bool running;
};

namespace {

std::atomic<int> g_reads_ahead{0}; // read-aheads not yet closed

void* read_ahead_body(void* arg) {
    plat_dir_ahead* a = static_cast<plat_dir_ahead*>(arg);
    read_listing(a->folder.c_str(), &a->read);
    return nullptr;
}

void ahead_join(plat_dir_ahead* a) {
    if (!a->running) return;
    pthread_join(a->thread, nullptr);
    a->running = false;
}

} // namespace

plat_dir_ahead* plat_dir_read_ahead(const char* folder) {
    if (!folder) return nullptr;
    // A deep tree holds one read-ahead per level it is in: past the limit,
    // folders are listed on the spot.
    if (g_reads_ahead.fetch_add(1) >= PLAT_DIR_READS_AHEAD_MAX) {
        g_reads_ahead.fetch_sub(1);
        return nullptr;
    }
    plat_dir_ahead* a = new plat_dir_ahead;
    a->folder = folder;
    a->started = plat_tick_ms();
    small_stack attr;
    a->running = pthread_create(&a->thread, attr.get(), read_ahead_body, a) == 0;
    if (!a->running) {
        delete a;
        g_reads_ahead.fetch_sub(1);
        return nullptr;
    }
    return a;
}

plat_dir* plat_dir_open_ahead(plat_dir_ahead* a, const char* folder, plat_file_info* first,
                              uint32_t max_age_ms) {
    if (!a || !folder || a->folder != folder) return plat_dir_open(folder, first);
    ahead_join(a);
    // A read that failed, or that began too long ago, is done again now.
    if (a->read.error != 0 || plat_tick_ms() - a->started > max_age_ms)
        return plat_dir_open(folder, first);
    if (plat_fault_check(PLAT_FAULT_LIST)) return nullptr;
    return listing_from(a->read, first);
}

void plat_dir_ahead_close(plat_dir_ahead* a) {
    if (!a) return;
    ahead_join(a);
    delete a;
    g_reads_ahead.fetch_sub(1);
}

int plat_dir_next(plat_dir* d, plat_file_info* out) {
    if (plat_fault_check(PLAT_FAULT_LIST)) return -1;
    if (!d || d->next >= d->entries.size()) {
        errno = 0;
        return -1;
    }
    *out = d->entries[d->next++];
    return 0;
}

bool plat_dir_peek_folder(const plat_dir* d, plat_file_info* out) {
    if (!d || !out) return false;
    for (size_t i = d->next; i < d->entries.size(); i++) {
        const plat_file_info& e = d->entries[i];
        if (e.status_error == 0 && (e.attributes & PLAT_ATTR_DIRECTORY) &&
            !(e.attributes & PLAT_ATTR_REPARSE) && strcmp(e.name, ".") != 0 &&
            strcmp(e.name, "..") != 0) {
            *out = e;
            return true;
        }
    }
    return false;
}

void plat_dir_close(plat_dir* d) {
    delete d;
}

bool plat_error_is_access_denied(int code) {
    return code == EACCES || code == EPERM;
}

// Opened without waiting, so that a pipe named here cannot hold the caller;
// anything but a file or a folder is refused with EINVAL. The flag stays set:
// it changes nothing for files and folders.
plat_file plat_file_open_read(const char* path) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return PLAT_NO_FILE;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        error = EINVAL;
    if (error != 0) {
        close(fd);
        errno = error;
        return PLAT_NO_FILE;
    }
    return fd;
}

plat_file plat_file_create(const char* path, bool owner_only) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    // An existing file would keep its mode through a plain truncation; the
    // guarded open narrows it for key material.
    int fd = open_guarded(path, GUARD_EMPTY | (owner_only ? GUARD_OWNER_ONLY : 0),
                          owner_only ? 0600 : 0666);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

plat_file plat_file_open_write(const char* path) {
    if (plat_fault_check(PLAT_FAULT_OPEN)) return PLAT_NO_FILE;
    int fd = open_guarded(path, GUARD_EXISTING, 0);
    return fd < 0 ? PLAT_NO_FILE : fd;
}

int32_t plat_file_read(plat_file f, void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_READ)) return -1;
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    for (;;) {
        ssize_t n = read(f, buf, size);
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) return -1;
    }
}

int32_t plat_file_read_at(plat_file f, int64_t offset, void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_READ)) return -1;
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    for (;;) {
        ssize_t n = pread(f, buf, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) return -1;
    }
}

int32_t plat_file_write(plat_file f, const void* buf, uint32_t size) {
    if (plat_fault_check(PLAT_FAULT_WRITE)) return -1;
    if (size > 0x7fffffffu) size = 0x7fffffffu;
    const char* p = static_cast<const char*>(buf);
    uint32_t done = 0;
    while (done < size) {
        ssize_t n = write(f, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int32_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

int64_t plat_file_seek(plat_file f, int64_t offset, plat_seek_origin origin) {
    int whence = origin == PLAT_SEEK_SET ? SEEK_SET : origin == PLAT_SEEK_CUR ? SEEK_CUR : SEEK_END;
    off_t r = lseek(f, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int plat_file_close(plat_file f) {
    if (f == PLAT_NO_FILE) return 0;
    forget_regular_log(f);
    return close(f) == 0 ? 0 : -1;
}

int plat_get_cwd(char* buf, size_t size) {
    return getcwd(buf, size) ? 0 : -1;
}

int plat_set_cwd(const char* path) {
    return chdir(path) == 0 ? 0 : -1;
}

int plat_mkdir(const char* path, bool owner_only) {
    return mkdir(path, owner_only ? 0700 : 0777) == 0 ? 0 : -1;
}

int plat_rmdir(const char* path) {
    return rmdir(path) == 0 ? 0 : -1;
}

int plat_unlink(const char* path) {
    return unlink(path) == 0 ? 0 : -1;
}

int plat_rename(const char* from, const char* to) {
    if (plat_fault_check(PLAT_FAULT_RENAME)) return -1;
    // rename() would replace to; MoveFile refuses, and callers rely on that.
    struct stat st;
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to) == 0 ? 0 : -1;
}

int plat_volume_cluster_size(const char* root, uint32_t* bytes) {
    struct statvfs sv;
    if (statvfs(root ? root : ".", &sv) != 0) return -1;
    *bytes = static_cast<uint32_t>(sv.f_bsize);
    return 0;
}

int plat_volume_free_space(const char* root, uint64_t* bytes) {
    struct statvfs sv;
    if (statvfs(root ? root : ".", &sv) != 0) return -1;
    *bytes = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
    return 0;
}

int plat_fs_type(const char* path, char* buf, size_t size) {
    // The magic numbers of the kernel's file systems (linux/magic.h).
    static const struct {
        unsigned long magic;
        const char* name;
    } table[] = {
        {0x9fa0, "proc"},           {0x62656572, "sysfs"},
        {0x1373, "devfs"},          {0x1cd1, "devpts"},
        {0x27e0eb, "cgroup"},       {0x63677270, "cgroup2"},
        {0x73636673, "securityfs"}, {0x64626720, "debugfs"},
        {0x74726163, "tracefs"},    {0x6165676c, "pstore"},
        {0xcafe4a11, "bpf"},        {0x62656570, "configfs"},
        {0x65735543, "fusectl"},    {0x19800202, "mqueue"},
        {0x958458f6, "hugetlbfs"},  {0x42494e4d, "binfmt_misc"},
        {0x0187, "autofs"},         {0xde5e81e4, "efivarfs"},
        {0xf97cff8c, "selinuxfs"},  {0x67596969, "rpc_pipefs"},
        {0x6e736673, "nsfs"},       {0x01021994, "tmpfs"},
        {0xef53, "ext4"},           {0x58465342, "xfs"},
        {0x9123683e, "btrfs"},      {0x794c7630, "overlay"},
        {0x65735546, "fuse"},       {0x6969, "nfs"},
        {0xff534d42, "cifs"},       {0x4d44, "vfat"},
    };
    struct statfs sf;
    if (statfs(path, &sf) != 0) return -1;
    if (size == 0) {
        errno = ERANGE;
        return -1;
    }
    unsigned long magic = static_cast<unsigned long>(sf.f_type) & 0xffffffffUL;
    for (const auto& e : table) {
        if (e.magic == magic) {
            snprintf(buf, size, "%s", e.name);
            return 0;
        }
    }
    snprintf(buf, size, "0x%lx", magic);
    return 0;
}

int plat_file_security(const char* path, uint8_t* kind, uint32_t* value, uint8_t* buf,
                       uint32_t size) {
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    if (size < 12) {
        errno = ERANGE;
        return -1;
    }
    uint32_t fields[3] = {static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid),
                          static_cast<uint32_t>(st.st_mode)};
    for (int i = 0; i < 3; i++)
        for (int b = 0; b < 4; b++)
            buf[i * 4 + b] = static_cast<uint8_t>(fields[i] >> (8 * b));
    *kind = 4;
    *value = 12;
    return 0;
}

int plat_os_version(uint32_t* platform_id, uint32_t* major, uint32_t* minor) {
    struct utsname u;
    if (uname(&u) != 0) return -1;
    unsigned long ma = 0, mi = 0;
    char* end = nullptr;
    ma = strtoul(u.release, &end, 10);
    if (end && *end == '.') mi = strtoul(end + 1, nullptr, 10);
    *platform_id = 2;
    *major = static_cast<uint32_t>(ma);
    *minor = static_cast<uint32_t>(mi);
    return 0;
}

int plat_registry_read_string(const char*, const char*, char* buf, size_t size) {
    if (buf && size) buf[0] = 0;
    errno = ENOENT;
    return -1;
}
