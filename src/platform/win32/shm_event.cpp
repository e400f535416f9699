// shm_event.cpp - Windows: the named shared area and the named event.
//
// Both live in the global namespace and carry a security descriptor with a
// present but null access list, so that a program of any user or session can
// read the progress and signal the event. An object that already exists is
// opened and used as it is.
#include "platform/platform.h"

#include "platform/win32/handle.h"

#include <cstring>
#include <new>
#include <utility>

const char* const plat_progress_area_name =
    "Global\\Tavni/Tavni Backup/Backup Progress Information";
const char* const plat_terminate_event_name = "Global\\Tavni/Tavni Backup/Terminate Backup Event";

struct plat_shm {
    win32::kernel_handle mapping;
    win32::mapped_view view;
    size_t size;   // bytes of the view that may be touched
    bool writable; // made by plat_shm_create
};

struct plat_event {
    win32::kernel_handle handle;
};

namespace {

// Security attributes open to everyone: a null DACL, not inherited.
struct open_security {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

// PLAT_SHM_MADE, or the step that failed (the last error says why).
plat_shm_step make_open_security(open_security* s) {
    if (!InitializeSecurityDescriptor(&s->descriptor, SECURITY_DESCRIPTOR_REVISION))
        return PLAT_SHM_SECURITY;
    if (!SetSecurityDescriptorDacl(&s->descriptor, TRUE, nullptr, FALSE))
        return PLAT_SHM_SECURITY_ACL;
    s->attributes.nLength = sizeof s->attributes;
    s->attributes.lpSecurityDescriptor = &s->descriptor;
    s->attributes.bInheritHandle = FALSE;
    return PLAT_SHM_MADE;
}

void set_step(plat_shm_step* failed, plat_shm_step step) {
    if (failed) *failed = step;
}

// Maps the whole section; a section never shrinks while it is mapped, so the
// view's size, taken once, stays good. *failed says which step failed.
plat_shm* map_whole(HANDLE mapping, DWORD access, size_t size, bool writable,
                    plat_shm_step* failed) {
    set_step(failed, PLAT_SHM_OBJECT);
    win32::kernel_handle owner(mapping);
    if (!owner) return nullptr;
    set_step(failed, PLAT_SHM_VIEW);
    win32::mapped_view v(MapViewOfFile(owner.get(), access, 0, 0, size));
    if (!v) return nullptr;
    size_t mapped = size;
    if (size == 0) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(v.get(), &info, sizeof info) == 0) return nullptr;
        mapped = info.RegionSize;
    }
    plat_shm* s = new (std::nothrow) plat_shm;
    if (s == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s->view = std::move(v);
    s->mapping = std::move(owner);
    s->size = mapped;
    s->writable = writable;
    set_step(failed, PLAT_SHM_MADE);
    return s;
}

plat_event* wrap_event(HANDLE h) {
    win32::kernel_handle owner(h);
    if (!owner) return nullptr;
    plat_event* e = new (std::nothrow) plat_event;
    if (e == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    e->handle = std::move(owner);
    return e;
}

} // namespace

plat_shm* plat_shm_create(const char* name, size_t size, plat_shm_step* failed,
                          plat_shm_readers) {
    if (name == nullptr || size == 0 || size > 0x7FFFFFFFu) {
        set_step(failed, PLAT_SHM_OBJECT);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    open_security sec;
    const plat_shm_step security = make_open_security(&sec);
    if (security != PLAT_SHM_MADE) {
        set_step(failed, security);
        return nullptr;
    }
    // An existing section of the name is opened as it is; one smaller than
    // the record cannot be mapped whole (PLAT_SHM_VIEW).
    return map_whole(CreateFileMappingA(INVALID_HANDLE_VALUE, &sec.attributes, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), name),
                     FILE_MAP_ALL_ACCESS, size, true, failed);
}

int plat_shm_write(plat_shm* s, const void* data, size_t size) {
    if (s == nullptr || !s->writable || (data == nullptr && size != 0) || size > s->size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    memcpy(s->view.get(), data, size);
    return 0;
}

// Readers map the area read-only, as much of it as there is.
plat_shm* plat_shm_open(const char* name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return map_whole(OpenFileMappingA(FILE_MAP_READ, FALSE, name), FILE_MAP_READ, 0, false,
                     nullptr);
}

long plat_shm_read(plat_shm* s, void* buf, size_t size) {
    if (s == nullptr || (buf == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    size_t n = size < s->size ? size : s->size;
    if (n > 0x7FFFFFFFu) n = 0x7FFFFFFFu;
    memcpy(buf, s->view.get(), n);
    return static_cast<long>(n);
}

void plat_shm_close(plat_shm* s) {
    delete s;
}

plat_event* plat_event_create(const char* name, plat_event_refused_fn, void*) {
    open_security sec;
    if (make_open_security(&sec) != PLAT_SHM_MADE) return nullptr;
    return wrap_event(CreateEventA(&sec.attributes, FALSE, FALSE, name));
}

plat_event* plat_event_open(const char* name) {
    return wrap_event(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name));
}

// Every user may signal a Windows event (its null access list); the
// creator's user is not asked for.
bool plat_event_accepts_caller(const plat_event* e, int64_t* owner) {
    if (owner != nullptr) *owner = -1;
    return e != nullptr;
}

int plat_event_signal(plat_event* e) {
    if (e == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return SetEvent(e->handle.get()) ? 0 : -1;
}

bool plat_event_check(plat_event* e) {
    if (e == nullptr) return false;
    return WaitForSingleObject(e->handle.get(), 0) == WAIT_OBJECT_0;
}

void plat_event_close(plat_event* e) {
    delete e;
}
