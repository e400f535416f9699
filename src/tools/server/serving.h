// serving.h - what the parts of the serving loop share: the server record,
// the connection record and the calls between the parts (address admission,
// user locks, the commit flusher, connection I/O, the request handlers).
//
// Private to src/tools/server/; the public face is server.h. Shared state is
// guarded by the mutex named beside it; a connection's record is its own
// thread's.
#pragma once

#include "platform/platform.h"
#include "platform/server.h"
#include "protocol/frame.h"
#include "tools/server/server.h"
#include "tools/server/vouch.h"
#include "tools/server/wire.h"

#include "common/owner.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace serving {

enum { MAX_HANDLES = 255, MAX_LISTINGS = 16, LIST_PAGE = 100 };

typedef srv_identity identity;

struct lock_entry {
    identity holder;
    int64_t expires_ms; // 0 while a connection of the holder lives
    // Leases in the catalog: this view is not trusted past this time (a
    // bound of the catalog's expiry, renewed with it); 0 without leases.
    int64_t lease_until_ms = 0;
};

// One file being written through a handle.
struct open_file {
    std::string path;
    uint64_t size = 0;
    uint32_t mtime = 0;
    uint32_t block_size = 0;
    uint16_t block_count = 0;
    cat_version prev; // the current version at open (offers compare with it)
    bool has_prev = false;
    std::vector<cat_block> blocks; // complete blocks, in order
    std::vector<blk_staging*> staged;
    std::vector<blk_digest> staged_digests; // of staged, in order
    std::string security;                   // the security record sent with the open
    blk_staging* cur = nullptr;             // the block being received
    uint64_t cur_len = 0;
    bool broken = false;
    bool no_space = false; // broken because the store's file system is full
};

// An open listing between its pages: the folder, the filter and the last
// name sent; each page is read from the catalog after that name.
struct listing {
    std::string path;
    std::string filter;
    std::string after;
    bool started = false;  // a page was sent (after is valid)
    uint64_t total = 0;    // entries when the listing began
    uint64_t consumed = 0; // entries passed since (sent or filtered out)
    bool wide = false;     // 2-byte name lengths
    uint64_t held = 0;     // bytes counted against the listing budgets
};

struct pending_mail {
    bool active = false;
    uint64_t schedule_id = 0;
    std::string recipients;
    uint32_t body_len = 0;
    std::string body;
};

// Why a connection ended before its key exchange was done.
enum prekex_end {
    PREKEX_SILENT,   // nothing (or too little) within the first-bytes or log-in time
    PREKEX_EVICTED,  // closed to make room for a newer connection
    PREKEX_FAILED,   // a greeting or key block that is not one
    PREKEX_OTHER,    // it closed, or the server stopped
    PREKEX_ENDS
};

// What the server remembers of one peer address.
struct peer_record {
    uint32_t live = 0;     // connections open now
    uint32_t failures = 0; // failed key exchanges since the address was last quiet
    int64_t last_failure_ms = 0;
    int64_t blocked_until_ms = 0; // no new connection before this
    int64_t last_refusal_log_ms = 0;
    uint64_t refusals_unlogged = 0; // refusals since the last one logged
    // Connections that ended before their key exchange, logged in summary.
    uint64_t prekex[PREKEX_ENDS] = {};
    int64_t last_prekex_log_ms = -1;
};

// Failed log-ins of one user id (or of ids that do not exist) from one
// address.
struct login_record {
    uint32_t failures = 0;
    int64_t last_failure_ms = 0;
    int64_t blocked_until_ms = 0; // log-ins refused unchecked before this
    int64_t last_refusal_log_ms = 0;
    uint64_t refusals_unlogged = 0;
};

// The run an identity's job is in: its catalog row (id, start) and the
// counts so far, stored when the run ends.
struct open_run {
    cat_run row;
};

// What a run counts.
enum run_count_kind { RUN_FILE_SENT, RUN_BYTES_SENT, RUN_FILE_SKIPPED, RUN_DELETED };

struct flush_item {
    std::vector<blk_staging*> stagings;
    std::vector<blk_digest> digests; // of stagings
    cat_commit commit;
    identity id;
    uint64_t ticket;
    uint64_t bytes = 0; // block data of its stagings
};

} // namespace serving

struct srv_server {
    typedef serving::identity identity;
    srv_store* st = nullptr;
    srv_config cfg;
    plat_net listener = PLAT_NET_INVALID;
    std::atomic<bool> stopping{false};
    bool abandon = false;
    std::thread acceptor;

    std::mutex conn_mu;
    struct conn_slot {
        std::thread th;
        plat_net sock;
        std::atomic<bool> done{false};
        uint32_t accepted_tick = 0;
        std::string peer_key; // its address, as per-address limits count it
        // 0 until its key block is in, 1 until its log-in is accepted, 2 after.
        std::atomic<int> stage{0};
        std::atomic<bool> evicted{false}; // closed for a newer connection
    };
    std::list<conn_slot> conns;
    uint64_t next_conn = 1; // numbers connections in the log

    std::mutex peer_mu;
    std::map<std::string, serving::peer_record> peers; // by peer_key
    // By (peer_key, user id); -1 stands for every id that does not exist.
    std::map<std::pair<std::string, int64_t>, serving::login_record> logins;
    uint64_t random_state = 0; // the early drop's (conn_mu)

    std::mutex listing_mu;
    uint64_t listing_bytes = 0;
    std::map<uint32_t, uint64_t> listing_bytes_by_user;

    std::mutex budget_mu;
    uint32_t handle_budget = 0;
    uint32_t handles_open = 0;
    std::map<uint32_t, uint32_t> handles_by_user;

    std::mutex lock_mu;
    std::map<std::pair<uint32_t, uint32_t>, serving::lock_entry> locks; // (user, destination)
    std::map<identity, int> live;                                       // connections per identity
    // Leases (catalogs with lease ops): this process's name in the lease
    // rows, the renewal thread and its stop flag (lock_mu), and a count of
    // local lock changes that tells a renewal its answer may be stale.
    std::string frontend;
    std::thread lease_renewer;
    std::condition_variable lease_cv;
    bool lease_stop = false;
    uint64_t lease_gen = 0;
    // Identities whose lock-holder row this process wrote and has not yet
    // removed. A row that another process wrote (a frontend that shares the
    // catalog, or one that ended) stands for closes this process never saw.
    std::set<identity> noted;

    std::mutex flush_mu;
    std::condition_variable flush_cv; // wakes the flusher
    std::vector<serving::flush_item> queue;
    uint64_t queued_bytes = 0;
    uint64_t next_ticket = 1;
    // Block data of the versions queued or being made durable; the brake
    // (flush_brake) waits on room_cv while it is above its bound.
    uint64_t unsettled_bytes = 0;
    std::condition_variable room_cv;
    bool flusher_stop = false;
    std::thread flusher;

    vouch_ledger vouch; // settled tickets and what a stamp may promise

    // The mailer (mailer.cpp): its thread, its name in the outbox's claims,
    // and its wake-up and stop flags (mail_mu).
    std::mutex mail_mu;
    std::condition_variable mail_cv;
    bool mail_wake = false;
    std::atomic<bool> mail_stop{false};
    std::thread mailer;
    std::string mail_worker;
    std::mutex run_mu; // runs.cpp: the run each identity's job is in
    std::map<identity, serving::open_run> runs;

    std::mutex health_mu; // store_health.cpp: the rate of its log lines
    int64_t failure_logged_ms = 0;
    uint64_t failures_unlogged = 0;

    std::atomic<uint64_t> versions_committed{0}, batches{0}, block_bytes{0};
};

namespace serving {

struct conn {
    srv_server* s;
    srv_server::conn_slot* slot = nullptr;
    plat_net sock;
    uint64_t number = 0;   // in the log
    std::string peer;      // "address:port", in the log
    std::string peer_key;  // what per-address limits count
    uint32_t accepted = 0; // tick of the accept
    uint32_t deadline = 0; // tick by which the awaited bytes must be in
    const char* why = "";  // why the connection ended
    // Set by a handler: the connection ends once the answer is sent, and
    // with closing_why set that is the reason logged, whatever the send did.
    bool closing = false;
    const char* closing_why = nullptr;
    owner<ctfs_cipher, ctfs_cipher_free> cipher;
    bool authed = false;
    bool greeted = false; // the greeting arrived
    bool keyed = false;   // the key exchange is done
    bool kex_failed = false; // a greeting or key block that is not one
    bool announced = false;  // its "connection N from ADDRESS" line was logged
    bool quiet = false;      // ends without lines: a log-in refused in summary
    uint64_t listing_bytes = 0; // held by this connection's open listings
    bool listings_refusal_logged = false;
    uint32_t handles = 0; // open file handles
    bool handles_refusal_logged = false;
    identity id{};
    std::string schedule_name;
    uint64_t login_epoch = 0;                // the user's stamp epoch at the log-in (cat_user)
    bool bad_handle = false;                 // data for an unknown handle was dropped
    uint64_t last_ticket = 0;                // the latest close of this connection
    std::map<std::string, uint64_t> pending; // path -> ticket of its latest close
    open_file* files[MAX_HANDLES + 1] = {};
    std::map<uint8_t, listing> lists;
    pending_mail mail;
    std::vector<uint8_t> rx; // buffered bytes from the socket
    size_t rx_pos = 0, rx_end = 0;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> out_plain, payload;
    // The block being read out (read requests), kept between its pieces.
    std::string read_digest;
    std::vector<uint8_t> read_bytes;
};

// ---- server.cpp: the log and the clocks --------------------------------------

// One line to the configured sink or standard error; the line end is added.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void srv_log(srv_server* s, const char* fmt, ...);
int64_t now_s();  // wall clock, seconds since 1970
int64_t now_ms(); // monotonic

// ---- store_health.cpp: a store that refuses writes ------------------------------

// Free bytes of the file system of the store's folder when the catalog and
// the blocks live there; -1 when not known (other back ends, a failed call).
int64_t store_free_bytes(srv_server* s);
// A write to the store failed while doing what ("storing a block of /x for
// user 7"): logged, at most one line every few seconds, and recorded as the
// last failure. True when the store's file system has no room left; the
// caller then answers ERR_FSACCESS.
bool store_failed(srv_server* s, const std::string& what);
// Whether the store has room for bytes more (with a floor for the catalog);
// false when it has not, logged and recorded as store_failed does.
bool store_has_room(srv_server* s, uint64_t bytes, const std::string& what);

// ---- peers.cpp: address admission ----------------------------------------------

// The unit that per-address limits count, and "address:port" for the log.
std::string peer_key(const plat_net_peer& p);
std::string peer_text(const plat_net_peer& p);
// Takes a connection slot for the peer (open: connections open now), or logs
// why it is refused and returns false.
bool peer_admit(srv_server* s, const std::string& peer, const std::string& key, size_t open);
void peer_leave(srv_server* s, const std::string& key);
// Logs a connection refused for another reason (the pre-log-in budget), at
// most once a second per address.
void peer_refused(srv_server* s, const std::string& peer, const std::string& key,
                  const char* why);
// A connection that ended before its key exchange: counted, and logged in
// summary (one line per address a minute at most). A failed key exchange
// also counts in the address's back-off.
void peer_prekex_ended(srv_server* s, const std::string& key, prekex_end why);
// Log-ins of a user id (user -1: an id that does not exist) from an address.
// The wait left (ms) before one is checked again; 0 when it may be checked.
uint32_t login_wait(srv_server* s, const std::string& key, int64_t user);
// A failed log-in of the pair: its wait before the next checked one, in ms
// (0 while the free failures of unknown ids last).
uint32_t login_failed(srv_server* s, const std::string& key, int64_t user);
// Whether a refusal without a check should be logged now (at most once a
// second per pair); *unlogged gets the refusals not logged since.
bool login_refusal_log(srv_server* s, const std::string& key, int64_t user, uint64_t* unlogged);

// ---- locks.cpp: user locks ------------------------------------------------------

// Connections of an identity come and go: its locks live while one does and
// for the idle time after the last has gone.
void identity_arrive(srv_server* s, const identity& id);
void identity_leave(srv_server* s, const identity& id);
// 0 when every destination was taken, ERR_ACCESS when another identity holds one.
uint8_t locks_take(srv_server* s, const identity& id, const std::vector<uint32_t>& dests);
void locks_release(srv_server* s, const identity& id);
// Whether the identity holds a live lock; drops expired locks on the way.
bool holds_lock(srv_server* s, const identity& id);
// With a catalog that keeps the locks as leases: names this process and
// starts the thread that renews the leases of identities connected here;
// leases_stop ends it. Nothing without lease ops.
void leases_start(srv_server* s);
void leases_stop(srv_server* s);
// Notes the identity durably as a lock holder before its lock is granted,
// with the user's stamp epoch of its log-in (a row noted already keeps the
// one of the job's first log-in). A row another server process noted (one
// sharing the catalog, or one that ended) stands for closes this process
// never saw: the identity's next stamp is refused. False when the catalog
// fails.
bool holder_noted(srv_server* s, const identity& id, uint64_t login_epoch);
// The identity's holder row was removed at its release.
void holder_forgotten(srv_server* s, const identity& id);
// Whether this process wrote the identity's holder row.
bool holder_is_ours(srv_server* s, const identity& id);

// ---- flusher.cpp: the group commit ----------------------------------------------

// Queues a closed version (bytes of block data) and returns its ticket.
uint64_t flush_enqueue(srv_server* s, flush_item item, uint64_t bytes);
// Waits until every close up to ticket is settled (stored or failed).
void flush_wait(srv_server* s, uint64_t ticket);
// Holds a connection whose close got ticket while the versions waiting to
// be made durable are more than the configured bound, in number or in block
// data, so that no client gets further ahead of the disk than a few batches
// (and a release is answered in about that time).
void flush_brake(srv_server* s, uint64_t ticket);
// The flusher thread: batches the queue until s->flusher_stop.
void flusher_main(srv_server* s);

// ---- mailer.cpp: delivery of the stored reports -----------------------------------

// Starts the mailer thread when the configuration names a relay.
void mailer_start(srv_server* s);
// A report was stored: the mailer looks at the outbox now. Never blocks.
void mailer_wake(srv_server* s);
// Ends the mailer: a try under way is given up within about a second and
// stays due. Nothing when no mailer runs.
void mailer_stop(srv_server* s);

// ---- conn.cpp: connection I/O and the key exchange ------------------------------

// Logs the connection's first line ("connection N from ADDRESS") unless
// done already: a connection gets its lines once it is a client that logs
// in, asks or is refused on its own.
void announce(conn* c);
// Reads exactly n bytes by c->deadline. False (with c->why) on close,
// failure, time-out or server stop.
bool read_exact(conn* c, uint8_t* dst, size_t n);
// Seals and sends one answer; false (with c->why) when sending fails.
bool send_packet(conn* c, uint8_t type, uint16_t seq, uint8_t status,
                 const std::vector<uint8_t>& payload);
// Serves one accepted connection until it ends; accepted_tick starts its
// log-in deadline.
void serve_conn(srv_server* s, conn* c, uint32_t accepted_tick);

// ---- runs.cpp: the runs of the identities' jobs -----------------------------------

// A lock taken: when the identity held none before (fresh), its job begins a
// new run, stored before the lock is granted so that even a job killed at
// once leaves one (it then never ends). A run already open for the identity
// (a job taking its lock again after a reconnection) goes on. False when the
// catalog cannot store it.
bool run_begin(srv_server* s, const identity& id, uint32_t destination,
               const std::string& schedule, bool fresh);
// Adds n to a count of the identity's open run (none: nothing).
void run_count(srv_server* s, const identity& id, run_count_kind kind, uint64_t n);
// The identity's release: its run ends now, vouched or not, and is stored.
void run_finish(srv_server* s, const identity& id, bool vouched);

// ---- read_requests.cpp: the control tool's read requests ---------------------------

uint8_t do_read_runs(conn* c, const srv_request& rq, std::vector<uint8_t>* out);
uint8_t do_read_folder(conn* c, const srv_request& rq, std::vector<uint8_t>* out);
uint8_t do_read_blocks(conn* c, const srv_request& rq, std::vector<uint8_t>* out);
uint8_t do_read_block(conn* c, const srv_request& rq, std::vector<uint8_t>* out);

// ---- requests.cpp: the request handlers ------------------------------------------

// Handles one decoded request (decode_rc: the decoder's result); false ends
// the connection.
bool handle_request(conn* c, const srv_request& rq, uint8_t decode_rc);
// Frees a handle's file, dropping any partial data; why as in vouch.h (null:
// the agent gave the file up).
void drop_file(conn* c, uint8_t h, const char* why);
// Closes every listing of the connection and gives back what it held.
void drop_listings(conn* c);
// The answer's status for a catalog result: 0, ERR_EXISTS, ERR_BADPATH,
// ERR_NOTDIR, ERR_NOTFILE, or ERR_SERVER for any other.
uint8_t map_cat(int rc);

} // namespace serving
