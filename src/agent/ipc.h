// ipc.h - the job mailslot: the agent's receiving side and the sending side
// used by programs that queue jobs.
//
// A message is one schedule path, NUL-terminated, at most IPC_MESSAGE_MAX
// bytes with the NUL. A one-byte message is a probe written by every sender
// when it opens the mailslot; the receiver drops probes. A process uses the
// module either as receiver or as sender, never both at once.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    IPC_MESSAGE_MAX = 1024,
    IPC_OK = 0,
    IPC_RX_SETUP_FAILED = 64, // the mailslot cannot be created (another agent owns it)
    IPC_TX_OPEN_FAILED = 80,  // the mailslot cannot be opened (no agent is running)
    IPC_TX_PROBE_FAILED = 86, // the probe message cannot be written
    IPC_TX_WRITE_FAILED = 104,
    IPC_RX_NOT_SETUP = 113,
    IPC_RX_READ_FAILED = 117, // includes "no message waiting": reads never wait
    IPC_RX_EMPTY_MESSAGE = 120,
};

// Creates the mailslot; IPC_OK, or 64 with the system's error left readable
// through plat_last_error(). A mailslot folder that fails its safety check is
// named in the process log. Messages from other users than the agent's own
// and root are refused with a line in the process log and never read.
int ipc_rx_setup(const char* name);
// Reads the next message into buffer (at most capacity bytes; nothing past
// the bytes received is touched) and stores its length. Probes are dropped
// and the next message read instead; so is a message longer than capacity,
// which no sender may write. Returns IPC_OK, 113, 117 (also for a null
// buffer or length, or capacity 0) or 120; *length is set on IPC_OK only.
// The read adds no terminator: the message carries its own NUL.
int ipc_rx_read(void* buffer, size_t capacity, size_t* length);
// Each setup closes a mailslot this process held before; the closes are safe
// when none is open. Closing the receiver logs how many messages of other
// users were refused when more were refused than were logged one by one.
void ipc_rx_close();

// Opens an existing mailslot and writes the probe: IPC_OK, 80 or 86.
// agent_uid: whose agent (Linux; -1 for this process's own user).
int ipc_tx_setup(const char* name, int64_t agent_uid = -1);
// Writes one message: IPC_OK or 104. A message of more than IPC_MESSAGE_MAX
// bytes, or of none, is refused (104) without being written.
int ipc_tx_write(const void* data, size_t length);
void ipc_tx_close();
