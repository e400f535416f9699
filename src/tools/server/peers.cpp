// peers.cpp - admission by address: connection slots per address and for
// the server, the growing wait after failed key exchanges (per address) and
// after failed log-ins (per address and user id), and the summary of
// connections that ended before their key exchange.
//
// Refusals are logged at most once a second per address (or address and
// user), connections that ended before their key exchange once a minute per
// address, so that a flood cannot flood the log; the tables are pruned past
// a bound.
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

// Logs a refused connection, at most once a second per address (with the
// count of those not logged), so that a flood cannot flood the log. Under
// peer_mu.
void log_refusal(srv_server* s, const std::string& peer, peer_record& r, const char* why,
                 int64_t t) {
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
}

// Takes a connection slot for the peer, or gives the reason for refusing it.
bool peer_admit(srv_server* s, const std::string& peer, const std::string& key, size_t open) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    if (s->peers.size() >= kMaxPeerRecords) prune_peers(s, t);
    peer_record& r = s->peers[key];
    if (r.failures && t - r.last_failure_ms >= failures_forgotten_after_ms(s->cfg)) r.failures = 0;
    char why[160];
    if (t < r.blocked_until_ms)
        snprintf(why, sizeof why,
                 "%u failed key exchanges from %s; it may connect again in %.1f s", r.failures,
                 key.c_str(), (r.blocked_until_ms - t) / 1000.0);
    else if (r.live >= s->cfg.max_connections_per_address)
        snprintf(why, sizeof why, "%u connections from %s are open, the most one address may hold",
                 r.live, key.c_str());
    else if (open >= s->cfg.max_connections)
        snprintf(why, sizeof why, "%zu connections are open, the most the server takes", open);
    else {
        r.live++;
        return true;
    }
    log_refusal(s, peer, r, why, t);
    return false;
}

void peer_refused(srv_server* s, const std::string& peer, const std::string& key,
                  const char* why) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    if (s->peers.size() >= kMaxPeerRecords) prune_peers(s, t);
    log_refusal(s, peer, s->peers[key], why, t);
}

void peer_leave(srv_server* s, const std::string& key) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    auto it = s->peers.find(key);
    if (it != s->peers.end() && it->second.live > 0) it->second.live--;
}

namespace {

// The wait after the nth counted failure (n >= 1): the first delay, doubled
// for each failure before it, up to the maximum.
uint64_t backoff_ms(const srv_config& cfg, uint32_t n) {
    uint64_t wait = static_cast<uint64_t>(cfg.login_fail_delay_ms) << std::min<uint32_t>(n - 1, 20);
    return std::min<uint64_t>(wait, cfg.login_fail_delay_max_ms);
}

const char* const kPrekexWords[PREKEX_ENDS] = {"sent nothing in time", "closed for newer ones",
                                               "failed their key exchange", "closed otherwise"};

// Drops log-in records that hold nothing more. Under peer_mu.
void prune_logins(srv_server* s, int64_t t) {
    int64_t forget = failures_forgotten_after_ms(s->cfg);
    for (auto it = s->logins.begin(); it != s->logins.end();) {
        const login_record& r = it->second;
        if (t - r.last_failure_ms >= forget && t >= r.blocked_until_ms)
            it = s->logins.erase(it);
        else
            ++it;
    }
    // Still too many (a flood of ever new ids and addresses): the oldest go.
    while (s->logins.size() > kMaxPeerRecords / 2)
        s->logins.erase(s->logins.begin());
}

login_record& login_of(srv_server* s, const std::string& key, int64_t user, int64_t t) {
    if (s->logins.size() >= kMaxPeerRecords) prune_logins(s, t);
    login_record& r = s->logins[std::make_pair(key, user)];
    if (r.failures && t - r.last_failure_ms >= failures_forgotten_after_ms(s->cfg)) r.failures = 0;
    return r;
}

} // namespace

void peer_prekex_ended(srv_server* s, const std::string& key, prekex_end why) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    if (s->peers.size() >= kMaxPeerRecords) prune_peers(s, t);
    peer_record& r = s->peers[key];
    r.prekex[why]++;
    if (why == PREKEX_FAILED) {
        // Each costs a decryption: past the free ones, the address waits.
        if (r.failures && t - r.last_failure_ms >= failures_forgotten_after_ms(s->cfg))
            r.failures = 0;
        r.failures++;
        r.last_failure_ms = t;
        if (r.failures > s->cfg.key_exchange_free_failures) {
            uint64_t wait = backoff_ms(s->cfg, r.failures - s->cfg.key_exchange_free_failures);
            r.blocked_until_ms =
                std::max<int64_t>(r.blocked_until_ms, t + static_cast<int64_t>(wait));
        }
    }
    if (r.last_prekex_log_ms >= 0 && t - r.last_prekex_log_ms < 60000) return;
    std::string counts;
    uint64_t all = 0;
    for (int i = 0; i < PREKEX_ENDS; i++) {
        all += r.prekex[i];
        if (!r.prekex[i]) continue;
        counts += (counts.empty() ? "" : ", ") + std::to_string(r.prekex[i]) + " " + kPrekexWords[i];
    }
    srv_log(s, "%s: %llu connection%s ended before the key exchange since the last such line (%s)",
            key.c_str(), static_cast<unsigned long long>(all), all == 1 ? "" : "s",
            counts.c_str());
    for (uint64_t& n : r.prekex)
        n = 0;
    r.last_prekex_log_ms = t;
}

uint32_t login_wait(srv_server* s, const std::string& key, int64_t user) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    login_record& r = login_of(s, key, user, t);
    return t < r.blocked_until_ms ? static_cast<uint32_t>(r.blocked_until_ms - t) : 0;
}

uint32_t login_failed(srv_server* s, const std::string& key, int64_t user) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    login_record& r = login_of(s, key, user, t);
    r.failures++;
    r.last_failure_ms = t;
    // Ids that do not exist share one record per address (anyone guessing
    // them is no user's failure): a budget of free failures first.
    const uint32_t free_ones = user < 0 ? s->cfg.unknown_user_free_failures : 0;
    if (r.failures <= free_ones) return 0;
    uint64_t wait = backoff_ms(s->cfg, r.failures - free_ones);
    r.blocked_until_ms = std::max<int64_t>(r.blocked_until_ms, t + static_cast<int64_t>(wait));
    return static_cast<uint32_t>(wait);
}

bool login_refusal_log(srv_server* s, const std::string& key, int64_t user, uint64_t* unlogged) {
    std::lock_guard<std::mutex> g(s->peer_mu);
    int64_t t = now_ms();
    login_record& r = login_of(s, key, user, t);
    if (t - r.last_refusal_log_ms < 1000) {
        r.refusals_unlogged++;
        return false;
    }
    *unlogged = r.refusals_unlogged;
    r.refusals_unlogged = 0;
    r.last_refusal_log_ms = t;
    return true;
}

} // namespace serving
