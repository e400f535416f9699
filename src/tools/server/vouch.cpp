// vouch.cpp - the server's rules for vouching with a stamp (see vouch.h): the
// per-identity ledger of open files, queued closes and failures, and the
// decision at a release.
#include "tools/server/vouch.h"

#include "common/text.h"

#include <chrono>
#include <cstdio>

std::string vouch_identity_text(const srv_identity& id) {
    return "user " + std::to_string(id.user) + " host " + hex_lower(id.host, sizeof id.host);
}

static void remember(vouch_ledger::entry* e, const std::string& why) {
    if (e->failure.empty()) e->failure = why; // the first reason explains the rest
}

void vouch_file_opened(vouch_ledger* l, const srv_identity& id) {
    std::lock_guard<std::mutex> g(l->mu);
    l->ids[id].open_files++;
}

void vouch_file_queued(vouch_ledger* l, const srv_identity& id, uint64_t ticket) {
    std::lock_guard<std::mutex> g(l->mu);
    vouch_ledger::entry& e = l->ids[id];
    e.open_files--;
    if (ticket > e.last_ticket) e.last_ticket = ticket;
    l->cv.notify_all();
}

void vouch_file_dropped(vouch_ledger* l, const srv_identity& id, const std::string& why) {
    std::lock_guard<std::mutex> g(l->mu);
    vouch_ledger::entry& e = l->ids[id];
    e.open_files--;
    remember(&e, why);
    l->cv.notify_all();
}

void vouch_file_abandoned(vouch_ledger* l, const srv_identity& id) {
    std::lock_guard<std::mutex> g(l->mu);
    l->ids[id].open_files--;
    l->cv.notify_all();
}

void vouch_fail(vouch_ledger* l, const srv_identity& id, const std::string& why) {
    std::lock_guard<std::mutex> g(l->mu);
    remember(&l->ids[id], why);
}

bool vouch_has_failure(vouch_ledger* l, const srv_identity& id) {
    std::lock_guard<std::mutex> g(l->mu);
    auto it = l->ids.find(id);
    return it != l->ids.end() && !it->second.failure.empty();
}

void vouch_settle(vouch_ledger* l, const std::vector<vouch_outcome>& batch, uint64_t last) {
    std::lock_guard<std::mutex> g(l->mu);
    for (const vouch_outcome& o : batch)
        if (!o.durable) remember(&l->ids[o.id], o.why);
    if (last > l->settled) l->settled = last;
    l->cv.notify_all();
}

bool vouch_wait(vouch_ledger* l, uint64_t ticket) {
    std::unique_lock<std::mutex> g(l->mu);
    l->cv.wait(g, [&] { return l->settled >= ticket || l->stopping; });
    return l->settled >= ticket;
}

void vouch_stop(vouch_ledger* l) {
    std::lock_guard<std::mutex> g(l->mu);
    l->stopping = true;
    l->cv.notify_all();
}

bool vouch_release(vouch_ledger* l, const srv_identity& id, bool holds_lock, uint32_t settle_ms,
                   std::string* why) {
    std::unique_lock<std::mutex> g(l->mu);
    vouch_ledger::entry& e = l->ids[id]; // map entries stay put while others come and go
    // A close sent on a connection the agent has since left may still be
    // unread there: give such files a moment to be closed or dropped.
    l->cv.wait_for(g, std::chrono::milliseconds(settle_ms),
                   [&] { return e.open_files <= 0 || l->stopping; });
    uint64_t last = e.last_ticket;
    l->cv.wait(g, [&] { return l->settled >= last || l->stopping; });
    why->clear();
    if (!e.failure.empty())
        *why = e.failure;
    else if (e.open_files > 0)
        *why = "a file is still open on another connection";
    else if (l->settled < last)
        *why = "the server stopped before every version was stored";
    else if (!holds_lock)
        *why = "it holds no lock (the lock lapsed or was never taken)";
    e.failure.clear();
    if (e.open_files <= 0 && e.last_ticket <= l->settled) l->ids.erase(id);
    return why->empty();
}
