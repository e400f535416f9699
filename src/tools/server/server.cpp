// server.cpp - serving a store: the acceptor, one thread per connection, the
// key exchange, request handling, user locks and the group-commit flusher.
//
// A connection owns its open files, listings and e-mail in progress; the lock
// table, the flusher queue and the store are shared. Any malformed frame ends
// the connection; a malformed request inside a good frame is answered with a
// status code. A peer that has not logged in gets one short deadline and one
// log-in; its address gets few connections and waits after failed log-ins.
// Open handles are budgeted per connection, per user and for the server, so
// that a client that hoards them cannot starve others of descriptors.
// Nothing a client sends becomes current before its version was closed
// complete and the flusher made it durable, and a stamp is stored only under
// the rules of vouch.h.
#include "tools/server/server.h"

#include "common/name_match.h"
#include "platform/platform.h"
#include "platform/server.h"
#include "protocol/codes.h"
#include "tools/server/vouch.h"
#include "tools/server/wire.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <thread>

uint32_t srv_block_size(uint64_t file_size) {
    uint64_t bs = 1u << 20;
    while (file_size / bs + (file_size % bs != 0) > 65535) {
        bs <<= 1;
        if (bs > 0x80000000ull) return 0;
    }
    return static_cast<uint32_t>(bs);
}

uint64_t srv_block_cipher_max(uint32_t block_size) {
    return compressBound(block_size) + 16;
}

namespace {

const uint8_t kGreeting[4] = {0x01, 0x30, 0x32, 0x02};
enum { MAX_HANDLES = 255, MAX_LISTINGS = 16, LIST_PAGE = 100 };
// The agent's report body never grows past 10 MiB and goes in pieces of at
// most 60000 bytes; a mail is buffered only as its pieces arrive.
const uint32_t kMaxMailBody = 10485760;
const size_t kMaxMailPiece = 60000;
// Descriptors kept aside from the handle budget, besides one per connection:
// the listener, the catalog, the flusher's barriers, the log.
const uint32_t kDescriptorReserve = 64;
// Peer records beyond this are pruned (those without connections first).
const size_t kMaxPeerRecords = 65536;

int64_t now_s() {
    return static_cast<int64_t>(time(nullptr));
}

typedef srv_identity identity;

struct lock_entry {
    identity holder;
    int64_t expires_ms; // 0 while a connection of the holder lives
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
};

struct listing {
    std::vector<cat_entry> entries;
    size_t pos = 0;
    bool wide = false; // 2-byte name lengths
};

struct pending_mail {
    bool active = false;
    uint64_t schedule_id = 0;
    std::string recipients;
    uint32_t body_len = 0;
    std::string body;
};

// What the server remembers of one peer address.
struct peer_record {
    uint32_t live = 0;     // connections open now
    uint32_t failures = 0; // failed log-ins since the address was last quiet
    int64_t last_failure_ms = 0;
    int64_t blocked_until_ms = 0; // no new connection before this
    int64_t last_refusal_log_ms = 0;
    uint64_t refusals_unlogged = 0; // refusals since the last one logged
};

struct flush_item {
    std::vector<blk_staging*> stagings;
    std::vector<blk_digest> digests; // of stagings
    cat_commit commit;
    identity id;
    uint64_t ticket;
};

} // namespace

struct srv_server {
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
    };
    std::list<conn_slot> conns;
    uint64_t next_conn = 1; // numbers connections in the log

    std::mutex peer_mu;
    std::map<std::string, peer_record> peers; // by peer_key

    std::mutex budget_mu;
    uint32_t handle_budget = 0;
    uint32_t handles_open = 0;
    std::map<uint32_t, uint32_t> handles_by_user;

    std::mutex lock_mu;
    std::map<std::pair<uint32_t, uint32_t>, lock_entry> locks; // (user, destination)
    std::map<identity, int> live;                              // connections per identity

    std::mutex flush_mu;
    std::condition_variable flush_cv; // wakes the flusher
    std::vector<flush_item> queue;
    uint64_t queued_bytes = 0;
    uint64_t next_ticket = 1;
    bool flusher_stop = false;
    std::thread flusher;

    vouch_ledger vouch; // settled tickets and what a stamp may promise

    std::atomic<uint64_t> versions_committed{0}, batches{0}, block_bytes{0};
};

namespace {

// ---- log --------------------------------------------------------------------

// One line to the configured sink or standard error; the line end is added.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void srv_log(srv_server* s, const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::string big;
    const char* line = small;
    if (static_cast<size_t>(n) >= sizeof small) { // paths may be long
        big.resize(static_cast<size_t>(n) + 1);
        va_start(ap, fmt);
        vsnprintf(&big[0], big.size(), fmt, ap);
        va_end(ap);
        line = big.c_str();
    }
    if (s->cfg.log) {
        s->cfg.log(s->cfg.log_ctx, line);
        return;
    }
    fprintf(stderr, "tavni-server: %s\n", line);
}

// ---- peers ------------------------------------------------------------------

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The unit that per-address limits count: an IPv4 address, or the /64 of an
// IPv6 address (one subscriber commonly holds a whole /64).
std::string peer_key(const plat_net_peer& p) {
    if (p.family != 6) return p.text;
    char k[48];
    snprintf(k, sizeof k, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", p.addr[0], p.addr[1],
             p.addr[2], p.addr[3], p.addr[4], p.addr[5], p.addr[6], p.addr[7]);
    return k;
}

// "address:port" for the log ("[address]:port" for IPv6).
std::string peer_text(const plat_net_peer& p) {
    std::string a = p.family == 6 ? "[" + std::string(p.text) + "]" : std::string(p.text);
    return a + ":" + std::to_string(p.port);
}

int64_t failures_forgotten_after_ms(const srv_config& cfg) {
    return std::max<int64_t>(600000, 2 * static_cast<int64_t>(cfg.login_fail_delay_max_ms));
}

// Drops records that hold nothing (no connection, no failure still counted);
// when that is not enough, also idle ones with failures. Under peer_mu.
void prune_peers(srv_server* s, int64_t t) {
    int64_t forget = failures_forgotten_after_ms(s->cfg);
    for (int pass = 0; pass < 2 && s->peers.size() > kMaxPeerRecords / 2; pass++)
        for (auto it = s->peers.begin(); it != s->peers.end();) {
            const peer_record& r = it->second;
            bool quiet = r.failures == 0 || t - r.last_failure_ms >= forget;
            if (r.live == 0 && (pass == 1 || (quiet && t >= r.blocked_until_ms)))
                it = s->peers.erase(it);
            else
                ++it;
        }
}

// Takes a connection slot for the peer, or gives the reason for refusing it.
// The refusal is logged, at most once a second per address (with the count
// of those not logged), so that a flood cannot flood the log.
bool peer_admit(srv_server* s, const std::string& peer, const std::string& key, size_t open) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    if (s->peers.size() >= kMaxPeerRecords) prune_peers(s, t);
    peer_record& r = s->peers[key];
    if (r.failures && t - r.last_failure_ms >= failures_forgotten_after_ms(s->cfg)) r.failures = 0;
    char why[160];
    if (t < r.blocked_until_ms)
        snprintf(why, sizeof why, "%u failed log-ins from %s; it may connect again in %.1f s",
                 r.failures, key.c_str(), (r.blocked_until_ms - t) / 1000.0);
    else if (r.live >= s->cfg.max_connections_per_address)
        snprintf(why, sizeof why, "%u connections from %s are open, the most one address may hold",
                 r.live, key.c_str());
    else if (open >= s->cfg.max_connections)
        snprintf(why, sizeof why, "%zu connections are open, the most the server takes", open);
    else {
        r.live++;
        return true;
    }
    if (t - r.last_refusal_log_ms >= 1000) {
        if (r.refusals_unlogged)
            srv_log(s,
                    "connection from %s refused: %s (and %llu more refused since the last "
                    "line)",
                    peer.c_str(), why, static_cast<unsigned long long>(r.refusals_unlogged));
        else
            srv_log(s, "connection from %s refused: %s", peer.c_str(), why);
        r.last_refusal_log_ms = t;
        r.refusals_unlogged = 0;
    } else {
        r.refusals_unlogged++;
    }
    return false;
}

void peer_leave(srv_server* s, const std::string& key) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    auto it = s->peers.find(key);
    if (it != s->peers.end() && it->second.live > 0) it->second.live--;
}

// A failed log-in: the address waits before its next connection, twice as
// long as after its previous failure, up to the maximum. The wait in ms.
uint32_t peer_failed(srv_server* s, const std::string& key) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    peer_record& r = s->peers[key];
    if (r.failures && t - r.last_failure_ms >= failures_forgotten_after_ms(s->cfg)) r.failures = 0;
    r.failures++;
    r.last_failure_ms = t;
    uint64_t wait = static_cast<uint64_t>(s->cfg.login_fail_delay_ms)
                    << std::min<uint32_t>(r.failures - 1, 20);
    wait = std::min<uint64_t>(wait, s->cfg.login_fail_delay_max_ms);
    r.blocked_until_ms = std::max<int64_t>(r.blocked_until_ms, t + static_cast<int64_t>(wait));
    return static_cast<uint32_t>(wait);
}

// ---- locks ------------------------------------------------------------------

bool lock_live(const lock_entry& e, int64_t now_ms) {
    return e.expires_ms == 0 || now_ms < e.expires_ms;
}

void identity_arrive(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    s->live[id]++;
    int64_t t = now_ms();
    for (auto& kv : s->locks)
        if (kv.second.holder == id && lock_live(kv.second, t)) kv.second.expires_ms = 0;
}

void identity_leave(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    if (--s->live[id] > 0) return;
    s->live.erase(id);
    int64_t until = now_ms() + s->cfg.idle_timeout_ms;
    for (auto& kv : s->locks)
        if (kv.second.holder == id && kv.second.expires_ms == 0) kv.second.expires_ms = until;
}

// 0 when every destination was taken, ERR_ACCESS when another identity holds one.
uint8_t locks_take(srv_server* s, const identity& id, const std::vector<uint32_t>& dests) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    int64_t t = now_ms();
    for (uint32_t d : dests) {
        auto it = s->locks.find({id.user, d});
        if (it != s->locks.end() && lock_live(it->second, t) && !(it->second.holder == id))
            return ERR_ACCESS;
    }
    for (uint32_t d : dests)
        s->locks[{id.user, d}] = lock_entry{id, 0};
    return 0;
}

void locks_release(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    for (auto it = s->locks.begin(); it != s->locks.end();) {
        if (it->second.holder == id)
            it = s->locks.erase(it);
        else
            ++it;
    }
}

bool holds_lock(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    int64_t t = now_ms();
    for (auto it = s->locks.begin(); it != s->locks.end();) {
        if (!lock_live(it->second, t)) {
            it = s->locks.erase(it); // expired: released for good
            continue;
        }
        if (it->second.holder == id) return true;
        ++it;
    }
    return false;
}

// ---- group commit -----------------------------------------------------------

uint64_t flush_enqueue(srv_server* s, flush_item item, uint64_t bytes) {
    std::lock_guard<std::mutex> g(s->flush_mu);
    item.ticket = s->next_ticket++;
    uint64_t t = item.ticket;
    s->queue.push_back(std::move(item));
    s->queued_bytes += bytes;
    if (s->queued_bytes >= s->cfg.flush_batch_bytes || s->queue.size() >= 4096)
        s->flush_cv.notify_all();
    else if (s->queue.size() == 1)
        s->flush_cv.notify_all();
    return t;
}

// Waits until every close up to ticket is settled (stored or failed).
void flush_wait(srv_server* s, uint64_t ticket) {
    if (ticket != 0) vouch_wait(&s->vouch, ticket);
}

// One batch: blocks made durable and visible, then the versions made current
// in one catalog transaction. Every version's outcome goes to the ledger, so
// that a failed batch or a dropped version is never vouched for.
void flush_batch(srv_server* s, std::vector<flush_item>* batch) {
    std::vector<blk_staging*> stagings;
    std::vector<cat_commit> commits;
    uint64_t last = 0;
    block_store& bs = s->st->blocks;
    catalog& cat = s->st->cat;
    for (flush_item& it : *batch) {
        // A block whose stored copy verify marked damaged is written afresh.
        for (size_t i = 0; i < it.stagings.size(); i++)
            if (cat.ops->block_damaged(cat.self, it.digests[i])) {
                bs.ops->stage_replace(bs.self, it.stagings[i]);
                it.commit.repaired.push_back(it.digests[i]);
            }
        stagings.insert(stagings.end(), it.stagings.begin(), it.stagings.end());
        commits.push_back(std::move(it.commit));
        last = std::max(last, it.ticket);
    }
    std::vector<int> results;
    int rc = bs.ops->publish(bs.self, &stagings);
    const char* why_all = "its blocks could not be stored";
    if (rc == 0) {
        rc = cat.ops->commit(cat.self, commits, now_s(), &results);
        why_all = "the catalog could not commit its batch";
    }
    std::vector<vouch_outcome> outcomes;
    size_t stored = 0;
    for (size_t i = 0; i < batch->size(); i++) {
        bool ok = rc == 0 && i < results.size() && results[i] == CAT_OK;
        std::string why;
        if (!ok)
            why = "the version of /" + commits[i].path + " was dropped: " +
                  (rc != 0                      ? why_all
                   : results[i] == CAT_NOT_FILE ? "its path is a folder now"
                                                : "a folder above it is a file now");
        if (ok) stored++;
        if (!ok && rc == 0)
            srv_log(s, "%s (%s)", why.c_str(), vouch_identity_text((*batch)[i].id).c_str());
        outcomes.push_back(vouch_outcome{(*batch)[i].id, ok, why});
    }
    if (rc != 0)
        srv_log(s, "a batch of %zu versions could not be made durable: %s", commits.size(),
                why_all);
    s->versions_committed += stored;
    if (rc == 0) s->batches++;
    vouch_settle(&s->vouch, outcomes, last);
}

void flusher_main(srv_server* s) {
    std::unique_lock<std::mutex> g(s->flush_mu);
    for (;;) {
        s->flush_cv.wait(g, [&] { return !s->queue.empty() || s->flusher_stop; });
        if (s->queue.empty() && s->flusher_stop) break;
        // Let a batch gather for at most the flush interval unless it is large.
        s->flush_cv.wait_for(g, std::chrono::milliseconds(s->cfg.flush_interval_ms), [&] {
            return s->flusher_stop || s->queued_bytes >= s->cfg.flush_batch_bytes ||
                   s->queue.size() >= 4096;
        });
        if (s->abandon) break;
        std::vector<flush_item> batch;
        batch.swap(s->queue);
        s->queued_bytes = 0;
        g.unlock();
        flush_batch(s, &batch);
        g.lock();
    }
}

// ---- one connection ---------------------------------------------------------

struct cipher_free {
    void operator()(ctfs_cipher* c) const { ctfs_cipher_free(c); }
};

struct conn {
    srv_server* s;
    plat_net sock;
    uint64_t number = 0;   // in the log
    std::string peer;      // "address:port", in the log
    std::string peer_key;  // what per-address limits count
    uint32_t deadline = 0; // tick by which the awaited bytes must be in
    const char* why = "";  // why the connection ended
    std::unique_ptr<ctfs_cipher, cipher_free> cipher;
    bool authed = false;
    uint32_t handles = 0; // open file handles
    bool handles_refusal_logged = false;
    identity id{};
    std::string schedule_name;
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
};

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

// Reads exactly n bytes by c->deadline, however they trickle in. False (with
// c->why) on close, failure, time-out or server stop.
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
            c->why = c->authed ? "no complete request within the idle time"
                               : "no log-in within the log-in time";
            return false;
        }
        long got =
            plat_net_recv(c->sock, c->rx.data(), c->rx.size(), std::min<uint32_t>(left, 500));
        if (got == -2) continue;
        if (got <= 0) {
            c->why = got == 0 ? "the peer closed it" : "receiving failed";
            return false;
        }
        c->rx_pos = 0;
        c->rx_end = static_cast<size_t>(got);
    }
    return true;
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

// The greeting and the key exchange, within the log-in deadline. Only the
// AES mode is taken unless the server allows plain text: in the null cipher
// the log-in that follows would travel readable. False with c->why.
bool handshake(conn* c) {
    uint8_t greet[4];
    if (!read_exact(c, greet, 4)) return false;
    if (memcmp(greet, kGreeting, 4) != 0) {
        c->why = "it did not greet as a client";
        return false;
    }
    const std::string& pem = c->s->st->public_pem;
    std::vector<uint8_t> hello(2 + pem.size());
    put_be16(hello.data(), static_cast<uint16_t>(pem.size()));
    memcpy(hello.data() + 2, pem.data(), pem.size());
    if (plat_net_send_all(c->sock, hello.data(), hello.size(), send_wait(c)) != 0) {
        c->why = "sending the server key failed";
        return false;
    }
    uint8_t block[256];
    if (!read_exact(c, block, sizeof block)) return false;
    EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new(c->s->st->key, nullptr);
    uint8_t out[256];
    size_t outlen = sizeof out;
    bool ok = pc && EVP_PKEY_decrypt_init(pc) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pc, RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_decrypt(pc, out, &outlen, block, sizeof block) == 1;
    EVP_PKEY_CTX_free(pc);
    if (!ok || outlen != 40 || get_be16(out) != 34 || out[2] != TFS_SESSION_HANDSHAKE ||
        get_be16(out + 3) != 0 || out[7] != 32) {
        c->why = "its key exchange block is not one";
        return false;
    }
    int mode = out[6];
    c->cipher.reset(ctfs_cipher_new(mode, out + 8));
    if (!c->cipher) {
        c->why = "it asked for an unknown cipher mode";
        return false;
    }
    if (mode != CTFS_CIPHER_AES && !c->s->cfg.allow_plaintext) {
        // Answered in the mode asked for, so that the client learns that it
        // was refused rather than seeing a broken connection.
        srv_log(c->s,
                "connection %llu from %s refused: a plain-text session (cipher mode %d) would "
                "send the log-in in clear; it is served only with --allow-plaintext",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), mode);
        send_packet(c, TFS_SESSION_HANDSHAKE + TFS_RESPONSE, 0, ERR_ACCESS, {});
        OPENSSL_cleanse(out, sizeof out);
        c->why = "plain text refused";
        return false;
    }
    uint8_t sbytes[32];
    if (RAND_bytes(sbytes, sizeof sbytes) != 1) {
        c->why = "no random bytes for the session key";
        return false;
    }
    std::vector<uint8_t> payload(sbytes, sbytes + 32);
    if (!send_packet(c, TFS_SESSION_HANDSHAKE + TFS_RESPONSE, 0, 0, payload)) return false;
    uint8_t key[32];
    for (int i = 0; i < 32; i++)
        key[i] = out[8 + i] ^ sbytes[i];
    bool rk = ctfs_cipher_rekey(c->cipher.get(), key) == 0;
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(out, sizeof out);
    return rk;
}

// Waits until this connection's closes up to ticket are durable.
void wait_own(conn* c, uint64_t ticket) {
    flush_wait(c->s, ticket);
    for (auto it = c->pending.begin(); it != c->pending.end();)
        it = it->second <= ticket ? c->pending.erase(it) : std::next(it);
}

// Counts one more open handle for the connection, its user and the server;
// false (and nothing counted) past any of the three budgets. The first
// refusal of a connection is logged with its reason.
bool handle_take(conn* c) {
    srv_server* s = c->s;
    char why[160] = "";
    {
        std::lock_guard<std::mutex> g(s->budget_mu);
        uint32_t& mine = s->handles_by_user[c->id.user];
        if (c->handles >= s->cfg.max_handles_per_connection)
            snprintf(why, sizeof why, "it holds %u open files, the most one connection may",
                     c->handles);
        else if (mine >= s->cfg.max_handles_per_user)
            snprintf(why, sizeof why, "user %u holds %u open files, the most one user may",
                     c->id.user, mine);
        else if (s->handles_open >= s->handle_budget)
            snprintf(why, sizeof why, "the server holds %u open files, all it has room for",
                     s->handles_open);
        if (!why[0]) {
            mine++;
            s->handles_open++;
            c->handles++;
            return true;
        }
        if (mine == 0) s->handles_by_user.erase(c->id.user);
    }
    if (!c->handles_refusal_logged)
        srv_log(s, "connection %llu from %s: opening a file refused: %s",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), why);
    c->handles_refusal_logged = true;
    return false;
}

void handle_give(conn* c) {
    srv_server* s = c->s;
    std::lock_guard<std::mutex> g(s->budget_mu);
    auto it = s->handles_by_user.find(c->id.user);
    if (it != s->handles_by_user.end() && --it->second == 0) s->handles_by_user.erase(it);
    if (s->handles_open > 0) s->handles_open--;
    if (c->handles > 0) c->handles--;
}

// Frees a handle's file, dropping any partial data. With why, the agent may
// count the file as sent (its upload broke here, or its close may have been
// on the way), so the identity's next stamp is refused; without, the agent
// abandoned the file itself and counts it as failed.
void drop_file(conn* c, uint8_t h, const char* why) {
    open_file* f = c->files[h];
    if (!f) return;
    block_store& bs = c->s->st->blocks;
    if (f->cur) bs.ops->stage_abort(bs.self, f->cur);
    for (blk_staging* st : f->staged)
        bs.ops->stage_abort(bs.self, st);
    if (why)
        vouch_file_dropped(&c->s->vouch, c->id,
                           "the version of /" + f->path + " was dropped: " + why);
    else
        vouch_file_abandoned(&c->s->vouch, c->id);
    delete f;
    c->files[h] = nullptr;
    handle_give(c);
}

void break_file(conn* c, open_file* f) {
    f->broken = true;
    block_store& bs = c->s->st->blocks;
    if (f->cur) bs.ops->stage_abort(bs.self, f->cur);
    f->cur = nullptr;
    f->cur_len = 0;
}

// ---- requests ---------------------------------------------------------------

// A refused log-in: logged, and counted against the address when the
// credentials were wrong (not when the catalog failed).
uint8_t auth_refused(conn* c, const srv_request& rq, const char* why, bool counts) {
    if (counts) {
        uint32_t wait = peer_failed(c->s, c->peer_key);
        srv_log(c->s,
                "connection %llu from %s: log-in of user %u refused: %s; %s waits %.1f s "
                "before its next connection",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id, why,
                c->peer_key.c_str(), wait / 1000.0);
    } else {
        srv_log(c->s, "connection %llu from %s: log-in of user %u refused: %s",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id, why);
    }
    c->why = "its log-in was refused";
    return ERR_AUTH_FAILURE;
}

uint8_t do_auth(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    if (c->authed) return ERR_INVARG;
    if (rq.auth_mode != AUTH_MODE_AGENT)
        return auth_refused(c, rq, "only the agent's log-in (mode 1) is served", true);
    cat_user u;
    catalog& cat = c->s->st->cat;
    int got = cat.ops->user_get(cat.self, rq.user_id, &u);
    if (got == CAT_NOT_FOUND) return auth_refused(c, rq, "no such user", true);
    if (got != CAT_OK) return auth_refused(c, rq, "the catalog could not be read", false);
    if (CRYPTO_memcmp(u.key_digest, rq.key_digest, 20) != 0)
        return auth_refused(c, rq, "the account key digest does not match", true);
    c->authed = true;
    srv_log(c->s, "connection %llu from %s: user %u logged in",
            static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id);
    c->id.user = rq.user_id;
    memcpy(c->id.host, rq.host_id, 20);
    c->schedule_name = rq.schedule_name;
    identity_arrive(c->s, c->id);
    uint32_t stamp = 0;
    cat.ops->stamp_get(cat.self, c->id.user, c->id.host, c->schedule_name, &stamp);
    srv_put_u8(out, 0);     // repeat
    srv_put_text8(out, ""); // unused text
    srv_put_u16(out, 0);
    srv_put_text8(out, "");
    srv_put_u16(out, 0);
    srv_put_u32(out, u.account_number);
    srv_put_text8(out, u.account);
    srv_put_u8(out, 0); // account_flag
    srv_put_text8(out, "");
    srv_put_u32(out, u.id);
    srv_put_text8(out, u.name);
    srv_put_text8(out, ""); // user_text
    srv_put_u8(out, 0);     // user_flag
    srv_put_u16(out, 0);    // user_short
    srv_put_text8(out, ""); // user_text2
    srv_put_text8(out, ""); // user_text3
    srv_put_u64(out, 0);
    srv_put_u64(out, 0);
    srv_put_u8(out, 0); // user_flag2
    srv_put_u8(out, 0); // option
    srv_put_u32(out, stamp);
    return 0;
}

// A release (bit 0), with the stamp (bit 2) or without. The lock is released
// either way; the stamp is stored only when vouch.h's rules allow, else it is
// refused (ERR_SERVER) and any stamp stored before is removed, so that it
// cannot match the agent's new index.
uint8_t do_release(conn* c, const srv_request& rq) {
    srv_server* s = c->s;
    catalog& cat = s->st->cat;
    // The release ends the job: files this connection still holds open were
    // never closed by the agent (it gave them up: their closes would have
    // been read before this request).
    for (int h = 1; h <= MAX_HANDLES; h++)
        drop_file(c, static_cast<uint8_t>(h), nullptr);
    bool held = holds_lock(s, c->id);
    std::string why;
    bool may = vouch_release(&s->vouch, c->id, held, s->cfg.release_settle_ms, &why);
    wait_own(c, c->last_ticket); // settled by now; clears the read-your-writes list
    uint8_t rc = 0;
    if (!may) {
        cat.ops->stamps_clear(cat.self, c->id.user, c->id.host, &c->schedule_name);
        if (rq.has_stamp) {
            srv_log(s, "stamp of %s schedule \"%s\" refused: %s",
                    vouch_identity_text(c->id).c_str(), c->schedule_name.c_str(), why.c_str());
            rc = ERR_SERVER;
        } else {
            srv_log(s, "stored stamp of %s schedule \"%s\" removed: %s",
                    vouch_identity_text(c->id).c_str(), c->schedule_name.c_str(), why.c_str());
        }
    } else if (rq.has_stamp && cat.ops->stamp_set(cat.self, c->id.user, c->id.host,
                                                  c->schedule_name, rq.stamp) != CAT_OK) {
        rc = ERR_SERVER;
    }
    cat_holder h{c->id.user, {}};
    memcpy(h.host, c->id.host, 20);
    cat.ops->holder_forget(cat.self, h);
    locks_release(s, c->id);
    return rc;
}

uint8_t do_lock(conn* c, const srv_request& rq) {
    if (rq.lock_flags & 1) return do_release(c, rq);
    if (rq.lock_ids.empty()) return ERR_INVARG;
    uint8_t rc = locks_take(c->s, c->id, rq.lock_ids);
    if (rc != 0) return rc;
    // Noted durably before the lock is granted: a process started after a
    // crash must know that this identity was in the middle of a job.
    catalog& cat = c->s->st->cat;
    cat_holder h{c->id.user, {}};
    memcpy(h.host, c->id.host, 20);
    if (cat.ops->holder_note(cat.self, h) != CAT_OK) {
        locks_release(c->s, c->id);
        return ERR_SERVER;
    }
    return 0;
}

uint8_t map_cat(int rc) {
    switch (rc) {
    case CAT_OK:
        return 0;
    case CAT_EXISTS:
        return ERR_EXISTS;
    case CAT_NOT_FOUND:
        return ERR_BADPATH;
    case CAT_NOT_DIR:
        return ERR_NOTDIR;
    case CAT_NOT_FILE:
        return ERR_NOTFILE;
    default:
        return ERR_SERVER;
    }
}

uint8_t do_mkdir(conn* c, const srv_request& rq) {
    std::string p;
    if (!srv_normalize_path(rq.path, false, &p)) return ERR_INVARG;
    // A file of ours still in the flusher at this path or above it decides
    // the answer (2), so it must land first.
    for (size_t k = 0; !c->pending.empty();) {
        k = p.find('/', k);
        auto pend = c->pending.find(p.substr(0, k));
        if (pend != c->pending.end()) wait_own(c, pend->second);
        if (k == std::string::npos) break;
        k++;
    }
    catalog& cat = c->s->st->cat;
    return map_cat(cat.ops->folder_make(cat.self, c->id.user, p, now_s()));
}

uint8_t do_delete(conn* c, const srv_request& rq) {
    std::string p;
    if (!srv_normalize_path(rq.path, false, &p) || rq.kind > 1) return ERR_INVARG;
    wait_own(c, c->last_ticket);
    catalog& cat = c->s->st->cat;
    return map_cat(cat.ops->remove(cat.self, c->id.user, rq.kind, p, now_s()));
}

uint8_t do_find(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    uint8_t cur = rq.cursor;
    if (cur == 0) {
        std::string p;
        if (!srv_normalize_path(rq.path, true, &p)) return ERR_INVARG;
        if (c->lists.size() >= MAX_LISTINGS) return ERR_FINDMAX;
        wait_own(c, c->last_ticket);
        listing l;
        catalog& cat = c->s->st->cat;
        int rc = cat.ops->list(cat.self, c->id.user, p, 0, &l.entries);
        if (rc != CAT_OK) return map_cat(rc);
        // The agent's own name rule ('*' alone is special, case never
        // matters); it runs in time linear in name x pattern, so no filter
        // can hold the connection's thread.
        if (!rq.filter.empty() && rq.filter.find('\0') == std::string::npos &&
            rq.filter.size() < 256) {
            auto keep = [&](const cat_entry& e) {
                return wildcard_match(e.name.c_str(), rq.filter.c_str());
            };
            l.entries.erase(std::remove_if(l.entries.begin(), l.entries.end(),
                                           [&](const cat_entry& e) { return !keep(e); }),
                            l.entries.end());
        }
        l.wide = rq.list_flags & 1;
        for (int id = 1; id <= 255; id++)
            if (!c->lists.count(static_cast<uint8_t>(id))) {
                cur = static_cast<uint8_t>(id);
                break;
            }
        c->lists[cur] = std::move(l);
    }
    auto it = c->lists.find(cur);
    if (it == c->lists.end()) return ERR_INVARG;
    listing& l = it->second;
    std::vector<uint8_t> body;
    uint16_t count = 0;
    while (l.pos < l.entries.size() && count < LIST_PAGE) {
        const cat_entry& e = l.entries[l.pos];
        size_t need = 1 + 4 + 8 + 8 + (l.wide ? 2 : 1) + e.name.size();
        if (7 + body.size() + need > SRV_MAX_PAYLOAD) break;
        srv_put_u8(&body, e.folder ? 1 : 0);
        // A damaged version is listed with time 0, so that no listing
        // comparison takes it for the current file and it is sent again.
        srv_put_u32(&body, e.damaged ? 0 : e.mtime);
        srv_put_u64(&body, e.size);
        srv_put_u64(&body, e.size);
        if (l.wide)
            srv_put_text16(&body, e.name);
        else
            srv_put_text8(&body, e.name);
        l.pos++;
        count++;
    }
    uint32_t further = static_cast<uint32_t>(l.entries.size() - l.pos);
    srv_put_u16(out, count);
    srv_put_u32(out, further);
    srv_put_u8(out, further ? cur : 0);
    out->insert(out->end(), body.begin(), body.end());
    if (!further) c->lists.erase(it);
    return 0;
}

uint8_t do_wopen(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    std::string p;
    if (!srv_normalize_path(rq.path, false, &p)) return ERR_INVARG;
    // Read our own writes: a close of this path still in the flusher comes first.
    auto pend = c->pending.find(p);
    if (pend != c->pending.end()) wait_own(c, pend->second);
    catalog& cat = c->s->st->cat;
    if (cat.ops->is_folder(cat.self, c->id.user, p, 0)) return ERR_NOTFILE;
    open_file* f = new open_file();
    int rc = cat.ops->version_at(cat.self, c->id.user, p, 0, &f->prev);
    if (rc == CAT_FAIL) {
        delete f;
        return ERR_SERVER;
    }
    f->has_prev = rc == CAT_OK;
    // A damaged version is never current: the agent sends the file again.
    if (f->has_prev && !f->prev.damaged && f->prev.size == rq.size) {
        uint32_t a = f->prev.mtime, b = rq.mtime;
        uint32_t d = a > b ? a - b : b - a;
        if (d == 0 || d == 3600) {
            delete f;
            return ERR_UP2DATE;
        }
    }
    uint32_t bs = srv_block_size(rq.size);
    if (bs == 0) {
        delete f;
        return ERR_INVARG;
    }
    int h = 0;
    for (int i = 1; i <= MAX_HANDLES; i++)
        if (!c->files[i]) {
            h = i;
            break;
        }
    if (h == 0 || !handle_take(c)) {
        delete f;
        return ERR_FDMAX;
    }
    f->path = p;
    f->size = rq.size;
    f->mtime = rq.mtime;
    f->security = rq.security;
    f->block_size = bs;
    f->block_count = static_cast<uint16_t>((rq.size + bs - 1) / bs);
    uint16_t known = 0;
    if (f->has_prev && f->prev.block_size == bs)
        known = static_cast<uint16_t>(std::min<size_t>(f->prev.blocks.size(), f->block_count));
    c->files[h] = f;
    vouch_file_opened(&c->s->vouch, c->id);
    srv_put_u8(out, static_cast<uint8_t>(h));
    srv_put_u16(out, known);
    srv_put_u32(out, bs);
    srv_put_u16(out, f->block_count);
    return 0;
}

// An offer (write type 1): 17 when the stored block at this position has the
// offered MD5 and is whole as far as can be told cheaply (stored with its
// length, and not marked damaged by verify when the file was opened): it is
// taken over. 0 when the data is wanted.
uint8_t do_offer(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    if (c->bad_handle) {
        c->bad_handle = false;
        return ERR_BADKEY;
    }
    open_file* f = c->files[rq.handle];
    if (!f || f->broken) return ERR_BADKEY;
    if (f->cur) { // data of the previous block never got its checksum
        break_file(c, f);
        return ERR_NOCSUM;
    }
    size_t idx = f->blocks.size();
    if (idx >= f->block_count) return ERR_INVARG;
    srv_put_u16(out, rq.data_len);
    if (rq.data_len == 16 && f->has_prev && f->prev.block_size == f->block_size &&
        idx < f->prev.blocks.size() && f->prev.blocks[idx].md5.size() == 16 &&
        memcmp(f->prev.blocks[idx].md5.data(), rq.data, 16) == 0) {
        const cat_block& b = f->prev.blocks[idx];
        block_store& bs = c->s->st->blocks;
        if (!b.damaged && bs.ops->has(bs.self, b.digest, b.length)) {
            f->blocks.push_back(b);
            return ERR_UP2DATE;
        }
    }
    return 0;
}

// Data (8) and checksum (10) writes: never answered.
void do_silent_write(conn* c, const srv_request& rq) {
    open_file* f = c->files[rq.handle];
    if (!f) {
        c->bad_handle = true;
        return;
    }
    if (f->broken) return;
    block_store& bs = c->s->st->blocks;
    if (rq.write_type == SRV_W_DATA) {
        if (f->blocks.size() >= f->block_count ||
            f->cur_len + rq.data_len > srv_block_cipher_max(f->block_size)) {
            break_file(c, f);
            return;
        }
        if (!f->cur) {
            f->cur = bs.ops->stage_open(bs.self);
            f->cur_len = 0;
            if (!f->cur) {
                break_file(c, f);
                return;
            }
        }
        if (bs.ops->stage_write(bs.self, f->cur, rq.data, rq.data_len) != 0) {
            break_file(c, f);
            return;
        }
        f->cur_len += rq.data_len;
        c->s->block_bytes += rq.data_len;
        return;
    }
    if (rq.write_type == SRV_W_CSUM) {
        bool csum_ok = rq.data_len == 16 || (rq.data_len == 0 && f->block_count == 1);
        if (!f->cur || f->cur_len == 0 || f->cur_len % 16 != 0 || !csum_ok ||
            f->blocks.size() >= f->block_count) {
            break_file(c, f);
            return;
        }
        cat_block b;
        if (bs.ops->stage_finish(bs.self, f->cur, &b.digest, &b.length) != 0) {
            break_file(c, f);
            return;
        }
        b.md5.assign(rq.data, rq.data + rq.data_len);
        f->blocks.push_back(b);
        f->staged.push_back(f->cur);
        f->staged_digests.push_back(b.digest);
        f->cur = nullptr;
        f->cur_len = 0;
        return;
    }
    break_file(c, f); // an unknown silent write type
}

void do_close(conn* c, uint8_t h) {
    open_file* f = c->files[h];
    if (!f) return;
    if (f->broken || f->cur || f->blocks.size() != f->block_count) {
        // Incomplete: never becomes current. A broken upload failed here while
        // the agent went on; a close before the last block is the agent
        // giving the file up (a read error, a stop), which it counts as failed.
        drop_file(c, h, f->broken ? "its upload broke" : nullptr);
        return;
    }
    flush_item item;
    item.stagings.swap(f->staged);
    item.digests.swap(f->staged_digests);
    item.id = c->id;
    item.commit.user = c->id.user;
    item.commit.security = f->security;
    item.commit.path = f->path;
    item.commit.size = f->size;
    item.commit.mtime = f->mtime;
    item.commit.block_size = f->block_size;
    uint64_t bytes = 0;
    for (const cat_block& b : f->blocks)
        bytes += b.length;
    item.commit.blocks.swap(f->blocks);
    delete f;
    c->files[h] = nullptr;
    handle_give(c);
    std::string path = item.commit.path;
    c->last_ticket = flush_enqueue(c->s, std::move(item), bytes);
    vouch_file_queued(&c->s->vouch, c->id, c->last_ticket);
    if (c->pending.size() > 100000) wait_own(c, c->last_ticket); // bound the bookkeeping
    c->pending[path] = c->last_ticket;
}

uint8_t do_email(conn* c, const srv_request& rq) {
    pending_mail& m = c->mail;
    if (rq.mail_marker == 0) {
        m = pending_mail();
        if (rq.body_len > kMaxMailBody) return ERR_INVARG;
        m.active = true;
        m.schedule_id = rq.schedule_id;
        for (const std::string& r : rq.recipients) {
            if (r.find('\n') != std::string::npos || r.find('\0') != std::string::npos) continue;
            m.recipients += r;
            m.recipients += '\n';
        }
        m.body_len = rq.body_len;
    } else if (!m.active) {
        return ERR_INVARG;
    }
    if (rq.data_len > kMaxMailPiece || rq.data_len > m.body_len - m.body.size()) {
        m = pending_mail();
        return ERR_INVARG;
    }
    // Memory follows the bytes received, never the length announced: it
    // grows by doubling but never past the announced body.
    size_t need = m.body.size() + rq.data_len;
    if (need > m.body.capacity())
        m.body.reserve(std::min<size_t>(m.body_len, std::max(need, 2 * m.body.capacity())));
    m.body.append(reinterpret_cast<const char*>(rq.data), rq.data_len);
    if (m.body.size() == m.body_len) {
        cat_mail cm;
        cm.id = 0;
        cm.user = c->id.user;
        cm.schedule_id = m.schedule_id;
        cm.recipients = m.recipients;
        cm.received = now_s();
        cm.body.swap(m.body);
        m = pending_mail();
        catalog& cat = c->s->st->cat;
        if (cat.ops->mail_add(cat.self, cm) != CAT_OK) return ERR_SERVER;
    }
    return 0;
}

// Handles one decoded request; false ends the connection.
bool handle_request(conn* c, const srv_request& rq, uint8_t decode_rc) {
    std::vector<uint8_t>& out = c->payload;
    out.clear();
    uint8_t rc = decode_rc;
    bool silent = srv_request_silent(rq);
    if (rc == 0) {
        bool needs_lock = rq.type == TFS_MKDIR || rq.type == TFS_DELETE ||
                          rq.type == TFS_FIND_FILES || rq.type == TFS_FILE_WOPEN ||
                          rq.type == TFS_FILE_WRITE;
        if (rq.type != TFS_SESSION_AUTH && !c->authed) {
            rc = ERR_ACCESS;
            if (silent) {
                if (rq.type == TFS_FILE_WRITE) c->bad_handle = true;
                return true;
            }
        } else if (needs_lock && rq.type == TFS_FILE_WOPEN && c->bad_handle) {
            c->bad_handle = false;
            rc = ERR_BADKEY;
        } else if (needs_lock && !silent && !holds_lock(c->s, c->id)) {
            rc = ERR_ACCESS;
        } else {
            switch (rq.type) {
            case TFS_SESSION_AUTH:
                rc = do_auth(c, rq, &out);
                // One log-in per connection: a refused one ends it, so that
                // guesses cost a connection each and meet the address's wait.
                if (rc == ERR_AUTH_FAILURE) {
                    send_packet(c, rq.type + TFS_RESPONSE, rq.seq, rc, {});
                    return false;
                }
                break;
            case TFS_SESSION_CLOSE:
                send_packet(c, rq.type + TFS_RESPONSE, rq.seq, 0, out);
                c->why = "the client closed the session";
                return false;
            case TFS_USER_LOCK:
                rc = do_lock(c, rq);
                break;
            case TFS_MKDIR:
                rc = do_mkdir(c, rq);
                break;
            case TFS_DELETE:
                rc = do_delete(c, rq);
                break;
            case TFS_FIND_FILES:
                rc = do_find(c, rq, &out);
                break;
            case TFS_FILE_WOPEN:
                rc = do_wopen(c, rq, &out);
                break;
            case TFS_FILE_WRITE:
                if (silent) {
                    // Silent writes without the lock are dropped like writes to an unknown handle.
                    if (!holds_lock(c->s, c->id)) {
                        if (c->files[rq.handle]) break_file(c, c->files[rq.handle]);
                        return true;
                    }
                    do_silent_write(c, rq);
                    return true;
                }
                rc = rq.write_type == SRV_W_OFFER ? do_offer(c, rq, &out)
                                                  : static_cast<uint8_t>(ERR_INVARG);
                break;
            case TFS_FILE_CLOSE:
                do_close(c, rq.handle);
                return true;
            case TFS_EMAIL:
                rc = do_email(c, rq);
                break;
            default:
                rc = ERR_INVARG;
            }
        }
    } else if (silent) {
        if (rq.type == TFS_FILE_WRITE) {
            if (c->files[rq.handle])
                break_file(c, c->files[rq.handle]);
            else
                c->bad_handle = true;
        }
        return true; // a malformed silent request gets no answer either
    }
    if (rc != 0 && rq.type != TFS_DELETE) out.clear();
    if (rq.type == TFS_DELETE) out.assign(24, 0); // the four values, always present
    return send_packet(c, static_cast<uint8_t>(rq.type + TFS_RESPONSE), rq.seq, rc, out);
}

// Serves one accepted connection until it ends; accepted_tick starts its
// log-in deadline.
void serve_conn(srv_server* s, conn* c, uint32_t accepted_tick) {
    c->rx.resize(256 * 1024);
    c->plain.resize(CTFS_PLAIN_MAX);
    c->deadline = accepted_tick + s->cfg.login_timeout_ms;
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
            srv_request rq;
            uint8_t rc = srv_decode_request(c->plain.data(), 6 + static_cast<size_t>(h.len), &rq);
            if (!handle_request(c, rq, rc)) break;
        }
    }
    // A file still open here may have had its close on the way; the agent
    // counts such a file only once a later answer on this connection
    // confirmed the close, and sends it again otherwise, so it is no reason
    // to refuse a stamp (and a job killed mid-file must not cost the next).
    for (int h = 1; h <= MAX_HANDLES; h++)
        drop_file(c, static_cast<uint8_t>(h), nullptr);
    if (c->authed) identity_leave(s, c->id);
    srv_log(s, "connection %llu from %s closed: %s", static_cast<unsigned long long>(c->number),
            c->peer.c_str(), c->why);
}

void acceptor_main(srv_server* s) {
    while (!s->stopping) {
        plat_net_peer peer;
        plat_net sock = plat_net_accept(s->listener, 200, &peer);
        if (sock == PLAT_NET_INVALID && plat_net_error_is_exhaustion(plat_last_error()))
            plat_sleep_ms(
                100); // out of descriptors: the pending peer waits, the loop must not spin
        // Reap connections that ended.
        {
            std::lock_guard<std::mutex> g(s->conn_mu);
            for (auto it = s->conns.begin(); it != s->conns.end();) {
                if (it->done) {
                    it->th.join();
                    it = s->conns.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (sock == PLAT_NET_INVALID) continue;
        uint32_t accepted = plat_tick_ms();
        std::string key = peer_key(peer), text = peer_text(peer);
        std::lock_guard<std::mutex> g(s->conn_mu);
        if (s->stopping || !peer_admit(s, text, key, s->conns.size())) {
            plat_net_close(sock);
            continue;
        }
        std::unique_ptr<conn> c(new conn());
        c->s = s;
        c->sock = sock;
        c->number = s->next_conn++;
        c->peer = text;
        c->peer_key = key;
        srv_log(s, "connection %llu from %s", static_cast<unsigned long long>(c->number),
                c->peer.c_str());
        s->conns.emplace_back();
        srv_server::conn_slot& slot = s->conns.back();
        slot.sock = sock;
        conn* cp = c.release();
        slot.th = std::thread([s, &slot, cp, accepted] {
            serve_conn(s, cp, accepted);
            peer_leave(s, cp->peer_key);
            delete cp;
            plat_net_close(slot.sock);
            slot.done = true;
        });
    }
}

// After an orderly stop every close this process read is settled, so a lock
// holder with no remembered failure lost nothing here: its record goes, and
// the next process vouches for it as usual. Holders with failures keep theirs.
void forget_clean_holders(srv_server* s) {
    catalog& cat = s->st->cat;
    std::vector<cat_holder> held;
    if (cat.ops->holders(cat.self, &held) != CAT_OK) return;
    for (const cat_holder& h : held) {
        identity id;
        id.user = h.user;
        memcpy(id.host, h.host, 20);
        if (!vouch_has_failure(&s->vouch, id)) cat.ops->holder_forget(cat.self, h);
    }
}

void stop_common(srv_server* s, bool abandon) {
    s->stopping = true;
    if (s->acceptor.joinable()) s->acceptor.join();
    {
        std::lock_guard<std::mutex> g(s->flush_mu);
        s->abandon = abandon;
    }
    {
        std::lock_guard<std::mutex> g(s->conn_mu);
        for (auto& slot : s->conns)
            plat_net_shutdown(slot.sock);
    }
    if (abandon) {
        // Unblock connections waiting for durability before the flusher goes.
        std::lock_guard<std::mutex> g(s->flush_mu);
        s->flusher_stop = true;
        s->flush_cv.notify_all();
    }
    if (abandon) vouch_stop(&s->vouch);
    for (auto& slot : s->conns)
        slot.th.join();
    s->conns.clear();
    {
        std::lock_guard<std::mutex> g(s->flush_mu);
        s->flusher_stop = true;
        s->flush_cv.notify_all();
    }
    if (s->flusher.joinable()) s->flusher.join();
    if (!abandon) forget_clean_holders(s);
    vouch_stop(&s->vouch);
    if (abandon) {
        // Drop what never reached the store; its temporaries stay, as after a crash.
        block_store& bs = s->st->blocks;
        for (flush_item& it : s->queue)
            for (blk_staging* st : it.stagings)
                bs.ops->stage_abort(bs.self, st);
        s->queue.clear();
    }
    plat_net_close(s->listener);
    delete s;
}

} // namespace

srv_server* srv_start(srv_store* st, const srv_config& cfg, uint16_t* bound_port,
                      std::string* err) {
    if (plat_net_startup() != 0) {
        *err = "cannot start the socket layer";
        return nullptr;
    }
    srv_server* s = new srv_server();
    s->st = st;
    s->cfg = cfg;
    s->handle_budget = cfg.max_handles;
    if (s->handle_budget == 0) {
        // Each handle may hold one descriptor; every connection holds its
        // socket, and the store needs a few of its own.
        uint64_t limit = plat_descriptor_limit();
        uint64_t reserve = static_cast<uint64_t>(cfg.max_connections) + kDescriptorReserve;
        s->handle_budget = static_cast<uint32_t>(
            limit > reserve + 16 ? std::min<uint64_t>(limit - reserve, 1u << 30) : 16);
    }
    uint16_t port = 0;
    s->listener = plat_net_listen(cfg.host.c_str(), cfg.port, &port);
    if (s->listener == PLAT_NET_INVALID) {
        char text[256];
        *err = "cannot listen on " + cfg.host + ":" + std::to_string(cfg.port) + ": " +
               plat_error_text(plat_last_error(), text, sizeof text);
        delete s;
        return nullptr;
    }
    if (bound_port) *bound_port = port;
    // Identities still noted as lock holders were in the middle of a job when
    // the previous process ended; what it had received but not stored is
    // lost, so their next stamp is refused.
    std::vector<cat_holder> held;
    if (st->cat.ops->holders(st->cat.self, &held) != CAT_OK) {
        *err = "cannot read the lock holders from the catalog";
        plat_net_close(s->listener);
        delete s;
        return nullptr;
    }
    for (const cat_holder& h : held) {
        identity id;
        id.user = h.user;
        memcpy(id.host, h.host, 20);
        srv_log(s,
                "%s held a lock when the previous server process ended; its next stamp will be "
                "refused",
                vouch_identity_text(id).c_str());
        vouch_fail(&s->vouch, id,
                   "it held a lock when the previous server process ended, which may have lost "
                   "versions it had received");
    }
    s->flusher = std::thread(flusher_main, s);
    s->acceptor = std::thread(acceptor_main, s);
    return s;
}

void srv_stop(srv_server* s) {
    if (s) stop_common(s, false);
}

void srv_abandon(srv_server* s) {
    if (s) stop_common(s, true);
}

srv_stats srv_get_stats(srv_server* s) {
    return srv_stats{s->versions_committed.load(), s->batches.load(), s->block_bytes.load()};
}
