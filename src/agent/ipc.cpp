// ipc.cpp - the job mailslot over the platform's mailslot.
#include "agent/ipc.h"

#include "platform/platform.h"

namespace {

plat_mailslot* g_slot = nullptr;
bool g_open = false;

void close_slot() {
    if (g_open) plat_mailslot_close(g_slot);
    g_slot = nullptr;
    g_open = false;
}

} // namespace

int ipc_rx_setup(const char* name) {
    close_slot();
    g_slot = plat_mailslot_create(name);
    if (!g_slot) return IPC_RX_SETUP_FAILED;
    g_open = true;
    return IPC_OK;
}

int ipc_rx_read(void* buffer, size_t capacity, size_t* length) {
    if (!g_open) return IPC_RX_NOT_SETUP;
    if (!buffer || !length || capacity == 0) return IPC_RX_READ_FAILED;
    for (;;) {
        long n = plat_mailslot_read(g_slot, buffer, capacity);
        // An over-long message was consumed by the read: drop it and go on,
        // so that one bad sender cannot discard the jobs queued behind it.
        if (n == PLAT_MAILSLOT_TOO_LONG) continue;
        if (n < 0) return IPC_RX_READ_FAILED;
        if (n == 0) return IPC_RX_EMPTY_MESSAGE;
        if (n == 1) continue; // a sender's probe
        *length = static_cast<size_t>(n);
        return IPC_OK;
    }
}

void ipc_rx_close() {
    close_slot();
}

int ipc_tx_setup(const char* name) {
    close_slot();
    plat_mailslot* m = plat_mailslot_open(name);
    if (!m) return IPC_TX_OPEN_FAILED;
    const char probe = 0;
    if (plat_mailslot_write(m, &probe, 1) != 0) {
        plat_mailslot_close(m);
        return IPC_TX_PROBE_FAILED;
    }
    g_slot = m;
    g_open = true;
    return IPC_OK;
}

int ipc_tx_write(const void* data, size_t length) {
    if (!g_open || !data || length == 0 || length > IPC_MESSAGE_MAX) return IPC_TX_WRITE_FAILED;
    return plat_mailslot_write(g_slot, data, length) == 0 ? IPC_OK : IPC_TX_WRITE_FAILED;
}

void ipc_tx_close() {
    close_slot();
}
