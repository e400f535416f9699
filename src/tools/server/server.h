// server.h - the reference backup server: the store as a whole, the serving
// loop with its connections, and the group commit.
//
// srv_store_init makes a store; srv_start serves it on a TCP port until
// srv_stop. Each connection runs on its own thread; user locks, the flusher
// and the catalog are shared.
#pragma once

#include "platform/server.h"
#include "tools/server/outbox.h"
#include "tools/server/smtp_settings.h"
#include "tools/server/store.h"
#include "tools/server/store_config.h"

#include <cstdint>
#include <string>

struct evp_pkey_st;
struct plat_store_lock;

// An opened store: its two back ends and the server key.
struct srv_store {
    std::string dir;
    srv_backends backends; // as DIR/store.conf names them (empty: the folder's own)
    block_store blocks;
    catalog cat;
    evp_pkey_st* key; // RSA private key (EVP_PKEY)
    std::string public_pem;
    plat_store_lock* lock; // held by a serving process; null otherwise
};

// Makes a store in DIR: the folder (owner-only when it is made here; an
// existing empty folder is used as it is), its RSA key, and its back ends:
// the catalog and the block folder in DIR, or those that be names (recorded
// in DIR/store.conf; a shared catalog or bucket that already exists is
// joined, as another frontend of the same service). False with *err when DIR
// already holds a store, is a non-empty folder without one, be does not
// check out, or a step fails.
bool srv_store_init(const std::string& dir, const srv_backends& be, std::string* err);
inline bool srv_store_init(const std::string& dir, std::string* err) {
    return srv_store_init(dir, srv_backends(), err);
}
// Tests: stores made from now on take this RSA private key (PEM, kept by
// the caller) instead of a new one; null makes a new key for each again.
void srv_store_key_for_tests(const char* pem);
// Opens a store. Serving first takes the store's lock (DIR/serve.lock), so a
// second serving process on the same store refuses to start, and then clears
// the leftovers of an interrupted run. Null with *err on failure.
// srv_store_close accepts null.
srv_store* srv_store_open(const std::string& dir, bool serving, std::string* err);
void srv_store_close(srv_store* st);

// The last failure of a serving process's store (a write it refused, no
// space left), kept in DIR/last-failure. prepare writes the file whole when
// serving starts, so that later records only overwrite it in place; read
// gives false when no failure was recorded.
void srv_failure_prepare(const std::string& dir);
bool srv_failure_read(const std::string& dir, int64_t* when, std::string* text);

struct srv_config {
    std::string host = "127.0.0.1";
    uint16_t port = 0;                 // 0: any free port
    uint32_t idle_timeout_ms = 300000; // no complete frame for this long ends a connection;
                                       // a lock outlives its connection this long
    uint32_t max_connections = 64;
    // One address (an IPv4 address, an IPv6 /64) never holds more than this,
    // so that silent or slow sockets from one peer cannot take every slot.
    uint32_t max_connections_per_address = 8;
    // From accept to an accepted log-in: the greeting, the key exchange and
    // the log-in must all arrive within this, however the bytes trickle in.
    uint32_t login_timeout_ms = 10000;
    // The greeting must arrive within this of the accept (at most the log-in
    // time): a socket that says nothing gives its slot back soon.
    uint32_t first_bytes_timeout_ms = 3000;
    // Connections that have not logged in: at most prelogin_max at once.
    // From prelogin_start on, a new one is dropped at random, prelogin_rate
    // percent of them at the start, rising to nearly all just below
    // prelogin_max (as sshd's MaxStartups); at prelogin_max the oldest one
    // that has not sent its key block yet is closed to make room (with none
    // such, the new one is refused).
    uint32_t prelogin_start = 16;
    uint32_t prelogin_rate = 30;
    uint32_t prelogin_max = 32;
    // After a failed log-in, that user id gets no log-in from that address
    // for this long (it is refused unchecked); each further failure of the
    // pair doubles the wait, up to the maximum. Ids that do not exist count
    // together per address, with unknown_user_free_failures failures before
    // their waits begin; failed key exchanges count per address, with
    // key_exchange_free_failures before the address gets no new connection
    // for the same growing wait. Nothing of one user's failures delays
    // another user's log-in. A record without failures for ten minutes (or
    // twice the maximum) starts afresh.
    uint32_t login_fail_delay_ms = 250;
    uint32_t login_fail_delay_max_ms = 30000;
    uint32_t unknown_user_free_failures = 16;
    uint32_t key_exchange_free_failures = 8;
    // Open file handles (each may hold a temporary file open while a block
    // arrives): per connection, per user, and for the whole server (0: from
    // the process's descriptor limit, less a reserve for sockets and the
    // store). Past a budget an open is answered ERR_FDMAX.
    uint32_t max_handles_per_connection = 32;
    uint32_t max_handles_per_user = 64;
    uint32_t max_handles = 0;
    // Listings are served page by page from a catalog cursor; what an open
    // listing holds between pages (its folder, filter and position) is
    // budgeted per connection, per user and for the server. Past a budget a
    // new listing is answered ERR_FINDMAX.
    uint64_t listing_bytes_per_connection = 1u << 20;
    uint64_t listing_bytes_per_user = 4u << 20;
    uint64_t listing_bytes = 32u << 20;
    // Cipher modes 1 and 2 send everything, the log-in included, in clear:
    // refused unless this is set (tests).
    bool allow_plaintext = false;
    // Where the server's log lines go (one call per line, without its line
    // end); null: standard error. Called from several threads.
    void (*log)(void* ctx, const char* line) = nullptr;
    void* log_ctx = nullptr;
    // Where the request trace goes (trace.h): one call per decoded request,
    // the line without its end; null: no trace. Called from several threads.
    void (*trace)(void* ctx, const char* line) = nullptr;
    void* trace_ctx = nullptr;
    // Tests: every request as the server opened it (its plain packet, header
    // and payload), before it is decoded. Called from several threads.
    void (*received)(void* ctx, const uint8_t* plain, size_t n) = nullptr;
    void* received_ctx = nullptr;
    uint32_t flush_interval_ms = 100;       // group commit: the longest a batch waits
    uint32_t flush_batch_bytes = 64u << 20; // or until this much block data waits
    // The brake: a close is answered only while at most this many versions
    // (0: no bound) and this much block data (0: no bound) wait to be made
    // durable, so that a client sending many small files stays within a few
    // batches of the disk instead of minutes.
    uint32_t flush_brake_versions = 8192;
    uint64_t flush_brake_bytes = 256u << 20;
    uint32_t release_settle_ms = 2000; // a release waits this long for files still open on
                                       // other connections of its identity
    // Delivery of the stored reports through an SMTP relay (mailer.cpp):
    // off while smtp.url is empty (the reports wait in the outbox).
    smtp_config smtp;
    outbox_policy outbox;
    // How often the mailer looks for reports that other serving processes
    // (or tavni-server mail retry) queued; its own are sent at once.
    uint32_t mail_poll_ms = 5000;
};

struct srv_server; // opaque

// Listens and serves st (owned by the caller, kept open until srv_stop);
// null with *err when the port cannot be bound. *bound_port gets the port.
srv_server* srv_start(srv_store* st, const srv_config& cfg, uint16_t* bound_port, std::string* err);
// Ends every connection, makes pending versions durable, stops.
void srv_stop(srv_server* s);
// Test only: stops like a killed process: pending versions are dropped
// without being made current, temporaries stay behind.
void srv_abandon(srv_server* s);
// Counters for tests and the bench.
struct srv_stats {
    uint64_t versions_committed;
    uint64_t batches;
    uint64_t block_bytes;
};
srv_stats srv_get_stats(srv_server* s);

// The block size for a file: 1 MiB, or the next power of two that keeps the
// file within 65535 blocks; 0 when no 32-bit size does.
uint32_t srv_block_size(uint64_t file_size);
// Largest ciphertext a block of that size may have (deflate worst case and a
// cipher block of padding).
uint64_t srv_block_cipher_max(uint32_t block_size);
// Largest ciphertext a file of that size may have in blocks of block_size.
uint64_t srv_file_cipher_max(uint64_t file_size, uint32_t block_size);
