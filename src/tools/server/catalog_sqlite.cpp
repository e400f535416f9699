// catalog_sqlite.cpp - the catalog in one SQLite database, DIR/catalog.db.
//
// One connection guarded by a mutex serves every thread; WAL journal with full
// synchronisation, so a committed transaction survives a crash. Files keep
// every version: a new version or a delete only marks the previous one as
// replaced at that time, which is what history and --at read.
#include "tools/server/store.h"

#include "tools/server/catalog_fault_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <cstring>
#include <mutex>

namespace {

struct sql_cat {
    sqlite3* db = nullptr;
    std::mutex mu;
};

// Prepared statements are kept per database and SQL text and only reset
// after use: the catalog runs the same few statements for every file. Every
// use happens under the catalog's mutex; a statement already in use (a nested
// use of the same text) gets a private one, finalised when done.
struct cached_stmt {
    sqlite3_stmt* s;
    bool busy;
};
std::map<std::pair<sqlite3*, std::string>, cached_stmt>& stmt_cache() {
    static std::map<std::pair<sqlite3*, std::string>, cached_stmt> cache;
    return cache;
}
std::mutex& stmt_cache_mu() {
    static std::mutex mu;
    return mu;
}

void stmt_cache_drop(sqlite3* db) {
    std::lock_guard<std::mutex> g(stmt_cache_mu());
    auto& cache = stmt_cache();
    for (auto it = cache.begin(); it != cache.end();) {
        if (it->first.first == db) {
            sqlite3_finalize(it->second.s);
            it = cache.erase(it);
        } else {
            ++it;
        }
    }
}

// One statement for the length of a scope; reset (cached) or finalised
// (private) on every way out.
struct stmt {
    sqlite3_stmt* s = nullptr;
    cached_stmt* cached = nullptr;
    stmt(sqlite3* db, const char* sql) {
        std::lock_guard<std::mutex> g(stmt_cache_mu());
        auto& cache = stmt_cache();
        auto key = std::make_pair(db, std::string(sql));
        auto it = cache.find(key);
        if (it != cache.end() && !it->second.busy) {
            cached = &it->second;
            cached->busy = true;
            s = cached->s;
            return;
        }
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            s = nullptr;
            return;
        }
        if (it == cache.end()) {
            cached = &cache.emplace(key, cached_stmt{s, true}).first->second;
        }
    }
    ~stmt() {
        if (!cached) {
            sqlite3_finalize(s);
            return;
        }
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        std::lock_guard<std::mutex> g(stmt_cache_mu());
        cached->busy = false;
    }
    stmt(const stmt&) = delete;
    stmt& operator=(const stmt&) = delete;
    bool ok() const { return s != nullptr; }
    void bind(int i, int64_t v) { sqlite3_bind_int64(s, i, v); }
    void bind(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bind_blob(int i, const void* p, size_t n) {
        sqlite3_bind_blob(s, i, n ? p : "", static_cast<int>(n), SQLITE_TRANSIENT);
    }
    int step() { return s ? sqlite3_step(s) : SQLITE_ERROR; }
    int64_t i64(int c) { return sqlite3_column_int64(s, c); }
    std::string text(int c) {
        const void* p = sqlite3_column_blob(s, c);
        int n = sqlite3_column_bytes(s, c);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }
};

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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

const char* kSchema = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE accounts(number INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL);
CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT NOT NULL, account INTEGER NOT NULL,
                   key_digest BLOB NOT NULL);
CREATE TABLE stamps(user INTEGER NOT NULL, host BLOB NOT NULL, schedule TEXT NOT NULL,
                    stamp INTEGER NOT NULL, PRIMARY KEY(user, host, schedule));
CREATE TABLE folders(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, path TEXT NOT NULL,
                     parent TEXT NOT NULL, name TEXT NOT NULL, created INTEGER NOT NULL,
                     removed INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX folders_current ON folders(user, path) WHERE removed = 0;
CREATE INDEX folders_children ON folders(user, parent) WHERE removed = 0;
CREATE TABLE versions(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, path TEXT NOT NULL,
                      parent TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL,
                      mtime INTEGER NOT NULL, block_size INTEGER NOT NULL,
                      committed INTEGER NOT NULL, replaced INTEGER NOT NULL DEFAULT 0);
CREATE INDEX versions_path ON versions(user, path);
CREATE INDEX versions_children ON versions(user, parent) WHERE replaced = 0;
CREATE TABLE blocks(version INTEGER NOT NULL, idx INTEGER NOT NULL, digest TEXT NOT NULL,
                    md5 BLOB NOT NULL, length INTEGER NOT NULL, PRIMARY KEY(version, idx))
                    WITHOUT ROWID;
CREATE TABLE mail(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, schedule_id INTEGER NOT NULL,
                  recipients TEXT NOT NULL, received INTEGER NOT NULL, body BLOB NOT NULL);
INSERT INTO meta(key, value) VALUES('schema_version', '1');
)";

// Version 1 to 2: each version keeps the file's security record and a damage
// mark; damaged blocks and lock holders get tables; folders get an index over
// every row (restore --at reads removed folders too).
const char* kUpgrade2 = R"(
ALTER TABLE versions ADD COLUMN security BLOB NOT NULL DEFAULT x'';
ALTER TABLE versions ADD COLUMN damaged INTEGER NOT NULL DEFAULT 0;
CREATE TABLE damaged_blocks(digest TEXT PRIMARY KEY, found INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE holders(user INTEGER NOT NULL, host BLOB NOT NULL, PRIMARY KEY(user, host))
                     WITHOUT ROWID;
CREATE INDEX folders_all ON folders(user, path);
UPDATE meta SET value = '2' WHERE key = 'schema_version';
)";

// Version 2 to 3: stamp epochs, so that a clear of a user's stamps also stops
// the lock holders that logged in before it from storing one.
const char* kUpgrade3 = R"(
ALTER TABLE users ADD COLUMN stamp_epoch INTEGER NOT NULL DEFAULT 0;
ALTER TABLE holders ADD COLUMN epoch INTEGER NOT NULL DEFAULT 0;
UPDATE meta SET value = '3' WHERE key = 'schema_version';
)";

// The outbox: one row per recipient of a stored mail (cat_delivery). A
// claim (claimed_by, claim_until) marks a delivery a mailer is sending.
const char* kOutboxSchema = R"(
CREATE TABLE IF NOT EXISTS mail_delivery(
    mail INTEGER NOT NULL, idx INTEGER NOT NULL, recipient BLOB NOT NULL,
    state INTEGER NOT NULL DEFAULT 0, attempts INTEGER NOT NULL DEFAULT 0,
    queued INTEGER NOT NULL, next_try INTEGER NOT NULL, last_try INTEGER NOT NULL DEFAULT 0,
    sent INTEGER NOT NULL DEFAULT 0, reply BLOB NOT NULL DEFAULT x'',
    claimed_by TEXT NOT NULL DEFAULT '', claim_until INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY(mail, idx)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS mail_delivery_due ON mail_delivery(next_try) WHERE state IN (0, 2);
)";

// Made where missing when a catalog is opened: the runs of the users' jobs,
// and the indexes that read a folder as it stood at a time (every row of a
// parent, by name) and find the versions that name a block.
const char* kRunsAndHistory = R"(
CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, user INTEGER NOT NULL,
                                destination INTEGER NOT NULL, host BLOB NOT NULL,
                                schedule TEXT NOT NULL, started INTEGER NOT NULL,
                                ended INTEGER NOT NULL DEFAULT 0,
                                vouched INTEGER NOT NULL DEFAULT 0,
                                files_sent INTEGER NOT NULL DEFAULT 0,
                                bytes_sent INTEGER NOT NULL DEFAULT 0,
                                files_skipped INTEGER NOT NULL DEFAULT 0,
                                deleted INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS runs_user ON runs(user, id);
CREATE INDEX IF NOT EXISTS folders_history ON folders(user, parent, name);
CREATE INDEX IF NOT EXISTS versions_history ON versions(user, parent, name);
CREATE INDEX IF NOT EXISTS blocks_digest ON blocks(digest);
)";

// Made where missing when a catalog is opened: the index of the blocks the
// local block store keeps in pack files (an older store gets empty tables).
const char* kPacks = R"(
CREATE TABLE IF NOT EXISTS packs(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,
                                 size INTEGER NOT NULL, sealed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS packed(digest TEXT PRIMARY KEY, pack INTEGER NOT NULL,
                                  pos INTEGER NOT NULL, length INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS packed_pack ON packed(pack);
)";

sql_cat* C(void* self) {
    return static_cast<sql_cat*>(self);
}

// ---- users and stamps -------------------------------------------------------

int c_user_add(void* self, const cat_user& u) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    {
        stmt a(c->db, "INSERT OR IGNORE INTO accounts(name) VALUES(?)");
        a.bind(1, u.account);
        stmt q(c->db, "INSERT OR REPLACE INTO users(id, name, account, key_digest) "
                      "SELECT ?, ?, number, ? FROM accounts WHERE name = ?");
        q.bind(1, u.id);
        q.bind(2, u.name);
        q.bind_blob(3, u.key_digest, 20);
        q.bind(4, u.account);
        if (a.step() != SQLITE_DONE || q.step() != SQLITE_DONE) {
            exec(c->db, "ROLLBACK");
            return CAT_FAIL;
        }
    }
    return exec(c->db, "COMMIT") ? CAT_OK : CAT_FAIL;
}

int c_user_get(void* self, uint32_t id, cat_user* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "SELECT u.name, a.name, a.number, u.key_digest, u.stamp_epoch FROM users u "
                  "JOIN accounts a ON a.number = u.account WHERE u.id = ?");
    q.bind(1, id);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    out->id = id;
    out->name = q.text(0);
    out->account = q.text(1);
    out->account_number = static_cast<uint32_t>(q.i64(2));
    std::string d = q.text(3);
    memset(out->key_digest, 0, 20);
    memcpy(out->key_digest, d.data(), std::min<size_t>(20, d.size()));
    out->stamp_epoch = static_cast<uint64_t>(q.i64(4));
    return CAT_OK;
}

int c_stamp_get(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                uint32_t* stamp) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "SELECT stamp FROM stamps WHERE user = ? AND host = ? AND schedule = ?");
    q.bind(1, user);
    q.bind_blob(2, host, 20);
    q.bind(3, sched);
    *stamp = 0;
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    *stamp = static_cast<uint32_t>(q.i64(0));
    return CAT_OK;
}

int c_stamp_set(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                uint32_t stamp) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "INSERT OR REPLACE INTO stamps(user, host, schedule, stamp) VALUES(?, ?, ?, ?)");
    q.bind(1, user);
    q.bind_blob(2, host, 20);
    q.bind(3, sched);
    q.bind(4, stamp);
    return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_stamps_clear(void* self, uint32_t user, const uint8_t* host, const std::string* sched) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    const char* sql = !host ? "DELETE FROM stamps WHERE user = ?1"
                      : !sched
                          ? "DELETE FROM stamps WHERE user = ?1 AND host = ?2"
                          : "DELETE FROM stamps WHERE user = ?1 AND host = ?2 AND schedule = ?3";
    if (host) {
        stmt q(c->db, sql);
        q.bind(1, user);
        q.bind_blob(2, host, 20);
        if (sched) q.bind(3, *sched);
        return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
    }
    // All of them: the epoch moves on in the same transaction.
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool ok;
    {
        stmt e(c->db, "UPDATE users SET stamp_epoch = stamp_epoch + 1 WHERE id = ?");
        e.bind(1, user);
        stmt q(c->db, sql);
        q.bind(1, user);
        ok = e.step() == SQLITE_DONE && q.step() == SQLITE_DONE;
    }
    if (!ok || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        return CAT_FAIL;
    }
    return CAT_OK;
}

int c_stamp_vouch(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                  uint32_t stamp) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    int rc = CAT_FAIL;
    {
        stmt q(c->db, "SELECT 1 FROM holders h JOIN users u ON u.id = h.user "
                      "WHERE h.user = ? AND h.host = ? AND h.epoch = u.stamp_epoch");
        q.bind(1, user);
        q.bind_blob(2, host, 20);
        const int found = q.step();
        if (found == SQLITE_DONE) {
            rc = CAT_EXISTS;
        } else if (found == SQLITE_ROW) {
            stmt w(c->db,
                   "INSERT OR REPLACE INTO stamps(user, host, schedule, stamp) VALUES(?, ?, ?, ?)");
            w.bind(1, user);
            w.bind_blob(2, host, 20);
            w.bind(3, sched);
            w.bind(4, stamp);
            if (w.step() == SQLITE_DONE) rc = CAT_OK;
        }
    }
    if (rc != CAT_OK || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        return rc == CAT_OK ? CAT_FAIL : rc;
    }
    return CAT_OK;
}

int c_holder_note(void* self, const cat_holder& h) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "INSERT OR IGNORE INTO holders(user, host, epoch) VALUES(?, ?, ?)");
    q.bind(1, h.user);
    q.bind_blob(2, h.host, 20);
    q.bind(3, static_cast<int64_t>(h.epoch));
    return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_holder_forget(void* self, const cat_holder& h) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "DELETE FROM holders WHERE user = ? AND host = ?");
    q.bind(1, h.user);
    q.bind_blob(2, h.host, 20);
    return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_holders(void* self, std::vector<cat_holder>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, "SELECT user, host, epoch FROM holders ORDER BY user, host");
    while (q.step() == SQLITE_ROW) {
        cat_holder h;
        h.user = static_cast<uint32_t>(q.i64(0));
        std::string host = q.text(1);
        memset(h.host, 0, 20);
        memcpy(h.host, host.data(), std::min<size_t>(20, host.size()));
        h.epoch = static_cast<uint64_t>(q.i64(2));
        out->push_back(h);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

// ---- tree -------------------------------------------------------------------

bool folder_exists(sqlite3* db, uint32_t user, const std::string& path) {
    if (path.empty()) return true;
    stmt q(db, "SELECT 1 FROM folders WHERE user = ? AND path = ? AND removed = 0");
    q.bind(1, user);
    q.bind(2, path);
    return q.step() == SQLITE_ROW;
}

bool file_exists(sqlite3* db, uint32_t user, const std::string& path) {
    stmt q(db, "SELECT 1 FROM versions WHERE user = ? AND path = ? AND replaced = 0");
    q.bind(1, user);
    q.bind(2, path);
    return q.step() == SQLITE_ROW;
}

// The same at a past time (0: now). Rows count from their creation (commit)
// up to, not including, their removal (replacement).
bool folder_exists_at(sqlite3* db, uint32_t user, const std::string& path, int64_t at) {
    if (at == 0 || path.empty()) return folder_exists(db, user, path);
    stmt q(db, "SELECT 1 FROM folders WHERE user = ?1 AND path = ?2 AND created <= ?3 AND "
               "(removed = 0 OR removed > ?3)");
    q.bind(1, user);
    q.bind(2, path);
    q.bind(3, at);
    return q.step() == SQLITE_ROW;
}

bool file_exists_at(sqlite3* db, uint32_t user, const std::string& path, int64_t at) {
    if (at == 0) return file_exists(db, user, path);
    stmt q(db, "SELECT 1 FROM versions WHERE user = ?1 AND path = ?2 AND committed <= ?3 AND "
               "(replaced = 0 OR replaced > ?3)");
    q.bind(1, user);
    q.bind(2, path);
    q.bind(3, at);
    return q.step() == SQLITE_ROW;
}

// Inside a transaction: makes path and its parents.
int make_folders(sqlite3* db, uint32_t user, const std::string& path, int64_t now) {
    if (path.empty()) return CAT_EXISTS;
    size_t pos = 0;
    int rc = CAT_EXISTS;
    for (;;) {
        size_t k = path.find('/', pos);
        std::string prefix = path.substr(0, k);
        if (file_exists(db, user, prefix)) return CAT_NOT_DIR;
        if (folder_exists(db, user, prefix)) {
            rc = CAT_EXISTS;
        } else {
            std::string parent, name;
            split_path(prefix, &parent, &name);
            stmt q(db,
                   "INSERT INTO folders(user, path, parent, name, created) VALUES(?, ?, ?, ?, ?)");
            q.bind(1, user);
            q.bind(2, prefix);
            q.bind(3, parent);
            q.bind(4, name);
            q.bind(5, now);
            if (q.step() != SQLITE_DONE) return CAT_FAIL;
            rc = CAT_OK;
        }
        if (k == std::string::npos) return rc;
        pos = k + 1;
    }
}

int c_folder_make(void* self, uint32_t user, const std::string& path, int64_t now) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    int rc = make_folders(c->db, user, path, now);
    if (rc == CAT_OK) {
        if (!exec(c->db, "COMMIT")) {
            exec(c->db, "ROLLBACK");
            return CAT_FAIL;
        }
    } else {
        exec(c->db, "ROLLBACK");
    }
    return rc;
}

int c_remove(void* self, uint32_t user, int kind, const std::string& path, int64_t now) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    int changed = 0;
    if (kind == 0) {
        stmt q(c->db,
               "UPDATE versions SET replaced = ? WHERE user = ? AND path = ? AND replaced = 0");
        q.bind(1, now);
        q.bind(2, user);
        q.bind(3, path);
        q.step();
        changed = sqlite3_changes(c->db);
    } else if (folder_exists(c->db, user, path) && !path.empty()) {
        std::string under = path + "/";
        // Prefixes compare as bytes: substr of a text counts characters, and
        // a name need not even be valid UTF-8.
        stmt f(c->db, "UPDATE folders SET removed = ? WHERE user = ? AND removed = 0 AND "
                      "(path = ? OR substr(CAST(path AS BLOB), 1, ?) = CAST(? AS BLOB))");
        f.bind(1, now);
        f.bind(2, user);
        f.bind(3, path);
        f.bind(4, static_cast<int64_t>(under.size()));
        f.bind(5, under);
        f.step();
        changed = sqlite3_changes(c->db);
        stmt v(c->db, "UPDATE versions SET replaced = ? WHERE user = ? AND replaced = 0 AND "
                      "substr(CAST(path AS BLOB), 1, ?) = CAST(? AS BLOB)");
        v.bind(1, now);
        v.bind(2, user);
        v.bind(3, static_cast<int64_t>(under.size()));
        v.bind(4, under);
        v.step();
    }
    if (!exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        return CAT_FAIL;
    }
    return changed > 0 ? CAT_OK : CAT_NOT_FOUND;
}

// Children of a folder at time at, read through the (user, path) indexes
// over the folder's subtree: a child's path lies between "P/" and "P0". The
// root's children are every path of the user.
int list_at(sqlite3* db, uint32_t user, const std::string& path, int64_t at,
            std::vector<cat_entry>* out) {
    std::string lo = path + "/";
    std::string hi = path + "0";
    const char* range = path.empty() ? "(?2 = ?2 AND ?3 = ?3)" : "path >= ?2 AND path < ?3";
    std::string fsql = std::string("SELECT name, created FROM folders WHERE user = ?1 AND ") +
                       range +
                       " AND parent = ?4 AND created <= ?5 AND (removed = 0 OR removed > ?5)";
    stmt f(db, fsql.c_str());
    f.bind(1, user);
    f.bind(2, lo);
    f.bind(3, hi);
    f.bind(4, path);
    f.bind(5, at);
    std::map<std::string, cat_entry> seen;
    while (f.step() == SQLITE_ROW)
        seen[f.text(0)] = cat_entry{f.text(0), true, static_cast<uint32_t>(f.i64(1)), 0, false};
    std::string vsql =
        std::string("SELECT name, mtime, size, damaged FROM versions WHERE user = ?1 "
                    "AND ") +
        range +
        " AND parent = ?4 AND committed <= ?5 AND (replaced = 0 OR replaced > ?5) "
        "ORDER BY id";
    stmt v(db, vsql.c_str());
    v.bind(1, user);
    v.bind(2, lo);
    v.bind(3, hi);
    v.bind(4, path);
    v.bind(5, at);
    while (v.step() == SQLITE_ROW) {
        std::string name = v.text(0);
        auto it = seen.find(name);
        if (it != seen.end() && it->second.folder) continue; // a folder wins, as in the tree
        seen[name] = cat_entry{name, false, static_cast<uint32_t>(v.i64(1)),
                               static_cast<uint64_t>(v.i64(2)), v.i64(3) != 0};
    }
    if (!f.ok() || !v.ok()) return CAT_FAIL;
    for (auto& kv : seen)
        out->push_back(kv.second);
    return CAT_OK;
}

int c_list(void* self, uint32_t user, const std::string& path, int64_t at,
           std::vector<cat_entry>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!folder_exists_at(c->db, user, path, at))
        return file_exists_at(c->db, user, path, at) ? CAT_NOT_DIR : CAT_NOT_FOUND;
    if (at != 0) return list_at(c->db, user, path, at, out);
    stmt f(c->db,
           "SELECT name, created FROM folders WHERE user = ? AND parent = ? AND removed = 0");
    f.bind(1, user);
    f.bind(2, path);
    while (f.step() == SQLITE_ROW)
        out->push_back(cat_entry{f.text(0), true, static_cast<uint32_t>(f.i64(1)), 0, false});
    stmt v(c->db, "SELECT name, mtime, size, damaged FROM versions WHERE user = ? AND parent = ? "
                  "AND replaced = 0");
    v.bind(1, user);
    v.bind(2, path);
    while (v.step() == SQLITE_ROW)
        out->push_back(cat_entry{v.text(0), false, static_cast<uint32_t>(v.i64(1)),
                                 static_cast<uint64_t>(v.i64(2)), v.i64(3) != 0});
    std::sort(out->begin(), out->end(),
              [](const cat_entry& a, const cat_entry& b) { return a.name < b.name; });
    return CAT_OK;
}

int c_list_page(void* self, uint32_t user, const std::string& path, const std::string& after,
                size_t limit, std::vector<cat_entry>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!folder_exists_at(c->db, user, path, 0))
        return file_exists_at(c->db, user, path, 0) ? CAT_NOT_DIR : CAT_NOT_FOUND;
    // Through the (user, parent, name) indexes: a page costs its own rows.
    stmt f(c->db, "SELECT name, created FROM folders WHERE user = ? AND parent = ? AND "
                  "removed = 0 AND name > ? ORDER BY name LIMIT ?");
    f.bind(1, user);
    f.bind(2, path);
    f.bind(3, after);
    f.bind(4, static_cast<int64_t>(limit));
    std::vector<cat_entry> folders, files;
    while (f.step() == SQLITE_ROW)
        folders.push_back(cat_entry{f.text(0), true, static_cast<uint32_t>(f.i64(1)), 0, false});
    stmt v(c->db, "SELECT name, mtime, size, damaged FROM versions WHERE user = ? AND parent = ? "
                  "AND replaced = 0 AND name > ? ORDER BY name LIMIT ?");
    v.bind(1, user);
    v.bind(2, path);
    v.bind(3, after);
    v.bind(4, static_cast<int64_t>(limit));
    while (v.step() == SQLITE_ROW)
        files.push_back(cat_entry{v.text(0), false, static_cast<uint32_t>(v.i64(1)),
                                  static_cast<uint64_t>(v.i64(2)), v.i64(3) != 0});
    if (!f.ok() || !v.ok()) return CAT_FAIL;
    cat_merge_page(std::move(folders), std::move(files), limit, out);
    return CAT_OK;
}

int c_list_count(void* self, uint32_t user, const std::string& path, uint64_t* count) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *count = 0;
    if (!folder_exists_at(c->db, user, path, 0))
        return file_exists_at(c->db, user, path, 0) ? CAT_NOT_DIR : CAT_NOT_FOUND;
    stmt q(c->db, "SELECT (SELECT count(*) FROM folders WHERE user = ?1 AND parent = ?2 AND "
                  "removed = 0) + (SELECT count(*) FROM versions WHERE user = ?1 AND parent = ?2 "
                  "AND replaced = 0)");
    q.bind(1, user);
    q.bind(2, path);
    if (q.step() != SQLITE_ROW) return CAT_FAIL;
    *count = static_cast<uint64_t>(q.i64(0));
    return CAT_OK;
}

bool c_is_folder(void* self, uint32_t user, const std::string& path, int64_t at) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    return folder_exists_at(c->db, user, path, at);
}

void read_version(stmt& q, cat_version* v) {
    v->id = q.i64(0);
    v->path = q.text(1);
    v->size = static_cast<uint64_t>(q.i64(2));
    v->mtime = static_cast<uint32_t>(q.i64(3));
    v->block_size = static_cast<uint32_t>(q.i64(4));
    v->committed = q.i64(5);
    v->replaced = q.i64(6);
    v->damaged = q.i64(7) != 0;
    v->security = q.text(8);
    v->blocks.clear();
}

int read_blocks(sqlite3* db, cat_version* v) {
    stmt b(db, "SELECT b.digest, b.md5, b.length, d.digest IS NOT NULL FROM blocks b "
               "LEFT JOIN damaged_blocks d ON d.digest = b.digest WHERE b.version = ? "
               "ORDER BY b.idx");
    b.bind(1, v->id);
    while (b.step() == SQLITE_ROW) {
        std::string md5 = b.text(1);
        v->blocks.push_back(cat_block{b.text(0), std::vector<uint8_t>(md5.begin(), md5.end()),
                                      static_cast<uint64_t>(b.i64(2)), b.i64(3) != 0});
    }
    return b.ok() ? CAT_OK : CAT_FAIL;
}

const char* kVersionCols = "SELECT id, path, size, mtime, block_size, committed, replaced, "
                           "damaged, security FROM versions ";

int c_version_at(void* self, uint32_t user, const std::string& path, int64_t at, cat_version* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    std::string sql = kVersionCols;
    sql += at == 0 ? "WHERE user = ?1 AND path = ?2 AND replaced = 0"
                   : "WHERE user = ?1 AND path = ?2 AND committed <= ?3 AND (replaced = 0 OR "
                     "replaced > ?3)";
    sql += " ORDER BY id DESC LIMIT 1";
    stmt q(c->db, sql.c_str());
    q.bind(1, user);
    q.bind(2, path);
    if (at != 0) q.bind(3, at);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    read_version(q, out);
    return read_blocks(c->db, out);
}

int c_history(void* self, uint32_t user, const std::string& path, std::vector<cat_version>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, (std::string(kVersionCols) + "WHERE user = ? AND path = ? ORDER BY id").c_str());
    q.bind(1, user);
    q.bind(2, path);
    while (q.step() == SQLITE_ROW) {
        cat_version v;
        read_version(q, &v);
        out->push_back(v);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

int c_all_current(void* self, uint32_t user, std::vector<std::pair<uint32_t, cat_version>>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db,
           "SELECT id, path, size, mtime, block_size, committed, replaced, damaged, security, "
           "user FROM versions WHERE replaced = 0 AND (?1 = 0 OR user = ?1) ORDER BY user, path");
    q.bind(1, user);
    while (q.step() == SQLITE_ROW) {
        cat_version v;
        read_version(q, &v);
        out->push_back({static_cast<uint32_t>(q.i64(9)), v});
    }
    for (auto& p : *out)
        if (read_blocks(c->db, &p.second) != CAT_OK) return CAT_FAIL;
    return q.ok() ? CAT_OK : CAT_FAIL;
}

// Inside a transaction: one version made current.
int commit_one(sqlite3* db, const cat_commit& v, int64_t now) {
    std::string parent, name;
    split_path(v.path, &parent, &name);
    int rc = make_folders(db, v.user, parent, now);
    if (rc != CAT_OK && rc != CAT_EXISTS) return rc;
    if (folder_exists(db, v.user, v.path)) return CAT_NOT_FILE;
    stmt r(db, "UPDATE versions SET replaced = ? WHERE user = ? AND path = ? AND replaced = 0");
    r.bind(1, now);
    r.bind(2, v.user);
    r.bind(3, v.path);
    if (r.step() != SQLITE_DONE) return CAT_FAIL;
    stmt q(db, "INSERT INTO versions(user, path, parent, name, size, mtime, block_size, committed, "
               "security) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    q.bind(1, v.user);
    q.bind(2, v.path);
    q.bind(3, parent);
    q.bind(4, name);
    q.bind(5, static_cast<int64_t>(v.size));
    q.bind(6, v.mtime);
    q.bind(7, v.block_size);
    q.bind(8, now);
    q.bind_blob(9, v.security.data(), v.security.size());
    if (q.step() != SQLITE_DONE) return CAT_FAIL;
    int64_t id = sqlite3_last_insert_rowid(db);
    stmt b(db, "INSERT INTO blocks(version, idx, digest, md5, length) VALUES(?, ?, ?, ?, ?)");
    for (size_t i = 0; i < v.blocks.size(); i++) {
        sqlite3_reset(b.s);
        b.bind(1, id);
        b.bind(2, static_cast<int64_t>(i));
        b.bind(3, v.blocks[i].digest);
        b.bind_blob(4, v.blocks[i].md5.data(), v.blocks[i].md5.size());
        b.bind(5, static_cast<int64_t>(v.blocks[i].length));
        if (b.step() != SQLITE_DONE) return CAT_FAIL;
    }
    // Blocks stored afresh over damaged copies are whole again.
    stmt r2(db, "DELETE FROM damaged_blocks WHERE digest = ?");
    for (const blk_digest& d : v.repaired) {
        sqlite3_reset(r2.s);
        r2.bind(1, d);
        if (r2.step() != SQLITE_DONE) return CAT_FAIL;
    }
    return CAT_OK;
}

int c_commit(void* self, const std::vector<cat_commit>& batch, int64_t now,
             std::vector<int>* results) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    results->assign(batch.size(), CAT_FAIL);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    for (size_t i = 0; i < batch.size(); i++) {
        // A version whose path (or a parent) is of the other kind now is
        // dropped alone and reported; a database failure drops the whole batch.
        exec(c->db, "SAVEPOINT one");
        int rc = commit_one(c->db, batch[i], now);
        exec(c->db, rc == CAT_OK ? "RELEASE one" : "ROLLBACK TO one");
        if (rc != CAT_OK) exec(c->db, "RELEASE one");
        if (rc == CAT_FAIL) {
            exec(c->db, "ROLLBACK");
            results->assign(batch.size(), CAT_FAIL);
            return CAT_FAIL;
        }
        (*results)[i] = rc;
    }
    if (!exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        results->assign(batch.size(), CAT_FAIL);
        return CAT_FAIL;
    }
    return CAT_OK;
}

// ---- damage marks -----------------------------------------------------------

bool c_block_damaged(void* self, const blk_digest& d) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "SELECT 1 FROM damaged_blocks WHERE digest = ?");
    q.bind(1, d);
    return q.step() == SQLITE_ROW;
}

int c_damage_record(void* self, const cat_damage& d) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool ok = true;
    {
        stmt bad(c->db, "INSERT OR IGNORE INTO damaged_blocks(digest, found) "
                        "VALUES(?, CAST(strftime('%s', 'now') AS INTEGER))");
        for (const blk_digest& b : d.bad_blocks) {
            sqlite3_reset(bad.s);
            bad.bind(1, b);
            ok = ok && bad.step() == SQLITE_DONE;
        }
        stmt good(c->db, "DELETE FROM damaged_blocks WHERE digest = ?");
        for (const blk_digest& b : d.good_blocks) {
            sqlite3_reset(good.s);
            good.bind(1, b);
            ok = ok && good.step() == SQLITE_DONE;
        }
        stmt mark(c->db, "UPDATE versions SET damaged = ? WHERE id = ?");
        for (int64_t id : d.good_versions) {
            sqlite3_reset(mark.s);
            mark.bind(1, 0);
            mark.bind(2, id);
            ok = ok && mark.step() == SQLITE_DONE;
        }
        for (int64_t id : d.bad_versions) {
            sqlite3_reset(mark.s);
            mark.bind(1, 1);
            mark.bind(2, id);
            ok = ok && mark.step() == SQLITE_DONE;
        }
        // Current versions of other users or paths may share a damaged block.
        if (ok && !d.bad_blocks.empty())
            ok = exec(c->db, "UPDATE versions SET damaged = 1 WHERE replaced = 0 AND damaged = 0 "
                             "AND id IN (SELECT b.version FROM blocks b JOIN damaged_blocks d "
                             "ON d.digest = b.digest)");
    }
    if (!ok || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        return CAT_FAIL;
    }
    return CAT_OK;
}

// ---- mail -------------------------------------------------------------------

// Inside a transaction: a delivery per recipient of the mail, queued at
// received.
bool queue_deliveries(sqlite3* db, int64_t mail, const std::string& recipients, int64_t received) {
    std::vector<std::string> to = cat_mail_recipients(recipients);
    for (size_t i = 0; i < to.size(); i++) {
        stmt q(db, "INSERT OR IGNORE INTO mail_delivery(mail, idx, recipient, queued, next_try) "
                   "VALUES(?, ?, ?, ?, ?)");
        q.bind(1, mail);
        q.bind(2, static_cast<int64_t>(i));
        q.bind_blob(3, to[i].data(), to[i].size());
        q.bind(4, received);
        q.bind(5, received);
        if (q.step() != SQLITE_DONE) return false;
    }
    return true;
}

int c_mail_add(void* self, const cat_mail& m) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool ok;
    {
        stmt q(c->db, "INSERT INTO mail(user, schedule_id, recipients, received, body) "
                      "VALUES(?, ?, ?, ?, ?)");
        q.bind(1, m.user);
        q.bind(2, static_cast<int64_t>(m.schedule_id));
        q.bind(3, m.recipients);
        q.bind(4, m.received);
        q.bind_blob(5, m.body.data(), m.body.size());
        ok = q.step() == SQLITE_DONE &&
             queue_deliveries(c->db, sqlite3_last_insert_rowid(c->db), m.recipients, m.received);
    }
    if (!ok || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        return CAT_FAIL;
    }
    return CAT_OK;
}

int c_mail_list(void* self, std::vector<cat_mail>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(
        c->db,
        "SELECT id, user, schedule_id, recipients, received, length(body) FROM mail ORDER BY id");
    while (q.step() == SQLITE_ROW) {
        cat_mail m;
        m.id = q.i64(0);
        m.user = static_cast<uint32_t>(q.i64(1));
        m.schedule_id = static_cast<uint64_t>(q.i64(2));
        m.recipients = q.text(3);
        m.received = q.i64(4);
        m.body.assign(static_cast<size_t>(q.i64(5)), '\0');
        out->push_back(m);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

int c_mail_get(void* self, int64_t id, cat_mail* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db,
           "SELECT id, user, schedule_id, recipients, received, body FROM mail WHERE id = ?");
    q.bind(1, id);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    out->id = q.i64(0);
    out->user = static_cast<uint32_t>(q.i64(1));
    out->schedule_id = static_cast<uint64_t>(q.i64(2));
    out->recipients = q.text(3);
    out->received = q.i64(4);
    out->body = q.text(5);
    return CAT_OK;
}

// ---- administration ---------------------------------------------------------

int c_user_list(void* self, std::vector<cat_user_summary>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, "SELECT u.id, u.name, a.name, a.number, u.key_digest, "
                  "(SELECT count(*) FROM versions v WHERE v.user = u.id AND v.replaced = 0), "
                  "(SELECT coalesce(sum(v.size), 0) FROM versions v WHERE v.user = u.id AND "
                  "v.replaced = 0), "
                  "(SELECT count(*) FROM versions v WHERE v.user = u.id), "
                  "(SELECT count(*) FROM stamps s WHERE s.user = u.id), "
                  "(SELECT count(*) FROM mail m WHERE m.user = u.id) "
                  "FROM users u JOIN accounts a ON a.number = u.account ORDER BY u.id");
    while (q.step() == SQLITE_ROW) {
        cat_user_summary su;
        su.user.id = static_cast<uint32_t>(q.i64(0));
        su.user.name = q.text(1);
        su.user.account = q.text(2);
        su.user.account_number = static_cast<uint32_t>(q.i64(3));
        std::string d = q.text(4);
        memset(su.user.key_digest, 0, 20);
        memcpy(su.user.key_digest, d.data(), std::min<size_t>(20, d.size()));
        su.files = static_cast<uint64_t>(q.i64(5));
        su.bytes = static_cast<uint64_t>(q.i64(6));
        su.versions = static_cast<uint64_t>(q.i64(7));
        su.stamps = static_cast<uint64_t>(q.i64(8));
        su.mails = static_cast<uint64_t>(q.i64(9));
        out->push_back(su);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

// Inside a transaction: the rows of a user gone; *orphans the digests only
// that user's versions named.
bool remove_user_rows(sqlite3* db, uint32_t id, std::vector<blk_digest>* orphans) {
    {
        // Blocks are content-addressed: another user with the same account
        // key stores the same bytes under the same digest.
        stmt q(db, "SELECT digest FROM blocks WHERE version IN "
                   "(SELECT id FROM versions WHERE user = ?1) EXCEPT "
                   "SELECT digest FROM blocks WHERE version IN "
                   "(SELECT id FROM versions WHERE user <> ?1)");
        q.bind(1, id);
        int rc;
        while ((rc = q.step()) == SQLITE_ROW)
            orphans->push_back(q.text(0));
        if (rc != SQLITE_DONE) return false;
    }
    static const char* const kDeletes[] = {
        "DELETE FROM blocks WHERE version IN (SELECT id FROM versions WHERE user = ?)",
        "DELETE FROM versions WHERE user = ?",
        "DELETE FROM folders WHERE user = ?",
        "DELETE FROM stamps WHERE user = ?",
        "DELETE FROM holders WHERE user = ?",
        "DELETE FROM mail_delivery WHERE mail IN (SELECT id FROM mail WHERE user = ?)",
        "DELETE FROM mail WHERE user = ?",
        "DELETE FROM runs WHERE user = ?",
        "DELETE FROM users WHERE id = ?",
    };
    for (const char* sql : kDeletes) {
        stmt d(db, sql);
        d.bind(1, id);
        if (d.step() != SQLITE_DONE) return false;
    }
    // A damage mark of a block nobody names would outlive the block.
    stmt m(db, "DELETE FROM damaged_blocks WHERE digest = ?");
    for (const blk_digest& d : *orphans) {
        sqlite3_reset(m.s);
        m.bind(1, d);
        if (m.step() != SQLITE_DONE) return false;
    }
    return true;
}

int c_user_remove(void* self, uint32_t id, std::vector<blk_digest>* orphans) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    orphans->clear();
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool found;
    {
        stmt q(c->db, "SELECT 1 FROM users WHERE id = ?");
        q.bind(1, id);
        found = q.step() == SQLITE_ROW;
    }
    if (!found) {
        exec(c->db, "ROLLBACK");
        return CAT_NOT_FOUND;
    }
    if (!remove_user_rows(c->db, id, orphans) || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        orphans->clear();
        return CAT_FAIL;
    }
    return CAT_OK;
}

int c_tree(void* self, uint32_t user, const std::string& path, int64_t at,
           std::vector<cat_tree_entry>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!folder_exists_at(c->db, user, path, at))
        return file_exists_at(c->db, user, path, at) ? CAT_NOT_DIR : CAT_NOT_FOUND;
    std::string under = path.empty() ? std::string() : path + "/";
    // ?2 = 0 selects the whole tree; the prefix compares as bytes (?2 is a
    // length in bytes, and substr of a text counts characters).
    std::string fsql = "SELECT path, created FROM folders WHERE user = ?1 AND "
                       "(?2 = 0 OR substr(CAST(path AS BLOB), 1, ?2) = CAST(?3 AS BLOB)) AND ";
    fsql += at == 0 ? "removed = 0" : "created <= ?4 AND (removed = 0 OR removed > ?4)";
    std::string vsql = "SELECT id, path, size, mtime, committed, damaged FROM versions WHERE "
                       "user = ?1 AND (?2 = 0 OR substr(CAST(path AS BLOB), 1, ?2) = "
                       "CAST(?3 AS BLOB)) AND ";
    vsql += at == 0 ? "replaced = 0" : "committed <= ?4 AND (replaced = 0 OR replaced > ?4)";
    vsql += " ORDER BY id";
    std::map<std::string, cat_tree_entry> seen;
    stmt f(c->db, fsql.c_str());
    f.bind(1, user);
    f.bind(2, static_cast<int64_t>(under.size()));
    f.bind(3, under);
    if (at != 0) f.bind(4, at);
    while (f.step() == SQLITE_ROW) {
        std::string p = f.text(0);
        seen[p] = cat_tree_entry{p, true, 0, 0, static_cast<uint32_t>(f.i64(1)), 0, false};
    }
    stmt v(c->db, vsql.c_str());
    v.bind(1, user);
    v.bind(2, static_cast<int64_t>(under.size()));
    v.bind(3, under);
    if (at != 0) v.bind(4, at);
    while (v.step() == SQLITE_ROW) {
        std::string p = v.text(1);
        auto it = seen.find(p);
        if (it != seen.end() && it->second.folder) continue; // a folder wins, as in list
        seen[p] = cat_tree_entry{p,
                                 false,
                                 v.i64(0),
                                 static_cast<uint64_t>(v.i64(2)),
                                 static_cast<uint32_t>(v.i64(3)),
                                 v.i64(4),
                                 v.i64(5) != 0};
    }
    if (!f.ok() || !v.ok()) return CAT_FAIL;
    out->reserve(seen.size());
    for (auto& kv : seen)
        out->push_back(kv.second);
    return CAT_OK;
}

int c_stamps(void* self, uint32_t user, std::vector<cat_stamp>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, "SELECT host, schedule, stamp FROM stamps WHERE user = ? "
                  "ORDER BY stamp DESC, schedule");
    q.bind(1, user);
    while (q.step() == SQLITE_ROW) {
        cat_stamp st;
        std::string host = q.text(0);
        memset(st.host, 0, 20);
        memcpy(st.host, host.data(), std::min<size_t>(20, host.size()));
        st.schedule = q.text(1);
        st.stamp = static_cast<uint32_t>(q.i64(2));
        out->push_back(st);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

int c_mail_of(void* self, uint32_t user, std::vector<int64_t>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, "SELECT id FROM mail WHERE user = ? ORDER BY id DESC");
    q.bind(1, user);
    while (q.step() == SQLITE_ROW)
        out->push_back(q.i64(0));
    return q.ok() ? CAT_OK : CAT_FAIL;
}

// ---- outbox -----------------------------------------------------------------

const char* const kDeliveryColumns =
    "mail, idx, recipient, state, attempts, queued, next_try, last_try, sent, reply";

cat_delivery read_delivery(stmt& q) {
    cat_delivery d;
    d.mail = q.i64(0);
    d.idx = static_cast<uint32_t>(q.i64(1));
    d.recipient = q.text(2);
    d.state = static_cast<int>(q.i64(3));
    d.attempts = static_cast<uint32_t>(q.i64(4));
    d.queued = q.i64(5);
    d.next_try = q.i64(6);
    d.last_try = q.i64(7);
    d.sent = q.i64(8);
    d.reply = q.text(9);
    return d;
}

// One serving process per SQLite store: claims only keep its own mailer
// from taking a delivery twice, and a claim left by a process that ended
// expires like any other.
int c_outbox_claim(void* self, int64_t now, uint32_t limit, const std::string& worker,
                   uint32_t claim_s, std::vector<cat_delivery>* out, int64_t* next_due) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    *next_due = 0;
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool ok;
    {
        std::string sql = std::string("SELECT ") + kDeliveryColumns +
                          " FROM mail_delivery WHERE state IN (0, 2) AND next_try <= ? AND "
                          "claim_until <= ? ORDER BY next_try, mail, idx LIMIT ?";
        stmt q(c->db, sql.c_str());
        q.bind(1, now);
        q.bind(2, now);
        q.bind(3, static_cast<int64_t>(limit));
        int rc;
        while ((rc = q.step()) == SQLITE_ROW)
            out->push_back(read_delivery(q));
        ok = rc == SQLITE_DONE;
    }
    for (size_t i = 0; ok && i < out->size(); i++) {
        stmt u(c->db, "UPDATE mail_delivery SET claimed_by = ?, claim_until = ? "
                      "WHERE mail = ? AND idx = ?");
        u.bind(1, worker);
        u.bind(2, now + claim_s);
        u.bind(3, (*out)[i].mail);
        u.bind(4, static_cast<int64_t>((*out)[i].idx));
        ok = u.step() == SQLITE_DONE;
    }
    if (ok) {
        stmt n(c->db, "SELECT coalesce(min(next_try), 0) FROM mail_delivery "
                      "WHERE state IN (0, 2) AND claim_until <= ?");
        n.bind(1, now);
        ok = n.step() == SQLITE_ROW;
        if (ok) *next_due = n.i64(0);
    }
    if (!ok || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        out->clear();
        *next_due = 0;
        return CAT_FAIL;
    }
    return CAT_OK;
}

int c_outbox_record(void* self, const cat_delivery& d, const std::string& worker) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "UPDATE mail_delivery SET state = ?, attempts = ?, next_try = ?, last_try = ?, "
                  "sent = ?, reply = ?, claimed_by = '', claim_until = 0 "
                  "WHERE mail = ? AND idx = ? AND claimed_by = ?");
    q.bind(1, d.state);
    q.bind(2, d.attempts);
    q.bind(3, d.next_try);
    q.bind(4, d.last_try);
    q.bind(5, d.sent);
    q.bind_blob(6, d.reply.data(), d.reply.size());
    q.bind(7, d.mail);
    q.bind(8, static_cast<int64_t>(d.idx));
    q.bind(9, worker);
    if (q.step() != SQLITE_DONE) return CAT_FAIL;
    return sqlite3_changes(c->db) == 1 ? CAT_OK : CAT_NOT_FOUND;
}

int c_outbox_list(void* self, int64_t mail, std::vector<cat_delivery>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    std::string sql = std::string("SELECT ") + kDeliveryColumns +
                      " FROM mail_delivery WHERE ?1 = 0 OR mail = ?1 ORDER BY mail, idx";
    stmt q(c->db, sql.c_str());
    q.bind(1, mail);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
        out->push_back(read_delivery(q));
    return rc == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_outbox_retry(void* self, int64_t mail, int64_t now, uint32_t* queued) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *queued = 0;
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    int result = CAT_OK;
    {
        stmt m(c->db, "SELECT recipients, (SELECT count(*) FROM mail_delivery WHERE mail = ?1) "
                      "FROM mail WHERE id = ?1");
        m.bind(1, mail);
        int rc = m.step();
        if (rc == SQLITE_DONE) result = CAT_NOT_FOUND;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) result = CAT_FAIL;
        // A mail stored before the outbox existed has no deliveries yet.
        if (rc == SQLITE_ROW && m.i64(1) == 0 && !queue_deliveries(c->db, mail, m.text(0), now))
            result = CAT_FAIL;
    }
    if (result == CAT_OK) {
        stmt q(c->db, "UPDATE mail_delivery SET state = 0, attempts = 0, queued = ?2, "
                      "next_try = ?2, reply = x'' WHERE mail = ?1 AND state IN (3, 4, 5)");
        q.bind(1, mail);
        q.bind(2, now);
        stmt r(c->db, "UPDATE mail_delivery SET next_try = ?2 WHERE mail = ?1 AND state = 2");
        r.bind(1, mail);
        r.bind(2, now);
        stmt n(c->db, "SELECT count(*) FROM mail_delivery WHERE mail = ? AND state IN (0, 2)");
        n.bind(1, mail);
        if (q.step() != SQLITE_DONE || r.step() != SQLITE_DONE || n.step() != SQLITE_ROW)
            result = CAT_FAIL;
        else
            *queued = static_cast<uint32_t>(n.i64(0));
    }
    if (result != CAT_OK || !exec(c->db, "COMMIT")) {
        exec(c->db, "ROLLBACK");
        *queued = 0;
        return result == CAT_OK ? CAT_FAIL : result;
    }
    return CAT_OK;
}

// ---- runs and the tree as it stood ------------------------------------------

const char* kRunCols = "SELECT id, user, destination, host, schedule, started, ended, vouched, "
                       "files_sent, bytes_sent, files_skipped, deleted FROM runs ";

void read_run(stmt& q, cat_run* r) {
    r->id = q.i64(0);
    r->user = static_cast<uint32_t>(q.i64(1));
    r->destination = static_cast<uint32_t>(q.i64(2));
    std::string host = q.text(3);
    memset(r->host, 0, 20);
    memcpy(r->host, host.data(), std::min<size_t>(20, host.size()));
    r->schedule = q.text(4);
    r->started = q.i64(5);
    r->ended = q.i64(6);
    r->vouched = q.i64(7) != 0;
    r->files_sent = static_cast<uint64_t>(q.i64(8));
    r->bytes_sent = static_cast<uint64_t>(q.i64(9));
    r->files_skipped = static_cast<uint64_t>(q.i64(10));
    r->deleted = static_cast<uint64_t>(q.i64(11));
}

int c_run_start(void* self, cat_run* r) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "INSERT INTO runs(user, destination, host, schedule, started) "
                  "VALUES(?, ?, ?, ?, ?)");
    q.bind(1, r->user);
    q.bind(2, r->destination);
    q.bind_blob(3, r->host, 20);
    q.bind(4, r->schedule);
    q.bind(5, r->started);
    if (q.step() != SQLITE_DONE) return CAT_FAIL;
    r->id = sqlite3_last_insert_rowid(c->db);
    return CAT_OK;
}

int c_run_end(void* self, const cat_run& r) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "UPDATE runs SET ended = ?, vouched = ?, files_sent = ?, bytes_sent = ?, "
                  "files_skipped = ?, deleted = ? WHERE id = ?");
    q.bind(1, r.ended);
    q.bind(2, r.vouched ? 1 : 0);
    q.bind(3, static_cast<int64_t>(r.files_sent));
    q.bind(4, static_cast<int64_t>(r.bytes_sent));
    q.bind(5, static_cast<int64_t>(r.files_skipped));
    q.bind(6, static_cast<int64_t>(r.deleted));
    q.bind(7, r.id);
    return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_runs_page(void* self, uint32_t user, int64_t before, size_t limit,
                std::vector<cat_run>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, (std::string(kRunCols) +
                   "WHERE user = ?1 AND (?2 = 0 OR id < ?2) ORDER BY id DESC LIMIT ?3")
                      .c_str());
    q.bind(1, user);
    q.bind(2, before);
    q.bind(3, static_cast<int64_t>(limit));
    while (q.step() == SQLITE_ROW) {
        cat_run r;
        read_run(q, &r);
        out->push_back(r);
    }
    return q.ok() ? CAT_OK : CAT_FAIL;
}

int c_run_get(void* self, uint32_t user, int64_t id, cat_run* out, int64_t* next_started) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *next_started = 0;
    stmt q(c->db, (std::string(kRunCols) + "WHERE user = ? AND id = ?").c_str());
    q.bind(1, user);
    q.bind(2, id);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    read_run(q, out);
    stmt n(c->db, "SELECT min(started) FROM runs WHERE user = ? AND id > ?");
    n.bind(1, user);
    n.bind(2, id);
    if (n.step() != SQLITE_ROW) return CAT_FAIL;
    *next_started = n.i64(0);
    return CAT_OK;
}

int c_history_page(void* self, uint32_t user, const std::string& path, int64_t at,
                   const std::string& after, size_t limit, bool history,
                   std::vector<cat_hist_entry>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    if (!folder_exists_at(c->db, user, path, at))
        return file_exists_at(c->db, user, path, at) ? CAT_NOT_DIR : CAT_NOT_FOUND;
    // The newest row of each name made by then; it was there at the time
    // unless removed (replaced without a newer one) by then.
    stmt f(c->db, "SELECT f.name, f.created, f.removed, EXISTS(SELECT 1 FROM folders g WHERE "
                  "g.user = ?1 AND g.path = f.path AND g.removed = 0) FROM folders f "
                  "WHERE f.user = ?1 AND f.parent = ?2 AND f.name > ?3 AND f.created <= ?4 AND "
                  "f.id = (SELECT max(y.id) FROM folders y WHERE y.user = ?1 AND y.path = f.path "
                  "AND y.created <= ?4) AND (?6 = 1 OR f.removed = 0 OR f.removed > ?4) "
                  "ORDER BY f.name LIMIT ?5");
    stmt v(c->db, "SELECT v.name, v.mtime, v.size, v.damaged, v.committed, v.replaced, v.id, "
                  "EXISTS(SELECT 1 FROM versions w WHERE w.user = ?1 AND w.path = v.path AND "
                  "w.replaced = 0) FROM versions v "
                  "WHERE v.user = ?1 AND v.parent = ?2 AND v.name > ?3 AND v.committed <= ?4 AND "
                  "v.id = (SELECT max(x.id) FROM versions x WHERE x.user = ?1 AND x.path = v.path "
                  "AND x.committed <= ?4) AND (?6 = 1 OR v.replaced = 0 OR v.replaced > ?4) "
                  "ORDER BY v.name LIMIT ?5");
    for (stmt* q : {&f, &v}) {
        q->bind(1, user);
        q->bind(2, path);
        q->bind(3, after);
        q->bind(4, at);
        q->bind(5, static_cast<int64_t>(limit));
        q->bind(6, history ? 1 : 0);
    }
    std::vector<cat_hist_entry> folders, files;
    while (f.step() == SQLITE_ROW) {
        cat_hist_entry e;
        e.name = f.text(0);
        e.folder = true;
        e.mtime = static_cast<uint32_t>(f.i64(1));
        const int64_t removed = f.i64(2);
        e.gone = removed != 0 && removed <= at;
        e.deleted_later = !e.gone && f.i64(3) == 0;
        folders.push_back(e);
    }
    while (v.step() == SQLITE_ROW) {
        cat_hist_entry e;
        e.name = v.text(0);
        e.mtime = static_cast<uint32_t>(v.i64(1));
        e.size = static_cast<uint64_t>(v.i64(2));
        e.damaged = v.i64(3) != 0;
        e.committed = v.i64(4);
        const int64_t replaced = v.i64(5);
        e.version = v.i64(6);
        e.gone = replaced != 0 && replaced <= at;
        e.deleted_later = !e.gone && v.i64(7) == 0;
        files.push_back(e);
    }
    if (!f.ok() || !v.ok()) return CAT_FAIL;
    cat_merge_history(std::move(folders), std::move(files), limit, out);
    return CAT_OK;
}

int c_block_of_user(void* self, uint32_t user, const blk_digest& d, uint64_t* length) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    *length = 0;
    stmt q(c->db, "SELECT b.length FROM blocks b JOIN versions v ON v.id = b.version "
                  "WHERE b.digest = ? AND v.user = ? LIMIT 1");
    q.bind(1, d);
    q.bind(2, user);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    *length = static_cast<uint64_t>(q.i64(0));
    return CAT_OK;
}

// ---- packed blocks ----------------------------------------------------------

int c_packed_get(void* self, const blk_digest& d, cat_packed* out, std::string* pack_name) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "SELECT p.pack, p.pos, p.length, k.name FROM packed p "
                  "JOIN packs k ON k.id = p.pack WHERE p.digest = ?");
    q.bind(1, d);
    if (q.step() != SQLITE_ROW) return q.ok() ? CAT_NOT_FOUND : CAT_FAIL;
    out->digest = d;
    out->pack = q.i64(0);
    out->pos = static_cast<uint64_t>(q.i64(1));
    out->length = static_cast<uint64_t>(q.i64(2));
    out->replace = false;
    *pack_name = q.text(3);
    return CAT_OK;
}

int c_packed_add(void* self, int64_t pack, uint64_t size, const std::vector<cat_packed>& rows) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    if (!exec(c->db, "BEGIN IMMEDIATE")) return CAT_FAIL;
    bool ok = true;
    for (const cat_packed& r : rows) {
        stmt q(c->db, r.replace
                          ? "INSERT INTO packed(digest, pack, pos, length) VALUES(?, ?, ?, ?) "
                            "ON CONFLICT(digest) DO UPDATE SET pack = excluded.pack, "
                            "pos = excluded.pos, length = excluded.length"
                          : "INSERT OR IGNORE INTO packed(digest, pack, pos, length) "
                            "VALUES(?, ?, ?, ?)");
        q.bind(1, r.digest);
        q.bind(2, pack);
        q.bind(3, static_cast<int64_t>(r.pos));
        q.bind(4, static_cast<int64_t>(r.length));
        ok = ok && q.step() == SQLITE_DONE;
    }
    {
        stmt u(c->db, "UPDATE packs SET size = max(size, ?) WHERE id = ?");
        u.bind(1, static_cast<int64_t>(size));
        u.bind(2, pack);
        ok = ok && u.step() == SQLITE_DONE;
    }
    if (!ok) {
        exec(c->db, "ROLLBACK");
        return CAT_FAIL;
    }
    return exec(c->db, "COMMIT") ? CAT_OK : CAT_FAIL;
}

int c_packed_remove(void* self, const blk_digest& d) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "DELETE FROM packed WHERE digest = ?");
    q.bind(1, d);
    return q.step() == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

int c_pack_register(void* self, const std::string& name, int64_t* id) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "INSERT OR IGNORE INTO packs(name, size) VALUES(?, 0)");
    q.bind(1, name);
    if (q.step() != SQLITE_DONE) return CAT_FAIL;
    if (sqlite3_changes(c->db) == 0) return CAT_EXISTS;
    *id = sqlite3_last_insert_rowid(c->db);
    return CAT_OK;
}

int c_pack_seal(void* self, int64_t id, uint64_t size) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    stmt q(c->db, "UPDATE packs SET sealed = 1, size = ? WHERE id = ?");
    q.bind(1, static_cast<int64_t>(size));
    q.bind(2, id);
    if (q.step() != SQLITE_DONE) return CAT_FAIL;
    return sqlite3_changes(c->db) ? CAT_OK : CAT_NOT_FOUND;
}

int c_packs_unsealed(void* self, std::vector<cat_pack>* out) {
    sql_cat* c = C(self);
    std::lock_guard<std::mutex> g(c->mu);
    out->clear();
    stmt q(c->db, "SELECT id, name, size FROM packs WHERE sealed = 0 ORDER BY id");
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        cat_pack p;
        p.id = q.i64(0);
        p.name = q.text(1);
        p.size = static_cast<uint64_t>(q.i64(2));
        out->push_back(p);
    }
    return rc == SQLITE_DONE ? CAT_OK : CAT_FAIL;
}

void c_destroy(void* self) {
    sql_cat* c = C(self);
    if (!c) return;
    stmt_cache_drop(c->db);
    sqlite3_close(c->db);
    delete c;
}

// No lease ops: the serving process keeps the user locks in its memory.
const catalog_ops sqlite_ops = {
    c_user_add,      c_user_get,      c_stamp_get,     c_stamp_set,     c_stamps_clear,
    c_stamp_vouch,   c_holder_note,   c_holder_forget, c_holders,       c_folder_make,
    c_remove,        c_list,          c_is_folder,     c_version_at,    c_history,
    c_all_current,   c_commit,        c_block_damaged, c_damage_record, c_mail_add,
    c_mail_list,     c_mail_get,      c_user_list,     c_user_remove,   c_tree,
    c_stamps,        c_mail_of,       c_destroy,       nullptr,         nullptr,
    nullptr,         c_list_page,     c_list_count,    c_outbox_claim,  c_outbox_record,
    c_outbox_list,   c_outbox_retry,  c_run_start,     c_run_end,       c_runs_page,
    c_run_get,       c_history_page,  c_block_of_user, c_packed_get,    c_packed_add,
    c_packed_remove, c_pack_register, c_pack_seal,     c_packs_unsealed};

// Brings an older catalog to the current schema in one transaction; the
// version is read again inside it, so two processes opening one old store
// upgrade it once. False with *err.
bool upgrade(sqlite3* db, std::string* err) {
    if (!exec(db, "BEGIN IMMEDIATE")) {
        *err = std::string("cannot upgrade the catalog: ") + sqlite3_errmsg(db);
        return false;
    }
    std::string version;
    {
        stmt q(db, "SELECT value FROM meta WHERE key = 'schema_version'");
        if (q.step() == SQLITE_ROW) version = q.text(0);
    }
    bool ok = true;
    if (version == "1") {
        ok = exec(db, kUpgrade2);
        version = "2";
    }
    if (ok && version == "2") ok = exec(db, kUpgrade3);
    if (!ok || !exec(db, "COMMIT")) {
        *err = std::string("cannot upgrade the catalog: ") + sqlite3_errmsg(db);
        exec(db, "ROLLBACK");
        return false;
    }
    return true;
}

} // namespace

catalog catalog_sqlite_open(const std::string& dir, bool create, std::string* err) {
    catalog_fault_vfs_register();
    std::string path = dir + "/catalog.db";
    sql_cat* c = new sql_cat();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &c->db, flags, nullptr) != SQLITE_OK) {
        *err = "cannot open " + path + ": " + (c->db ? sqlite3_errmsg(c->db) : "out of memory");
        c_destroy(c);
        return catalog{nullptr, nullptr};
    }
    sqlite3_busy_timeout(c->db, 10000);
    exec(c->db, "PRAGMA journal_mode=WAL");
    exec(c->db, "PRAGMA synchronous=FULL");
    if (create && !exec(c->db, kSchema)) {
        *err = std::string("cannot make the catalog: ") + sqlite3_errmsg(c->db);
        c_destroy(c);
        return catalog{nullptr, nullptr};
    }
    {
        std::string version;
        {
            stmt q(c->db, "SELECT value FROM meta WHERE key = 'schema_version'");
            if (q.step() == SQLITE_ROW) version = q.text(0);
        }
        if ((version == "1" || version == "2") && !upgrade(c->db, err)) {
            c_destroy(c);
            return catalog{nullptr, nullptr};
        }
    }
    bool current = false;
    {
        stmt q(c->db, "SELECT value FROM meta WHERE key = 'schema_version'");
        current = q.step() == SQLITE_ROW && q.text(0) == std::to_string(CAT_SCHEMA_VERSION);
    }
    if (!current) {
        *err = "not a store of this version: " + path;
        c_destroy(c);
        return catalog{nullptr, nullptr};
    }
    // Listings are read page by page in name order, and stored reports
    // leave through the outbox (older catalogs get the indexes and the
    // table when first opened; their stored mail is not queued).
    if (!exec(c->db, "CREATE INDEX IF NOT EXISTS folders_page ON folders(user, parent, name) "
                     "WHERE removed = 0;"
                     "CREATE INDEX IF NOT EXISTS versions_page ON versions(user, parent, name) "
                     "WHERE replaced = 0;") ||
        !exec(c->db, kOutboxSchema) || !exec(c->db, kRunsAndHistory) || !exec(c->db, kPacks)) {
        *err = std::string("cannot index the catalog: ") + sqlite3_errmsg(c->db);
        c_destroy(c);
        return catalog{nullptr, nullptr};
    }
    return catalog{&sqlite_ops, c};
}
