// locks.cpp - user locks: one per (user, destination), held by an identity
// (user and host) while one of its connections lives and for the idle time
// after the last one ended, so that a reconnecting job keeps its lock.
//
// With the SQLite catalog the locks live in this process's memory. A catalog
// with lease ops keeps them as leases shared by every serving process: the
// catalog grants them, this process renews the leases of identities
// connected here well within the idle time, and after an identity's last
// connection here ends its leases run out after the idle time. The map in
// memory is then a view that holds_lock reads cheaply; each entry carries a
// bound of the catalog's expiry, so a lease lost to expiry is never used.
#include "tools/server/serving.h"

#include "protocol/codes.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace serving {

namespace {

bool lock_live(const lock_entry& e, int64_t now_ms) {
    return (e.expires_ms == 0 || now_ms < e.expires_ms) &&
           (e.lease_until_ms == 0 || now_ms < e.lease_until_ms);
}

bool leased(srv_server* s) {
    return s->st->cat.ops->lease_take != nullptr;
}

cat_holder holder_of(const identity& id) {
    cat_holder h{id.user, {}};
    memcpy(h.host, id.host, 20);
    return h;
}

// Whether the catalog notes the identity as a lock holder that another
// server process wrote (one sharing the catalog, or one that ended): that
// process may have received closes it never stored. A catalog that cannot
// be read counts as yes.
bool noted_elsewhere(srv_server* s, const identity& id) {
    catalog& cat = s->st->cat;
    std::vector<cat_holder> held;
    if (cat.ops->holders(cat.self, &held) != CAT_OK) return true;
    std::lock_guard<std::mutex> g(s->lock_mu);
    if (s->noted.count(id)) return false;
    for (const cat_holder& o : held)
        if (o.user == id.user && memcmp(o.host, id.host, 20) == 0) return true;
    return false;
}

// Under lock_mu: the view of the identity's locks made the catalog's answer
// (dests held, trusted until until_ms), unless a take or release changed
// the view after the question was asked (gen): the next renewal then tells.
// True when it adopted a lease another process granted (an agent failing
// over to this one): this process never saw that job's earlier closes.
bool lease_view(srv_server* s, const identity& id, const std::vector<uint32_t>& dests,
                int64_t until_ms, uint64_t gen) {
    if (s->lease_gen != gen) return false;
    bool adopted = false;
    for (auto it = s->locks.begin(); it != s->locks.end();) {
        if (it->second.holder == id &&
            !std::binary_search(dests.begin(), dests.end(), it->first.second)) {
            it = s->locks.erase(it); // lost: expired, or granted to another identity
            continue;
        }
        ++it;
    }
    auto live = s->live.find(id);
    int64_t expires = live != s->live.end() ? 0 : now_ms() + s->cfg.idle_timeout_ms;
    for (uint32_t d : dests) {
        lock_entry& e = s->locks[{id.user, d}];
        if (!(e.holder == id)) {
            e = lock_entry{id, expires, 0};
            if (!s->noted.count(id)) adopted = true;
        }
        e.lease_until_ms = until_ms;
    }
    return adopted;
}

// Renews the identity's leases and refreshes the view. keep_view: only the
// catalog's expiry matters (the identity's last connection here ended).
void lease_renew(srv_server* s, const identity& id, bool keep_view) {
    catalog& cat = s->st->cat;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        gen = s->lease_gen;
    }
    int64_t asked = now_ms();
    std::vector<uint32_t> dests;
    if (cat.ops->lease_renew(cat.self, holder_of(id), s->frontend, s->cfg.idle_timeout_ms,
                             &dests) != CAT_OK ||
        keep_view)
        return;
    bool adopted;
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        adopted = lease_view(s, id, dests, asked + s->cfg.idle_timeout_ms, gen);
    }
    // The holder row tells whether that process ended before the job did:
    // an orderly stop removes the rows of the identities it lost nothing of.
    if (adopted && noted_elsewhere(s, id)) {
        srv_log(s,
                "%s holds a lock granted by another server process; its next stamp will be "
                "refused",
                vouch_identity_text(id).c_str());
        vouch_fail(&s->vouch, id,
                   "its lock was granted by another server process, which may have received "
                   "closes that were never stored");
    }
}

void lease_renewer_main(srv_server* s) {
    // Several renewals fit in the idle time, so one slow answer loses nothing.
    auto period = std::chrono::milliseconds(std::max<uint32_t>(s->cfg.idle_timeout_ms / 4, 1));
    std::unique_lock<std::mutex> g(s->lock_mu);
    while (!s->lease_stop) {
        s->lease_cv.wait_for(g, period, [s] { return s->lease_stop; });
        if (s->lease_stop) break;
        std::vector<identity> ids;
        for (auto& kv : s->live)
            for (auto& l : s->locks)
                if (l.second.holder == kv.first) {
                    ids.push_back(kv.first);
                    break;
                }
        g.unlock();
        for (const identity& id : ids)
            lease_renew(s, id, false);
        g.lock();
    }
}

} // namespace

void identity_arrive(srv_server* s, const identity& id) {
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        s->live[id]++;
        int64_t t = now_ms();
        for (auto& kv : s->locks)
            if (kv.second.holder == id && lock_live(kv.second, t)) kv.second.expires_ms = 0;
    }
    // An identity coming from another process (an agent failing over) finds
    // its leases here at once.
    if (leased(s)) lease_renew(s, id, false);
}

void identity_leave(srv_server* s, const identity& id) {
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        if (--s->live[id] > 0) return;
        s->live.erase(id);
        int64_t until = now_ms() + s->cfg.idle_timeout_ms;
        for (auto& kv : s->locks)
            if (kv.second.holder == id && kv.second.expires_ms == 0) kv.second.expires_ms = until;
    }
    // The leases run out after the idle time from now, wherever they were
    // renewed last.
    if (leased(s)) lease_renew(s, id, true);
}

// 0 when every destination was taken, ERR_ACCESS when another identity holds
// one, ERR_SERVER when the catalog failed.
uint8_t locks_take(srv_server* s, const identity& id, const std::vector<uint32_t>& dests) {
    if (leased(s)) {
        catalog& cat = s->st->cat;
        int64_t asked = now_ms();
        int rc = cat.ops->lease_take(cat.self, holder_of(id), dests, s->frontend,
                                     s->cfg.idle_timeout_ms);
        if (rc == CAT_EXISTS) return ERR_ACCESS;
        if (rc != CAT_OK) return ERR_SERVER;
        std::lock_guard<std::mutex> g(s->lock_mu);
        s->lease_gen++;
        for (uint32_t d : dests)
            s->locks[{id.user, d}] = lock_entry{id, 0, asked + s->cfg.idle_timeout_ms};
        return 0;
    }
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
    // The catalog first: a renewal under way then finds the view changed
    // after it asked and cannot bring the leases back. A release the catalog
    // missed runs out after the idle time: nothing here renews a lease
    // without a local lock.
    if (leased(s)) s->st->cat.ops->lease_release(s->st->cat.self, holder_of(id));
    std::lock_guard<std::mutex> g(s->lock_mu);
    s->lease_gen++;
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

void leases_start(srv_server* s) {
    if (!leased(s)) return;
    std::random_device rd;
    char name[40];
    snprintf(name, sizeof name, "frontend-%08x%08x", rd(), rd());
    s->frontend = name;
    s->lease_renewer = std::thread(lease_renewer_main, s);
}

void leases_stop(srv_server* s) {
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        s->lease_stop = true;
        s->lease_cv.notify_all();
    }
    if (s->lease_renewer.joinable()) s->lease_renewer.join();
}

bool holder_noted(srv_server* s, const identity& id, uint64_t login_epoch) {
    catalog& cat = s->st->cat;
    if (noted_elsewhere(s, id)) {
        srv_log(s,
                "%s holds a lock noted by another server process; its next stamp will be "
                "refused",
                vouch_identity_text(id).c_str());
        vouch_fail(&s->vouch, id,
                   "its lock was noted by another server process, which may have received "
                   "closes that were never stored");
    }
    cat_holder h = holder_of(id);
    h.epoch = login_epoch;
    if (cat.ops->holder_note(cat.self, h) != CAT_OK) return false;
    std::lock_guard<std::mutex> g(s->lock_mu);
    s->noted.insert(id);
    return true;
}

void holder_forgotten(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    s->noted.erase(id);
}

bool holder_is_ours(srv_server* s, const identity& id) {
    std::lock_guard<std::mutex> g(s->lock_mu);
    return s->noted.count(id) != 0;
}

} // namespace serving
