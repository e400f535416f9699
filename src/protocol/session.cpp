// session.cpp - session set-up: the socket layer's start count, the server
// lists, the connection with its RSA key exchange, and the log-in.
#include "protocol/session.h"

#include "common/owner.h"
#include "common/text.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "runtime/log.h"
#include "protocol/handshake.h"
#include "protocol/pins.h"
#include "protocol/session_io.h"
#include "protocol/transport.h"
#include "protocol/wire.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// ---- socket layer ------------------------------------------------------------

static int g_socket_starts = 0;

int ctfs_init() {
    if (plat_socket_startup() != 0) return -1;
    g_socket_starts++;
    return 0;
}

void ctfs_cleanup() {
    if (g_socket_starts > 0) g_socket_starts--;
    plat_socket_cleanup();
}

bool ctfs_started() {
    return g_socket_starts != 0;
}

// ---- session record ----------------------------------------------------------

int ctfs_session_init(ctfs_session* s) {
    memset(s, 0, sizeof *s);
    s->socket = PLAT_SOCKET_NONE;
    copy_bounded(s->key_file, sizeof s->key_file, "temp_pem_file.pem");
    s->first_failure = true;
    return 0;
}

void ctfs_session_close(ctfs_session* s) {
    ctfs_drop_connection(s);
    ctfs_session_init(s);
}

// ---- server lists ------------------------------------------------------------

static ctfs_server_table g_servers;

const ctfs_server_table* ctfs_servers() {
    return &g_servers;
}

bool ctfs_parse_server_line(const char* line, ctfs_server_entry* out) {
    char text[CTFS_SERVER_HOST_MAX + 1];
    copy_bounded(text, sizeof text, line);
    text[strcspn(text, "\n")] = 0;
    text[strcspn(text, "\r")] = 0;
    text[strcspn(text, "#")] = 0;
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = 0;
    char* colon = strchr(text, ':');
    if (!colon) return false;
    *colon = 0;
    copy_bounded(out->host, sizeof out->host, text);
    out->port = atoi(colon + 1);
    return true;
}

int ctfs_read_server_file(const char* path, ctfs_server_list* list) {
    list->count = 0;
    owner<FILE, fclose> f(plat_fopen_read(path, true));
    if (!f) return -1;
    // Lines are read 1023 characters at a time; a longer line goes on as the next.
    char line[CTFS_SERVER_HOST_MAX + 1];
    while (list->count < CTFS_SERVERS_PER_LIST && fgets(line, sizeof line, f.get())) {
        if (ctfs_parse_server_line(line, &list->entries[list->count])) list->count++;
    }
    return 0;
}

tfs_result ctfs_read_server_lists(ctfs_session* s) {
    g_servers.primary.count = 0;
    g_servers.secondary.count = 0;
    if (ctfs_read_server_file(s->primary_list, &g_servers.primary) != 0) return ERR_BADPATH;
    if (s->secondary_list[0]) ctfs_read_server_file(s->secondary_list, &g_servers.secondary);
    if (g_servers.primary.count == 0) {
        if (g_servers.secondary.count == 0) return ERR_IO;
        g_servers.primary = g_servers.secondary;
    }
    return ERR_NONE;
}

// ---- connection and key exchange -----------------------------------------------

// Reads the server's PEM public key from memory (no key file on disk) and
// encrypts the plain handshake packet with RSA-OAEP. The block must be
// exactly 256 bytes (a 2048-bit key). 0, ERR_BADPATH (no RSA key), ERR_IO.
static tfs_result encrypt_key_block(const uint8_t* pem, size_t pem_len, const uint8_t* plain,
                                    size_t plain_len, uint8_t block[TFS_KEY_BLOCK]) {
    owner<BIO, BIO_free> bio(BIO_new_mem_buf(pem, static_cast<int>(pem_len)));
    if (!bio) return ERR_BADPATH;
    owner<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) return ERR_BADPATH;
    owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1)
        return ERR_IO;
    size_t out_len = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &out_len, plain, plain_len) != 1 ||
        out_len != TFS_KEY_BLOCK)
        return ERR_IO;
    if (EVP_PKEY_encrypt(ctx.get(), block, &out_len, plain, plain_len) != 1 ||
        out_len != TFS_KEY_BLOCK)
        return ERR_IO;
    return ERR_NONE;
}

// Compares the server's key with the one pinned for the server, before
// anything but the greeting went to it. ERR_NONE when it may be used.
static tfs_result check_pin(ctfs_session* s, const uint8_t fp[CTFS_FINGERPRINT_SIZE]) {
    uint8_t pinned[CTFS_FINGERPRINT_SIZE];
    const int port = static_cast<int>(s->server_port);
    switch (ctfs_pin_check(s->pin_file, s->server_host, port, fp, pinned)) {
    case CTFS_PIN_NONE:
    case CTFS_PIN_MATCH:
        return ERR_NONE;
    case CTFS_PIN_MISMATCH: {
        char seen[CTFS_FINGERPRINT_TEXT], trusted[CTFS_FINGERPRINT_TEXT];
        ctfs_fingerprint_text(fp, seen);
        ctfs_fingerprint_text(pinned, trusted);
        job_log_printf("Server identity changed: %s:%d presented the key %s, but the key pinned "
                       "for it is %s; not logging in (tavni-ctl trust-server %s:%d accepts a "
                       "deliberate change).\n",
                       s->server_host, port, seen, trusted, s->server_host, port);
        s->identity_changed = true;
        snprintf(s->identity_server, sizeof s->identity_server, "%s:%d", s->server_host, port);
        return ERR_ACCESS;
    }
    case CTFS_PIN_UNREADABLE:
    default: {
        const int e = errno;
        job_log_printf("Cannot read the pinned server keys in '%s' (errno %d); not logging in to "
                       "%s:%d.\n",
                       s->pin_file, e, s->server_host, port);
        return ERR_IO;
    }
    }
}

// Pins the current server's key after a successful log-in, when its
// host:port has no pin yet.
static void pin_first(ctfs_session* s) {
    const int port = static_cast<int>(s->server_port);
    if (ctfs_pin_check(s->pin_file, s->server_host, port, s->server_key_id, nullptr) !=
        CTFS_PIN_NONE)
        return;
    char text[CTFS_FINGERPRINT_TEXT];
    ctfs_fingerprint_text(s->server_key_id, text);
    if (ctfs_pin_store(s->pin_file, s->server_host, port, s->server_key_id) == 0) {
        job_log_printf("Pinned the key of the backup server %s:%d: %s\n", s->server_host, port,
                       text);
        return;
    }
    const int e = plat_errno_for_error(plat_last_error());
    job_log_printf("Could not pin the key of the backup server %s:%d in '%s' (errno %d); "
                   "Continuing.\n",
                   s->server_host, port, s->pin_file, e);
}

// A receive of the key exchange, by its deadline; a stop marks the session.
static long exchange_recv(ctfs_session* s, void* buf, size_t n) {
    long r = ctfs_recv_until(s->socket, buf, n, s->exchange_deadline,
                             timing_get().exchange_deadline_ms);
    if (r == CTFS_RECV_STOPPED) s->stopped = true;
    return r;
}

static tfs_result handshake_steps(ctfs_session* s, const ctfs_packet_saved* saved) {
    // The greeting, the server's key and the handshake answer must all be
    // in by one deadline, however the server trickles them.
    s->exchange_deadline = plat_tick_ms() + timing_get().exchange_deadline_ms;
    s->exchange_deadline_set = true;
    s->rx_pos = s->rx_end = 0; // nothing of an earlier connection is read on this one
    s->socket = ctfs_tcp_connect(s->server_host, static_cast<int>(s->server_port));
    if (s->socket == PLAT_SOCKET_NONE) return ERR_IO;
    uint8_t len_bytes[2];
    if (ctfs_send_all(s->socket, tfs_greeting, TFS_GREETING_LEN) < 0) {
        s->closed_before_key = true; // accepted, and closed at once
        return ERR_IO;
    }
    long got = exchange_recv(s, len_bytes, 2);
    if (got < 0) {
        s->closed_before_key = got == CTFS_RECV_CLOSED;
        return ERR_IO;
    }
    size_t key_len = get_be16(len_bytes);
    if (key_len >= TFS_SERVER_KEY_MAX) return ERR_INVARG;
    uint8_t pem[TFS_SERVER_KEY_MAX];
    if (key_len > 0 && exchange_recv(s, pem, key_len) < 0) return ERR_IO;
    // The server's key is checked before the key block (or anything else of
    // this side) goes out.
    uint8_t fp[CTFS_FINGERPRINT_SIZE];
    if (!ctfs_key_fingerprint(pem, key_len, fp)) return ERR_BADPATH;
    if (s->pin_file[0]) {
        tfs_result pinned = check_pin(s, fp);
        if (pinned != ERR_NONE) return pinned;
    }
    memcpy(s->server_key_id, fp, sizeof fp);

    tfs_handshake hs;
    hs.cipher_mode = static_cast<uint8_t>(s->cipher_mode);
    uint8_t* r = hs.key;
    if (RAND_bytes(r, TFS_SESSION_KEY) != 1) return ERR_IO;
    // The packet area holds the request, so that its answer is read as any other.
    s->len = TFS_HANDSHAKE_PAYLOAD;
    s->type = TFS_SESSION_HANDSHAKE;
    s->seq = 0;
    s->status = 0;
    s->expects_response = true;
    tfs_handshake_encode(hs, s->buf);

    uint8_t block[TFS_KEY_BLOCK];
    tfs_result rc = encrypt_key_block(pem, key_len, s->buf, CTFS_HEADER + s->len, block);
    OPENSSL_cleanse(s->buf, CTFS_HEADER + s->len);
    if (rc != ERR_NONE) {
        OPENSSL_cleanse(r, TFS_SESSION_KEY);
        return rc;
    }
    if (ctfs_send_all(s->socket, block, sizeof block) < 0) {
        OPENSSL_cleanse(r, TFS_SESSION_KEY);
        s->closed_before_key = true;
        return ERR_IO;
    }
    s->cipher = ctfs_cipher_new(s->cipher_mode, r);
    if (!s->cipher) {
        OPENSSL_cleanse(r, TFS_SESSION_KEY);
        return ERR_IO;
    }
    rc = ctfs_packet_recv(s);
    // A server that closes before its answer turned the connection away too.
    if (rc != ERR_NONE) s->closed_before_key = s->last_recv_closed;
    if (rc == ERR_NONE &&
        (s->len != TFS_SESSION_KEY || s->type != TFS_SESSION_HANDSHAKE + TFS_RESPONSE ||
         s->status != 0 || s->seq != 0))
        rc = ERR_ACCESS;
    if (rc != ERR_NONE) {
        OPENSSL_cleanse(r, TFS_SESSION_KEY);
        return rc;
    }
    uint8_t key[TFS_SESSION_KEY];
    for (int i = 0; i < TFS_SESSION_KEY; i++)
        key[i] = static_cast<uint8_t>(r[i] ^ s->buf[i]);
    int rekeyed = ctfs_cipher_rekey(s->cipher, key);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(r, TFS_SESSION_KEY);
    if (rekeyed != 0) return ERR_IO;
    s->exchange_deadline_set = false;
    s->connections++;
    s->answers_at_connect = s->answers;

    ctfs_packet_restore(s, saved);
    int sent = ctfs_packet_send(s);
    if (sent != 0) return static_cast<tfs_result>(sent);
    return ctfs_packet_recv(s);
}

tfs_result ctfs_handshake(ctfs_session* s, const char* host, int port) {
    ctfs_drop_connection(s);
    const uint32_t keyed_before = s->connections;
    s->closed_before_key = false;
    owner<ctfs_packet_saved, ctfs_packet_release> saved(ctfs_packet_save(s));
    copy_bounded(s->server_host, sizeof s->server_host, host);
    s->server_port = static_cast<uint32_t>(port);
    tfs_result rc = handshake_steps(s, saved.get());
    s->exchange_deadline_set = false;
    // The next server must receive the same pending request.
    if (rc != ERR_NONE) {
        ctfs_packet_restore(s, saved.get());
        // A connection whose key exchange did not finish must not carry the
        // next request: without a cipher the next send reconnects.
        if (s->connections == keyed_before) {
            ctfs_cipher_free(s->cipher);
            s->cipher = nullptr;
        }
    }
    return rc;
}

tfs_result ctfs_fetch_server_key(const char* host, int port, uint8_t fp[CTFS_FINGERPRINT_SIZE]) {
    intptr_t sock = ctfs_tcp_connect(host, port);
    if (sock == PLAT_SOCKET_NONE) return ERR_IO;
    uint8_t len_bytes[2];
    uint8_t pem[TFS_SERVER_KEY_MAX];
    tfs_result rc = ERR_NONE;
    size_t key_len = 0;
    if (ctfs_send_all(sock, tfs_greeting, TFS_GREETING_LEN) < 0 ||
        ctfs_recv_all(sock, len_bytes, 2) < 0)
        rc = ERR_IO;
    if (rc == ERR_NONE && (key_len = get_be16(len_bytes)) >= TFS_SERVER_KEY_MAX) rc = ERR_INVARG;
    if (rc == ERR_NONE && key_len > 0 && ctfs_recv_all(sock, pem, key_len) < 0) rc = ERR_IO;
    plat_socket_close(sock);
    if (rc == ERR_NONE && !ctfs_key_fingerprint(pem, key_len, fp)) rc = ERR_BADPATH;
    return rc;
}

// Tries the servers of a list; *tried and *closed count the servers tried
// and those that closed the connection before their key.
static bool try_list(ctfs_session* s, const ctfs_server_list& list, int* tried, int* closed) {
    for (int i = 0; i < list.count; i++) {
        // The table is rebuilt by the next connect: work on a copy of the entry.
        ctfs_server_entry e = list.entries[i];
        if (ctfs_handshake(s, e.host, e.port) == ERR_NONE) return true;
        (*tried)++;
        if (s->closed_before_key) (*closed)++;
        if (s->stopped) return false; // the user is waiting for the job to end
    }
    return false;
}

tfs_result ctfs_connect(ctfs_session* s) {
    if (!ctfs_started()) return ERR_SEQUENCE;
    if (s->cipher_mode < 1 || s->cipher_mode > 3) return ERR_ACCESS;
    if (s->before_connect_hook) s->before_connect_hook(s);
    tfs_result rc = ctfs_read_server_lists(s);
    if (rc != ERR_NONE) return rc;
    s->turned_away = false;
    for (uint32_t round = 0;; round++) {
        ctfs_server_table table = g_servers;
        int tried = 0, closed = 0;
        if (try_list(s, table.secondary, &tried, &closed) ||
            try_list(s, table.primary, &tried, &closed))
            break;
        // Servers that turned the connection away before their key (busy)
        // are tried again after a pause, as after a lost connection.
        const uint32_t rounds = timing_get().closed_early_rounds;
        s->turned_away = tried > 0 && closed == tried;
        if (!s->turned_away || s->stopped || round >= rounds) return ERR_IO;
        job_log_printf("Every server closed the connection before its key exchange; trying "
                       "again in %d seconds (%u of %u).\n",
                       static_cast<int>(timing_get().reconnect_pause_ms / 1000), round + 1,
                       rounds);
        if (!ctfs_pause(s, timing_get().reconnect_pause_ms)) return ERR_IO;
    }
    if (s->after_connect_hook) s->after_connect_hook(s);
    return ERR_NONE;
}

// ---- log-in ------------------------------------------------------------------

static size_t field_len(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n])
        n++;
    return n;
}

tfs_result ctfs_build_auth_request(ctfs_session* s) {
    wire_writer w = wire_writer_over(s->buf, CTFS_MAX_PAYLOAD);
    wire_put_u8(&w, static_cast<uint8_t>(s->auth_mode));
    switch (s->auth_mode) {
    case AUTH_MODE_USER:
        wire_put_text8(&w, s->user_name, field_len(s->user_name, sizeof s->user_name - 1));
        wire_put_text8(&w, s->password, field_len(s->password, sizeof s->password - 1));
        wire_put_bytes(&w, s->key_digest, sizeof s->key_digest);
        wire_put_bytes(&w, s->host_id, sizeof s->host_id);
        break;
    case AUTH_MODE_AGENT: {
        wire_put_be32(&w, s->user_id);
        wire_put_bytes(&w, s->key_digest, sizeof s->key_digest);
        wire_put_bytes(&w, s->host_id, sizeof s->host_id);
        wire_put_be32(&w, s->fci_started ? 1u : 0u);
        wire_put_text16(&w, s->job_name, field_len(s->job_name, sizeof s->job_name - 1));
        wire_put_text16(&w, s->schedule_name,
                        field_len(s->schedule_name, sizeof s->schedule_name - 1));
        break;
    }
    case AUTH_MODE_ENCRYPTION_TOKEN:
        wire_put_bytes(&w, s->key_digest, sizeof s->key_digest);
        break;
    case AUTH_MODE_WEB:
        wire_put_text8(&w, s->user_name, field_len(s->user_name, sizeof s->user_name - 1));
        wire_put_text8(&w, s->password, field_len(s->password, sizeof s->password - 1));
        wire_put_text8(&w, s->web_token, field_len(s->web_token, sizeof s->web_token - 1));
        break;
    default:
        return ERR_INVARG;
    }
    if (w.failed) return ERR_INVARG;
    s->len = static_cast<uint16_t>(w.pos);
    s->type = TFS_SESSION_AUTH;
    s->expects_response = true;
    ctfs_packet_finish(s);
    return ERR_NONE;
}

bool ctfs_parse_auth_answer(const uint8_t* p, size_t n, bool want_stamp, ctfs_auth_answer* out) {
    memset(out, 0, sizeof *out);
    wire_reader r = wire_reader_over(p, n);
    out->repeat = wire_get_u8(&r);
    wire_take(&r, wire_get_u8(&r)); // text, not used
    wire_get_be16(&r);
    wire_take(&r, wire_get_u8(&r));
    wire_get_be16(&r);
    out->account.account_number = wire_get_be32(&r);
    wire_get_text8_into(&r, out->account.account_name, sizeof out->account.account_name);
    out->account.account_flag = wire_get_u8(&r);
    wire_get_text8_into(&r, out->account.account_text, sizeof out->account.account_text);
    out->user.user_number = wire_get_be32(&r);
    wire_get_text8_into(&r, out->user.user_name, sizeof out->user.user_name);
    wire_get_text8_into(&r, out->user.user_text, sizeof out->user.user_text);
    out->user.user_flag = wire_get_u8(&r);
    out->user.user_short = wire_get_be16(&r);
    wire_get_text8_into(&r, out->user.user_text2, sizeof out->user.user_text2);
    wire_get_text8_into(&r, out->user.user_text3, sizeof out->user.user_text3);
    out->user.user_value1 = wire_get_be64(&r);
    out->user.user_value2 = wire_get_be64(&r);
    out->user.user_flag2 = wire_get_u8(&r);
    out->option = wire_get_u8(&r);
    if (want_stamp) out->fci_stamp = wire_get_be32(&r);
    return !r.failed;
}

// A server that keeps asking for another log-in would hold the job forever.
enum { AUTH_REPEAT_MAX = 8 };

tfs_result ctfs_session_auth(ctfs_session* s, char* token_text_out, size_t token_text_size) {
    int repeats = 0;
    for (;;) {
        tfs_result rc = ctfs_build_auth_request(s);
        if (rc != ERR_NONE) return rc;
        rc = ctfs_connect(s);
        if (rc != ERR_NONE) return rc;
        if (s->auth_mode == AUTH_MODE_ENCRYPTION_TOKEN) {
            wire_reader r = wire_reader_over(s->buf, s->len);
            size_t n = wire_get_u8(&r);
            const uint8_t* text = wire_take(&r, n);
            if (!text && s->status == 0) return ERR_SEQUENCE;
            if (token_text_out && token_text_size > 0) {
                if (!text) n = 0;
                if (n > token_text_size - 1) n = token_text_size - 1;
                if (n) memcpy(token_text_out, text, n);
                token_text_out[n] = 0;
            }
            return s->status;
        }
        if (s->status != 0) {
            if (s->status == ERR_AUTH_FAILURE && s->auth_retry_hook &&
                s->auth_retry_hook(s, ERR_ACCESS))
                continue;
            return s->status;
        }
        const bool want_stamp = s->auth_mode == AUTH_MODE_AGENT && s->fci_started == 0;
        ctfs_auth_answer a;
        bool whole = ctfs_parse_auth_answer(s->buf, s->len, want_stamp, &a);
        s->account = a.account;
        s->user = a.user;
        if (!whole) return ERR_SEQUENCE;
        s->option = a.option;
        if (want_stamp) s->fci_stamp = a.fci_stamp;
        memcpy(s->user_name, s->user.user_name, sizeof s->user_name);
        if (a.repeat == 0) {
            if (s->pin_file[0] && s->pin_at_login) pin_first(s);
            return ERR_NONE;
        }
        if (++repeats > AUTH_REPEAT_MAX) return ERR_SEQUENCE;
    }
}
