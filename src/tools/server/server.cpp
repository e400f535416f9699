// server.cpp - serving a store: start and stop, the acceptor that admits
// connections and gives each its thread, and the log.
//
// A connection owns its open files, listings and e-mail in progress; the lock
// table, the flusher queue and the store are shared (serving.h). The parts:
// peers.cpp admits addresses, conn.cpp reads, writes and keys a connection,
// requests.cpp answers its requests, locks.cpp holds the user locks,
// flusher.cpp makes closed versions durable and mailer.cpp hands the stored
// reports to an SMTP relay. Nothing a client sends becomes
// current before its version was closed complete and the flusher made it
// durable, and a stamp is stored only under the rules of vouch.h.
#include "tools/server/server.h"

#include "platform/platform.h"
#include "platform/server.h"
#include "tools/server/serving.h"
#include "tools/server/vouch.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

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

uint64_t srv_file_cipher_max(uint64_t file_size, uint32_t block_size) {
    if (file_size == 0 || block_size == 0) return 0;
    const uint64_t full = file_size / block_size, rest = file_size % block_size;
    return full * srv_block_cipher_max(block_size) +
           (rest ? srv_block_cipher_max(static_cast<uint32_t>(rest)) : 0);
}

namespace {

// Descriptors kept aside from the handle budget, besides one per connection:
// the listener, the catalog, the flusher's barriers, the log.
const uint32_t kDescriptorReserve = 64;

} // namespace

namespace serving {

int64_t now_s() {
    return static_cast<int64_t>(time(nullptr));
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

} // namespace serving

namespace {

using namespace serving;

// A number from 0 to 99 for the early drop (xorshift; under conn_mu).
uint32_t percent(srv_server* s) {
    uint64_t x = s->random_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s->random_state = x;
    return static_cast<uint32_t>(x % 100);
}

// The pre-log-in budget for a new connection, under conn_mu. False with
// *why to refuse it; true to admit it, with *evict the connection that must
// give its slot up first (the oldest that has not sent its key block) when
// the budget or the server is full, or null. *open gets the connections
// that stay open.
bool prelogin_admits(srv_server* s, const char** why, srv_server::conn_slot** evict,
                     size_t* open) {
    const srv_config& cfg = s->cfg;
    uint32_t waiting = 0;
    *evict = nullptr;
    *open = 0;
    // Connections without a key block, per address: the one to give its
    // slot up is the oldest of an address that holds the most of them, so
    // that a peer with many silent sockets pays before one with a single
    // handshake under way.
    std::map<std::string, uint32_t> keyless;
    for (srv_server::conn_slot& slot : s->conns) {
        if (slot.done || slot.evicted) continue;
        (*open)++;
        if (slot.stage >= 2) continue;
        waiting++;
        if (slot.stage == 0) keyless[slot.peer_key]++;
    }
    uint32_t most = 0;
    for (const auto& kv : keyless)
        most = std::max(most, kv.second);
    srv_server::conn_slot* oldest = nullptr;
    for (srv_server::conn_slot& slot : s->conns) {
        if (slot.done || slot.evicted || slot.stage != 0 || keyless[slot.peer_key] != most)
            continue;
        if (!oldest || static_cast<int32_t>(slot.accepted_tick - oldest->accepted_tick) < 0)
            oldest = &slot;
    }
    const uint32_t full = std::min<uint32_t>(cfg.prelogin_max, cfg.max_connections);
    if (waiting < full && *open < cfg.max_connections) {
        if (waiting < cfg.prelogin_start) return true;
        // Dropped at random, more of them the fuller the budget.
        const uint32_t span = full > cfg.prelogin_start ? full - cfg.prelogin_start : 1;
        const uint32_t rate =
            cfg.prelogin_rate + (100 - std::min<uint32_t>(cfg.prelogin_rate, 100)) *
                                    (waiting - cfg.prelogin_start) / span;
        if (percent(s) >= rate) return true;
        *why = "dropped at random while many connections have not logged in";
        return false;
    }
    if (!oldest) {
        *why = waiting >= full
                   ? "every connection that has not logged in is busy with its key exchange"
                   : "every connection is busy with its log-in or its job";
        return false;
    }
    *evict = oldest;
    (*open)--;
    return true;
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
        const char* dropped = nullptr;
        srv_server::conn_slot* evict = nullptr;
        size_t open = 0;
        if (!s->stopping && !prelogin_admits(s, &dropped, &evict, &open)) {
            peer_refused(s, text, key, dropped);
            plat_net_close(sock);
            continue;
        }
        if (s->stopping || !peer_admit(s, text, key, open)) {
            plat_net_close(sock);
            continue;
        }
        if (evict) {
            // The oldest that has not sent its key block gives its slot up.
            evict->evicted = true;
            plat_net_shutdown(evict->sock);
        }
        std::unique_ptr<conn> c(new conn());
        c->s = s;
        c->sock = sock;
        c->number = s->next_conn++;
        c->peer = text;
        c->peer_key = key;
        // The connection's line comes with its key exchange: what ends
        // before is counted per address and logged in summary.
        s->conns.emplace_back();
        srv_server::conn_slot& slot = s->conns.back();
        slot.sock = sock;
        slot.accepted_tick = accepted;
        slot.peer_key = key;
        c->slot = &slot;
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
// holder it noted with no remembered failure lost nothing here: its record
// goes, and the next process vouches for it as usual. Holders with failures
// keep theirs, and so do those other processes sharing the catalog noted.
void forget_clean_holders(srv_server* s) {
    catalog& cat = s->st->cat;
    std::vector<cat_holder> held;
    if (cat.ops->holders(cat.self, &held) != CAT_OK) return;
    for (const cat_holder& h : held) {
        identity id;
        id.user = h.user;
        memcpy(id.host, h.host, 20);
        if (holder_is_ours(s, id) && !vouch_has_failure(&s->vouch, id))
            cat.ops->holder_forget(cat.self, h);
    }
}

void stop_common(srv_server* s, bool abandon) {
    s->stopping = true;
    mailer_stop(s); // a try under way is given up and stays due
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
        s->room_cv.notify_all();
    }
    if (abandon) vouch_stop(&s->vouch);
    for (auto& slot : s->conns)
        slot.th.join();
    s->conns.clear();
    leases_stop(s); // the leases of the identities served here run out now
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
    s->random_state = (static_cast<uint64_t>(time(nullptr)) << 20) ^
                      static_cast<uint64_t>(plat_process_id()) ^ 0x9e3779b97f4a7c15ull;
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
    srv_failure_prepare(st->dir);
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
    leases_start(s);
    mailer_start(s);
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
