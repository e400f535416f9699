// transport.cpp - sockets with the five-second wait policy, packet send and
// receive over the session cipher, and the transaction with its single
// reconnection.
#include "protocol/transport.h"

#include "common/keepalive.h"
#include "runtime/log.h"
#include "common/mem.h"
#include "common/timing.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

static ctfs_sleep_fn g_sleep = nullptr;
static ctfs_stop_fn g_stop = nullptr;

void ctfs_set_sleep_for_tests(ctfs_sleep_fn fn) {
    g_sleep = fn;
}

void ctfs_sleep(uint32_t ms) {
    if (g_sleep)
        g_sleep(ms);
    else
        plat_sleep_ms(ms);
}

void ctfs_set_stop_check(ctfs_stop_fn fn) {
    g_stop = fn;
}

bool ctfs_stop_asked() {
    return g_stop && g_stop();
}

bool ctfs_pause(ctfs_session* s, uint32_t ms) {
    if (s->stopped) return false;
    if (g_sleep) {
        g_sleep(ms);
        return true;
    }
    const uint32_t start = plat_tick_ms();
    for (;;) {
        const uint32_t gone = plat_tick_ms() - start;
        if (gone >= ms) return true;
        if (ctfs_stop_asked()) {
            s->stopped = true;
            return false;
        }
        keepalive_bump();
        uint32_t slice = ms - gone;
        const uint32_t poll = timing_get().stop_poll_ms;
        if (poll > 0 && slice > poll) slice = poll;
        plat_sleep_ms(slice);
    }
}

long ctfs_send_all(intptr_t sock, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        long r = plat_socket_send(sock, p + done, n - done);
        if (r < 0) return -1;
        done += static_cast<size_t>(r);
    }
    return static_cast<long>(n);
}

long ctfs_recv_all(intptr_t sock, void* buf, size_t n) {
    const uint32_t limit = timing_get().answer_deadline_ms;
    return ctfs_recv_until(sock, buf, n, plat_tick_ms() + limit, limit);
}

// Milliseconds from now until tick (0 once it has passed).
static uint32_t ms_until(uint32_t tick) {
    const int32_t left = static_cast<int32_t>(tick - plat_tick_ms());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// Receives at least n bytes and at most cap into buf, as ctfs_recv_until
// describes; the count received.
static long recv_some(intptr_t sock, uint8_t* p, size_t n, size_t cap, uint32_t deadline,
                      uint32_t limit_ms) {
    size_t done = 0;
    uint32_t empty_waits = 0;
    // Each receive wait runs in slices, so that a stop is seen within one,
    // and never past the deadline: data that trickles in resets the count of
    // empty waits, never the deadline.
    uint32_t wait_end = plat_tick_ms() + timing_get().recv_wait_ms;
    while (done < n) {
        keepalive_bump();
        const timing& t = timing_get();
        const uint32_t to_deadline = ms_until(deadline);
        if (to_deadline == 0) {
            job_log_printf("recv(): Not complete within %u seconds, however the bytes came in; "
                           "giving up.\n",
                           static_cast<unsigned>((limit_ms + 999) / 1000));
            return -1;
        }
        uint32_t slice = ms_until(wait_end);
        if (slice == 0) {
            job_log_printf("select(): Timed out after %d seconds.\n", CTFS_RECV_WAIT_SECONDS);
            if (++empty_waits >= t.recv_wait_count) {
                int count = static_cast<int>(t.recv_wait_count);
                job_log_printf(
                    "select(): Maximum timeout reached (%d x %d = %d seconds); giving up.\n",
                    CTFS_RECV_WAIT_SECONDS, count, CTFS_RECV_WAIT_SECONDS * count);
                return -1;
            }
            wait_end = plat_tick_ms() + t.recv_wait_ms;
            continue;
        }
        if (slice > to_deadline) slice = to_deadline;
        if (t.stop_poll_ms > 0 && slice > t.stop_poll_ms) slice = t.stop_poll_ms;
        int w = plat_socket_wait_readable(sock, slice);
        if (w == 0) {
            if (ctfs_stop_asked()) return CTFS_RECV_STOPPED;
            continue;
        }
        if (w < 0) {
            job_log_printf("select() returned -1 and last WSA error code is: %d\n",
                           plat_socket_last_error());
            return -1;
        }
        long r = plat_socket_recv(sock, p + done, cap - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            empty_waits = 0;
            wait_end = plat_tick_ms() + t.recv_wait_ms;
            continue;
        }
        if (r < 0) {
            job_log_printf("recv() returned SOCKET_ERROR and last WSA error code is: %d\n",
                           plat_socket_last_error());
        } else {
            job_log_printf("recv() returned: %d and WSA error code is: %d\n", 0,
                           plat_socket_last_error());
        }
        return CTFS_RECV_CLOSED;
    }
    return static_cast<long>(done);
}

long ctfs_recv_until(intptr_t sock, void* buf, size_t n, uint32_t deadline, uint32_t limit_ms) {
    return recv_some(sock, static_cast<uint8_t*>(buf), n, n, deadline, limit_ms);
}

int ctfs_socket_idle(intptr_t sock) {
    if (sock < 0) return -1;
    return plat_socket_wait_readable(sock, 0) == 0 ? 0 : -1;
}

intptr_t ctfs_tcp_connect(const char* host, int port) {
    if (port <= 0 || port > 0xFFFF) return -1;
    return plat_tcp_connect(host, static_cast<uint16_t>(port));
}

void ctfs_packet_finish(ctfs_session* s) {
    size_t n = s->len;
    if (n > static_cast<size_t>(CTFS_MAX_PAYLOAD)) n = CTFS_MAX_PAYLOAD;
    memmove(s->buf + CTFS_HEADER, s->buf, n);
    ctfs_header h{static_cast<uint16_t>(n), s->type, s->seq, s->status};
    ctfs_header_write(s->buf, h);
}

int ctfs_packet_send(ctfs_session* s) {
    // Bytes already received and not read are data nobody asked for, as
    // bytes waiting on the socket are.
    if (s->rx_pos < s->rx_end || ctfs_socket_idle(s->socket) != 0 || !s->cipher) return -1;
    size_t frame = ctfs_frame_seal(s->cipher, s->buf, CTFS_HEADER + static_cast<size_t>(s->len));
    if (frame == 0) return ERR_SCKWRITE;
    if (ctfs_send_all(s->socket, s->cipher->frame, frame) < 0) return ERR_SCKWRITE;
    return 0;
}

// A receive of the session's, through its buffer: what is there is taken
// first; a smaller rest is received into the buffer together with whatever
// follows it (one receive for a small answer's head and frame), a larger one
// straight into buf. A stop marks the session.
static bool session_recv(ctfs_session* s, void* buf, size_t n, uint32_t deadline,
                         uint32_t limit_ms) {
    uint8_t* out = static_cast<uint8_t*>(buf);
    const size_t have = s->rx_end - s->rx_pos;
    const size_t take = have < n ? have : n;
    memcpy(out, s->rx + s->rx_pos, take);
    s->rx_pos += static_cast<uint32_t>(take);
    out += take;
    n -= take;
    if (n == 0) return true;
    long r;
    if (n >= sizeof s->rx) {
        r = ctfs_recv_until(s->socket, out, n, deadline, limit_ms);
    } else {
        r = recv_some(s->socket, s->rx, n, sizeof s->rx, deadline, limit_ms);
        s->rx_pos = s->rx_end = 0; // a failed receive leaves nothing to read
        if (r >= 0) {
            memcpy(out, s->rx, n);
            s->rx_pos = static_cast<uint32_t>(n);
            s->rx_end = static_cast<uint32_t>(r);
        }
    }
    s->last_recv_closed = r == CTFS_RECV_CLOSED;
    if (r == CTFS_RECV_STOPPED) {
        // Part of an answer may follow: the connection is of no more use.
        s->stopped = true;
        ctfs_drop_connection(s);
    }
    return r >= 0;
}

tfs_result ctfs_packet_recv(ctfs_session* s) {
    if (!s->expects_response) return ERR_NONE;
    if (!s->cipher) return ERR_SCKREAD;
    const timing& t = timing_get();
    const uint32_t limit = s->exchange_deadline_set ? t.exchange_deadline_ms : t.answer_deadline_ms;
    const uint32_t deadline =
        s->exchange_deadline_set ? s->exchange_deadline : plat_tick_ms() + limit;
    uint8_t head[CTFS_FRAME_HEAD];
    if (!session_recv(s, head, sizeof head, deadline, limit)) return ERR_SCKREAD;
    uint32_t k, crc;
    ctfs_frame_head_read(head, &k, &crc);
    // A frame larger than the frame buffer is refused before it is read.
    if (k > CTFS_FRAME_BUF) return ERR_SCKREAD;
    if (!session_recv(s, s->cipher->frame, k, deadline, limit)) return ERR_SCKREAD;
    ctfs_header h;
    if (ctfs_frame_open(s->cipher, k, crc, &h, s->buf, sizeof s->buf) != ERR_NONE)
        return ERR_SCKREAD;
    s->len = h.len;
    s->type = h.type;
    s->seq = h.seq;
    s->status = h.status;
    return ERR_NONE;
}

tfs_result ctfs_send_ahead(ctfs_session* s) {
    if (s->socket == PLAT_SOCKET_NONE || !s->cipher) return ERR_SCKWRITE;
    const size_t frame =
        ctfs_frame_seal(s->cipher, s->buf, CTFS_HEADER + static_cast<size_t>(s->len));
    if (frame == 0 || ctfs_send_all(s->socket, s->cipher->frame, frame) < 0) {
        ctfs_drop_connection(s);
        return ERR_SCKWRITE;
    }
    return ERR_NONE;
}

tfs_result ctfs_recv_answer(ctfs_session* s, uint8_t req_type, uint16_t req_seq) {
    s->expects_response = true;
    if (ctfs_packet_recv(s) != ERR_NONE) {
        ctfs_drop_connection(s);
        return ERR_SCKREAD;
    }
    if (s->type != static_cast<uint8_t>(req_type + TFS_RESPONSE) || s->seq != req_seq) {
        ctfs_drop_connection(s);
        return ERR_SEQUENCE;
    }
    s->answers++;
    return ERR_NONE;
}

ctfs_packet_saved* ctfs_packet_save(const ctfs_session* s) {
    ctfs_packet_saved* p = static_cast<ctfs_packet_saved*>(mem_alloc(sizeof(ctfs_packet_saved)));
    p->len = s->len;
    p->type = s->type;
    p->seq = s->seq;
    p->status = s->status;
    p->expects_response = s->expects_response;
    memcpy(p->buf, s->buf, sizeof p->buf);
    return p;
}

void ctfs_packet_restore(ctfs_session* s, const ctfs_packet_saved* p) {
    s->len = p->len;
    s->type = p->type;
    s->seq = p->seq;
    s->status = p->status;
    s->expects_response = p->expects_response;
    memcpy(s->buf, p->buf, sizeof s->buf);
}

void ctfs_packet_release(ctfs_packet_saved* p) {
    free(p);
}

void ctfs_drop_connection(ctfs_session* s) {
    if (s->socket != PLAT_SOCKET_NONE) plat_socket_close(s->socket);
    s->socket = PLAT_SOCKET_NONE;
    s->rx_pos = s->rx_end = 0;
    ctfs_cipher_free(s->cipher);
    s->cipher = nullptr;
}

tfs_result ctfs_transact(ctfs_session* s) {
    const uint8_t req_type = s->type;
    const uint16_t req_seq = s->seq;
    if (ctfs_packet_send(s) != 0) {
        if (s->first_failure)
            s->first_failure = false;
        else
            ctfs_pause(s, timing_get().reconnect_pause_ms);
        if (s->auth_mode == AUTH_MODE_NONE) return ctfs_connect(s);
        ctfs_packet_saved* saved = ctfs_packet_save(s);
        tfs_result r = ctfs_session_auth(s, nullptr, 0);
        if (r == ERR_IO && !s->turned_away && !s->stopped && !s->identity_changed) {
            // No server completed the connection (refused, unreachable, or
            // closed while the key exchange was under way): a lost
            // connection like any other, tried once more after the pause.
            // Servers that all turned it away before their key were tried
            // again by the connect's own rounds already, and a server whose
            // key is not the pinned one is not asked again.
            const uint32_t pause = timing_get().reconnect_pause_ms;
            job_log_printf("No backup server completed the connection (Error %d); trying again "
                           "in %u seconds.\n",
                           r, static_cast<unsigned>(pause / 1000));
            if (ctfs_pause(s, pause)) r = ctfs_session_auth(s, nullptr, 0);
        }
        if (r != ERR_NONE) {
            ctfs_packet_release(saved);
            return r;
        }
        ctfs_packet_restore(s, saved);
        ctfs_packet_release(saved);
        if (ctfs_packet_send(s) != 0) return ERR_SCKWRITE;
    }
    if (!s->expects_response) return ERR_NONE;
    // The sequence never advances, so an answer is known only by its place
    // on the connection. After a receive that failed (the answer may still
    // come, late) or an answer to something else, the next answer read there
    // could belong to an earlier request: the connection is dropped, and the
    // next request makes a new one.
    return ctfs_recv_answer(s, req_type, req_seq);
}
