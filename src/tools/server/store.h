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

// ---- block store ------------------------------------------------------------

// Content address: lower-case hex SHA-256 of the stored bytes.
typedef std::string blk_digest;

struct blk_staging; // one block being received
struct block_store_ops {
    // Starts a new block; null on failure.
    blk_staging* (*stage_open)(void* self);
    int (*stage_write)(void* self, blk_staging* s, const uint8_t* p, size_t n); // 0 / -1
    // Ends the data: writes the digest and the length; the block is not yet
    // visible. 0 / -1.
    int (*stage_finish)(void* self, blk_staging* s, blk_digest* digest, uint64_t* len);
    void (*stage_abort)(void* self, blk_staging* s);
    // Makes finished stagings durable and visible under their digests, in one
    // barrier for the whole batch; consumes them. 0 / -1 (none visible then).
    int (*publish)(void* self, std::vector<blk_staging*>* batch);
    bool (*has)(void* self, const blk_digest& d);
    int (*get)(void* self, const blk_digest& d, std::vector<uint8_t>* out); // 0 / -1
    void (*destroy)(void* self);
};

struct block_store {
    const block_store_ops* ops;
    void* self;
};

// The local folder DIR/blocks. clean_leftovers (the serving process only)
// removes the temporaries of an interrupted run.
block_store block_store_local(const std::string& dir, bool clean_leftovers);

// ---- catalog ----------------------------------------------------------------

struct cat_user {
    uint32_t id;
    std::string name;
    std::string account;
    uint32_t account_number;
    uint8_t key_digest[20];
};

struct cat_block {
    blk_digest digest;
    std::vector<uint8_t> md5; // 16 bytes, or empty (one-block files)
    uint64_t length;          // ciphertext bytes
};

struct cat_version {
    int64_t id;
    std::string path;
    uint64_t size;
    uint32_t mtime;
    uint32_t block_size;
    int64_t committed; // seconds since 1970
    int64_t replaced;  // 0 while current
    std::vector<cat_block> blocks;
};

struct cat_entry { // one child in a listing
    std::string name;
    bool folder;
    uint32_t mtime;
    uint64_t size;
};

struct cat_mail {
    int64_t id;
    uint32_t user;
    uint64_t schedule_id;
    std::string recipients; // one per line
    int64_t received;
    std::string body;
};

// A version waiting for the group commit.
struct cat_commit {
    uint32_t user;
    std::string path;
    uint64_t size;
    uint32_t mtime;
    uint32_t block_size;
    std::vector<cat_block> blocks;
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
    // Makes the folder and its missing parents: CAT_OK, CAT_EXISTS, CAT_NOT_DIR.
    int (*folder_make)(void* self, uint32_t user, const std::string& path, int64_t now);
    // Kind 0 file, 1 folder with its contents: CAT_OK or CAT_NOT_FOUND.
    int (*remove)(void* self, uint32_t user, int kind, const std::string& path, int64_t now);
    // Children of a folder in the current tree; CAT_NOT_FOUND / CAT_NOT_DIR.
    int (*list)(void* self, uint32_t user, const std::string& path, std::vector<cat_entry>* out);
    bool (*is_folder)(void* self, uint32_t user, const std::string& path);
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
    int (*commit)(void* self, const std::vector<cat_commit>& batch, int64_t now);
    int (*mail_add)(void* self, const cat_mail& m);
    int (*mail_list)(void* self, std::vector<cat_mail>* out); // bodies left empty
    int (*mail_get)(void* self, int64_t id, cat_mail* out);
    void (*destroy)(void* self);
};

struct catalog {
    const catalog_ops* ops;
    void* self;
};

enum { CAT_SCHEMA_VERSION = 1 };

// Opens (create: makes) DIR/catalog.db; ops null on failure with *err set.
catalog catalog_sqlite_open(const std::string& dir, bool create, std::string* err);
