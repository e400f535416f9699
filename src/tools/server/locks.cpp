// locks.cpp - user locks: one per (user, destination), held by an identity
// (user and host) while one of its connections lives and for the idle time
// after the last one ended, so that a reconnecting job keeps its lock.
#include "tools/server/serving.h"

#include "protocol/codes.h"

#include <cstring>

namespace serving {

namespace {

bool lock_live(const lock_entry& e, int64_t now_ms) {
    return e.expires_ms == 0 || now_ms < e.expires_ms;
}

} // namespace

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

bool holder_noted(srv_server* s, const identity& id) {
    catalog& cat = s->st->cat;
    cat_holder h{id.user, {}};
    memcpy(h.host, id.host, 20);
    std::vector<cat_holder> held;
    if (cat.ops->holders(cat.self, &held) != CAT_OK) return false;
    bool by_another = false;
    {
        std::lock_guard<std::mutex> g(s->lock_mu);
        if (!s->noted.count(id))
            for (const cat_holder& o : held)
                if (o.user == id.user && memcmp(o.host, id.host, 20) == 0) by_another = true;
    }
    if (by_another) {
        srv_log(s,
                "%s holds a lock noted by another server process; its next stamp will be "
                "refused",
                vouch_identity_text(id).c_str());
        vouch_fail(&s->vouch, id,
                   "its lock was noted by another server process, which may have received "
                   "closes that were never stored");
    }
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
