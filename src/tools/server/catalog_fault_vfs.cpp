// catalog_fault_vfs.cpp - the catalog's file layer with the fault switch in
// front: every call goes to the system's own SQLite layer unchanged, except
// that xOpen, xRead, xWrite and xSync first ask plat_fault_check (operations
// open, read, write and sync) and fail as SQLite's own layer would when the
// system call fails.
#include "tools/server/catalog_fault_vfs.h"

#include "platform/platform.h"

#if defined(TAVNI_FAULT_INJECTION) && TAVNI_FAULT_INJECTION

#include <sqlite3.h>

#include <mutex>

namespace {

sqlite3_vfs g_vfs;            // the checking layer
sqlite3_vfs* g_real{nullptr}; // the layer it wraps

// The checking layer's file: the real layer's file follows it in the same
// allocation (szOsFile covers both).
struct fault_file {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* real_of(sqlite3_file* f) {
    return reinterpret_cast<fault_file*>(f)->real;
}

int f_close(sqlite3_file* f) {
    return real_of(f)->pMethods->xClose(real_of(f));
}
int f_read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    if (plat_fault_check(PLAT_FAULT_READ)) return SQLITE_IOERR_READ;
    return real_of(f)->pMethods->xRead(real_of(f), buf, n, off);
}
int f_write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (plat_fault_check(PLAT_FAULT_WRITE)) return SQLITE_IOERR_WRITE;
    return real_of(f)->pMethods->xWrite(real_of(f), buf, n, off);
}
int f_truncate(sqlite3_file* f, sqlite3_int64 size) {
    return real_of(f)->pMethods->xTruncate(real_of(f), size);
}
int f_sync(sqlite3_file* f, int flags) {
    if (plat_fault_check(PLAT_FAULT_SYNC)) return SQLITE_IOERR_FSYNC;
    return real_of(f)->pMethods->xSync(real_of(f), flags);
}
int f_file_size(sqlite3_file* f, sqlite3_int64* size) {
    return real_of(f)->pMethods->xFileSize(real_of(f), size);
}
int f_lock(sqlite3_file* f, int level) {
    return real_of(f)->pMethods->xLock(real_of(f), level);
}
int f_unlock(sqlite3_file* f, int level) {
    return real_of(f)->pMethods->xUnlock(real_of(f), level);
}
int f_check_reserved(sqlite3_file* f, int* out) {
    return real_of(f)->pMethods->xCheckReservedLock(real_of(f), out);
}
int f_file_control(sqlite3_file* f, int op, void* arg) {
    return real_of(f)->pMethods->xFileControl(real_of(f), op, arg);
}
int f_sector_size(sqlite3_file* f) {
    return real_of(f)->pMethods->xSectorSize(real_of(f));
}
int f_device_characteristics(sqlite3_file* f) {
    return real_of(f)->pMethods->xDeviceCharacteristics(real_of(f));
}
int f_shm_map(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return real_of(f)->pMethods->xShmMap(real_of(f), page, size, extend, out);
}
int f_shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    return real_of(f)->pMethods->xShmLock(real_of(f), offset, n, flags);
}
void f_shm_barrier(sqlite3_file* f) {
    real_of(f)->pMethods->xShmBarrier(real_of(f));
}
int f_shm_unmap(sqlite3_file* f, int delete_flag) {
    return real_of(f)->pMethods->xShmUnmap(real_of(f), delete_flag);
}
int f_fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
    return real_of(f)->pMethods->xFetch(real_of(f), off, n, out);
}
int f_unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
    return real_of(f)->pMethods->xUnfetch(real_of(f), off, p);
}

// One method table per version of the real layer's table, so that SQLite
// never calls a method the real file lacks.
const sqlite3_io_methods* methods_for(int version) {
    static const sqlite3_io_methods v1 = {1,
                                          f_close,
                                          f_read,
                                          f_write,
                                          f_truncate,
                                          f_sync,
                                          f_file_size,
                                          f_lock,
                                          f_unlock,
                                          f_check_reserved,
                                          f_file_control,
                                          f_sector_size,
                                          f_device_characteristics,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr};
    static const sqlite3_io_methods v2 = {2,
                                          f_close,
                                          f_read,
                                          f_write,
                                          f_truncate,
                                          f_sync,
                                          f_file_size,
                                          f_lock,
                                          f_unlock,
                                          f_check_reserved,
                                          f_file_control,
                                          f_sector_size,
                                          f_device_characteristics,
                                          f_shm_map,
                                          f_shm_lock,
                                          f_shm_barrier,
                                          f_shm_unmap,
                                          nullptr,
                                          nullptr};
    static const sqlite3_io_methods v3 = {3,
                                          f_close,
                                          f_read,
                                          f_write,
                                          f_truncate,
                                          f_sync,
                                          f_file_size,
                                          f_lock,
                                          f_unlock,
                                          f_check_reserved,
                                          f_file_control,
                                          f_sector_size,
                                          f_device_characteristics,
                                          f_shm_map,
                                          f_shm_lock,
                                          f_shm_barrier,
                                          f_shm_unmap,
                                          f_fetch,
                                          f_unfetch};
    return version >= 3 ? &v3 : version == 2 ? &v2 : &v1;
}

int v_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
    fault_file* f = reinterpret_cast<fault_file*>(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->real->pMethods = nullptr;
    if (plat_fault_check(PLAT_FAULT_OPEN)) return SQLITE_CANTOPEN;
    int rc = g_real->xOpen(g_real, name, f->real, flags, out_flags);
    // SQLite closes a file whose methods are set, even after a failed open.
    if (f->real->pMethods) f->base.pMethods = methods_for(f->real->pMethods->iVersion);
    return rc;
}
int v_delete(sqlite3_vfs*, const char* name, int sync_dir) {
    return g_real->xDelete(g_real, name, sync_dir);
}
int v_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_real->xAccess(g_real, name, flags, out);
}
int v_full_pathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_real->xFullPathname(g_real, name, n, out);
}
void* v_dl_open(sqlite3_vfs*, const char* name) {
    return g_real->xDlOpen(g_real, name);
}
void v_dl_error(sqlite3_vfs*, int n, char* out) {
    g_real->xDlError(g_real, n, out);
}
void (*v_dl_sym(sqlite3_vfs*, void* lib, const char* sym))(void) {
    return g_real->xDlSym(g_real, lib, sym);
}
void v_dl_close(sqlite3_vfs*, void* lib) {
    g_real->xDlClose(g_real, lib);
}
int v_randomness(sqlite3_vfs*, int n, char* out) {
    return g_real->xRandomness(g_real, n, out);
}
int v_sleep(sqlite3_vfs*, int us) {
    return g_real->xSleep(g_real, us);
}
int v_current_time(sqlite3_vfs*, double* out) {
    return g_real->xCurrentTime(g_real, out);
}
int v_get_last_error(sqlite3_vfs*, int n, char* out) {
    return g_real->xGetLastError ? g_real->xGetLastError(g_real, n, out) : 0;
}
int v_current_time_int64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_real->xCurrentTimeInt64(g_real, out);
}

} // namespace

void catalog_fault_vfs_register() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
        if (!real) return;
        g_real = real;
        g_vfs.iVersion = real->iVersion >= 2 ? 2 : 1;
        g_vfs.szOsFile = static_cast<int>(sizeof(fault_file)) + real->szOsFile;
        g_vfs.mxPathname = real->mxPathname;
        g_vfs.zName = "tavni-fault";
        g_vfs.xOpen = v_open;
        g_vfs.xDelete = v_delete;
        g_vfs.xAccess = v_access;
        g_vfs.xFullPathname = v_full_pathname;
        g_vfs.xDlOpen = v_dl_open;
        g_vfs.xDlError = v_dl_error;
        g_vfs.xDlSym = v_dl_sym;
        g_vfs.xDlClose = v_dl_close;
        g_vfs.xRandomness = v_randomness;
        g_vfs.xSleep = v_sleep;
        g_vfs.xCurrentTime = v_current_time;
        g_vfs.xGetLastError = v_get_last_error;
        if (g_vfs.iVersion >= 2) g_vfs.xCurrentTimeInt64 = v_current_time_int64;
        sqlite3_vfs_register(&g_vfs, 1);
    });
}

#else

void catalog_fault_vfs_register() {}

#endif
