// mailslot.cpp - Windows: the job mailslot, both sides.
//
// The receiver is a mailslot without a size limit and with a read time-out of
// 0, so a read on an empty mailslot fails at once (ERROR_SEM_TIMEOUT). A
// message larger than the caller's buffer would stay at the head of the queue
// and block every later read; it is read into a scratch area and dropped, and
// the read reports PLAT_MAILSLOT_TOO_LONG with ERROR_INSUFFICIENT_BUFFER.
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

plat_mailslot* plat_mailslot_create(const char* name) {
    return wrap(CreateMailslotA(name, 0, 0, nullptr));
}

plat_mailslot* plat_mailslot_open(const char* name) {
    return wrap(CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Reads and drops the message at the head of the queue.
static void drop_message(HANDLE h) {
    DWORD next = 0;
    if (!GetMailslotInfo(h, nullptr, &next, nullptr, nullptr)) return;
    if (next == MAILSLOT_NO_MESSAGE) return;
    char* scratch = new (std::nothrow) char[next == 0 ? 1 : next];
    if (scratch == nullptr) return;
    DWORD got = 0;
    ReadFile(h, scratch, next, &got, nullptr);
    delete[] scratch;
}

long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size) {
    if (m == nullptr || (buf == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD cap = size > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(size);
    DWORD got = 0;
    if (ReadFile(m->handle.get(), buf, cap, &got, nullptr)) return static_cast<long>(got);
    DWORD err = GetLastError();
    if (err == ERROR_INSUFFICIENT_BUFFER) {
        drop_message(m->handle.get());
        SetLastError(err);
        return PLAT_MAILSLOT_TOO_LONG;
    }
    return -1;
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
