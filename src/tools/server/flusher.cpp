// flusher.cpp - the group commit: closed versions queue with a ticket each;
// one thread makes a batch's blocks durable and then its versions current in
// one catalog transaction, and settles every ticket in the vouch ledger. A
// brake holds the connections that close versions faster than the disk takes
// them, so the queue stays a few batches long.
#include "tools/server/serving.h"

#include <algorithm>
#include <chrono>

namespace serving {

namespace {

// Whether the queue alone holds enough to brake a connection (flush_mu held).
bool braking(const srv_server* s) {
    return (s->cfg.flush_brake_versions && s->queue.size() >= s->cfg.flush_brake_versions) ||
           (s->cfg.flush_brake_bytes && s->unsettled_bytes > s->cfg.flush_brake_bytes);
}

} // namespace

uint64_t flush_enqueue(srv_server* s, flush_item item, uint64_t bytes) {
    std::lock_guard<std::mutex> g(s->flush_mu);
    item.ticket = s->next_ticket++;
    item.bytes = bytes;
    uint64_t t = item.ticket;
    s->queue.push_back(std::move(item));
    s->queued_bytes += bytes;
    s->unsettled_bytes += bytes;
    if (s->queued_bytes >= s->cfg.flush_batch_bytes || s->queue.size() >= 4096 || braking(s))
        s->flush_cv.notify_all();
    else if (s->queue.size() == 1)
        s->flush_cv.notify_all();
    return t;
}

// Waits until every close up to ticket is settled (stored or failed).
void flush_wait(srv_server* s, uint64_t ticket) {
    if (ticket != 0) vouch_wait(&s->vouch, ticket);
}

void flush_brake(srv_server* s, uint64_t ticket) {
    const uint64_t versions = s->cfg.flush_brake_versions;
    if (versions && ticket > versions) vouch_wait(&s->vouch, ticket - versions);
    if (!s->cfg.flush_brake_bytes) return;
    std::unique_lock<std::mutex> g(s->flush_mu);
    // A stopping server lets everyone go: the flusher may be gone.
    s->room_cv.wait(g, [&] {
        return s->unsettled_bytes <= s->cfg.flush_brake_bytes || s->flusher_stop || s->abandon;
    });
}

// One batch: blocks made durable and visible, then the versions made current
// in one catalog transaction. Every version's outcome goes to the ledger, so
namespace {

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
    if (rc != 0) {
        srv_log(s, "a batch of %zu versions could not be made durable: %s", commits.size(),
                why_all);
        store_failed(s,
                     "making a batch of " + std::to_string(commits.size()) + " versions durable");
    }
    s->versions_committed += stored;
    if (rc == 0) s->batches++;
    vouch_settle(&s->vouch, outcomes, last);
}

} // namespace

void flusher_main(srv_server* s) {
    std::unique_lock<std::mutex> g(s->flush_mu);
    for (;;) {
        s->flush_cv.wait(g, [&] { return !s->queue.empty() || s->flusher_stop; });
        if (s->queue.empty() && s->flusher_stop) break;
        // Let a batch gather for at most the flush interval unless it is large.
        // A braked connection is waiting for it too.
        s->flush_cv.wait_for(g, std::chrono::milliseconds(s->cfg.flush_interval_ms), [&] {
            return s->flusher_stop || s->queued_bytes >= s->cfg.flush_batch_bytes ||
                   s->queue.size() >= 4096 || braking(s);
        });
        if (s->abandon) break;
        std::vector<flush_item> batch;
        batch.swap(s->queue);
        uint64_t bytes = s->queued_bytes;
        s->queued_bytes = 0;
        g.unlock();
        flush_batch(s, &batch);
        g.lock();
        s->unsettled_bytes -= std::min(bytes, s->unsettled_bytes);
        s->room_cv.notify_all();
    }
    s->room_cv.notify_all();
}

} // namespace serving
