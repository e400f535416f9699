// conn.cpp - one connection's I/O: reads against the log-in or idle
// deadline, sealed answers, the greeting and the RSA key exchange, and the
// loop that reads frames and hands each request to requests.cpp.
//
// Any malformed frame ends the connection; a malformed request inside a
// good frame is answered by the handlers with a status code.
#include "tools/server/serving.h"
#include "tools/server/trace.h"

#include "common/owner.h"
#include "protocol/handshake.h"
#include "protocol/wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

namespace serving {

namespace {

// Milliseconds left until c->deadline; 0 when it has passed.
uint32_t time_left(const conn* c) {
    int32_t left = static_cast<int32_t>(c->deadline - plat_tick_ms());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// How long one send may wait: the idle time once logged in, before that what
// is left of the log-in time.
uint32_t send_wait(const conn* c) {
    return c->authed ? c->s->cfg.idle_timeout_ms : std::max<uint32_t>(time_left(c), 1);
}

} // namespace

// However the bytes trickle in.
bool read_exact(conn* c, uint8_t* dst, size_t n) {
    while (n > 0) {
        if (c->rx_pos < c->rx_end) {
            size_t k = std::min(n, c->rx_end - c->rx_pos);
            memcpy(dst, c->rx.data() + c->rx_pos, k);
            c->rx_pos += k;
            dst += k;
            n -= k;
            continue;
        }
        if (c->s->stopping) {
            c->why = "the server is stopping";
            return false;
        }
        uint32_t left = time_left(c);
        if (left == 0) {
            c->why = c->authed    ? "no complete request within the idle time"
                     : c->greeted ? "no log-in within the log-in time"
                                  : "nothing within the first-bytes time";
            return false;
        }
        long got =
            plat_net_recv(c->sock, c->rx.data(), c->rx.size(), std::min<uint32_t>(left, 500));
        if (got == -2) continue;
        if (got <= 0) {
            c->why = c->slot && c->slot->evicted ? "closed for a newer connection"
                     : got == 0                  ? "the peer closed it"
                                                 : "receiving failed";
            return false;
        }
        c->rx_pos = 0;
        c->rx_end = static_cast<size_t>(got);
    }
    return true;
}

void announce(conn* c) {
    if (c->announced) return;
    c->announced = true;
    srv_log(c->s, "connection %llu from %s", static_cast<unsigned long long>(c->number),
            c->peer.c_str());
}

bool send_packet(conn* c, uint8_t type, uint16_t seq, uint8_t status,
                 const std::vector<uint8_t>& payload) {
    srv_build_packet(type, seq, status, payload, &c->out_plain);
    size_t n = ctfs_frame_seal(c->cipher.get(), c->out_plain.data(), c->out_plain.size());
    if (n == 0 || plat_net_send_all(c->sock, c->cipher->frame, n, send_wait(c)) != 0) {
        c->why = "sending an answer failed";
        return false;
    }
    return true;
}

namespace {

// The greeting and the key exchange, within the log-in deadline. Only the
// AES mode is taken unless the server allows plain text: in the null cipher
// the log-in that follows would travel readable. False with c->why.
bool handshake(conn* c) {
    uint8_t greet[TFS_GREETING_LEN];
    if (!read_exact(c, greet, sizeof greet)) return false;
    if (!tfs_is_greeting(greet, sizeof greet)) {
        c->why = "it did not greet as a client";
        c->kex_failed = true;
        return false;
    }
    // The first bytes came: the rest of the log-in time is the limit now.
    c->greeted = true;
    c->deadline = c->accepted + c->s->cfg.login_timeout_ms;
    const std::string& pem = c->s->st->public_pem;
    std::vector<uint8_t> hello(2 + pem.size());
    put_be16(hello.data(), static_cast<uint16_t>(pem.size()));
    memcpy(hello.data() + 2, pem.data(), pem.size());
    if (plat_net_send_all(c->sock, hello.data(), hello.size(), send_wait(c)) != 0) {
        c->why = "sending the server key failed";
        return false;
    }
    uint8_t block[TFS_KEY_BLOCK];
    if (!read_exact(c, block, sizeof block)) return false;
    // No longer among the connections closed to make room for newer ones.
    if (c->slot) c->slot->stage = 1;
    owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free> pc(EVP_PKEY_CTX_new(c->s->st->key, nullptr));
    uint8_t out[TFS_KEY_BLOCK];
    size_t outlen = sizeof out;
    bool ok = pc && EVP_PKEY_decrypt_init(pc.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pc.get(), RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_decrypt(pc.get(), out, &outlen, block, sizeof block) == 1;
    pc.reset();
    // The client's key half is wiped on every way out of the exchange.
    struct wiped_handshake {
        tfs_handshake hs;
        ~wiped_handshake() { OPENSSL_cleanse(&hs, sizeof hs); }
    } held;
    tfs_handshake& hs = held.hs;
    ok = ok && tfs_handshake_decode(out, outlen, &hs);
    OPENSSL_cleanse(out, sizeof out);
    if (!ok) {
        c->why = "its key exchange block is not one";
        c->kex_failed = true;
        return false;
    }
    int mode = hs.cipher_mode;
    c->cipher.reset(ctfs_cipher_new(mode, hs.key));
    if (!c->cipher) {
        c->why = "it asked for an unknown cipher mode";
        c->kex_failed = true;
        return false;
    }
    if (mode != CTFS_CIPHER_AES && !c->s->cfg.allow_plaintext) {
        // Answered in the mode asked for, so that the client learns that it
        // was refused rather than seeing a broken connection.
        announce(c);
        srv_log(c->s,
                "connection %llu from %s refused: a plain-text session (cipher mode %d) would "
                "send the log-in in clear; it is served only with --allow-plaintext",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), mode);
        send_packet(c, TFS_SESSION_HANDSHAKE + TFS_RESPONSE, 0, ERR_ACCESS, {});
        c->why = "plain text refused";
        c->keyed = true; // a whole key exchange, refused for its mode: logged as such
        return false;
    }
    uint8_t sbytes[TFS_SESSION_KEY];
    if (RAND_bytes(sbytes, sizeof sbytes) != 1) {
        c->why = "no random bytes for the session key";
        return false;
    }
    std::vector<uint8_t> payload(sbytes, sbytes + TFS_SESSION_KEY);
    if (!send_packet(c, TFS_SESSION_HANDSHAKE + TFS_RESPONSE, 0, 0, payload)) {
        return false;
    }
    uint8_t key[TFS_SESSION_KEY];
    for (int i = 0; i < TFS_SESSION_KEY; i++)
        key[i] = hs.key[i] ^ sbytes[i];
    bool rk = ctfs_cipher_rekey(c->cipher.get(), key) == 0;
    OPENSSL_cleanse(key, sizeof key);
    if (!rk) return false;
    // What ends before this is counted per address and logged in summary.
    c->keyed = true;
    return true;
}

// Why a connection that never finished its key exchange ended.
prekex_end prekex_reason(const conn* c) {
    if (c->slot && c->slot->evicted) return PREKEX_EVICTED;
    if (c->kex_failed) return PREKEX_FAILED;
    if (strcmp(c->why, "nothing within the first-bytes time") == 0 ||
        strcmp(c->why, "no log-in within the log-in time") == 0)
        return PREKEX_SILENT;
    return PREKEX_OTHER;
}

} // namespace

// Serves one accepted connection until it ends; accepted_tick starts its
// log-in deadline.
void serve_conn(srv_server* s, conn* c, uint32_t accepted_tick) {
    c->rx.resize(256 * 1024);
    c->plain.resize(CTFS_PLAIN_MAX);
    c->accepted = accepted_tick;
    c->deadline =
        accepted_tick + std::min(s->cfg.first_bytes_timeout_ms, s->cfg.login_timeout_ms);
    if (handshake(c)) {
        for (;;) {
            // Before the log-in every byte counts against its one deadline;
            // after it, each request must arrive whole within the idle time.
            if (c->authed) c->deadline = plat_tick_ms() + s->cfg.idle_timeout_ms;
            uint8_t head[CTFS_FRAME_HEAD];
            if (!read_exact(c, head, sizeof head)) break;
            uint32_t k = 0, crc = 0;
            ctfs_frame_head_read(head, &k, &crc);
            if (k > CTFS_FRAME_BUF) {
                c->why = "a frame longer than any request";
                break;
            }
            if (!read_exact(c, c->cipher->frame, k)) break;
            ctfs_header h;
            if (ctfs_frame_open(c->cipher.get(), k, crc, &h, c->plain.data() + 6,
                                c->plain.size() - 6) != 0) {
                c->why = "a damaged frame"; // the stream can no longer be trusted
                break;
            }
            ctfs_header_write(c->plain.data(), h);
            if (s->cfg.received) s->cfg.received(s->cfg.received_ctx, c->plain.data(), 6 + h.len);
            srv_request rq;
            uint8_t rc = srv_decode_request(c->plain.data(), 6 + static_cast<size_t>(h.len), &rq);
            if (s->cfg.trace)
                s->cfg.trace(s->cfg.trace_ctx, srv_trace_line(c->number, rq, rc).c_str());
            if (!handle_request(c, rq, rc)) break;
        }
    }
    // A file still open here may have had its close on the way; the agent
    // counts such a file only once a later answer on this connection
    // confirmed the close, and sends it again otherwise, so it is no reason
    // to refuse a stamp (and a job killed mid-file must not cost the next).
    for (int h = 1; h <= MAX_HANDLES; h++)
        drop_file(c, static_cast<uint8_t>(h), nullptr);
    drop_listings(c);
    if (c->authed) identity_leave(s, c->id);
    if (!c->keyed) {
        peer_prekex_ended(s, c->peer_key, prekex_reason(c));
        return;
    }
    if (c->quiet) return; // a log-in refused in summary: no lines of its own
    announce(c);
    srv_log(s, "connection %llu from %s closed: %s", static_cast<unsigned long long>(c->number),
            c->peer.c_str(), c->why);
}

} // namespace serving
