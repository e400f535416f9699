// store.h - the two storage interfaces of the reference server and their
// embedded defaults: a block store (content-addressed ciphertexts in a local
// folder) and a catalog (users, stamps, folders, versions, mail in SQLite).
//
// The protocol code sees only these tables of operations, so another back end
// (an object store for blocks, a database server for the catalog) slots in
// without touching it. All catalog calls are safe from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/server/s3_client.h"

// ---- block store ------------------------------------------------------------

// Content address: lower-case hex SHA-256 of the stored bytes.
typedef std::string blk_digest;

struct blk_staging; // one block being received

// block_store_ops::get: the block is there, but not as it was stored.
constexpr int BLK_DAMAGED = -2;

struct block_store_ops {
    // Starts a new block; null on failure.
    blk_staging* (*stage_open)(void* self);
    int (*stage_write)(void* self, blk_staging* s, const uint8_t* p, size_t n); // 0 / -1
    // Ends the data: writes the digest and the length; the block is not yet
    // visible. 0 / -1.
    int (*stage_finish)(void* self, blk_staging* s, blk_digest* digest, uint64_t* len);
    // The stored block of this staging's digest is known to be damaged:
    // publish replaces it with the staged bytes instead of keeping it.
    void (*stage_replace)(void* self, blk_staging* s);
    void (*stage_abort)(void* self, blk_staging* s);
    // Makes finished stagings durable and visible under their digests, in one
    // barrier for the whole batch; consumes them. A block already stored with
    // the same length is kept (unless marked for replacement); one stored
    // with another length is replaced. 0 / -1 (none of the batch counts as
    // stored then).
    int (*publish)(void* self, std::vector<blk_staging*>* batch);
    // True when a block of that digest and length is stored.
    bool (*has)(void* self, const blk_digest& d, uint64_t len);
    // The stored bytes of a block: 0; BLK_DAMAGED when they are there but
    // the store's own checks show them damaged; -1 when they are missing or
    // cannot be read.
    int (*get)(void* self, const blk_digest& d, std::vector<uint8_t>* out);
    // Deletes a stored block; one that is not there counts as deleted. Only
    // for blocks no catalog row names, while nothing else writes the store.
    // 0 / -1.
    int (*remove)(void* self, const blk_digest& d);
    void (*destroy)(void* self);
};

struct block_store {
    const block_store_ops* ops;
    void* self;
};

struct catalog;

// The local folder DIR/blocks, with blocks of at most PACK_BLOCK_THRESHOLD
// bytes appended to pack files in DIR/packs when index (the catalog that
// indexes them; it must outlive the store) is not null; without one every
// block is a file of its own. clean_leftovers (the serving process only,
// which holds the store's lock) removes the temporaries of an interrupted
// run and repairs and seals the packs a dead process left open. ops null
// when the folders cannot be made or the index cannot be read.
block_store block_store_local(const std::string& dir, bool clean_leftovers, const catalog* index);

// The S3 bucket of cfg, shared by every serving process: blocks of at most
// PACK_BLOCK_THRESHOLD bytes in pack objects packs/<name> when index (the
// catalog that indexes them; it must outlive the store) is not null, the
// others as objects blocks/<digest>, PUT at publish. Ops null with *err set
// when the bucket cannot be reached with these credentials, or when this
// program was built without S3 support.
block_store block_store_s3(const s3_config& cfg, const catalog* index, std::string* err);
// Makes the bucket of cfg (one already owned counts as made); false with
// *err set.
bool block_store_s3_make_bucket(const s3_config& cfg, std::string* err);

// ---- catalog ----------------------------------------------------------------

struct cat_user {
    uint32_t id;
    std::string name;
    std::string account;
    uint32_t account_number;
    uint8_t key_digest[20];
    // As read: how often the user's stamps were cleared as a whole (verify
    // found damage). Set by the catalog alone; user_add leaves it.
    uint64_t stamp_epoch = 0;
};

struct cat_block {
    blk_digest digest;
    std::vector<uint8_t> md5; // 16 bytes, or empty (one-block files)
    uint64_t length;          // ciphertext bytes
    bool damaged = false;     // as read: verify marked the stored block damaged
};

struct cat_version {
    int64_t id;
    std::string path;
    uint64_t size;
    uint32_t mtime;
    uint32_t block_size;
    int64_t committed;    // seconds since 1970
    int64_t replaced;     // 0 while current
    bool damaged;         // verify found it damaged
    std::string security; // the file's security record as the agent sent it (may be empty)
    std::vector<cat_block> blocks;
};

struct cat_entry { // one child in a listing
    std::string name;
    bool folder;
    uint32_t mtime;
    uint64_t size;
    bool damaged; // files: verify found the version damaged
};

struct cat_mail {
    int64_t id;
    uint32_t user;
    uint64_t schedule_id;
    std::string recipients; // one per line
    int64_t received;
    std::string body;
};

// Where a stored report stands with one of its recipients. mail_add queues
// one delivery per recipient; the server's mailer (mailer.cpp) moves it on.
enum cat_delivery_state {
    CAT_DLV_QUEUED = 0,   // not tried yet
    CAT_DLV_SENT = 1,     // the relay took it
    CAT_DLV_RETRYING = 2, // a try failed for a while (4xx, no connection); due again at next_try
    CAT_DLV_BOUNCED = 3,  // the relay refused it for good (5xx); kept
    CAT_DLV_FAILED = 4,   // given up: not delivered in time; kept
    CAT_DLV_REFUSED = 5,  // not tried: the recipient is no e-mail address; kept
};

struct cat_delivery {
    int64_t mail = 0;
    uint32_t idx = 0; // the recipient's place in the mail's list
    std::string recipient;
    int state = CAT_DLV_QUEUED;
    uint32_t attempts = 0;
    int64_t queued = 0;   // when the outbox took it (seconds since 1970)
    int64_t next_try = 0; // queued and retrying: due from then on
    int64_t last_try = 0; // 0: never tried
    int64_t sent = 0;     // when the relay took it
    std::string reply;    // the relay's last reply (or why nothing was sent)
};

// A version waiting for the group commit.
struct cat_commit {
    uint32_t user;
    std::string path;
    uint64_t size;
    uint32_t mtime;
    uint32_t block_size;
    std::string security;
    std::vector<cat_block> blocks;
    std::vector<blk_digest> repaired; // damaged blocks this version stored afresh
};

// What verify found: versions and blocks damaged, and those found whole
// again (their marks are cleared).
struct cat_damage {
    std::vector<int64_t> bad_versions, good_versions;
    std::vector<blk_digest> bad_blocks, good_blocks;
};

// One user with what the catalog holds of theirs.
struct cat_user_summary {
    cat_user user;
    uint64_t files = 0;    // current versions
    uint64_t bytes = 0;    // their sizes
    uint64_t versions = 0; // every stored version, replaced ones too
    uint64_t stamps = 0;   // change-index stamps (one per host and schedule)
    uint64_t mails = 0;    // stored e-mail reports
};

// One entry of a tree as it stood at a time: a folder or the version of a
// file current then.
struct cat_tree_entry {
    std::string path; // full stored path, no leading '/'
    bool folder;
    int64_t version; // files: the version's id; folders: 0
    uint64_t size;
    uint32_t mtime;    // files: as the client sent it; folders: when made
    int64_t committed; // files: when this version was stored
    bool damaged;
};

// A change-index stamp: the end time of the last job of a host and
// schedule that released its lock with one.
struct cat_stamp {
    uint8_t host[20];
    std::string schedule;
    uint32_t stamp;
};

// An identity that held a user lock: user id and host id, and the user's
// stamp epoch when the identity logged in for the job that took the lock.
struct cat_holder {
    uint32_t user;
    uint8_t host[20];
    uint64_t epoch = 0;
};

// One job of a user, from the lock that began it to the release that ended
// it, with what the server saw it do.
struct cat_run {
    int64_t id = 0;
    uint32_t user = 0;
    uint32_t destination = 0; // the first destination the job locked
    uint8_t host[20] = {};
    std::string schedule;
    int64_t started = 0;
    int64_t ended = 0;    // 0: the run did not end (killed, cut off, or running)
    bool vouched = false; // its release stored the stamp it carried
    uint64_t files_sent = 0;    // versions queued for the commit
    uint64_t bytes_sent = 0;    // block data received
    uint64_t files_skipped = 0; // opens answered "up to date"
    uint64_t deleted = 0;       // deletes that removed something
};

// One child of a folder as it stood at a time, with what became of it.
struct cat_hist_entry {
    std::string name;
    bool folder = false;
    uint64_t size = 0;
    uint32_t mtime = 0;    // files: as the client sent it; folders: when made
    int64_t committed = 0; // files: when the version was stored
    int64_t version = 0;   // files: the version's id
    bool damaged = false;
    bool gone = false;          // there before the time and gone by it (history pages)
    bool deleted_later = false; // there at the time, not there now
};

// Where a packed block lies: the record at pos of pack (packs.id) holds its
// length bytes.
struct cat_packed {
    blk_digest digest;
    int64_t pack = 0;
    uint64_t pos = 0;
    uint64_t length = 0;
    bool replace = false; // packed_add: switch a row already there to this record
};

// A pack file of the local block store: its name below STORE/packs, the end
// of its last indexed record, and whether it takes no more records.
struct cat_pack {
    int64_t id = 0;
    std::string name;
    uint64_t size = 0;
    bool sealed = false;
};

enum cat_result {
    CAT_OK = 0,
    CAT_FAIL = -1,
    CAT_EXISTS = 1,
    CAT_NOT_FOUND = 2,
    CAT_NOT_DIR = 3,
    CAT_NOT_FILE = 4
};

struct catalog_ops {
    int (*user_add)(void* self, const cat_user& u);
    int (*user_get)(void* self, uint32_t id, cat_user* out); // CAT_OK / CAT_NOT_FOUND
    int (*stamp_get)(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                     uint32_t* stamp);
    int (*stamp_set)(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                     uint32_t stamp);
    // Removes the stamps of a user: of one host (host not null) and one
    // schedule (sched not null), or all of them; clearing all of them also
    // moves the user's stamp epoch on, so that no holder that logged in
    // before stores one (stamp_vouch). CAT_OK / CAT_FAIL.
    int (*stamps_clear)(void* self, uint32_t user, const uint8_t* host, const std::string* sched);
    // The stamp of a lock holder's release: stored only when the holder's
    // row is there and carries the user's stamp epoch as it is now, all in
    // one transaction with respect to stamps_clear (in every process sharing
    // the catalog). CAT_OK; CAT_EXISTS when the user's stamps were cleared
    // since the holder logged in, or it holds no row (nothing stored);
    // CAT_FAIL.
    int (*stamp_vouch)(void* self, uint32_t user, const uint8_t* host, const std::string& sched,
                       uint32_t stamp);
    // Lock holders, kept durably so that a process started after a crash
    // knows who was in the middle of a job: noted when a lock is taken (a
    // row noted already keeps its epoch: the job's first log-in counts),
    // forgotten at the holder's release. CAT_OK / CAT_FAIL.
    int (*holder_note)(void* self, const cat_holder& h);
    int (*holder_forget)(void* self, const cat_holder& h);
    int (*holders)(void* self, std::vector<cat_holder>* out);
    // Makes the folder and its missing parents: CAT_OK, CAT_EXISTS, CAT_NOT_DIR.
    int (*folder_make)(void* self, uint32_t user, const std::string& path, int64_t now);
    // Kind 0 file, 1 folder with its contents: CAT_OK or CAT_NOT_FOUND.
    int (*remove)(void* self, uint32_t user, int kind, const std::string& path, int64_t now);
    // Children of a folder in the tree as it stood at time at (0: now);
    // CAT_NOT_FOUND / CAT_NOT_DIR.
    int (*list)(void* self, uint32_t user, const std::string& path, int64_t at,
                std::vector<cat_entry>* out);
    // True when path was a folder at time at (0: now); the root always is.
    bool (*is_folder)(void* self, uint32_t user, const std::string& path, int64_t at);
    // The version current at time at (0: now), with its blocks.
    int (*version_at)(void* self, uint32_t user, const std::string& path, int64_t at,
                      cat_version* out);
    // Every version of a path, oldest first, without blocks.
    int (*history)(void* self, uint32_t user, const std::string& path,
                   std::vector<cat_version>* out);
    // Every current version of a user (all users with user 0), with blocks.
    int (*all_current)(void* self, uint32_t user,
                       std::vector<std::pair<uint32_t, cat_version>>* out);
    // Makes the batch current in one transaction (parents made as needed).
    // results gets one code per version: CAT_OK, or CAT_NOT_FILE /
    // CAT_NOT_DIR for a version dropped because its path or a parent is of
    // the other kind now. CAT_FAIL: nothing of the batch was stored.
    int (*commit)(void* self, const std::vector<cat_commit>& batch, int64_t now,
                  std::vector<int>* results);
    // Damage marks: whether a block is marked damaged, and recording what
    // verify found (every current version using a damaged block is marked
    // too). CAT_OK / CAT_FAIL.
    bool (*block_damaged)(void* self, const blk_digest& d);
    int (*damage_record)(void* self, const cat_damage& d);
    int (*mail_add)(void* self, const cat_mail& m);
    int (*mail_list)(void* self, std::vector<cat_mail>* out); // bodies left empty
    int (*mail_get)(void* self, int64_t id, cat_mail* out);
    // Every user with counts of their rows, by id. CAT_OK / CAT_FAIL.
    int (*user_list)(void* self, std::vector<cat_user_summary>* out);
    // Removes a user and every row of theirs (versions with their blocks,
    // folders, stamps, lock holders, mail) in one transaction. orphans gets
    // the digests that no remaining version names any more: their stored
    // blocks may be deleted. CAT_OK / CAT_NOT_FOUND / CAT_FAIL.
    int (*user_remove)(void* self, uint32_t id, std::vector<blk_digest>* orphans);
    // Every folder and file strictly below path (the whole tree for the
    // root) as it stood at time at (0: now), sorted by path; a path that
    // was a folder and a file at once lists as the folder. CAT_OK /
    // CAT_NOT_FOUND / CAT_NOT_DIR (path was a file then).
    int (*tree)(void* self, uint32_t user, const std::string& path, int64_t at,
                std::vector<cat_tree_entry>* out);
    // The change-index stamps of a user. CAT_OK / CAT_FAIL.
    int (*stamps)(void* self, uint32_t user, std::vector<cat_stamp>* out);
    // The ids of a user's stored mail, newest first. CAT_OK / CAT_FAIL.
    int (*mail_of)(void* self, uint32_t user, std::vector<int64_t>* out);
    void (*destroy)(void* self);

    // User locks as leases in the catalog, shared by every process serving
    // it; null when the locks live in the serving process's memory. A lease
    // is a row per (user, destination) with its holder, the process
    // (frontend) that granted or renewed it last and an expiry counted on
    // the catalog's clock, so processes with skewed clocks agree.
    //
    // Takes the holder's leases on every destination for ttl_ms, all or
    // none: each must be free, expired or the holder's already. CAT_OK /
    // CAT_EXISTS (another identity holds one) / CAT_FAIL.
    int (*lease_take)(void* self, const cat_holder& h, const std::vector<uint32_t>& dests,
                      const std::string& frontend, uint32_t ttl_ms);
    // Extends the holder's unexpired leases to at least now + ttl_ms; dests
    // gets their destinations, sorted: the leases the holder still has.
    // CAT_OK / CAT_FAIL.
    int (*lease_renew)(void* self, const cat_holder& h, const std::string& frontend,
                       uint32_t ttl_ms, std::vector<uint32_t>* dests);
    // Drops every lease of the holder. CAT_OK / CAT_FAIL.
    int (*lease_release)(void* self, const cat_holder& h);

    // A listing page by page, so that no folder is read whole into memory:
    // the children of a folder as it stands now whose names sort after
    // after (byte order; "" for the first page), at most limit of them,
    // sorted by name (a name that is a folder and a file lists as the
    // folder). CAT_OK / CAT_NOT_FOUND / CAT_NOT_DIR / CAT_FAIL.
    int (*list_page)(void* self, uint32_t user, const std::string& path, const std::string& after,
                     size_t limit, std::vector<cat_entry>* out);
    // How many children the folder has now (a name that is both may count
    // twice). CAT_OK / CAT_NOT_FOUND / CAT_NOT_DIR / CAT_FAIL.
    int (*list_count)(void* self, uint32_t user, const std::string& path, uint64_t* count);

    // The outbox of the stored reports: mail_add queues a delivery per
    // recipient in the same transaction as the message.
    //
    // Claims up to limit deliveries that are due (queued or retrying, with
    // next_try <= now) and that no live claim holds, for worker, for
    // claim_s seconds: no other worker (in this or another process sharing
    // the catalog) claims them before the claim is settled or has expired.
    // out gets them, oldest due first; *next_due the earliest next_try of the
    // due-or-waiting deliveries left unclaimed (0: none). CAT_OK / CAT_FAIL.
    int (*outbox_claim)(void* self, int64_t now, uint32_t limit, const std::string& worker,
                        uint32_t claim_s, std::vector<cat_delivery>* out, int64_t* next_due);
    // Stores a claimed delivery's new state (state, attempts, next_try,
    // last_try, sent, reply) and ends the claim. CAT_OK; CAT_NOT_FOUND when
    // worker's claim on it is gone (the row was removed or claimed anew);
    // CAT_FAIL.
    int (*outbox_record)(void* self, const cat_delivery& d, const std::string& worker);
    // The deliveries of one mail (mail 0: of every mail), by mail and
    // recipient. CAT_OK / CAT_FAIL.
    int (*outbox_list)(void* self, int64_t mail, std::vector<cat_delivery>* out);
    // Queues a mail's bounced, failed and refused deliveries again as new
    // ones (attempts 0, queued now) and makes its retrying ones due now; a
    // mail stored before the outbox existed gets its deliveries queued.
    // *queued gets the deliveries now due. CAT_OK / CAT_NOT_FOUND (no such
    // mail) / CAT_FAIL.
    int (*outbox_retry)(void* self, int64_t mail, int64_t now, uint32_t* queued);
    // Runs. run_start stores a run that has not ended (r->id gets its id),
    // durably, before any version of the job is committed; run_end stores
    // its end, its counts and whether it was vouched. CAT_OK / CAT_FAIL.
    int (*run_start)(void* self, cat_run* r);
    int (*run_end)(void* self, const cat_run& r);
    // A user's runs with an id below before (0: all), newest first, at most
    // limit. CAT_OK / CAT_FAIL.
    int (*runs_page)(void* self, uint32_t user, int64_t before, size_t limit,
                     std::vector<cat_run>* out);
    // One run of a user; next_started gets the start of the user's next run
    // (0 when none began since). CAT_OK / CAT_NOT_FOUND (none, or another
    // user's) / CAT_FAIL.
    int (*run_get)(void* self, uint32_t user, int64_t id, cat_run* out, int64_t* next_started);
    // A page of a folder's children as they stood at time at (> 0): names
    // after after, at most limit, sorted by name (bytes); with history also
    // the names there before at and gone by then. A name that was a folder
    // and a file lists as the one there at the time (the folder when both
    // were). CAT_OK / CAT_NOT_FOUND / CAT_NOT_DIR (path was not a folder at
    // the time) / CAT_FAIL.
    int (*history_page)(void* self, uint32_t user, const std::string& path, int64_t at,
                        const std::string& after, size_t limit, bool history,
                        std::vector<cat_hist_entry>* out);
    // The stored length of a block that a version of the user names, current
    // or not. CAT_OK / CAT_NOT_FOUND / CAT_FAIL.
    int (*block_of_user)(void* self, uint32_t user, const blk_digest& d, uint64_t* length);

    // The index of the packed blocks. Where a digest's record lies, with its
    // pack's name. CAT_OK / CAT_NOT_FOUND / CAT_FAIL.
    int (*packed_get)(void* self, const blk_digest& d, cat_packed* out, std::string* pack_name);
    // Names a batch's records of one pack in one transaction and sets the
    // pack's size: a digest already indexed keeps its row unless the new row
    // is marked replace. CAT_OK / CAT_FAIL (nothing stored).
    int (*packed_add)(void* self, int64_t pack, uint64_t size, const std::vector<cat_packed>& rows);
    // Drops a digest's row (its record becomes dead bytes); none there
    // counts as dropped. CAT_OK / CAT_FAIL.
    int (*packed_remove)(void* self, const blk_digest& d);
    // Registers a new, unsealed pack of that name; *id gets its id.
    // CAT_OK / CAT_EXISTS / CAT_FAIL.
    int (*pack_register)(void* self, const std::string& name, int64_t* id);
    // Seals a pack at that size: it takes no more records. CAT_OK /
    // CAT_NOT_FOUND / CAT_FAIL.
    int (*pack_seal)(void* self, int64_t id, uint64_t size);
    // The packs not sealed yet, by id. CAT_OK / CAT_FAIL.
    int (*packs_unsealed)(void* self, std::vector<cat_pack>* out);
};

// Merges a history page's folders and files (each sorted by name, at most
// limit long) into out as history_page says. Shared by the catalogs.
void cat_merge_history(std::vector<cat_hist_entry>&& folders, std::vector<cat_hist_entry>&& files,
                       size_t limit, std::vector<cat_hist_entry>* out);

// Merges a page's folders and files (each sorted by name, each at most
// limit long) into out: sorted, one entry a name (the folder wins), at
// most limit. Shared by the catalogs.
void cat_merge_page(std::vector<cat_entry>&& folders, std::vector<cat_entry>&& files, size_t limit,
                    std::vector<cat_entry>* out);

// The recipients of a mail as its deliveries number them: its lines in
// order, empty ones left out. Shared by the catalogs.
std::vector<std::string> cat_mail_recipients(const std::string& recipients);

struct catalog {
    const catalog_ops* ops;
    void* self;
};

// Version 2 added security records, damage marks and lock holders; version 3
// the stamp epochs of users and holders. An older catalog is upgraded when
// opened.
enum { CAT_SCHEMA_VERSION = 3 };

// Opens (create: makes) DIR/catalog.db; ops null on failure with *err set.
// Its locks live in the serving process (no lease ops).
catalog catalog_sqlite_open(const std::string& dir, bool create, std::string* err);

// Opens the catalog in a PostgreSQL database; conninfo is anything libpq
// accepts (a postgresql:// URI or key=value pairs), the password comes from
// libpq's environment or password file. create makes the schema where it is
// missing (a catalog already there is joined, as by another frontend); an
// older schema is brought up to date. Ops null on failure with *err set, and
// always in a build without PostgreSQL support.
catalog catalog_pg_open(const std::string& conninfo, bool create, std::string* err);
