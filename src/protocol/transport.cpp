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

void ctfs_set_sleep_for_tests(ctfs_sleep_fn fn) {
    g_sleep = fn;
}

void ctfs_sleep(uint32_t ms) {
    if (g_sleep)
        g_sleep(ms);
    else
        plat_sleep_ms(ms);
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
    uint8_t* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    uint32_t empty_waits = 0;
    while (done < n) {
        keepalive_bump();
        const timing& t = timing_get();
        int w = plat_socket_wait_readable(sock, t.recv_wait_ms);
        if (w == 0) {
            job_log_printf("select(): Timed out after %d seconds.\n", CTFS_RECV_WAIT_SECONDS);
            if (++empty_waits >= t.recv_wait_count) {
                int count = static_cast<int>(t.recv_wait_count);
                job_log_printf(
                    "select(): Maximum timeout reached (%d x %d = %d seconds); giving up.\n",
                    CTFS_RECV_WAIT_SECONDS, count, CTFS_RECV_WAIT_SECONDS * count);
                return -1;
            }
            continue;
        }
        if (w < 0) {
            job_log_printf("select() returned -1 and last WSA error code is: %d\n",
                           plat_socket_last_error());
            return -1;
        }
        long r = plat_socket_recv(sock, p + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            empty_waits = 0;
            continue;
        }
        if (r < 0) {
            job_log_printf("recv() returned SOCKET_ERROR and last WSA error code is: %d\n",
                           plat_socket_last_error());
        } else {
            job_log_printf("recv() returned: %d and WSA error code is: %d\n", 0,
                           plat_socket_last_error());
        }
        return -1;
    }
    return static_cast<long>(n);
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
    if (ctfs_socket_idle(s->socket) != 0 || !s->cipher) return -1;
    size_t frame = ctfs_frame_seal(s->cipher, s->buf, CTFS_HEADER + static_cast<size_t>(s->len));
    if (frame == 0) return ERR_SCKWRITE;
    if (ctfs_send_all(s->socket, s->cipher->frame, frame) < 0) return ERR_SCKWRITE;
    return 0;
}

tfs_result ctfs_packet_recv(ctfs_session* s) {
    if (!s->expects_response) return ERR_NONE;
    if (!s->cipher) return ERR_SCKREAD;
    uint8_t head[CTFS_FRAME_HEAD];
    if (ctfs_recv_all(s->socket, head, sizeof head) < 0) return ERR_SCKREAD;
    uint32_t k, crc;
    ctfs_frame_head_read(head, &k, &crc);
    // A frame larger than the frame buffer is refused before it is read.
    if (k > CTFS_FRAME_BUF) return ERR_SCKREAD;
    if (ctfs_recv_all(s->socket, s->cipher->frame, k) < 0) return ERR_SCKREAD;
    ctfs_header h;
    if (ctfs_frame_open(s->cipher, k, crc, &h, s->buf, sizeof s->buf) != ERR_NONE)
        return ERR_SCKREAD;
    s->len = h.len;
    s->type = h.type;
    s->seq = h.seq;
    s->status = h.status;
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
            ctfs_sleep(timing_get().reconnect_pause_ms);
        if (s->auth_mode == AUTH_MODE_NONE) return ctfs_connect(s);
        ctfs_packet_saved* saved = ctfs_packet_save(s);
        tfs_result r = ctfs_session_auth(s, nullptr, 0);
        if (r == ERR_IO) {
            // No server completed the connection: one that closed it before
            // the key exchange (a server holding back an address after a
            // failed log-in) or refused it is a lost connection like any
            // other, tried once more after the pause.
            const uint32_t pause = timing_get().reconnect_pause_ms;
            job_log_printf("No backup server completed the connection (Error %d); trying again "
                           "in %u seconds.\n",
                           r, static_cast<unsigned>(pause / 1000));
            ctfs_sleep(pause);
            r = ctfs_session_auth(s, nullptr, 0);
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
