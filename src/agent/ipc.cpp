// ipc.cpp - the job mailslot over the platform's mailslot.
//
// The receiver obeys only its own user and root; every message from anyone
// else is dropped by the platform and noted here in the process log (the
// first hundred one by one, then a count), never shown to the job loop.
#include "agent/ipc.h"

#include "runtime/log.h"
#include "platform/platform.h"

namespace {

plat_mailslot* g_slot = nullptr;
bool g_open = false;
bool g_receiver = false;

// Refused messages since the receiver was set up. A stranger must not be
// able to fill the disk with log lines.
log_refusals g_refused{"job mailslot messages"};

void note_refused(void*, const plat_mailslot_sender* sender) {
    log_refusal(&g_refused,
                "Refused a job mailslot message from user %lld (process %lld); only the agent's "
                "own user and root may queue jobs.\n",
                static_cast<long long>(sender->uid), static_cast<long long>(sender->pid));
}

void close_slot() {
    if (g_open) plat_mailslot_close(g_slot);
    g_slot = nullptr;
    g_open = false;
    log_refusals_end(&g_refused, g_receiver);
    g_receiver = false;
}

} // namespace

int ipc_rx_setup(const char* name) {
    close_slot();
    char folder[512], passed[512];
    if (plat_mailslot_folder(-1, true, folder, sizeof folder, passed, sizeof passed) != 0) {
        // Someone else's folder, or one that others may write, could hand
        // the name to a stranger: no job is taken through it.
        int error = plat_last_error();
        char text[256];
        plat_error_text(error, text, sizeof text);
        agent_log_printf("The job mailslot folder '%s' is not safe to use (%s); no jobs can be "
                         "queued.\n",
                         folder, text);
        plat_set_last_error(error);
        return IPC_RX_SETUP_FAILED;
    }
    // The usual folder was someone else's (or open to others): the one in
    // use is named, so that the user knows where tavni-ctl finds the agent.
    if (passed[0])
        agent_log_printf("The job mailslot folder '%s' belongs to another user or others may "
                         "write it; using '%s' instead.\n",
                         passed, folder);
    g_slot = plat_mailslot_create(name, note_refused, nullptr);
    if (!g_slot) return IPC_RX_SETUP_FAILED;
    g_open = true;
    g_receiver = true;
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

int ipc_tx_setup(const char* name, int64_t agent_uid) {
    close_slot();
    plat_mailslot* m = plat_mailslot_open(name, agent_uid);
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
