// transport.h - the blocking socket routines with their wait policy, the
// packet area's send and receive, and ctfs_transact, the one routine through
// which every request passes (it connects and logs in on demand).
#pragma once

#include "protocol/frame.h"
#include "protocol/session.h"

#include <cstddef>
#include <cstdint>

// Nominal length of one receive wait in the log lines, in seconds. The real
// wait comes from timing_get().recv_wait_ms.
enum { CTFS_RECV_WAIT_SECONDS = 5 };

// Sends all n bytes; n, or -1 when a send fails (plat_socket_last_error()
// tells why; nothing is logged).
long ctfs_send_all(intptr_t sock, const void* data, size_t n);
// What a receive gives when the user's stop ended its wait, and when the
// peer closed (or reset) the connection.
enum { CTFS_RECV_STOPPED = -2, CTFS_RECV_CLOSED = -3 };
// Receives exactly n bytes under the wait policy (keepalive bump and a
// receive wait per round; the configured number of empty waits in a row give
// up; each with its job-log line), all of them by the tick deadline however
// the bytes trickle in. Every wait asks the stop check (ctfs_set_stop_check)
// at least every timing_get().stop_poll_ms. n; -1 after a job-log line that
// names the cause (time-out, deadline, failed wait); CTFS_RECV_CLOSED after
// the line of a failed or ended receive; CTFS_RECV_STOPPED when the stop
// check said so. The bytes
// received before are in buf. limit_ms is the deadline's whole length, for
// the log line.
long ctfs_recv_until(intptr_t sock, void* buf, size_t n, uint32_t deadline, uint32_t limit_ms);
// ctfs_recv_until with the deadline of one answer from now
// (timing_get().answer_deadline_ms).
long ctfs_recv_all(intptr_t sock, void* buf, size_t n);
// 0 when the socket is valid and has nothing to read; -1 when it is invalid,
// readable (unasked data, or closed by the server) or select fails.
int ctfs_socket_idle(intptr_t sock);
// Connects to host:port; the caller closes the socket (plat_socket_close).
// -1 (PLAT_SOCKET_NONE) when it cannot, and at once for a port outside
// 1-65535.
intptr_t ctfs_tcp_connect(const char* host, int port);

// Moves the payload 6 bytes up and writes the header from the session's len,
// type, seq and status. The payload must not exceed CTFS_MAX_PAYLOAD.
void ctfs_packet_finish(ctfs_session* s);
// Seals the finished packet under the session's cipher and sends it. 0; -1
// when the socket is not idle or there is no cipher (nothing sent); 255
// (ERR_SCKWRITE) when sealing or sending fails.
int ctfs_packet_send(ctfs_session* s);
// 0 (also at once when no response is expected) or ERR_SCKREAD (no cipher, a
// receive failed, or a frame that does not open). The whole frame must
// arrive by the session's exchange deadline while a key exchange runs, else
// within timing_get().answer_deadline_ms. On success the session's len,
// type, seq and status are the response's and buf holds its payload alone;
// on failure they are unchanged, buf may not be. A receive ended by the
// user's stop sets the session's stopped flag and leaves the connection
// unusable (the next request reconnects).
tfs_result ctfs_packet_recv(ctfs_session* s);
// Sends the built request and, when a response is expected, receives it and
// checks its type and sequence (not its status). Connects, keys and logs in
// first when there is no usable connection, at most once per call, pausing
// timing_get().reconnect_pause_ms first except on the session's first
// failure. ERR_NONE (the session's answer counter then counts it);
// ERR_SCKWRITE, ERR_SCKREAD, ERR_SEQUENCE (an answer of another type or
// sequence), or the failure of the reconnection's log-in. After ERR_SCKREAD
// and ERR_SEQUENCE the connection is dropped (its answers can no longer be
// matched to requests; the answer read stays in buf). A session without
// log-in (AUTH_MODE_NONE) returns ctfs_connect's result, whose handshake
// carried the request; its answer is then not checked.
tfs_result ctfs_transact(ctfs_session* s);

// Requests sent ahead of their answers (the control tool's block reads):
// ctfs_send_ahead seals and sends the built request, which expects an
// answer, without waiting for the answers to those sent before it;
// ctfs_recv_answer takes the next answer on the connection, which must
// answer req_type with req_seq. Answers come in the order of the requests.
// Neither connects or logs in: after a failure the connection is dropped
// (the answers still on their way can no longer be matched) and the caller
// gives up. A caller keeps only a few small requests ahead, so that its
// sends never wait on a server that waits on it. ERR_NONE; ERR_SCKWRITE (no
// connection, or the send failed); ERR_SCKREAD; ERR_SEQUENCE.
tfs_result ctfs_send_ahead(ctfs_session* s);
tfs_result ctfs_recv_answer(ctfs_session* s, uint8_t req_type, uint16_t req_seq);

// The packet area saved around a reconnection.
struct ctfs_packet_saved {
    uint16_t len;
    uint8_t type;
    uint16_t seq;
    uint8_t status;
    bool expects_response;
    uint8_t buf[CTFS_PLAIN_MAX];
};
// Allocated copy of the packet area, never null (free with
// ctfs_packet_release, which accepts null).
ctfs_packet_saved* ctfs_packet_save(const ctfs_session* s);
void ctfs_packet_restore(ctfs_session* s, const ctfs_packet_saved* saved);
void ctfs_packet_release(ctfs_packet_saved* saved);

// Closes the session's socket and frees its cipher (the connection returns
// to "none"); safe when there is none.
void ctfs_drop_connection(ctfs_session* s);

// Every pause of the protocol client (the reconnection pause, the lock
// recovery, the job driver's lock waits) goes through ctfs_pause. Tests
// install a recorder instead of the real sleep; null restores it.
typedef void (*ctfs_sleep_fn)(uint32_t ms);
void ctfs_set_sleep_for_tests(ctfs_sleep_fn fn);
void ctfs_sleep(uint32_t ms);

// The user's stop, asked by every wait of the protocol client at least every
// timing_get().stop_poll_ms: true ends the wait at once. The job driver
// installs one that takes the terminate event (and marks the job
// terminated); null (the default) asks nothing. Process-wide.
typedef bool (*ctfs_stop_fn)();
void ctfs_set_stop_check(ctfs_stop_fn fn);
// Asks the stop check once; false without one.
bool ctfs_stop_asked();
// Sleeps ms in slices, asking the stop check. A stop ends the pause and
// sets s->stopped; a session already stopped does not pause at all (its
// user is waiting for the job to end). Tests' recorder takes the whole
// pause. True when the pause ran its course.
bool ctfs_pause(ctfs_session* s, uint32_t ms);
