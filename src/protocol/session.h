// session.h - the client's whole state for one job's server session:
// credentials, server lists, connection and cipher, the packet area, and what
// the server said at log-in.
#pragma once

#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/pins.h"

#include <cstddef>
#include <cstdint>

struct ctfs_cipher; // per connection; see transport.h

struct tfs_account_info {
    uint32_t account_number;
    char account_name[126];
    uint8_t account_flag;
    char account_text[257];
};

struct tfs_user_info {
    uint32_t user_number;
    char user_name[21];
    uint8_t user_flag;
    char user_text[256];
    uint8_t user_flag2;
    char user_text2[26];
    char user_text3[43];
    uint64_t user_value1;
    uint64_t user_value2;
    uint16_t user_short;
};

struct ctfs_session;
// Asked when the server refuses the log-in (ERR_AUTH_FAILURE), with
// ERR_ACCESS; true to log in again (it may change the credentials first).
typedef bool (*ctfs_auth_retry_fn)(ctfs_session* s, int code);
// Called by ctfs_connect before it reads the server lists, and after a
// connection was made.
typedef void (*ctfs_connect_hook_fn)(ctfs_session* s);

// The record is the caller's (it is large: keep it off small stacks). Its
// connection (socket and cipher) belongs to it and is released only by
// ctfs_drop_connection, ctfs_session_close or the next handshake.

struct ctfs_session {
    int32_t auth_mode;
    char user_name[21];
    char password[23];
    uint32_t user_id;
    uint8_t host_id[20];
    uint32_t option;
    uint8_t key_digest[20];
    char web_token[256];
    char primary_list[128];
    char secondary_list[128];
    char key_file[132];
    // packet area
    intptr_t socket; // -1 when there is none
    // Bytes of the connection received ahead of what was read: an answer's
    // frame head and a small frame come in one receive. Emptied whenever a
    // connection is made or dropped.
    uint8_t rx[CTFS_RX_AHEAD];
    uint32_t rx_pos, rx_end;
    uint16_t len;
    uint8_t type;
    uint16_t seq;
    uint8_t status;
    uint8_t buf[CTFS_PLAIN_MAX];
    bool expects_response;
    int32_t cipher_mode;
    ctfs_cipher* cipher;
    char server_host[1024];
    uint32_t server_port;
    tfs_account_info account;
    tfs_user_info user;
    bool first_failure;
    ctfs_auth_retry_fn auth_retry_hook;
    ctfs_connect_hook_fn before_connect_hook;
    ctfs_connect_hook_fn after_connect_hook;
    uint32_t fci_started;
    uint32_t fci_stamp;
    char job_name[200];
    char schedule_name[200];
    // Number of connections made in this session (each successful handshake
    // adds one), so that a transfer can tell whether it spanned a reconnection.
    uint32_t connections;
    // Number of answers received in this session. An answer on a connection
    // proves that the server read every request sent before it on that
    // connection, such as a file close, which gets no answer of its own.
    uint32_t answers;
    // The value of answers when the current connection was made: the answers
    // the previous connection received before it ended.
    uint32_t answers_at_connect;
    // The file of pinned server keys (pins.h); empty: keys are not checked.
    // With it, a server whose key is not the one pinned for it gets nothing
    // past the greeting; with pin_at_login too, the key of the first
    // successful log-in to a server is pinned.
    char pin_file[140];
    bool pin_at_login;
    // The fingerprint of the current connection's server key.
    uint8_t server_key_id[CTFS_FINGERPRINT_SIZE];
    // Set when a server was refused because its key is not the pinned one
    // (cleared by ctfs_session_init); the server as "HOST:PORT".
    bool identity_changed;
    char identity_server[300];
    // Set once the user's stop ended a wait of this session (transport.h):
    // its later pauses are skipped and no further server is tried.
    bool stopped;
    // While a key exchange runs: the tick by which it must be complete.
    bool exchange_deadline_set;
    uint32_t exchange_deadline;
    // Set by a handshake whose server accepted the connection and closed it
    // before the key exchange was done (a server turning connections away
    // while it is busy), cleared by the next handshake.
    bool closed_before_key;
    // Whether the last failed receive of the session found the connection
    // closed (or reset) by the peer.
    bool last_recv_closed;
    // Set by a ctfs_connect that failed because every server turned the
    // connection away before its key, after its own rounds of pauses (a
    // caller does not try again on top of them); cleared by the next one.
    bool turned_away;
};

// Zeroes the record: no connection, no hooks, the default key file name.
// Always 0. Does not release a connection: use ctfs_session_close on a
// record in use.
int ctfs_session_init(ctfs_session* s);
// Closes the connection and frees its cipher, then ctfs_session_init.
void ctfs_session_close(ctfs_session* s);
// Reads the server lists, then tries each server of the secondary list and
// then of the primary one until a handshake succeeds; that handshake sends
// the request pending in the packet area and receives its answer. While
// every server closes the connection before its key (busy, turning
// connections away), the lists are tried again after the reconnection
// pause, as a lost connection is, timing_get().closed_early_rounds times at
// most, each with a job-log line. ERR_NONE;
// ERR_SEQUENCE when the socket layer is not started; ERR_ACCESS for a cipher
// mode outside 1-3; ctfs_read_server_lists's failure; ERR_IO when no server
// took the handshake and the pending request. The hooks are called as said above.
tfs_result ctfs_connect(ctfs_session* s);
// Drops the current connection, connects to host:port, exchanges the
// session key (RSA key of the server, 2048 bits) and sends the request that
// was pending, returning the receive result of its answer. With a pin file,
// a server key other than the one pinned for host:port is refused before
// anything is sent (ERR_ACCESS, with a job-log line naming both keys and
// identity_changed set), as is every key while the pin file cannot be read
// (ERR_IO). ERR_NONE;
// ERR_IO (connect, key send or receive, or cipher failure), ERR_INVARG (a
// server key of 512 bytes or more), ERR_BADPATH (no RSA key), ERR_ACCESS (a
// wrong handshake answer), ERR_SCKREAD (the handshake answer or the pending
// request's answer not received), ERR_SCKWRITE (the pending request not
// sent). On failure the packet area holds the pending request again, ready
// for the next server, and a connection whose key exchange did not finish
// keeps no cipher (the socket stays open until the next handshake or drop).
tfs_result ctfs_handshake(ctfs_session* s, const char* host, int port);
// Connects to host:port, sends the greeting and reads the key the server
// announces, then closes: nothing else is sent. *fp gets the key's
// fingerprint (pins.h). ERR_NONE; ERR_IO (no connection or no key
// announced), ERR_INVARG (a key of 512 bytes or more), ERR_BADPATH (no
// public key).
tfs_result ctfs_fetch_server_key(const char* host, int port, uint8_t fp[CTFS_FINGERPRINT_SIZE]);
// Rebuilds the process's server table (session_io.h) from the session's list
// files; an empty primary list takes the secondary's entries. ERR_NONE;
// ERR_BADPATH when the primary file cannot be opened; ERR_IO when neither
// list names a server. A missing secondary file counts as empty.
tfs_result ctfs_read_server_lists(ctfs_session* s);
// Logs in with the session's auth_mode over a new connection (ctfs_connect),
// repeating while the server asks (8 repeats at most, then ERR_SEQUENCE) and
// after a refusal when auth_retry_hook says so. ERR_NONE, a build or connect
// failure, the server's status, or ERR_SEQUENCE for an answer cut short. On
// success the session's account, user, option, user name (and FCI stamp when
// asked for) are the server's, and with a pin file and pin_at_login the
// server's key is pinned when its host:port had no pin yet. In
// encryption-token mode the answer's text is copied, cut and terminated, into
// token_text_out when it is not null and token_text_size > 0, and the
// server's status returned.
tfs_result ctfs_session_auth(ctfs_session* s, char* token_text_out, size_t token_text_size);

// The socket layer of the process (Windows Sockets start-up), counted: each
// successful ctfs_init is paired with one ctfs_cleanup. ctfs_init: 0, or -1
// when the system's start-up fails (its code is not kept). Not guarded
// between threads: the backup thread alone starts and stops it.
int ctfs_init();
void ctfs_cleanup();
// True while at least one ctfs_init is not yet paired with a cleanup.
bool ctfs_started();
