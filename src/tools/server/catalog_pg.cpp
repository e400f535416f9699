// catalog_pg.cpp - the catalog in a PostgreSQL database, shared by every
// serving process of one store.
//
// One connection guarded by a mutex serves every thread of a process; a
// connection the database ended is opened again on the next call. Paths and
// every other name are bytea, so they compare and sort as bytes, as in the
// SQLite catalog. Writes of more than one statement run in one transaction
// that first takes the writers' advisory lock: batches of several processes
// never interleave. Statements are prepared once per connection and take
// their parameters and give their results in binary form.
//
// The user locks live here as leases: a row per (user, destination) with the
// holder, the process that granted it and an expiry on the database's clock.
#include "tools/server/store.h"

#include "common/owner.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace {

// Type ids of the parameters we send (pg_type.h is not a client header).
enum : Oid { OID_BOOL = 16, OID_BYTEA = 17, OID_INT8 = 20, OID_TEXT = 25 };

// The writers' advisory lock: every multi-statement write holds it.
const char* kWriterLock = "SELECT pg_advisory_xact_lock(7461766369)";

struct pg_cat {
    std::string conninfo;
    PGconn* db = nullptr;
    std::map<std::string, std::string> prepared; // SQL text -> statement name
    std::mutex mu;
};

typedef owner<PGresult, PQclear> pg_result;

// Parameters in binary form.
struct args {
    std::vector<Oid> types;
    std::vector<std::string> vals;
    args& i64(int64_t v) {
        std::string b(8, '\0');
        uint64_t u = static_cast<uint64_t>(v);
        for (int i = 7; i >= 0; i--, u >>= 8)
            b[static_cast<size_t>(i)] = static_cast<char>(u & 0xff);
        types.push_back(OID_INT8);
        vals.push_back(b);
        return *this;
    }
    args& bytes(const void* p, size_t n) {
        types.push_back(OID_BYTEA);
        vals.emplace_back(static_cast<const char*>(p), n);
        return *this;
    }
    args& bytes(const std::string& s) { return bytes(s.data(), s.size()); }
    args& text(const std::string& s) {
        types.push_back(OID_TEXT);
        vals.push_back(s);
        return *this;
    }
};

// One statement's result rows, read in binary form.
struct rows {
    pg_result r;
    bool ok = false;
    int n() const { return ok ? PQntuples(r.get()) : 0; }
    int64_t i64(int row, int col) const {
        const unsigned char* p =
            reinterpret_cast<const unsigned char*>(PQgetvalue(r.get(), row, col));
        int len = PQgetlength(r.get(), row, col);
        if (len == 1) return p[0];
        uint64_t u = 0;
        for (int i = 0; i < len && i < 8; i++)
            u = (u << 8) | p[i];
        if (len == 4) return static_cast<int32_t>(static_cast<uint32_t>(u));
        if (len == 2) return static_cast<int16_t>(static_cast<uint16_t>(u));
        return static_cast<int64_t>(u);
    }
    std::string str(int row, int col) const {
        return std::string(PQgetvalue(r.get(), row, col),
                           static_cast<size_t>(PQgetlength(r.get(), row, col)));
    }
    // Rows a command changed.
    int64_t changed() const { return ok ? atoll(PQcmdTuples(r.get())) : 0; }
};

pg_cat* C(void* self) {
    return static_cast<pg_cat*>(self);
}

// Notices of the server are not ours to print.
void no_notices(void*, const char*) {}

// A live connection, opened (again) when there is none or the database
// ended it. A transaction left open by a failed call is rolled back.
bool connected(pg_cat* c) {
    if (c->db && PQstatus(c->db) == CONNECTION_OK) {
        if (PQtransactionStatus(c->db) != PQTRANS_IDLE) PQclear(PQexec(c->db, "ROLLBACK"));
        if (PQstatus(c->db) == CONNECTION_OK) return true;
    }
    if (c->db) PQfinish(c->db);
    c->prepared.clear();
    c->db = PQconnectdb(c->conninfo.c_str());
    if (PQstatus(c->db) != CONNECTION_OK) return false;
    PQsetNoticeProcessor(c->db, no_notices, nullptr);
    return true;
}

rows run_once(pg_cat* c, const char* sql, const args& a) {
    rows out;
    auto it = c->prepared.find(sql);
    if (it == c->prepared.end()) {
        std::string name = "s" + std::to_string(c->prepared.size());
        pg_result p(
            PQprepare(c->db, name.c_str(), sql, static_cast<int>(a.types.size()), a.types.data()));
        if (PQresultStatus(p.get()) != PGRES_COMMAND_OK) return out;
        it = c->prepared.emplace(sql, name).first;
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const std::string& v : a.vals) {
        values.push_back(v.data());
        lengths.push_back(static_cast<int>(v.size()));
        formats.push_back(1);
    }
    out.r.reset(PQexecPrepared(c->db, it->second.c_str(), static_cast<int>(values.size()),
                               values.data(), lengths.data(), formats.data(), 1));
    ExecStatusType st = PQresultStatus(out.r.get());
    out.ok = st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK;
    return out;
}

// Runs one prepared statement. A read outside a transaction that failed
// because the connection was lost runs once more on a new one.
rows run(pg_cat* c, const char* sql, const args& a = args()) {
    bool idle = PQtransactionStatus(c->db) == PQTRANS_IDLE;
    rows out = run_once(c, sql, a);
    if (!out.ok && idle && PQstatus(c->db) == CONNECTION_BAD && strncmp(sql, "SELECT", 6) == 0 &&
        connected(c))
        out = run_once(c, sql, a);
    return out;
}

bool exec(pg_cat* c, const char* sql) {
    pg_result r(PQexec(c->db, sql));
    ExecStatusType st = PQresultStatus(r.get());
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

// Starts a transaction, a write holding the writers' lock. A connection
// found dead here is opened again once: nothing was sent yet.
bool begin_write(pg_cat* c, bool writer = true) {
    for (int attempt = 0; attempt < 2; attempt++) {
        if (exec(c, "BEGIN") && (!writer || exec(c, kWriterLock))) return true;
        if (PQstatus(c->db) != CONNECTION_BAD || !connected(c)) break;
    }
    exec(c, "ROLLBACK");
    return false;
}

bool commit_write(pg_cat* c) {
    if (exec(c, "COMMIT")) return true;
    exec(c, "ROLLBACK");
    return false;
}

void copy20(const std::string& s, uint8_t* out) {
    memset(out, 0, 20);
    memcpy(out, s.data(), std::min<size_t>(20, s.size()));
}

// Parent folder and last name of a stored path ("" is the root).
void split_path(const std::string& path, std::string* parent, std::string* name) {
    size_t k = path.rfind('/');
    if (k == std::string::npos) {
        parent->clear();
        *name = path;
    } else {
        *parent = path.substr(0, k);
        *name = path.substr(k + 1);
    }
}

// The schema in steps: step i brings version i to i + 1. A new catalog runs
// them all; an older one runs those it lacks.
const char* const kSteps[] = {
    // 0 -> 1: the catalog.
    R"(
CREATE TABLE schema_version(version integer NOT NULL);
INSERT INTO schema_version(version) VALUES(0);
CREATE TABLE accounts(number bigserial PRIMARY KEY, name bytea UNIQUE NOT NULL);
CREATE TABLE users(id bigint PRIMARY KEY, name bytea NOT NULL, account bigint NOT NULL,
                   key_digest bytea NOT NULL);
CREATE TABLE stamps(user_id bigint NOT NULL, host bytea NOT NULL, schedule bytea NOT NULL,
                    stamp bigint NOT NULL, PRIMARY KEY(user_id, host, schedule));
CREATE TABLE folders(id bigserial PRIMARY KEY, user_id bigint NOT NULL, path bytea NOT NULL,
                     parent bytea NOT NULL, name bytea NOT NULL, created bigint NOT NULL,
                     removed bigint NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX folders_current ON folders(user_id, path) WHERE removed = 0;
CREATE INDEX folders_children ON folders(user_id, parent) WHERE removed = 0;
CREATE INDEX folders_all ON folders(user_id, path);
CREATE TABLE versions(id bigserial PRIMARY KEY, user_id bigint NOT NULL, path bytea NOT NULL,
                      parent bytea NOT NULL, name bytea NOT NULL, size bigint NOT NULL,
                      mtime bigint NOT NULL, block_size bigint NOT NULL,
                      committed bigint NOT NULL, replaced bigint NOT NULL DEFAULT 0,
                      security bytea NOT NULL DEFAULT '\x',
                      damaged boolean NOT NULL DEFAULT false);
CREATE INDEX versions_path ON versions(user_id, path);
CREATE INDEX versions_children ON versions(user_id, parent) WHERE replaced = 0;
CREATE TABLE blocks(version bigint NOT NULL, idx bigint NOT NULL, digest bytea NOT NULL,
                    md5 bytea NOT NULL, length bigint NOT NULL, PRIMARY KEY(version, idx));
CREATE INDEX blocks_digest ON blocks(digest);
CREATE TABLE damaged_blocks(digest bytea PRIMARY KEY, found bigint NOT NULL);
CREATE TABLE holders(user_id bigint NOT NULL, host bytea NOT NULL, PRIMARY KEY(user_id, host));
CREATE TABLE mail(id bigserial PRIMARY KEY, user_id bigint NOT NULL, schedule_id bigint NOT NULL,
                  recipients bytea NOT NULL, received bigint NOT NULL, body bytea NOT NULL);
)",
    // 1 -> 2: user locks as leases shared by the serving processes.
    R"(
CREATE TABLE leases(user_id bigint NOT NULL, dest bigint NOT NULL, host bytea NOT NULL,
                    frontend text NOT NULL, expires timestamptz NOT NULL,
                    PRIMARY KEY(user_id, dest));
CREATE INDEX leases_holder ON leases(user_id, host);
)",
    // 2 -> 3: stamp epochs, so that a clear of a user's stamps also stops the
    // lock holders that logged in before it from storing one.
    R"(
ALTER TABLE users ADD COLUMN stamp_epoch bigint NOT NULL DEFAULT 0;
ALTER TABLE holders ADD COLUMN epoch bigint NOT NULL DEFAULT 0;
)",
    // 3 -> 4: listings read page by page in name order.
    R"(
CREATE INDEX IF NOT EXISTS folders_page ON folders(user_id, parent, name) WHERE removed = 0;
CREATE INDEX IF NOT EXISTS versions_page ON versions(user_id, parent, name) WHERE replaced = 0;
)",
    // 4 -> 5: the outbox, a delivery per recipient of each stored mail. A
    // claim (claimed_by, claim_until on the database's clock) marks one that
    // a mailer of some serving process is sending. Mail stored before stays
    // unqueued.
    R"(
CREATE TABLE IF NOT EXISTS mail_delivery(
    mail bigint NOT NULL, idx bigint NOT NULL, recipient bytea NOT NULL,
    state bigint NOT NULL DEFAULT 0, attempts bigint NOT NULL DEFAULT 0,
    queued bigint NOT NULL, next_try bigint NOT NULL, last_try bigint NOT NULL DEFAULT 0,
    sent bigint NOT NULL DEFAULT 0, reply bytea NOT NULL DEFAULT '\x',
    claimed_by text NOT NULL DEFAULT '', claim_until bigint NOT NULL DEFAULT 0,
    PRIMARY KEY(mail, idx));
CREATE INDEX IF NOT EXISTS mail_delivery_due ON mail_delivery(next_try) WHERE state IN (0, 2);
)",
    // 5 -> 6: the runs of the users' jobs, and the indexes that read a folder
    // as it stood at a time and find the versions that name a block.
    R"(
CREATE TABLE IF NOT EXISTS runs(id bigserial PRIMARY KEY, user_id bigint NOT NULL,
                                destination bigint NOT NULL, host bytea NOT NULL,
                                schedule bytea NOT NULL, started bigint NOT NULL,
                                ended bigint NOT NULL DEFAULT 0,
                                vouched boolean NOT NULL DEFAULT false,
                                files_sent bigint NOT NULL DEFAULT 0,
                                bytes_sent bigint NOT NULL DEFAULT 0,
                                files_skipped bigint NOT NULL DEFAULT 0,
                                deleted bigint NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS runs_user ON runs(user_id, id);
CREATE INDEX IF NOT EXISTS folders_history ON folders(user_id, parent, name);
CREATE INDEX IF NOT EXISTS versions_history ON versions(user_id, parent, name);
)",
    // 6 -> 7: the index of the blocks the local block store keeps in pack
    // files; an older store gets empty tables.
    R"(
CREATE TABLE IF NOT EXISTS packs(id bigserial PRIMARY KEY, name text NOT NULL UNIQUE,
                                 size bigint NOT NULL, sealed boolean NOT NULL DEFAULT false);
CREATE TABLE IF NOT EXISTS packed(digest bytea PRIMARY KEY, pack bigint NOT NULL REFERENCES packs(id),
                                  pos bigint NOT NULL, length bigint NOT NULL);
CREATE INDEX IF NOT EXISTS packed_pack ON packed(pack);
)",
};
const int kSchemaVersion = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);

// ---- users and stamps -------------------------------------------------------

int p_user_add(void* self, const cat_user& u) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    bool ok = run(c, "INSERT INTO accounts(name) VALUES($1) ON CONFLICT (name) DO NOTHING",
                  args().bytes(u.account))
                  .ok &&
              run(c,
                  "INSERT INTO users(id, name, account, key_digest) SELECT $1, $2, number, $3 "
                  "FROM accounts WHERE name = $4 ON CONFLICT (id) DO UPDATE SET "
                  "name = EXCLUDED.name, account = EXCLUDED.account, key_digest = "
                  "EXCLUDED.key_digest",
                  args().i64(u.id).bytes(u.name).bytes(u.key_digest, 20).bytes(u.account))
                  .ok;
    if (!ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_user_get(void* self, uint32_t id, cat_user* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT u.name, a.name, a.number, u.key_digest, u.stamp_epoch FROM users u "
                 "JOIN accounts a ON a.number = u.account WHERE u.id = $1",
                 args().i64(id));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    out->id = id;
    out->name = q.str(0, 0);
    out->account = q.str(0, 1);
    out->account_number = static_cast<uint32_t>(q.i64(0, 2));
    copy20(q.str(0, 3), out->key_digest);
    out->stamp_epoch = static_cast<uint64_t>(q.i64(0, 4));
    return CAT_OK;
}

int p_stamp_get(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                uint32_t* stamp) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *stamp = 0;
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT stamp FROM stamps WHERE user_id = $1 AND host = $2 AND schedule = $3",
                 args().i64(user).bytes(host, 20).bytes(sched));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    *stamp = static_cast<uint32_t>(q.i64(0, 0));
    return CAT_OK;
}

int p_stamp_set(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                uint32_t stamp) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    return run(c,
               "INSERT INTO stamps(user_id, host, schedule, stamp) VALUES($1, $2, $3, $4) "
               "ON CONFLICT (user_id, host, schedule) DO UPDATE SET stamp = EXCLUDED.stamp",
               args().i64(user).bytes(host, 20).bytes(sched).i64(stamp))
                   .ok
               ? CAT_OK
               : CAT_FAIL;
}

int p_stamps_clear(void* self, uint32_t user, const uint8_t* host, const std::string* sched) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    args a;
    a.i64(user);
    if (host) a.bytes(host, 20);
    if (host && sched) a.bytes(*sched);
    const char* sql = !host ? "DELETE FROM stamps WHERE user_id = $1"
                      : !sched
                          ? "DELETE FROM stamps WHERE user_id = $1 AND host = $2"
                          : "DELETE FROM stamps WHERE user_id = $1 AND host = $2 AND schedule = $3";
    if (host) return run(c, sql, a).ok ? CAT_OK : CAT_FAIL;
    // All of them: the epoch moves on in the same transaction, under the
    // writers' lock that stamp_vouch holds too.
    if (!begin_write(c)) return CAT_FAIL;
    if (!run(c, "UPDATE users SET stamp_epoch = stamp_epoch + 1 WHERE id = $1", args().i64(user))
             .ok ||
        !run(c, sql, a).ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_stamp_vouch(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                  uint32_t stamp) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT 1 FROM holders h JOIN users u ON u.id = h.user_id "
                 "WHERE h.user_id = $1 AND h.host = $2 AND h.epoch = u.stamp_epoch",
                 args().i64(user).bytes(host, 20));
    if (!q.ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    if (q.n() == 0) {
        exec(c, "ROLLBACK");
        return CAT_EXISTS;
    }
    if (!run(c,
             "INSERT INTO stamps(user_id, host, schedule, stamp) VALUES($1, $2, $3, $4) "
             "ON CONFLICT (user_id, host, schedule) DO UPDATE SET stamp = EXCLUDED.stamp",
             args().i64(user).bytes(host, 20).bytes(sched).i64(stamp))
             .ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_holder_note(void* self, const cat_holder& h) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    return run(c,
               "INSERT INTO holders(user_id, host, epoch) VALUES($1, $2, $3) "
               "ON CONFLICT DO NOTHING",
               args().i64(h.user).bytes(h.host, 20).i64(static_cast<int64_t>(h.epoch)))
                   .ok
               ? CAT_OK
               : CAT_FAIL;
}

int p_holder_forget(void* self, const cat_holder& h) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    return run(c, "DELETE FROM holders WHERE user_id = $1 AND host = $2",
               args().i64(h.user).bytes(h.host, 20))
                   .ok
               ? CAT_OK
               : CAT_FAIL;
}

int p_holders(void* self, std::vector<cat_holder>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT user_id, host, epoch FROM holders ORDER BY user_id, host");
    for (int i = 0; i < q.n(); i++) {
        cat_holder h;
        h.user = static_cast<uint32_t>(q.i64(i, 0));
        copy20(q.str(i, 1), h.host);
        h.epoch = static_cast<uint64_t>(q.i64(i, 2));
        out->push_back(h);
    }
    return q.ok ? CAT_OK : CAT_FAIL;
}

// ---- tree -------------------------------------------------------------------

// -1 when the database failed, else 0 / 1.
int folder_exists(pg_cat* c, uint32_t user, const std::string& path) {
    if (path.empty()) return 1;
    rows q = run(c, "SELECT 1 FROM folders WHERE user_id = $1 AND path = $2 AND removed = 0",
                 args().i64(user).bytes(path));
    return q.ok ? q.n() > 0 : -1;
}

int file_exists(pg_cat* c, uint32_t user, const std::string& path) {
    rows q = run(c, "SELECT 1 FROM versions WHERE user_id = $1 AND path = $2 AND replaced = 0",
                 args().i64(user).bytes(path));
    return q.ok ? q.n() > 0 : -1;
}

// The same at a past time (0: now). Rows count from their creation (commit)
// up to, not including, their removal (replacement).
int folder_exists_at(pg_cat* c, uint32_t user, const std::string& path, int64_t at) {
    if (at == 0 || path.empty()) return folder_exists(c, user, path);
    rows q = run(c,
                 "SELECT 1 FROM folders WHERE user_id = $1 AND path = $2 AND created <= $3 AND "
                 "(removed = 0 OR removed > $3)",
                 args().i64(user).bytes(path).i64(at));
    return q.ok ? q.n() > 0 : -1;
}

int file_exists_at(pg_cat* c, uint32_t user, const std::string& path, int64_t at) {
    if (at == 0) return file_exists(c, user, path);
    rows q = run(c,
                 "SELECT 1 FROM versions WHERE user_id = $1 AND path = $2 AND committed <= $3 "
                 "AND (replaced = 0 OR replaced > $3)",
                 args().i64(user).bytes(path).i64(at));
    return q.ok ? q.n() > 0 : -1;
}

// Folders known, inside one write transaction, to be current folders and no
// current files: a batch checks and makes each parent once.
typedef std::set<std::pair<uint32_t, std::string>> known_folders;

// CAT_NOT_DIR when path or one of its parents is a file now, else CAT_OK.
int folders_check(pg_cat* c, uint32_t user, const std::string& path, const known_folders& known) {
    if (path.empty()) return CAT_OK;
    for (size_t k = path.find('/');; k = path.find('/', k + 1)) {
        std::string prefix = path.substr(0, k);
        if (!known.count({user, prefix})) {
            int f = file_exists(c, user, prefix);
            if (f < 0) return CAT_FAIL;
            if (f) return CAT_NOT_DIR;
        }
        if (k == std::string::npos) return CAT_OK;
    }
}

// Inside a write transaction, after folders_check: makes path and its
// missing parents. CAT_OK when path itself was made, CAT_EXISTS when it was
// there.
int folders_make(pg_cat* c, uint32_t user, const std::string& path, int64_t now,
                 known_folders* known) {
    if (path.empty()) return CAT_EXISTS;
    int rc = CAT_EXISTS;
    for (size_t k = path.find('/');; k = path.find('/', k + 1)) {
        std::string prefix = path.substr(0, k), parent, name;
        if (known->count({user, prefix})) {
            rc = CAT_EXISTS;
        } else {
            split_path(prefix, &parent, &name);
            rows q = run(c,
                         "INSERT INTO folders(user_id, path, parent, name, created) "
                         "VALUES($1, $2, $3, $4, $5) ON CONFLICT (user_id, path) WHERE "
                         "removed = 0 DO NOTHING",
                         args().i64(user).bytes(prefix).bytes(parent).bytes(name).i64(now));
            if (!q.ok) return CAT_FAIL;
            rc = q.changed() > 0 ? CAT_OK : CAT_EXISTS;
            known->insert({user, prefix});
        }
        if (k == std::string::npos) return rc;
    }
}

int p_folder_make(void* self, uint32_t user, const std::string& path, int64_t now) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    known_folders known;
    int rc = folders_check(c, user, path, known);
    if (rc == CAT_OK) rc = folders_make(c, user, path, now, &known);
    if (rc != CAT_OK) {
        exec(c, "ROLLBACK");
        return rc;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

// The paths strictly below a folder P lie in ["P/", "P0"): '0' follows '/'.
std::string below_lo(const std::string& path) {
    return path + "/";
}
std::string below_hi(const std::string& path) {
    return path + "0";
}

int p_remove(void* self, uint32_t user, int kind, const std::string& path, int64_t now) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    int64_t changed = 0;
    bool ok = true;
    if (kind == 0) {
        rows q = run(c,
                     "UPDATE versions SET replaced = $1 WHERE user_id = $2 AND path = $3 AND "
                     "replaced = 0",
                     args().i64(now).i64(user).bytes(path));
        ok = q.ok;
        changed = q.changed();
    } else if (!path.empty()) {
        int f = folder_exists(c, user, path);
        ok = f >= 0;
        if (f > 0) {
            rows q = run(
                c,
                "UPDATE folders SET removed = $1 WHERE user_id = $2 AND removed = 0 AND "
                "(path = $3 OR (path >= $4 AND path < $5))",
                args().i64(now).i64(user).bytes(path).bytes(below_lo(path)).bytes(below_hi(path)));
            changed = q.changed();
            ok = q.ok && run(c,
                             "UPDATE versions SET replaced = $1 WHERE user_id = $2 AND "
                             "replaced = 0 AND path >= $3 AND path < $4",
                             args().i64(now).i64(user).bytes(below_lo(path)).bytes(below_hi(path)))
                             .ok;
        }
    }
    if (!ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    if (!commit_write(c)) return CAT_FAIL;
    return changed > 0 ? CAT_OK : CAT_NOT_FOUND;
}

// Children of a folder at time at; the root's children are every path of
// the user with the root as parent.
int list_at(pg_cat* c, uint32_t user, const std::string& path, int64_t at,
            std::vector<cat_entry>* out) {
    args a;
    a.i64(user).bytes(path).i64(at);
    std::string range;
    if (!path.empty()) {
        a.bytes(below_lo(path)).bytes(below_hi(path));
        range = " AND path >= $4 AND path < $5";
    }
    std::string fsql = "SELECT name, created FROM folders WHERE user_id = $1 AND parent = $2 AND "
                       "created <= $3 AND (removed = 0 OR removed > $3)" +
                       range + " ORDER BY id";
    std::string vsql = "SELECT name, mtime, size, damaged FROM versions WHERE user_id = $1 AND "
                       "parent = $2 AND committed <= $3 AND (replaced = 0 OR replaced > $3)" +
                       range + " ORDER BY id";
    rows f = run(c, fsql.c_str(), a);
    rows v = run(c, vsql.c_str(), a);
    if (!f.ok || !v.ok) return CAT_FAIL;
    std::map<std::string, cat_entry> seen;
    for (int i = 0; i < f.n(); i++)
        seen[f.str(i, 0)] =
            cat_entry{f.str(i, 0), true, static_cast<uint32_t>(f.i64(i, 1)), 0, false};
    for (int i = 0; i < v.n(); i++) {
        std::string name = v.str(i, 0);
        auto it = seen.find(name);
        if (it != seen.end() && it->second.folder) continue; // a folder wins, as in the tree
        seen[name] = cat_entry{name, false, static_cast<uint32_t>(v.i64(i, 1)),
                               static_cast<uint64_t>(v.i64(i, 2)), v.i64(i, 3) != 0};
    }
    for (auto& kv : seen)
        out->push_back(kv.second);
    return CAT_OK;
}

// CAT_OK when path was a folder at time at, else CAT_NOT_DIR (a file),
// CAT_NOT_FOUND or CAT_FAIL.
int folder_at(pg_cat* c, uint32_t user, const std::string& path, int64_t at) {
    int d = folder_exists_at(c, user, path, at);
    if (d < 0) return CAT_FAIL;
    if (d) return CAT_OK;
    int f = file_exists_at(c, user, path, at);
    return f < 0 ? CAT_FAIL : f ? CAT_NOT_DIR : CAT_NOT_FOUND;
}

int p_list(void* self, uint32_t user, const std::string& path, int64_t at,
           std::vector<cat_entry>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    int rc = folder_at(c, user, path, at);
    if (rc != CAT_OK) return rc;
    if (at != 0) return list_at(c, user, path, at, out);
    rows f = run(c,
                 "SELECT name, created FROM folders WHERE user_id = $1 AND parent = $2 AND "
                 "removed = 0 ORDER BY id",
                 args().i64(user).bytes(path));
    rows v = run(c,
                 "SELECT name, mtime, size, damaged FROM versions WHERE user_id = $1 AND "
                 "parent = $2 AND replaced = 0 ORDER BY id",
                 args().i64(user).bytes(path));
    if (!f.ok || !v.ok) return CAT_FAIL;
    for (int i = 0; i < f.n(); i++)
        out->push_back(cat_entry{f.str(i, 0), true, static_cast<uint32_t>(f.i64(i, 1)), 0, false});
    for (int i = 0; i < v.n(); i++)
        out->push_back(cat_entry{v.str(i, 0), false, static_cast<uint32_t>(v.i64(i, 1)),
                                 static_cast<uint64_t>(v.i64(i, 2)), v.i64(i, 3) != 0});
    std::stable_sort(out->begin(), out->end(),
                     [](const cat_entry& a, const cat_entry& b) { return a.name < b.name; });
    return CAT_OK;
}

int p_list_page(void* self, uint32_t user, const std::string& path, const std::string& after,
                size_t limit, std::vector<cat_entry>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    int rc = folder_at(c, user, path, 0);
    if (rc != CAT_OK) return rc;
    // bytea compares byte by byte: the agent's names in their byte order.
    rows f = run(c,
                 "SELECT name, created FROM folders WHERE user_id = $1 AND parent = $2 AND "
                 "removed = 0 AND name > $3 ORDER BY name LIMIT $4",
                 args().i64(user).bytes(path).bytes(after).i64(static_cast<int64_t>(limit)));
    rows v = run(c,
                 "SELECT name, mtime, size, damaged FROM versions WHERE user_id = $1 AND "
                 "parent = $2 AND replaced = 0 AND name > $3 ORDER BY name LIMIT $4",
                 args().i64(user).bytes(path).bytes(after).i64(static_cast<int64_t>(limit)));
    if (!f.ok || !v.ok) return CAT_FAIL;
    std::vector<cat_entry> folders, files;
    for (int i = 0; i < f.n(); i++)
        folders.push_back(
            cat_entry{f.str(i, 0), true, static_cast<uint32_t>(f.i64(i, 1)), 0, false});
    for (int i = 0; i < v.n(); i++)
        files.push_back(cat_entry{v.str(i, 0), false, static_cast<uint32_t>(v.i64(i, 1)),
                                  static_cast<uint64_t>(v.i64(i, 2)), v.i64(i, 3) != 0});
    cat_merge_page(std::move(folders), std::move(files), limit, out);
    return CAT_OK;
}

int p_list_count(void* self, uint32_t user, const std::string& path, uint64_t* count) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *count = 0;
    if (!connected(c)) return CAT_FAIL;
    int rc = folder_at(c, user, path, 0);
    if (rc != CAT_OK) return rc;
    rows q = run(c,
                 "SELECT (SELECT count(*) FROM folders WHERE user_id = $1 AND parent = $2 AND "
                 "removed = 0) + (SELECT count(*) FROM versions WHERE user_id = $1 AND "
                 "parent = $2 AND replaced = 0)",
                 args().i64(user).bytes(path));
    if (!q.ok || q.n() != 1) return CAT_FAIL;
    *count = static_cast<uint64_t>(q.i64(0, 0));
    return CAT_OK;
}

bool p_is_folder(void* self, uint32_t user, const std::string& path, int64_t at) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (path.empty()) return true;
    return connected(c) && folder_exists_at(c, user, path, at) > 0;
}

const char* kVersionCols = "SELECT id, path, size, mtime, block_size, committed, replaced, "
                           "damaged, security, user_id FROM versions ";

void read_version(const rows& q, int i, cat_version* v) {
    v->id = q.i64(i, 0);
    v->path = q.str(i, 1);
    v->size = static_cast<uint64_t>(q.i64(i, 2));
    v->mtime = static_cast<uint32_t>(q.i64(i, 3));
    v->block_size = static_cast<uint32_t>(q.i64(i, 4));
    v->committed = q.i64(i, 5);
    v->replaced = q.i64(i, 6);
    v->damaged = q.i64(i, 7) != 0;
    v->security = q.str(i, 8);
    v->blocks.clear();
}

int read_blocks(pg_cat* c, cat_version* v) {
    rows b = run(c,
                 "SELECT b.digest, b.md5, b.length, d.digest IS NOT NULL FROM blocks b "
                 "LEFT JOIN damaged_blocks d ON d.digest = b.digest WHERE b.version = $1 "
                 "ORDER BY b.idx",
                 args().i64(v->id));
    for (int i = 0; i < b.n(); i++) {
        std::string md5 = b.str(i, 1);
        v->blocks.push_back(cat_block{b.str(i, 0), std::vector<uint8_t>(md5.begin(), md5.end()),
                                      static_cast<uint64_t>(b.i64(i, 2)), b.i64(i, 3) != 0});
    }
    return b.ok ? CAT_OK : CAT_FAIL;
}

int p_version_at(void* self, uint32_t user, const std::string& path, int64_t at, cat_version* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    std::string sql = kVersionCols;
    args a;
    a.i64(user).bytes(path);
    if (at == 0) {
        sql += "WHERE user_id = $1 AND path = $2 AND replaced = 0";
    } else {
        sql += "WHERE user_id = $1 AND path = $2 AND committed <= $3 AND (replaced = 0 OR "
               "replaced > $3)";
        a.i64(at);
    }
    sql += " ORDER BY id DESC LIMIT 1";
    rows q = run(c, sql.c_str(), a);
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    read_version(q, 0, out);
    return read_blocks(c, out);
}

int p_history(void* self, uint32_t user, const std::string& path, std::vector<cat_version>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q =
        run(c, (std::string(kVersionCols) + "WHERE user_id = $1 AND path = $2 ORDER BY id").c_str(),
            args().i64(user).bytes(path));
    for (int i = 0; i < q.n(); i++) {
        cat_version v;
        read_version(q, i, &v);
        out->push_back(v);
    }
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_all_current(void* self, uint32_t user, std::vector<std::pair<uint32_t, cat_version>>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 (std::string(kVersionCols) +
                  "WHERE replaced = 0 AND ($1 = 0 OR user_id = $1) ORDER BY user_id, path")
                     .c_str(),
                 args().i64(user));
    if (!q.ok) return CAT_FAIL;
    for (int i = 0; i < q.n(); i++) {
        cat_version v;
        read_version(q, i, &v);
        out->push_back({static_cast<uint32_t>(q.i64(i, 9)), v});
    }
    for (auto& p : *out)
        if (read_blocks(c, &p.second) != CAT_OK) return CAT_FAIL;
    return CAT_OK;
}

// Inside the write transaction: the blocks of a version, up to 64 rows a
// statement.
bool insert_blocks(pg_cat* c, int64_t id, const std::vector<cat_block>& blocks) {
    for (size_t at = 0; at < blocks.size(); at += 64) {
        size_t n = std::min<size_t>(64, blocks.size() - at);
        std::string sql = "INSERT INTO blocks(version, idx, digest, md5, length) VALUES";
        args a;
        a.i64(id);
        for (size_t i = 0; i < n; i++) {
            const cat_block& b = blocks[at + i];
            size_t p = 2 + 4 * i;
            sql += std::string(i ? ", " : " ") + "($1, $" + std::to_string(p) + ", $" +
                   std::to_string(p + 1) + ", $" + std::to_string(p + 2) + ", $" +
                   std::to_string(p + 3) + ")";
            a.i64(static_cast<int64_t>(at + i))
                .bytes(b.digest)
                .bytes(b.md5.data(), b.md5.size())
                .i64(static_cast<int64_t>(b.length));
        }
        if (!run(c, sql.c_str(), a).ok) return false;
    }
    return true;
}

// Inside the write transaction: one version made current. Its checks come
// before any change, so a version dropped for its kind leaves nothing behind:
// the parents, then one statement that refuses a path that is a folder and
// otherwise replaces the current version with the new one.
int commit_one(pg_cat* c, const cat_commit& v, int64_t now, known_folders* known) {
    std::string parent, name;
    split_path(v.path, &parent, &name);
    int rc = folders_check(c, v.user, parent, *known);
    if (rc != CAT_OK) return rc;
    rows q = run(c,
                 "WITH f AS (SELECT 1 FROM folders WHERE user_id = $1 AND path = $2 AND "
                 "removed = 0), r AS (UPDATE versions SET replaced = $8 WHERE user_id = $1 AND "
                 "path = $2 AND replaced = 0 AND NOT EXISTS (SELECT 1 FROM f)) "
                 "INSERT INTO versions(user_id, path, parent, name, size, mtime, block_size, "
                 "committed, security) SELECT $1, $2, $3, $4, $5, $6, $7, $8, $9 "
                 "WHERE NOT EXISTS (SELECT 1 FROM f) RETURNING id",
                 args()
                     .i64(v.user)
                     .bytes(v.path)
                     .bytes(parent)
                     .bytes(name)
                     .i64(static_cast<int64_t>(v.size))
                     .i64(v.mtime)
                     .i64(v.block_size)
                     .i64(now)
                     .bytes(v.security));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FILE;
    int64_t id = q.i64(0, 0);
    known->erase({v.user, v.path});
    rc = folders_make(c, v.user, parent, now, known);
    if (rc != CAT_OK && rc != CAT_EXISTS) return rc;
    if (!insert_blocks(c, id, v.blocks)) return CAT_FAIL;
    // Blocks stored afresh over damaged copies are whole again.
    for (const blk_digest& d : v.repaired)
        if (!run(c, "DELETE FROM damaged_blocks WHERE digest = $1", args().bytes(d)).ok)
            return CAT_FAIL;
    return CAT_OK;
}

int p_commit(void* self, const std::vector<cat_commit>& batch, int64_t now,
             std::vector<int>* results) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    results->assign(batch.size(), CAT_FAIL);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    std::vector<int> got(batch.size(), CAT_FAIL);
    known_folders known;
    for (size_t i = 0; i < batch.size(); i++) {
        // A version whose path (or a parent) is of the other kind now is
        // dropped alone and reported; a database failure drops the whole batch.
        got[i] = commit_one(c, batch[i], now, &known);
        if (got[i] == CAT_FAIL) {
            exec(c, "ROLLBACK");
            return CAT_FAIL;
        }
    }
    if (!commit_write(c)) return CAT_FAIL;
    *results = got;
    return CAT_OK;
}

// ---- damage marks -----------------------------------------------------------

bool p_block_damaged(void* self, const blk_digest& d) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return false;
    return run(c, "SELECT 1 FROM damaged_blocks WHERE digest = $1", args().bytes(d)).n() > 0;
}

int p_damage_record(void* self, const cat_damage& d) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    bool ok = true;
    for (const blk_digest& b : d.bad_blocks)
        ok = ok && run(c,
                       "INSERT INTO damaged_blocks(digest, found) VALUES($1, "
                       "extract(epoch FROM now())::bigint) ON CONFLICT DO NOTHING",
                       args().bytes(b))
                       .ok;
    for (const blk_digest& b : d.good_blocks)
        ok = ok && run(c, "DELETE FROM damaged_blocks WHERE digest = $1", args().bytes(b)).ok;
    const char* mark = "UPDATE versions SET damaged = ($1 <> 0) WHERE id = $2";
    for (int64_t id : d.good_versions)
        ok = ok && run(c, mark, args().i64(0).i64(id)).ok;
    for (int64_t id : d.bad_versions)
        ok = ok && run(c, mark, args().i64(1).i64(id)).ok;
    // Current versions of other users or paths may share a damaged block.
    if (ok && !d.bad_blocks.empty())
        ok = run(c, "UPDATE versions SET damaged = true WHERE replaced = 0 AND NOT damaged "
                    "AND id IN (SELECT b.version FROM blocks b JOIN damaged_blocks d "
                    "ON d.digest = b.digest)")
                 .ok;
    if (!ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

// ---- mail -------------------------------------------------------------------

// Inside a transaction: a delivery per recipient of the mail, queued at
// received.
bool queue_deliveries(pg_cat* c, int64_t mail, const std::string& recipients, int64_t received) {
    std::vector<std::string> to = cat_mail_recipients(recipients);
    for (size_t i = 0; i < to.size(); i++)
        if (!run(c,
                 "INSERT INTO mail_delivery(mail, idx, recipient, queued, next_try) "
                 "VALUES($1, $2, $3, $4, $4) ON CONFLICT (mail, idx) DO NOTHING",
                 args().i64(mail).i64(static_cast<int64_t>(i)).bytes(to[i]).i64(received))
                 .ok)
            return false;
    return true;
}

int p_mail_add(void* self, const cat_mail& m) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    // The mail and its deliveries in one transaction; the outbox takes
    // no writers' lock (its rows are this mail's alone).
    if (!connected(c) || !begin_write(c, false)) return CAT_FAIL;
    rows q = run(c,
                 "INSERT INTO mail(user_id, schedule_id, recipients, received, body) "
                 "VALUES($1, $2, $3, $4, $5) RETURNING id",
                 args()
                     .i64(m.user)
                     .i64(static_cast<int64_t>(m.schedule_id))
                     .bytes(m.recipients)
                     .i64(m.received)
                     .bytes(m.body));
    if (!q.ok || q.n() != 1 || !queue_deliveries(c, q.i64(0, 0), m.recipients, m.received)) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_mail_list(void* self, std::vector<cat_mail>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT id, user_id, schedule_id, recipients, received, "
                    "length(body)::bigint FROM mail ORDER BY id");
    for (int i = 0; i < q.n(); i++) {
        cat_mail m;
        m.id = q.i64(i, 0);
        m.user = static_cast<uint32_t>(q.i64(i, 1));
        m.schedule_id = static_cast<uint64_t>(q.i64(i, 2));
        m.recipients = q.str(i, 3);
        m.received = q.i64(i, 4);
        m.body.assign(static_cast<size_t>(q.i64(i, 5)), '\0');
        out->push_back(m);
    }
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_mail_get(void* self, int64_t id, cat_mail* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT id, user_id, schedule_id, recipients, received, body FROM mail "
                 "WHERE id = $1",
                 args().i64(id));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    out->id = q.i64(0, 0);
    out->user = static_cast<uint32_t>(q.i64(0, 1));
    out->schedule_id = static_cast<uint64_t>(q.i64(0, 2));
    out->recipients = q.str(0, 3);
    out->received = q.i64(0, 4);
    out->body = q.str(0, 5);
    return CAT_OK;
}

// ---- administration ---------------------------------------------------------

int p_user_list(void* self, std::vector<cat_user_summary>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT u.id, u.name, a.name, a.number, u.key_digest, "
                    "(SELECT count(*) FROM versions v WHERE v.user_id = u.id AND v.replaced = 0), "
                    "(SELECT coalesce(sum(v.size), 0)::bigint FROM versions v WHERE "
                    "v.user_id = u.id AND v.replaced = 0), "
                    "(SELECT count(*) FROM versions v WHERE v.user_id = u.id), "
                    "(SELECT count(*) FROM stamps s WHERE s.user_id = u.id), "
                    "(SELECT count(*) FROM mail m WHERE m.user_id = u.id) "
                    "FROM users u JOIN accounts a ON a.number = u.account ORDER BY u.id");
    for (int i = 0; i < q.n(); i++) {
        cat_user_summary su;
        su.user.id = static_cast<uint32_t>(q.i64(i, 0));
        su.user.name = q.str(i, 1);
        su.user.account = q.str(i, 2);
        su.user.account_number = static_cast<uint32_t>(q.i64(i, 3));
        copy20(q.str(i, 4), su.user.key_digest);
        su.files = static_cast<uint64_t>(q.i64(i, 5));
        su.bytes = static_cast<uint64_t>(q.i64(i, 6));
        su.versions = static_cast<uint64_t>(q.i64(i, 7));
        su.stamps = static_cast<uint64_t>(q.i64(i, 8));
        su.mails = static_cast<uint64_t>(q.i64(i, 9));
        out->push_back(su);
    }
    return q.ok ? CAT_OK : CAT_FAIL;
}

// Inside the write transaction: the rows of a user gone; *orphans the
// digests only that user's versions named.
bool remove_user_rows(pg_cat* c, uint32_t id, std::vector<blk_digest>* orphans) {
    // Blocks are content-addressed: another user with the same account key
    // stores the same bytes under the same digest.
    rows q = run(c,
                 "SELECT digest FROM blocks WHERE version IN "
                 "(SELECT id FROM versions WHERE user_id = $1) EXCEPT "
                 "SELECT digest FROM blocks WHERE version IN "
                 "(SELECT id FROM versions WHERE user_id <> $1)",
                 args().i64(id));
    if (!q.ok) return false;
    for (int i = 0; i < q.n(); i++)
        orphans->push_back(q.str(i, 0));
    static const char* const kDeletes[] = {
        "DELETE FROM blocks WHERE version IN (SELECT id FROM versions WHERE user_id = $1)",
        "DELETE FROM versions WHERE user_id = $1",
        "DELETE FROM folders WHERE user_id = $1",
        "DELETE FROM stamps WHERE user_id = $1",
        "DELETE FROM holders WHERE user_id = $1",
        "DELETE FROM leases WHERE user_id = $1",
        "DELETE FROM mail_delivery WHERE mail IN (SELECT id FROM mail WHERE user_id = $1)",
        "DELETE FROM mail WHERE user_id = $1",
        "DELETE FROM runs WHERE user_id = $1",
        "DELETE FROM users WHERE id = $1",
    };
    for (const char* sql : kDeletes)
        if (!run(c, sql, args().i64(id)).ok) return false;
    // A damage mark of a block nobody names would outlive the block.
    for (const blk_digest& d : *orphans)
        if (!run(c, "DELETE FROM damaged_blocks WHERE digest = $1", args().bytes(d)).ok)
            return false;
    return true;
}

int p_user_remove(void* self, uint32_t id, std::vector<blk_digest>* orphans) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    orphans->clear();
    if (!connected(c) || !begin_write(c)) return CAT_FAIL;
    rows q = run(c, "SELECT 1 FROM users WHERE id = $1", args().i64(id));
    if (!q.ok || q.n() == 0) {
        exec(c, "ROLLBACK");
        return q.ok ? CAT_NOT_FOUND : CAT_FAIL;
    }
    if (!remove_user_rows(c, id, orphans)) {
        exec(c, "ROLLBACK");
        orphans->clear();
        return CAT_FAIL;
    }
    if (!commit_write(c)) {
        orphans->clear();
        return CAT_FAIL;
    }
    return CAT_OK;
}

int p_tree(void* self, uint32_t user, const std::string& path, int64_t at,
           std::vector<cat_tree_entry>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    int rc = folder_at(c, user, path, at);
    if (rc != CAT_OK) return rc;
    args a;
    a.i64(user);
    std::string fsql = "SELECT path, created FROM folders WHERE user_id = $1 AND ";
    std::string vsql = "SELECT id, path, size, mtime, committed, damaged FROM versions WHERE "
                       "user_id = $1 AND ";
    int n = 2;
    if (!path.empty()) {
        a.bytes(below_lo(path)).bytes(below_hi(path));
        fsql += "path >= $2 AND path < $3 AND ";
        vsql += "path >= $2 AND path < $3 AND ";
        n = 4;
    }
    std::string t = "$" + std::to_string(n);
    if (at == 0) {
        fsql += "removed = 0";
        vsql += "replaced = 0";
    } else {
        a.i64(at);
        fsql += "created <= " + t + " AND (removed = 0 OR removed > " + t + ")";
        vsql += "committed <= " + t + " AND (replaced = 0 OR replaced > " + t + ")";
    }
    vsql += " ORDER BY id";
    rows f = run(c, fsql.c_str(), a);
    rows v = run(c, vsql.c_str(), a);
    if (!f.ok || !v.ok) return CAT_FAIL;
    std::map<std::string, cat_tree_entry> seen;
    for (int i = 0; i < f.n(); i++) {
        std::string p = f.str(i, 0);
        seen[p] = cat_tree_entry{p, true, 0, 0, static_cast<uint32_t>(f.i64(i, 1)), 0, false};
    }
    for (int i = 0; i < v.n(); i++) {
        std::string p = v.str(i, 1);
        auto it = seen.find(p);
        if (it != seen.end() && it->second.folder) continue; // a folder wins, as in list
        seen[p] = cat_tree_entry{p,
                                 false,
                                 v.i64(i, 0),
                                 static_cast<uint64_t>(v.i64(i, 2)),
                                 static_cast<uint32_t>(v.i64(i, 3)),
                                 v.i64(i, 4),
                                 v.i64(i, 5) != 0};
    }
    out->reserve(seen.size());
    for (auto& kv : seen)
        out->push_back(kv.second);
    return CAT_OK;
}

int p_stamps(void* self, uint32_t user, std::vector<cat_stamp>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT host, schedule, stamp FROM stamps WHERE user_id = $1 "
                 "ORDER BY stamp DESC, schedule",
                 args().i64(user));
    for (int i = 0; i < q.n(); i++) {
        cat_stamp st;
        copy20(q.str(i, 0), st.host);
        st.schedule = q.str(i, 1);
        st.stamp = static_cast<uint32_t>(q.i64(i, 2));
        out->push_back(st);
    }
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_mail_of(void* self, uint32_t user, std::vector<int64_t>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT id FROM mail WHERE user_id = $1 ORDER BY id DESC", args().i64(user));
    for (int i = 0; i < q.n(); i++)
        out->push_back(q.i64(i, 0));
    return q.ok ? CAT_OK : CAT_FAIL;
}

// ---- leases -----------------------------------------------------------------

int p_lease_take(void* self, const cat_holder& h, const std::vector<uint32_t>& dests,
                 const std::string& frontend, uint32_t ttl_ms) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    // Leases do not wait behind a commit batch: the rows' own locks order
    // the takers.
    if (!connected(c) || !begin_write(c, false)) return CAT_FAIL;
    // In one order, so that two takes of overlapping sets wait for each
    // other instead of deadlocking.
    std::vector<uint32_t> sorted(dests);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    int rc = CAT_OK;
    for (uint32_t d : sorted) {
        // Granted when free, expired or the holder's already; the row lock
        // of the conflict makes a second taker wait and then see this one.
        rows q =
            run(c,
                "INSERT INTO leases(user_id, dest, host, frontend, expires) "
                "VALUES($1, $2, $3, $4, clock_timestamp() + $5::float8 * interval '1 millisecond') "
                "ON CONFLICT (user_id, dest) DO UPDATE SET host = EXCLUDED.host, "
                "frontend = EXCLUDED.frontend, expires = EXCLUDED.expires "
                "WHERE leases.expires <= clock_timestamp() OR leases.host = EXCLUDED.host",
                args().i64(h.user).i64(d).bytes(h.host, 20).text(frontend).i64(ttl_ms));
        if (!q.ok) {
            rc = CAT_FAIL;
            break;
        }
        if (q.changed() == 0) {
            rc = CAT_EXISTS;
            break;
        }
    }
    if (rc != CAT_OK) {
        exec(c, "ROLLBACK");
        return rc;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_lease_renew(void* self, const cat_holder& h, const std::string& frontend, uint32_t ttl_ms,
                  std::vector<uint32_t>* dests) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    dests->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q =
        run(c,
            "UPDATE leases SET frontend = $3, expires = greatest(expires, "
            "clock_timestamp() + $4::float8 * interval '1 millisecond') WHERE user_id = $1 AND "
            "host = $2 AND expires > clock_timestamp() RETURNING dest",
            args().i64(h.user).bytes(h.host, 20).text(frontend).i64(ttl_ms));
    for (int i = 0; i < q.n(); i++)
        dests->push_back(static_cast<uint32_t>(q.i64(i, 0)));
    std::sort(dests->begin(), dests->end());
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_lease_release(void* self, const cat_holder& h) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    return run(c, "DELETE FROM leases WHERE user_id = $1 AND host = $2",
               args().i64(h.user).bytes(h.host, 20))
                   .ok
               ? CAT_OK
               : CAT_FAIL;
}

// ---- outbox -----------------------------------------------------------------

#define DELIVERY_COLUMNS                                                                           \
    "mail, idx, recipient, state, attempts, queued, next_try, last_try, sent, reply"

cat_delivery read_delivery(const rows& q, int i) {
    cat_delivery d;
    d.mail = q.i64(i, 0);
    d.idx = static_cast<uint32_t>(q.i64(i, 1));
    d.recipient = q.str(i, 2);
    d.state = static_cast<int>(q.i64(i, 3));
    d.attempts = static_cast<uint32_t>(q.i64(i, 4));
    d.queued = q.i64(i, 5);
    d.next_try = q.i64(i, 6);
    d.last_try = q.i64(i, 7);
    d.sent = q.i64(i, 8);
    d.reply = q.str(i, 9);
    return d;
}

// Several serving processes run a mailer each. The claim is taken in one
// statement: rows another claimer has locked at that moment are skipped
// (SKIP LOCKED), and a row claimed before is passed over until its claim
// expires on the database's clock, so skewed process clocks agree on it.
// The claim, not a transaction, covers the sending, which may take minutes.
int p_outbox_claim(void* self, int64_t now, uint32_t limit, const std::string& worker,
                   uint32_t claim_s, std::vector<cat_delivery>* out, int64_t* next_due) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    *next_due = 0;
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "UPDATE mail_delivery d SET claimed_by = $1, claim_until = "
                 "extract(epoch FROM clock_timestamp())::bigint + $2 FROM ("
                 "SELECT mail, idx FROM mail_delivery WHERE state IN (0, 2) AND next_try <= $3 "
                 "AND claim_until <= extract(epoch FROM clock_timestamp())::bigint "
                 "ORDER BY next_try, mail, idx LIMIT $4 FOR UPDATE SKIP LOCKED) due "
                 "WHERE d.mail = due.mail AND d.idx = due.idx RETURNING "
                 "d.mail, d.idx, d.recipient, d.state, d.attempts, d.queued, d.next_try, "
                 "d.last_try, d.sent, d.reply",
                 args().text(worker).i64(claim_s).i64(now).i64(limit));
    if (!q.ok) return CAT_FAIL;
    for (int i = 0; i < q.n(); i++)
        out->push_back(read_delivery(q, i));
    std::sort(out->begin(), out->end(), [](const cat_delivery& a, const cat_delivery& b) {
        return a.next_try != b.next_try ? a.next_try < b.next_try
               : a.mail != b.mail       ? a.mail < b.mail
                                        : a.idx < b.idx;
    });
    rows n = run(c, "SELECT coalesce(min(next_try), 0)::bigint FROM mail_delivery WHERE "
                    "state IN (0, 2) AND claim_until <= extract(epoch FROM clock_timestamp())");
    if (n.ok && n.n() == 1) *next_due = n.i64(0, 0);
    return CAT_OK;
}

int p_outbox_record(void* self, const cat_delivery& d, const std::string& worker) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "UPDATE mail_delivery SET state = $3, attempts = $4, next_try = $5, "
                 "last_try = $6, sent = $7, reply = $8, claimed_by = '', claim_until = 0 "
                 "WHERE mail = $1 AND idx = $2 AND claimed_by = $9",
                 args()
                     .i64(d.mail)
                     .i64(d.idx)
                     .i64(d.state)
                     .i64(d.attempts)
                     .i64(d.next_try)
                     .i64(d.last_try)
                     .i64(d.sent)
                     .bytes(d.reply)
                     .text(worker));
    if (!q.ok) return CAT_FAIL;
    return q.changed() == 1 ? CAT_OK : CAT_NOT_FOUND;
}

int p_outbox_list(void* self, int64_t mail, std::vector<cat_delivery>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT " DELIVERY_COLUMNS " FROM mail_delivery WHERE $1 = 0 OR mail = $1 "
                 "ORDER BY mail, idx",
                 args().i64(mail));
    for (int i = 0; i < q.n(); i++)
        out->push_back(read_delivery(q, i));
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_outbox_retry(void* self, int64_t mail, int64_t now, uint32_t* queued) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *queued = 0;
    if (!connected(c) || !begin_write(c, false)) return CAT_FAIL;
    rows m = run(c,
                 "SELECT recipients, (SELECT count(*) FROM mail_delivery WHERE mail = $1) "
                 "FROM mail WHERE id = $1 FOR UPDATE",
                 args().i64(mail));
    int result = !m.ok ? CAT_FAIL : m.n() == 0 ? CAT_NOT_FOUND : CAT_OK;
    // A mail stored before the outbox existed has no deliveries yet.
    if (result == CAT_OK && m.i64(0, 1) == 0 && !queue_deliveries(c, mail, m.str(0, 0), now))
        result = CAT_FAIL;
    if (result == CAT_OK) {
        rows n;
        bool ok = run(c,
                      "UPDATE mail_delivery SET state = 0, attempts = 0, queued = $2, "
                      "next_try = $2, reply = '\\x' WHERE mail = $1 AND state IN (3, 4, 5)",
                      args().i64(mail).i64(now))
                      .ok &&
                  run(c, "UPDATE mail_delivery SET next_try = $2 WHERE mail = $1 AND state = 2",
                      args().i64(mail).i64(now))
                      .ok &&
                  (n = run(c,
                           "SELECT count(*) FROM mail_delivery WHERE mail = $1 AND "
                           "state IN (0, 2)",
                           args().i64(mail)))
                      .ok &&
                  n.n() == 1;
        if (!ok)
            result = CAT_FAIL;
        else
            *queued = static_cast<uint32_t>(n.i64(0, 0));
    }
    if (result != CAT_OK) {
        exec(c, "ROLLBACK");
        *queued = 0;
        return result;
    }
    if (!commit_write(c)) {
        *queued = 0;
        return CAT_FAIL;
    }
    return CAT_OK;
}

void p_destroy(void* self) {
    pg_cat* c = C(self);
    if (!c) return;
    if (c->db) PQfinish(c->db);
    delete c;
}

// ---- runs and the tree as it stood ------------------------------------------

const char* kRunCols = "SELECT id, user_id, destination, host, schedule, started, ended, "
                       "vouched, files_sent, bytes_sent, files_skipped, deleted FROM runs ";

void read_run(const rows& q, int i, cat_run* r) {
    r->id = q.i64(i, 0);
    r->user = static_cast<uint32_t>(q.i64(i, 1));
    r->destination = static_cast<uint32_t>(q.i64(i, 2));
    copy20(q.str(i, 3), r->host);
    r->schedule = q.str(i, 4);
    r->started = q.i64(i, 5);
    r->ended = q.i64(i, 6);
    r->vouched = q.i64(i, 7) != 0;
    r->files_sent = static_cast<uint64_t>(q.i64(i, 8));
    r->bytes_sent = static_cast<uint64_t>(q.i64(i, 9));
    r->files_skipped = static_cast<uint64_t>(q.i64(i, 10));
    r->deleted = static_cast<uint64_t>(q.i64(i, 11));
}

int p_run_start(void* self, cat_run* r) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "INSERT INTO runs(user_id, destination, host, schedule, started) "
                 "VALUES($1, $2, $3, $4, $5) RETURNING id",
                 args().i64(r->user).i64(r->destination).bytes(r->host, 20).bytes(r->schedule).i64(
                     r->started));
    if (!q.ok || q.n() != 1) return CAT_FAIL;
    r->id = q.i64(0, 0);
    return CAT_OK;
}

int p_run_end(void* self, const cat_run& r) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "UPDATE runs SET ended = $1, vouched = ($2 <> 0), files_sent = $3, "
                 "bytes_sent = $4, files_skipped = $5, deleted = $6 WHERE id = $7",
                 args()
                     .i64(r.ended)
                     .i64(r.vouched ? 1 : 0)
                     .i64(static_cast<int64_t>(r.files_sent))
                     .i64(static_cast<int64_t>(r.bytes_sent))
                     .i64(static_cast<int64_t>(r.files_skipped))
                     .i64(static_cast<int64_t>(r.deleted))
                     .i64(r.id));
    return q.ok ? CAT_OK : CAT_FAIL;
}

int p_runs_page(void* self, uint32_t user, int64_t before, size_t limit,
                std::vector<cat_run>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 (std::string(kRunCols) +
                  "WHERE user_id = $1 AND ($2 = 0 OR id < $2) ORDER BY id DESC LIMIT $3")
                     .c_str(),
                 args().i64(user).i64(before).i64(static_cast<int64_t>(limit)));
    if (!q.ok) return CAT_FAIL;
    for (int i = 0; i < q.n(); i++) {
        cat_run r;
        read_run(q, i, &r);
        out->push_back(r);
    }
    return CAT_OK;
}

int p_run_get(void* self, uint32_t user, int64_t id, cat_run* out, int64_t* next_started) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *next_started = 0;
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, (std::string(kRunCols) + "WHERE user_id = $1 AND id = $2").c_str(),
                 args().i64(user).i64(id));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    read_run(q, 0, out);
    rows n = run(c, "SELECT coalesce(min(started), 0) FROM runs WHERE user_id = $1 AND id > $2",
                 args().i64(user).i64(id));
    if (!n.ok || n.n() != 1) return CAT_FAIL;
    *next_started = n.i64(0, 0);
    return CAT_OK;
}

int p_history_page(void* self, uint32_t user, const std::string& path, int64_t at,
                   const std::string& after, size_t limit, bool history,
                   std::vector<cat_hist_entry>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    int rc = folder_at(c, user, path, at);
    if (rc != CAT_OK) return rc;
    // The newest row of each name made by then; it was there at the time
    // unless removed (replaced without a newer one) by then.
    const args a = args().i64(user).bytes(path).bytes(after).i64(at).i64(
        static_cast<int64_t>(limit)).i64(history ? 1 : 0);
    rows f = run(c,
                 "SELECT f.name, f.created, f.removed, EXISTS(SELECT 1 FROM folders g WHERE "
                 "g.user_id = $1 AND g.path = f.path AND g.removed = 0) FROM folders f "
                 "WHERE f.user_id = $1 AND f.parent = $2 AND f.name > $3 AND f.created <= $4 AND "
                 "f.id = (SELECT max(y.id) FROM folders y WHERE y.user_id = $1 AND "
                 "y.path = f.path AND y.created <= $4) AND ($6 = 1 OR f.removed = 0 OR "
                 "f.removed > $4) ORDER BY f.name LIMIT $5",
                 a);
    rows v = run(c,
                 "SELECT v.name, v.mtime, v.size, v.damaged, v.committed, v.replaced, v.id, "
                 "EXISTS(SELECT 1 FROM versions w WHERE w.user_id = $1 AND w.path = v.path AND "
                 "w.replaced = 0) FROM versions v "
                 "WHERE v.user_id = $1 AND v.parent = $2 AND v.name > $3 AND v.committed <= $4 "
                 "AND v.id = (SELECT max(x.id) FROM versions x WHERE x.user_id = $1 AND "
                 "x.path = v.path AND x.committed <= $4) AND ($6 = 1 OR v.replaced = 0 OR "
                 "v.replaced > $4) ORDER BY v.name LIMIT $5",
                 a);
    if (!f.ok || !v.ok) return CAT_FAIL;
    std::vector<cat_hist_entry> folders, files;
    for (int i = 0; i < f.n(); i++) {
        cat_hist_entry e;
        e.name = f.str(i, 0);
        e.folder = true;
        e.mtime = static_cast<uint32_t>(f.i64(i, 1));
        const int64_t removed = f.i64(i, 2);
        e.gone = removed != 0 && removed <= at;
        e.deleted_later = !e.gone && f.i64(i, 3) == 0;
        folders.push_back(e);
    }
    for (int i = 0; i < v.n(); i++) {
        cat_hist_entry e;
        e.name = v.str(i, 0);
        e.mtime = static_cast<uint32_t>(v.i64(i, 1));
        e.size = static_cast<uint64_t>(v.i64(i, 2));
        e.damaged = v.i64(i, 3) != 0;
        e.committed = v.i64(i, 4);
        const int64_t replaced = v.i64(i, 5);
        e.version = v.i64(i, 6);
        e.gone = replaced != 0 && replaced <= at;
        e.deleted_later = !e.gone && v.i64(i, 7) == 0;
        files.push_back(e);
    }
    cat_merge_history(std::move(folders), std::move(files), limit, out);
    return CAT_OK;
}

int p_block_of_user(void* self, uint32_t user, const blk_digest& d, uint64_t* length) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *length = 0;
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT b.length FROM blocks b JOIN versions v ON v.id = b.version "
                 "WHERE b.digest = $1 AND v.user_id = $2 LIMIT 1",
                 args().bytes(d).i64(user));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    *length = static_cast<uint64_t>(q.i64(0, 0));
    return CAT_OK;
}

// ---- packed blocks ----------------------------------------------------------

int p_packed_get(void* self, const blk_digest& d, cat_packed* out, std::string* pack_name) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "SELECT p.pack, p.pos, p.length, k.name FROM packed p "
                 "JOIN packs k ON k.id = p.pack WHERE p.digest = $1",
                 args().bytes(d));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_NOT_FOUND;
    out->digest = d;
    out->pack = q.i64(0, 0);
    out->pos = static_cast<uint64_t>(q.i64(0, 1));
    out->length = static_cast<uint64_t>(q.i64(0, 2));
    out->replace = false;
    *pack_name = q.str(0, 3);
    return CAT_OK;
}

int p_packed_add(void* self, int64_t pack, uint64_t size, const std::vector<cat_packed>& rows_in) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c) || !begin_write(c, false)) return CAT_FAIL;
    bool ok = true;
    for (const cat_packed& r : rows_in) {
        args a;
        a.bytes(r.digest)
            .i64(pack)
            .i64(static_cast<int64_t>(r.pos))
            .i64(static_cast<int64_t>(r.length));
        ok = ok && run(c,
                       r.replace ? "INSERT INTO packed(digest, pack, pos, length) "
                                   "VALUES($1, $2, $3, $4) ON CONFLICT (digest) DO UPDATE SET "
                                   "pack = excluded.pack, pos = excluded.pos, "
                                   "length = excluded.length"
                                 : "INSERT INTO packed(digest, pack, pos, length) "
                                   "VALUES($1, $2, $3, $4) ON CONFLICT (digest) DO NOTHING",
                       a)
                       .ok;
    }
    ok = ok && run(c, "UPDATE packs SET size = greatest(size, $1) WHERE id = $2",
                   args().i64(static_cast<int64_t>(size)).i64(pack))
                   .ok;
    if (!ok) {
        exec(c, "ROLLBACK");
        return CAT_FAIL;
    }
    return commit_write(c) ? CAT_OK : CAT_FAIL;
}

int p_packed_remove(void* self, const blk_digest& d) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    return run(c, "DELETE FROM packed WHERE digest = $1", args().bytes(d)).ok ? CAT_OK : CAT_FAIL;
}

int p_pack_register(void* self, const std::string& name, int64_t* id) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c,
                 "INSERT INTO packs(name, size) VALUES($1, 0) ON CONFLICT (name) DO NOTHING "
                 "RETURNING id",
                 args().text(name));
    if (!q.ok) return CAT_FAIL;
    if (q.n() == 0) return CAT_EXISTS;
    *id = q.i64(0, 0);
    return CAT_OK;
}

int p_pack_seal(void* self, int64_t id, uint64_t size) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "UPDATE packs SET sealed = true, size = $1 WHERE id = $2",
                 args().i64(static_cast<int64_t>(size)).i64(id));
    if (!q.ok) return CAT_FAIL;
    return q.changed() ? CAT_OK : CAT_NOT_FOUND;
}

int p_packs_unsealed(void* self, std::vector<cat_pack>* out) {
    pg_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!connected(c)) return CAT_FAIL;
    rows q = run(c, "SELECT id, name, size FROM packs WHERE NOT sealed ORDER BY id");
    if (!q.ok) return CAT_FAIL;
    for (int i = 0; i < q.n(); i++) {
        cat_pack p;
        p.id = q.i64(i, 0);
        p.name = q.str(i, 1);
        p.size = static_cast<uint64_t>(q.i64(i, 2));
        out->push_back(p);
    }
    return CAT_OK;
}

const catalog_ops pg_ops = {
    p_user_add,      p_user_get,      p_stamp_get,     p_stamp_set,     p_stamps_clear,
    p_stamp_vouch,   p_holder_note,   p_holder_forget, p_holders,       p_folder_make,
    p_remove,        p_list,          p_is_folder,     p_version_at,    p_history,
    p_all_current,   p_commit,        p_block_damaged, p_damage_record, p_mail_add,
    p_mail_list,     p_mail_get,      p_user_list,     p_user_remove,   p_tree,
    p_stamps,        p_mail_of,       p_destroy,       p_lease_take,    p_lease_renew,
    p_lease_release, p_list_page,     p_list_count,    p_outbox_claim,  p_outbox_record,
    p_outbox_list,   p_outbox_retry,  p_run_start,     p_run_end,       p_runs_page,
    p_run_get,       p_history_page,  p_block_of_user, p_packed_get,    p_packed_add,
    p_packed_remove, p_pack_register, p_pack_seal,     p_packs_unsealed};

std::string db_error(pg_cat* c) {
    std::string e = c->db ? PQerrorMessage(c->db) : "out of memory";
    while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
        e.pop_back();
    return e;
}

// The schema version, -1 when the catalog has none (not made), -2 when the
// database failed.
int schema_version(pg_cat* c) {
    rows t = run(c, "SELECT to_regclass('schema_version') IS NOT NULL");
    if (!t.ok || t.n() != 1) return -2;
    if (t.i64(0, 0) == 0) return -1;
    rows q = run(c, "SELECT version::bigint FROM schema_version");
    if (!q.ok) return -2;
    return q.n() == 1 ? static_cast<int>(q.i64(0, 0)) : -1;
}

// Brings the schema from its version to ours in one transaction under the
// writers' lock; the version is read again inside it, so two processes
// opening one old catalog migrate it once. create: a database with no schema
// yet gets it; one that has it is joined (another frontend's init).
bool migrate(pg_cat* c, bool create, std::string* err) {
    if (!begin_write(c)) {
        *err = "cannot open the catalog: " + db_error(c);
        return false;
    }
    int v = schema_version(c);
    bool ok = v >= -1;
    if (!ok) *err = "cannot read the catalog's schema version: " + db_error(c);
    if (ok && !create && v == -1) {
        *err = "the database holds no catalog (not made by init)";
        ok = false;
    } else if (ok && v > kSchemaVersion) {
        *err = "the catalog was made by a newer tavni-server (schema version " + std::to_string(v) +
               ")";
        ok = false;
    }
    for (int step = std::max(v, 0); ok && step < kSchemaVersion; step++) {
        if (!exec(c, kSteps[step]) ||
            !run(c, "UPDATE schema_version SET version = $1::int", args().i64(step + 1)).ok) {
            *err = "cannot bring the catalog to schema version " + std::to_string(step + 1) + ": " +
                   db_error(c);
            ok = false;
        }
    }
    if (!ok) {
        exec(c, "ROLLBACK");
        return false;
    }
    if (!commit_write(c)) {
        *err = "cannot bring the catalog up to date: " + db_error(c);
        return false;
    }
    return true;
}

} // namespace

catalog catalog_pg_open(const std::string& conninfo, bool create, std::string* err) {
    pg_cat* c = new pg_cat();
    c->conninfo = conninfo;
    if (!connected(c)) {
        *err = "cannot connect to the catalog database: " + db_error(c);
        p_destroy(c);
        return catalog{nullptr, nullptr};
    }
    if (!migrate(c, create, err)) {
        p_destroy(c);
        return catalog{nullptr, nullptr};
    }
    return catalog{&pg_ops, c};
}
