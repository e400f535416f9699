// runs.cpp - the runs of the identities' jobs: one catalog row per job,
// stored when the job takes its lock and again, with its counts, when it
// releases it.
//
// A job is known by its identity (user and host) holding a lock: a lock taken
// while the identity holds none begins a run, its release ends it. A run whose
// job never released its lock (killed, cut off) stays in the catalog with no
// end; the identity's next job begins a run of its own.
#include "tools/server/serving.h"

#include <cstring>

namespace serving {

bool run_begin(srv_server* s, const identity& id, uint32_t destination,
               const std::string& schedule, bool fresh) {
    {
        std::lock_guard<std::mutex> g(s->run_mu);
        if (!fresh && s->runs.count(id)) return true;
    }
    open_run r;
    r.row.user = id.user;
    memcpy(r.row.host, id.host, 20);
    r.row.destination = destination;
    r.row.schedule = schedule;
    r.row.started = now_s();
    catalog& cat = s->st->cat;
    if (cat.ops->run_start(cat.self, &r.row) != CAT_OK) return false;
    std::lock_guard<std::mutex> g(s->run_mu);
    s->runs[id] = r;
    return true;
}

void run_count(srv_server* s, const identity& id, run_count_kind kind, uint64_t n) {
    std::lock_guard<std::mutex> g(s->run_mu);
    auto it = s->runs.find(id);
    if (it == s->runs.end()) return;
    cat_run& r = it->second.row;
    switch (kind) {
    case RUN_FILE_SENT:
        r.files_sent += n;
        break;
    case RUN_BYTES_SENT:
        r.bytes_sent += n;
        break;
    case RUN_FILE_SKIPPED:
        r.files_skipped += n;
        break;
    case RUN_DELETED:
        r.deleted += n;
        break;
    }
}

void run_finish(srv_server* s, const identity& id, bool vouched) {
    cat_run row;
    {
        std::lock_guard<std::mutex> g(s->run_mu);
        auto it = s->runs.find(id);
        if (it == s->runs.end()) return;
        row = it->second.row;
        s->runs.erase(it);
    }
    row.ended = now_s();
    row.vouched = vouched;
    catalog& cat = s->st->cat;
    if (cat.ops->run_end(cat.self, row) != CAT_OK)
        store_failed(s, "storing the end of run " + std::to_string(row.id) + " of user " +
                            std::to_string(id.user));
}

} // namespace serving
