// mailslot.cpp - Windows: the job mailslot, both sides.
//
// The receiver is a mailslot without a size limit and with a read time-out of
// 0, so a read on an empty mailslot fails at once (ERROR_SEM_TIMEOUT). A
// message larger than the caller's buffer would stay at the head of the queue
// and block every later read; it is read into a scratch area and dropped, and
// the read reports ERROR_INSUFFICIENT_BUFFER. A message that cannot be
// dropped (no memory for it, or its read fails) is tried a few times and the
// read then fails, so that the caller's loop ends instead of spinning.
#include "platform/platform.h"

#include "platform/win32/handle.h"

#include <new>
#include <utility>

const char* const plat_job_mailslot_name =
    "\\\\.\\mailslot\\Tavni\\Tavni Backup\\Backup Job Mailslot";

struct plat_mailslot {
    win32::file_handle handle;
};

static plat_mailslot* wrap(HANDLE h) {
    win32::file_handle owner(h);
    if (!owner) return nullptr;
    plat_mailslot* m = new (std::nothrow) plat_mailslot;
    if (m == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    m->handle = std::move(owner);
    return m;
}

// Every local program may write the machine's one mailslot, as the system
// made it; there is no sender to check, so on_refused is never called.
plat_mailslot* plat_mailslot_create(const char* name, plat_mailslot_refused_fn, void*) {
    return wrap(CreateMailslotA(name, 0, 0, nullptr));
}

plat_mailslot* plat_mailslot_open(const char* name, int64_t) {
    return wrap(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Size of the message at the head of the queue, or MAILSLOT_NO_MESSAGE.
static DWORD next_message_size(HANDLE h) {
    DWORD next = MAILSLOT_NO_MESSAGE;
    if (!GetMailslotInfo(h, nullptr, &next, nullptr, nullptr)) return MAILSLOT_NO_MESSAGE;
    return next;
}

int plat_mailslot_folder(int64_t, bool, char* path, size_t size, char* passed_over,
                         size_t passed_size) {
    if (passed_over && passed_size > 0) passed_over[0] = 0;
    if (path != nullptr && size > 0) path[0] = 0;
    return 0;
}

// Attempts at dropping one over-long message before the read gives up.
static const int drop_attempts = 3;

// Reads and drops the message at the head of the queue, of the given size;
// false when it could not (it then stays at the head).
static bool drop_message(HANDLE h, DWORD size) {
    char* scratch = new (std::nothrow) char[size == 0 ? 1 : size];
    if (scratch == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD got = 0;
    BOOL ok = ReadFile(h, scratch, size, &got, nullptr);
    DWORD err = GetLastError();
    delete[] scratch;
    SetLastError(err);
    return ok != FALSE;
}

// Drops the over-long message at the head: PLAT_MAILSLOT_TOO_LONG when it is
// gone (or gone already), -1 when it cannot be dropped.
static long drop_too_long(HANDLE h) {
    for (int i = 0; i < drop_attempts; i++) {
        DWORD next = next_message_size(h);
        if (next == MAILSLOT_NO_MESSAGE) break;
        if (drop_message(h, next)) break;
        if (i + 1 == drop_attempts) return -1;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return PLAT_MAILSLOT_TOO_LONG;
}

long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size) {
    if (m == nullptr || (buf == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HANDLE h = m->handle.get();
    DWORD cap = size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(size);
    // The size is asked first: some implementations hand out the first part
    // of a longer message instead of refusing it.
    DWORD next = next_message_size(h);
    if (next != MAILSLOT_NO_MESSAGE && next > cap) return drop_too_long(h);
    DWORD got = 0;
    if (ReadFile(h, buf, cap, &got, nullptr)) return static_cast<long>(got);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return -1;
    return drop_too_long(h);
}

int plat_mailslot_write(plat_mailslot* m, const void* data, size_t len) {
    if (m == nullptr || (data == nullptr && len != 0) || len > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD put = 0;
    if (!WriteFile(m->handle.get(), data, static_cast<DWORD>(len), &put, nullptr)) return -1;
    if (put != len) {
        SetLastError(ERROR_WRITE_FAULT);
        return -1;
    }
    return 0;
}

void plat_mailslot_close(plat_mailslot* m) {
    delete m;
}
