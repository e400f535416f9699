// peers.cpp - admission by address: connection slots per address and for
// the server, and the growing wait after failed log-ins.
//
// Refusals are logged at most once a second per address, so that a flood
// cannot flood the log; the table of addresses is pruned past a bound.
#include "tools/server/serving.h"

#include <algorithm>
#include <cstdio>

namespace serving {

namespace {

// Peer records beyond this are pruned (those without connections first).
const size_t kMaxPeerRecords = 65536;

} // namespace

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

} // namespace serving
