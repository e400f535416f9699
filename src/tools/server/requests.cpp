// requests.cpp - the request handlers of a logged-in connection: log-in,
// user lock and release with the stamp, folders, deletes, listings, file
// open, offers, block data and close, and e-mail.
//
// One table says, for every request type, what it needs before its handler
// runs (a log-in, the user lock, no dropped data pending) and the shape of
// its answer; handle_request applies it. Open handles are budgeted per
// connection, per user and for the server, so that a client that hoards them
// cannot starve others of descriptors.
#include "tools/server/serving.h"

#include "common/name_match.h"
#include "protocol/codes.h"
#include "protocol/read_wire.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace serving {

namespace {

// The agent's report body never grows past 10 MiB and goes in pieces of at
// most TFS_EMAIL_PART_MAX bytes; a mail is buffered only as its pieces arrive.
const uint32_t kMaxMailBody = 10485760;

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

} // namespace

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

namespace {

std::string user_text(const conn* c) {
    return "user " + std::to_string(c->id.user);
}

// The file's upload broke here; no_space: because the store had no room.
// Its handle stays until the agent hears of it (the next offer) or closes it.
void break_file(conn* c, open_file* f, bool no_space = false) {
    f->broken = true;
    if (no_space) f->no_space = true;
    block_store& bs = c->s->st->blocks;
    if (f->cur) bs.ops->stage_abort(bs.self, f->cur);
    f->cur = nullptr;
    f->cur_len = 0;
}

// ---- requests ---------------------------------------------------------------

// A refused log-in: logged, and counted against the address and the user id
// (user: -1 for an id that does not exist) when the credentials were wrong
// (not when the catalog failed).
uint8_t auth_refused(conn* c, const srv_request& rq, const char* why, bool counts,
                     int64_t user) {
    announce(c);
    if (counts) {
        uint32_t wait = login_failed(c->s, c->peer_key, user);
        if (wait)
            srv_log(c->s,
                    "connection %llu from %s: log-in of user %u refused: %s; %s waits %.1f s "
                    "before its next log-in as %s",
                    static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id, why,
                    c->peer_key.c_str(), wait / 1000.0,
                    user < 0 ? "a user that does not exist" : "that user");
        else
            srv_log(c->s, "connection %llu from %s: log-in of user %u refused: %s",
                    static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id, why);
    } else {
        srv_log(c->s, "connection %llu from %s: log-in of user %u refused: %s",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id, why);
    }
    c->why = "its log-in was refused";
    return ERR_AUTH_FAILURE;
}

// A wrong log-in of a pair (address, user id) that waits after its
// failures: refused without counting again, and logged at most once a
// second with the number refused since.
uint8_t auth_waiting(conn* c, const srv_request& rq, int64_t user, uint32_t wait) {
    uint64_t unlogged = 0;
    if (login_refusal_log(c->s, c->peer_key, user, &unlogged))
        srv_log(c->s,
                "connection %llu from %s: log-in of user %u refused while %s waits %.1f s after "
                "failed log-ins as %s (and %llu more refused since the last line)",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id,
                c->peer_key.c_str(), wait / 1000.0,
                user < 0 ? "users that do not exist" : "that user",
                static_cast<unsigned long long>(unlogged));
    c->why = "its log-in was refused";
    c->quiet = true;
    return ERR_AUTH_FAILURE;
}

uint8_t do_auth(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    if (c->authed) return ERR_INVARG;
    if (rq.auth_mode != AUTH_MODE_AGENT)
        return auth_refused(c, rq, "only the agent's log-in (mode 1) is served", true, -1);
    cat_user u;
    catalog& cat = c->s->st->cat;
    int got = cat.ops->user_get(cat.self, rq.user_id, &u);
    if (got != CAT_OK && got != CAT_NOT_FOUND)
        return auth_refused(c, rq, "the catalog could not be read", false, -1);
    // Failures count per address and user id (ids that do not exist
    // together). While a pair waits, its wrong log-ins are refused without
    // a line each and cost no longer wait; the right key is let in all the
    // same: nobody's failures ever delay an honest log-in.
    const int64_t who = got == CAT_OK ? static_cast<int64_t>(rq.user_id) : -1;
    const bool right = got == CAT_OK && CRYPTO_memcmp(u.key_digest, rq.key_digest, 20) == 0;
    if (!right) {
        if (uint32_t wait = login_wait(c->s, c->peer_key, who))
            return auth_waiting(c, rq, who, wait);
        return auth_refused(c, rq,
                            got == CAT_NOT_FOUND ? "no such user"
                                                 : "the account key digest does not match",
                            true, who);
    }
    c->authed = true;
    if (c->slot) c->slot->stage = 2;
    announce(c);
    srv_log(c->s, "connection %llu from %s: user %u logged in",
            static_cast<unsigned long long>(c->number), c->peer.c_str(), rq.user_id);
    c->id.user = rq.user_id;
    memcpy(c->id.host, rq.host_id, 20);
    c->schedule_name = rq.schedule_name;
    // Read before the stamp: a clear of the user's stamps in between then
    // shows at the release as a later epoch.
    c->login_epoch = u.stamp_epoch;
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
    bool vouched = false;
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
    } else if (rq.has_stamp) {
        const int stored =
            cat.ops->stamp_vouch(cat.self, c->id.user, c->id.host, c->schedule_name, rq.stamp);
        if (stored == CAT_EXISTS) {
            // verify found damage (in any process sharing the catalog) after
            // this job logged in: its index may list a damaged file as current.
            cat.ops->stamps_clear(cat.self, c->id.user, c->id.host, &c->schedule_name);
            srv_log(s,
                    "stamp of %s schedule \"%s\" refused: the user's stamps were cleared (verify "
                    "found damage) after this job logged in",
                    vouch_identity_text(c->id).c_str(), c->schedule_name.c_str());
            rc = ERR_SERVER;
        } else if (stored != CAT_OK) {
            rc = store_failed(s, "storing the stamp of " + user_text(c)) ? ERR_FSACCESS
                                                                         : ERR_SERVER;
        } else {
            vouched = true;
        }
    }
    run_finish(s, c->id, vouched);
    cat_holder h{c->id.user, {}};
    memcpy(h.host, c->id.host, 20);
    cat.ops->holder_forget(cat.self, h);
    holder_forgotten(s, c->id);
    locks_release(s, c->id);
    return rc;
}

uint8_t do_lock(conn* c, const srv_request& rq, std::vector<uint8_t>*) {
    if (rq.lock_flags & TFS_LOCK_RELEASE) return do_release(c, rq);
    if (rq.lock_ids.empty()) return ERR_INVARG;
    // A job takes its lock again after a reconnection while it still holds
    // it: the same run goes on.
    const bool fresh = !holds_lock(c->s, c->id);
    uint8_t rc = locks_take(c->s, c->id, rq.lock_ids);
    if (rc != 0) return rc;
    // Noted durably before the lock is granted: a process started after a
    // crash must know that this identity was in the middle of a job.
    if (!holder_noted(c->s, c->id, c->login_epoch)) {
        locks_release(c->s, c->id);
        return store_failed(c->s, "noting the user lock of " + user_text(c)) ? ERR_FSACCESS
                                                                             : ERR_SERVER;
    }
    // The run is stored before any version of its job can be committed.
    if (!run_begin(c->s, c->id, rq.lock_ids[0], c->schedule_name, fresh)) {
        locks_release(c->s, c->id);
        return store_failed(c->s, "storing the run of " + user_text(c)) ? ERR_FSACCESS
                                                                        : ERR_SERVER;
    }
    return 0;
}


// A catalog call that failed while doing what: ERR_FSACCESS when the store
// has no room left (logged as such), else the catalog's own answer.
uint8_t catalog_answer(conn* c, int rc, const std::string& what) {
    uint8_t code = map_cat(rc);
    if (code == ERR_SERVER && store_failed(c->s, what)) return ERR_FSACCESS;
    return code;
}

uint8_t do_mkdir(conn* c, const srv_request& rq, std::vector<uint8_t>*) {
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
    return catalog_answer(c, cat.ops->folder_make(cat.self, c->id.user, p, now_s()),
                          "making the folder /" + p + " of " + user_text(c));
}

uint8_t do_delete(conn* c, const srv_request& rq, std::vector<uint8_t>*) {
    std::string p;
    if (!srv_normalize_path(rq.path, false, &p) || rq.kind > 1) return ERR_INVARG;
    wait_own(c, c->last_ticket);
    catalog& cat = c->s->st->cat;
    uint8_t rc = catalog_answer(c, cat.ops->remove(cat.self, c->id.user, rq.kind, p, now_s()),
                                "deleting /" + p + " of " + user_text(c));
    if (rc == 0) run_count(c->s, c->id, RUN_DELETED, 1);
    return rc;
}

// What an open listing holds between its pages, as the budgets count it.
uint64_t listing_cost(const listing& l) {
    return sizeof(listing) + l.path.size() + l.filter.size() + l.after.size();
}

// Counts a listing's holding (now cost) for the connection, its user and
// the server; false (nothing counted) past a budget, with the first refusal
// of the connection logged.
bool listing_hold(conn* c, listing* l, uint64_t cost) {
    srv_server* s = c->s;
    const srv_config& cfg = s->cfg;
    char why[160] = "";
    {
        std::lock_guard<std::mutex> g(s->listing_mu);
        uint64_t& mine = s->listing_bytes_by_user[c->id.user];
        const uint64_t more = cost > l->held ? cost - l->held : 0;
        if (c->listing_bytes + more > cfg.listing_bytes_per_connection)
            snprintf(why, sizeof why, "its listings hold %llu bytes, the most one connection may",
                     static_cast<unsigned long long>(c->listing_bytes));
        else if (mine + more > cfg.listing_bytes_per_user)
            snprintf(why, sizeof why, "user %u's listings hold %llu bytes, the most one user may",
                     c->id.user, static_cast<unsigned long long>(mine));
        else if (s->listing_bytes + more > cfg.listing_bytes)
            snprintf(why, sizeof why, "the server's listings hold %llu bytes, all it allows",
                     static_cast<unsigned long long>(s->listing_bytes));
        if (!why[0]) {
            // Shrinking always fits.
            mine = mine + cost - l->held;
            s->listing_bytes = s->listing_bytes + cost - l->held;
            c->listing_bytes = c->listing_bytes + cost - l->held;
            l->held = cost;
            return true;
        }
        if (mine == 0) s->listing_bytes_by_user.erase(c->id.user);
    }
    if (!c->listings_refusal_logged)
        srv_log(s, "connection %llu from %s: a listing refused: %s",
                static_cast<unsigned long long>(c->number), c->peer.c_str(), why);
    c->listings_refusal_logged = true;
    return false;
}

void listing_release(conn* c, listing* l) {
    srv_server* s = c->s;
    std::lock_guard<std::mutex> g(s->listing_mu);
    auto it = s->listing_bytes_by_user.find(c->id.user);
    if (it != s->listing_bytes_by_user.end()) {
        it->second -= std::min(it->second, l->held);
        if (it->second == 0) s->listing_bytes_by_user.erase(it);
    }
    s->listing_bytes -= std::min(s->listing_bytes, l->held);
    c->listing_bytes -= std::min(c->listing_bytes, l->held);
    l->held = 0;
}

// Catalog pages read for one answer, at most: a filter that matches little
// must not make one request read a whole folder.
const int kPagesPerAnswer = 8;

uint8_t do_find(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    uint8_t cur = rq.cursor;
    catalog& cat = c->s->st->cat;
    if (cur == 0) {
        std::string p;
        if (!srv_normalize_path(rq.path, true, &p)) return ERR_INVARG;
        if (c->lists.size() >= MAX_LISTINGS) return ERR_FINDMAX;
        wait_own(c, c->last_ticket);
        listing l;
        l.path = p;
        // The agent's own name rule ('*' alone is special, case never
        // matters); it runs in time linear in name x pattern, so no filter
        // can hold the connection's thread.
        if (!rq.filter.empty() && rq.filter.find('\0') == std::string::npos &&
            rq.filter.size() < 256)
            l.filter = rq.filter;
        l.wide = rq.list_flags & 1;
        int rc = cat.ops->list_count(cat.self, c->id.user, p, &l.total);
        if (rc != CAT_OK) return map_cat(rc);
        if (!listing_hold(c, &l, listing_cost(l))) return ERR_FINDMAX;
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
    // One page from the catalog after the last name passed; one entry more
    // than a page tells whether anything follows.
    std::vector<uint8_t> body;
    uint16_t count = 0;
    bool more = true, full = false;
    std::vector<cat_entry> page;
    for (int reads = 0; more && !full && reads < kPagesPerAnswer; reads++) {
        int rc = cat.ops->list_page(cat.self, c->id.user, l.path, l.after, LIST_PAGE + 1, &page);
        if (rc != CAT_OK) {
            listing_release(c, &l);
            c->lists.erase(it);
            return map_cat(rc);
        }
        more = page.size() > LIST_PAGE;
        for (size_t i = 0; i < page.size() && i < LIST_PAGE; i++) {
            const cat_entry& e = page[i];
            size_t need = 1 + 4 + 8 + 8 + (l.wide ? 2 : 1) + e.name.size();
            if (count >= LIST_PAGE || 7 + body.size() + need > CTFS_MAX_PAYLOAD) {
                full = true;
                more = true;
                break;
            }
            l.after = e.name;
            l.started = true;
            l.consumed++;
            if (!l.filter.empty() && !wildcard_match(e.name.c_str(), l.filter.c_str())) continue;
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
            count++;
        }
        if (count >= LIST_PAGE) full = true;
    }
    page.clear();
    // What is still to come: the count taken at the start less what passed,
    // at least one while the catalog has more (the folder may have grown).
    uint32_t further = 0;
    if (more) {
        uint64_t left = l.total > l.consumed ? l.total - l.consumed : 1;
        further = static_cast<uint32_t>(std::min<uint64_t>(left, 0xffffffffu));
    }
    if (further && !listing_hold(c, &l, listing_cost(l))) {
        // Grown past a budget by the page's last name: the listing is
        // refused here, never answered with a cursor the server has dropped.
        listing_release(c, &l);
        c->lists.erase(it);
        return ERR_FINDMAX;
    }
    srv_put_u16(out, count);
    srv_put_u32(out, further);
    srv_put_u8(out, further ? cur : 0);
    out->insert(out->end(), body.begin(), body.end());
    if (!further) {
        listing_release(c, &l);
        c->lists.erase(it);
    }
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
            run_count(c->s, c->id, RUN_FILE_SKIPPED, 1);
            return ERR_UP2DATE;
        }
    }
    uint32_t bs = srv_block_size(rq.size);
    if (bs == 0) {
        delete f;
        return ERR_INVARG;
    }
    // A store without room for the whole file as the agent may send it (and
    // the catalog's pages) is refused here, before any data is sent for
    // nothing: a block that fails later, when no answer follows it, could
    // only fail the job's stamp, not the file.
    if (!store_has_room(c->s, srv_file_cipher_max(rq.size, bs),
                        "opening /" + p + " of " + user_text(c))) {
        delete f;
        return ERR_FSACCESS;
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
    // ERR_BADKEY makes the agent start the file again with a new open, and
    // it never closes the handle it gives up: the file is dropped here, with
    // what it staged. A file that broke for want of space is answered
    // ERR_FSACCESS instead, which the agent takes as the file's failure.
    open_file* f = c->files[rq.handle];
    if (c->bad_handle) {
        c->bad_handle = false;
        drop_file(c, rq.handle, nullptr);
        return ERR_BADKEY;
    }
    if (!f) return ERR_BADKEY;
    if (f->broken) {
        const bool no_space = f->no_space;
        drop_file(c, rq.handle, nullptr);
        return no_space ? ERR_FSACCESS : ERR_BADKEY;
    }
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

std::string block_text(const conn* c, const open_file* f) {
    return "storing block " + std::to_string(f->blocks.size() + 1) + " of /" + f->path + " of " +
           user_text(c);
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
    if (rq.write_type == TFS_WRITE_DATA) {
        if (f->blocks.size() >= f->block_count ||
            f->cur_len + rq.data_len > srv_block_cipher_max(f->block_size)) {
            break_file(c, f);
            return;
        }
        if (!f->cur) {
            f->cur = bs.ops->stage_open(bs.self);
            f->cur_len = 0;
            if (!f->cur) {
                break_file(c, f, store_failed(c->s, block_text(c, f)));
                return;
            }
        }
        if (bs.ops->stage_write(bs.self, f->cur, rq.data, rq.data_len) != 0) {
            break_file(c, f, store_failed(c->s, block_text(c, f)));
            return;
        }
        f->cur_len += rq.data_len;
        c->s->block_bytes += rq.data_len;
        run_count(c->s, c->id, RUN_BYTES_SENT, rq.data_len);
        return;
    }
    if (rq.write_type == TFS_WRITE_CHECKSUM) {
        bool csum_ok = rq.data_len == 16 || (rq.data_len == 0 && f->block_count == 1);
        if (!f->cur || f->cur_len == 0 || f->cur_len % 16 != 0 || !csum_ok ||
            f->blocks.size() >= f->block_count) {
            break_file(c, f);
            return;
        }
        cat_block b;
        if (bs.ops->stage_finish(bs.self, f->cur, &b.digest, &b.length) != 0) {
            break_file(c, f, store_failed(c->s, block_text(c, f)));
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
    run_count(c->s, c->id, RUN_FILE_SENT, 1);
    vouch_file_queued(&c->s->vouch, c->id, c->last_ticket);
    if (c->pending.size() > 100000) wait_own(c, c->last_ticket); // bound the bookkeeping
    c->pending[path] = c->last_ticket;
    flush_brake(c->s, c->last_ticket);
}

uint8_t do_email(conn* c, const srv_request& rq, std::vector<uint8_t>*) {
    // The agent hands its report over once per job, after its last file and
    // before its release: the answer waits until every close of the
    // connection is durable (the files keep their group commit), so that it
    // confirms the job's last files as stored.
    wait_own(c, c->last_ticket);
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
    if (rq.data_len > TFS_EMAIL_PART_MAX || rq.data_len > m.body_len - m.body.size()) {
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
        if (cat.ops->mail_add(cat.self, cm) != CAT_OK)
            return store_failed(c->s, "storing an e-mail of " + user_text(c)) ? ERR_FSACCESS
                                                                            : ERR_SERVER;
        mailer_wake(c->s); // stored with its deliveries queued: the relay gets it now
    }
    return 0;
}

// A file write (offer or silent data and checksum). Silent writes get no
// answer, whatever becomes of them.
uint8_t do_write(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    if (srv_request_silent(rq)) {
        do_silent_write(c, rq);
        return 0;
    }
    return rq.write_type == TFS_WRITE_OFFER ? do_offer(c, rq, out)
                                            : static_cast<uint8_t>(ERR_INVARG);
}

uint8_t do_file_close(conn* c, const srv_request& rq, std::vector<uint8_t>*) {
    do_close(c, rq.handle);
    return 0;
}

uint8_t do_log_in(conn* c, const srv_request& rq, std::vector<uint8_t>* out) {
    uint8_t rc = do_auth(c, rq, out);
    // One log-in per connection: a refused one ends it, so that guesses cost
    // a connection each and meet the address's wait.
    if (rc == ERR_AUTH_FAILURE) c->closing = true;
    return rc;
}

uint8_t do_session_close(conn* c, const srv_request&, std::vector<uint8_t>*) {
    c->closing = true;
    c->closing_why = "the client closed the session";
    return 0;
}

// Why a request was not carried out.
enum refusal { REFUSED_MALFORMED, REFUSED_LOGIN, REFUSED_LOCK };

// A refused silent write: its file breaks, as the data is lost. Data for an
// unknown handle is remembered, so that the next offer of the connection is
// answered ERR_BADKEY and the agent starts the file again; data without the
// lock is dropped like data to an unknown handle.
void write_refused(conn* c, const srv_request& rq, refusal why) {
    open_file* f = c->files[rq.handle];
    if (f)
        break_file(c, f);
    else if (why != REFUSED_LOCK)
        c->bad_handle = true;
}

typedef uint8_t (*request_fn)(conn* c, const srv_request& rq, std::vector<uint8_t>* out);
typedef void (*silent_refusal_fn)(conn* c, const srv_request& rq, refusal why);

// What a request needs before its handler runs, and the shape of its answer.
// A request the table refuses is answered with the status (ERR_ACCESS) and
// no payload, or, when it is silent, not answered and handed to
// silent_refused.
struct request_rule {
    uint8_t type;
    bool needs_login;       // ERR_ACCESS before the log-in
    bool needs_lock;        // ERR_ACCESS unless the identity holds a user lock
    bool clears_bad_handle; // forgets data dropped for an unknown handle
    uint8_t answer_len;     // non-zero: the answer carries this many zero bytes, always
    request_fn run;
    silent_refusal_fn silent_refused; // null: a refused silent request is just dropped
};

// clang-format off
const request_rule kRules[] = {
    // type               login  lock   clear  answer handler           silent refusal
    {TFS_SESSION_AUTH,   false, false, false, 0,  do_log_in,        nullptr},
    {TFS_SESSION_CLOSE,  true,  false, false, 0,  do_session_close, nullptr},
    {TFS_USER_LOCK,      true,  false, false, 0,  do_lock,          nullptr},
    {TFS_MKDIR,          true,  true,  false, 0,  do_mkdir,         nullptr},
    // The four values of a delete are always present, and always zero.
    {TFS_DELETE,         true,  true,  false, 24, do_delete,        nullptr},
    {TFS_FIND_FILES,     true,  true,  false, 0,  do_find,          nullptr},
    {TFS_FILE_WOPEN,     true,  true,  true,  0,  do_wopen,         nullptr},
    {TFS_FILE_WRITE,     true,  true,  false, 0,  do_write,         write_refused},
    {TFS_FILE_CLOSE,     true,  false, false, 0,  do_file_close,    nullptr},
    {TFS_EMAIL,          true,  false, false, 0,  do_email,         nullptr},
    // The control tool's reads: the logged-in user's data only, no lock.
    {TFS_READ_RUNS,      true,  false, false, 0,  do_read_runs,     nullptr},
    {TFS_READ_FOLDER,    true,  false, false, 0,  do_read_folder,   nullptr},
    {TFS_READ_BLOCKS,    true,  false, false, 0,  do_read_blocks,   nullptr},
    {TFS_READ_BLOCK,     true,  false, false, 0,  do_read_block,    nullptr},
};
// clang-format on

const request_rule* rule_for(uint8_t type) {
    for (const request_rule& r : kRules)
        if (r.type == type) return &r;
    return nullptr;
}

} // namespace

bool handle_request(conn* c, const srv_request& rq, uint8_t decode_rc) {
    std::vector<uint8_t>& out = c->payload;
    out.clear();
    const request_rule* rule = rule_for(rq.type);
    const bool silent = srv_request_silent(rq);
    uint8_t rc = decode_rc;
    refusal why = REFUSED_MALFORMED;
    if (rc == 0 && !rule) {
        rc = ERR_INVARG; // a request the decoder knows but nothing here serves
    } else if (rc != 0 && read_is_request(rq.type) && !c->authed) {
        rc = ERR_ACCESS; // a read says nothing before a log-in, not even what is malformed
    } else if (rc == 0) {
        // An open starts a file from its first block: data dropped before it
        // belonged to no file the agent goes on with (after a reconnection
        // the agent starts the file it was sending again by itself). The
        // agent never retries a refused open, so refusing it would fail the
        // file for nothing.
        if (rule->clears_bad_handle && c->authed) c->bad_handle = false;
        if (rule->needs_login && !c->authed) {
            rc = ERR_ACCESS;
            why = REFUSED_LOGIN;
        } else if (rule->needs_lock && !holds_lock(c->s, c->id)) {
            rc = ERR_ACCESS;
            why = REFUSED_LOCK;
        } else {
            rc = rule->run(c, rq, &out);
            if (silent) return true;
        }
    }
    if (silent) {
        if (rule && rule->silent_refused) rule->silent_refused(c, rq, why);
        return true; // a refused silent request gets no answer either
    }
    if (rule && rule->answer_len)
        out.assign(rule->answer_len, 0);
    else if (rc != 0)
        out.clear();
    bool sent = send_packet(c, static_cast<uint8_t>(rq.type + TFS_RESPONSE), rq.seq, rc, out);
    if (c->closing) {
        if (c->closing_why) c->why = c->closing_why;
        return false;
    }
    return sent;
}

void drop_listings(conn* c) {
    for (auto& kv : c->lists)
        listing_release(c, &kv.second);
    c->lists.clear();
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

} // namespace serving
