// block_store_local.cpp - blocks below DIR, named by the SHA-256 of their
// bytes: small ones as records of pack files in DIR/packs/, indexed in the
// catalog, larger ones (and every block of a store opened without an index)
// as files below DIR/blocks/, one sub-folder per first two hex digits.
//
// A block file is written to DIR/blocks/tmp/ first; publish() makes a whole
// batch durable with one barrier, renames each into place and makes the
// renames durable with a second barrier. A crash therefore never leaves a
// named block with partial contents, only temporaries, which the serving
// process removes when it opens the store.
//
// A small block is kept in memory while staged; publish() appends the batch's
// records to the pack this opening of the store appends to, makes them
// durable with one barrier and only then names them in the catalog's index.
// A crash leaves at most a torn or unnamed tail in a pack that is not sealed;
// the serving process cuts such tails and seals those packs when it opens the
// store. Every file operation goes through the platform layer, so its fault
// switch reaches the store too.
#include "tools/server/store.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"
#include "platform/server.h"
#include "tools/server/pack_file.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

namespace {

// The pack this opening appends to; none while f is closed.
struct open_pack {
    pack_file file;
    int64_t id = 0;
    std::string name;
    plat_store_lock* lock = nullptr; // packs/<name>.lock, held while appending
    bool made_now = false;           // made since its last barrier: its name is not durable yet
};

struct local_store {
    std::string root;   // DIR/blocks
    std::string tmp;    // DIR/blocks/tmp
    std::string packs;  // DIR/packs
    std::string prefix; // random per opening, so two processes never collide
    std::atomic<uint64_t> counter{0};
    catalog index{nullptr, nullptr}; // ops null: no packs
    std::mutex pack_mu;              // the open pack and its index rows
    open_pack pack;
    uint64_t pack_counter = 0;
};

} // namespace

struct blk_staging {
    std::string tmp_path;
    plat_file f = PLAT_NO_FILE;
    owner<EVP_MD_CTX, EVP_MD_CTX_free> md;
    uint64_t len = 0;
    blk_digest digest;
    bool replace = false; // the stored copy of this digest is damaged
    bool finished = false;
    // A block no larger than the packing threshold stays here (no file) and
    // goes to a pack; a larger one spills to tmp_path.
    bool in_memory = false;
    std::vector<uint8_t> mem;
};

static std::string block_path(const local_store* ls, const blk_digest& d) {
    return ls->root + "/" + d.substr(0, 2) + "/" + d;
}

static bool digest_ok(const blk_digest& d) {
    if (d.size() != 64) return false;
    for (char c : d)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Makes a folder unless it is there already; 0 / -1.
static int ensure_folder(const std::string& path) {
    if (plat_mkdir(path.c_str(), true) == 0) return 0;
    int e = plat_last_error();
    if (plat_is_folder(path.c_str())) return 0;
    plat_set_last_error(e);
    return -1;
}

// Size of the stored file, or -1 when there is none (or it is not a file).
static int64_t stored_size(const std::string& path) {
    plat_file_info info;
    if (plat_file_status(path.c_str(), &info) != 0) return -1;
    if (info.attributes & (PLAT_ATTR_DIRECTORY | PLAT_ATTR_REPARSE)) return -1;
    return info.size;
}

// Closes and removes the temporary (if still there) and frees the staging.
static void discard(blk_staging* s) {
    if (!s) return;
    if (s->f != PLAT_NO_FILE) plat_file_close(s->f);
    if (!s->tmp_path.empty()) plat_unlink(s->tmp_path.c_str());
    delete s;
}

// Makes the staging's temporary file; 0 / -1.
static int make_tmp(local_store* ls, blk_staging* s) {
    uint64_t n = ls->counter.fetch_add(1);
    std::string path = ls->tmp + "/" + ls->prefix + "-" + std::to_string(n);
    s->f = plat_file_create(path.c_str(), true);
    if (s->f == PLAT_NO_FILE) return -1;
    s->tmp_path = path;
    return 0;
}

static int write_all(plat_file f, const uint8_t* p, size_t n) {
    if (n > 0x7fffffffu) return -1;
    // A short count means the disk refused the rest.
    return plat_file_write(f, p, static_cast<uint32_t>(n)) == static_cast<int32_t>(n) ? 0 : -1;
}

static blk_staging* ls_stage_open(void* self) {
    local_store* ls = static_cast<local_store*>(self);
    std::unique_ptr<blk_staging> s(new blk_staging());
    s->md.reset(EVP_MD_CTX_new());
    if (!s->md || EVP_DigestInit_ex(s->md.get(), EVP_sha256(), nullptr) != 1) return nullptr;
    if (ls->index.ops) {
        s->in_memory = true;
        return s.release();
    }
    if (make_tmp(ls, s.get()) != 0) return nullptr;
    return s.release();
}

static int ls_stage_write(void* self, blk_staging* s, const uint8_t* p, size_t n) {
    if (n == 0) return 0;
    if (s->finished || n > 0x7fffffffu) return -1;
    if (s->in_memory && s->mem.size() + n > PACK_BLOCK_THRESHOLD) {
        // Too large for a pack: the bytes so far go to a file of its own.
        if (make_tmp(static_cast<local_store*>(self), s) != 0 ||
            write_all(s->f, s->mem.data(), s->mem.size()) != 0)
            return -1;
        s->in_memory = false;
        std::vector<uint8_t>().swap(s->mem);
    }
    if (s->in_memory) {
        s->mem.insert(s->mem.end(), p, p + n);
    } else if (s->f == PLAT_NO_FILE || write_all(s->f, p, n) != 0) {
        return -1;
    }
    EVP_DigestUpdate(s->md.get(), p, n);
    s->len += n;
    return 0;
}

static int ls_stage_finish(void* self, blk_staging* s, blk_digest* digest, uint64_t* len) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    if (s->finished) return -1;
    // An empty block cannot be a record: it is a file of its own.
    if (s->in_memory && s->len == 0) {
        if (make_tmp(static_cast<local_store*>(self), s) != 0) return -1;
        s->in_memory = false;
    }
    int rc = 0;
    if (!s->in_memory) {
        if (s->f == PLAT_NO_FILE) return -1;
        rc = plat_file_close(s->f);
        s->f = PLAT_NO_FILE;
    }
    s->finished = true;
    if (rc != 0 || EVP_DigestFinal_ex(s->md.get(), md, &mdlen) != 1) return -1;
    s->digest = hex_lower(md, mdlen);
    *digest = s->digest;
    *len = s->len;
    return 0;
}

static void ls_stage_replace(void*, blk_staging* s) {
    s->replace = true;
}

static void ls_stage_abort(void*, blk_staging* s) {
    discard(s);
}

// Puts one finished staging in place; 0 / -1. A block already stored with
// the same length is the same bytes (its name is their digest) unless it is
// known damaged; one of another length is damaged and is replaced.
static int place(local_store* ls, blk_staging* s) {
    std::string final_path = block_path(ls, s->digest);
    int64_t have = stored_size(final_path);
    if (have >= 0 && static_cast<uint64_t>(have) == s->len && !s->replace) return 0;
    if (ensure_folder(ls->root + "/" + s->digest.substr(0, 2)) != 0) return -1;
    if (have >= 0 || s->replace) {
        if (plat_rename_replace(s->tmp_path.c_str(), final_path.c_str()) != 0) return -1;
    } else if (plat_rename(s->tmp_path.c_str(), final_path.c_str()) != 0) {
        // Another thread may have placed the same digest in between: the
        // same bytes, and the temporary is removed with the staging.
        int64_t now = stored_size(final_path);
        return now >= 0 && static_cast<uint64_t>(now) == s->len ? 0 : -1;
    }
    s->tmp_path.clear(); // renamed: nothing left to remove
    return 0;
}

// Per-file part of a batch: the old two-barrier path.
static int publish_files(local_store* ls, const std::vector<blk_staging*>& files) {
    bool any = false;
    for (blk_staging* s : files) {
        int64_t have = stored_size(block_path(ls, s->digest));
        any = any || s->replace || have < 0 || static_cast<uint64_t>(have) != s->len;
    }
    // First barrier: the data of every new block is durable before any name
    // points at it.
    if (any && plat_store_sync(ls->root.c_str()) != 0) return -1;
    for (blk_staging* s : files)
        if (place(ls, s) != 0) return -1;
    // Second barrier: the renames themselves.
    if (any && plat_store_sync(ls->root.c_str()) != 0) return -1;
    return 0;
}

static bool ls_has(void* self, const blk_digest& d, uint64_t len);

// ---- packs -----------------------------------------------------------------

static std::string pack_path(const local_store* ls, const std::string& name) {
    return ls->packs + "/" + name + ".pack";
}

static std::string pack_lock_path(const local_store* ls, const std::string& name) {
    return ls->packs + "/" + name + ".lock";
}

// Closes the open pack and lets it go: sealed at its size when seal (it
// takes no more records), else left for the next serving opening to repair.
static void pack_let_go(local_store* ls, bool seal) {
    open_pack& p = ls->pack;
    if (p.file.f == PLAT_NO_FILE) return;
    bool closed = pack_close(&p.file) == PACK_OK && !p.file.broken;
    if (seal && closed && ls->index.ops->pack_seal(ls->index.self, p.id, p.file.size) == CAT_OK) {
        plat_store_unlock(p.lock);
        plat_unlink(pack_lock_path(ls, p.name).c_str());
    } else {
        plat_store_unlock(p.lock);
    }
    p = open_pack();
}

// Makes sure a pack is open for this batch: the one open unless it is broken
// or full, else a new one, registered before it is made so that a crash
// leaves it to the repair. 0 / -1.
static int pack_ready(local_store* ls) {
    open_pack& p = ls->pack;
    if (p.file.f != PLAT_NO_FILE && !p.file.broken && p.file.size < PACK_TARGET_SIZE) return 0;
    pack_let_go(ls, !p.file.broken);
    open_pack n;
    n.name = ls->prefix + "-" + std::to_string(ls->pack_counter++);
    if (ls->index.ops->pack_register(ls->index.self, n.name, &n.id) != CAT_OK) return -1;
    n.lock = plat_store_lock_take(pack_lock_path(ls, n.name).c_str());
    if (!n.lock) return -1;
    if (pack_open_append(pack_path(ls, n.name), true, &n.file, nullptr) != PACK_OK) {
        plat_store_unlock(n.lock);
        return -1;
    }
    n.made_now = true;
    p = std::move(n);
    return 0;
}

// Appends the batch's new small blocks to the open pack, makes them durable
// and then names them in the index; 0 / -1 (none of them named then).
static int publish_packed(local_store* ls, const std::vector<blk_staging*>& small) {
    std::lock_guard<std::mutex> g(ls->pack_mu);
    std::vector<cat_packed> rows;
    std::set<blk_digest> seen;
    for (blk_staging* s : small) {
        if (!seen.insert(s->digest).second) continue;
        if (!s->replace && ls_has(ls, s->digest, s->len)) continue;
        if (rows.empty() && pack_ready(ls) != 0) return -1;
        uint8_t d[32];
        hex_decode(s->digest.data(), 32, d);
        cat_packed r;
        r.digest = s->digest;
        r.length = s->len;
        r.replace = s->replace;
        if (pack_append(&ls->pack.file, d, s->mem.data(), static_cast<uint32_t>(s->len), &r.pos) !=
            PACK_OK)
            return -1;
        rows.push_back(r);
    }
    if (rows.empty()) return 0;
    open_pack& p = ls->pack;
    // A pack made for this batch needs its name durable too: the store's
    // barrier covers both.
    if (p.made_now) {
        if (plat_store_sync(ls->packs.c_str()) != 0) return -1;
        p.file.synced = p.file.size;
        p.made_now = false;
    } else if (pack_sync(&p.file) != PACK_OK) {
        return -1;
    }
    return ls->index.ops->packed_add(ls->index.self, p.id, p.file.size, rows) == CAT_OK ? 0 : -1;
}

// The pack record of a digest: 1 found, 0 none, -1 the index failed.
static int packed_find(local_store* ls, const blk_digest& d, cat_packed* row, std::string* name) {
    if (!ls->index.ops) return 0;
    int rc = ls->index.ops->packed_get(ls->index.self, d, row, name);
    if (rc == CAT_OK) return 1;
    return rc == CAT_NOT_FOUND ? 0 : -1;
}

// Cuts the torn tails of the packs a dead process left open and seals them.
// A pack another live process appends to (its lock is held) is left; one
// that is damaged in its middle is left unsealed for verify. 0 / -1 (the
// index cannot be read).
static int repair_packs(local_store* ls) {
    std::vector<cat_pack> open;
    if (ls->index.ops->packs_unsealed(ls->index.self, &open) != CAT_OK) return -1;
    for (const cat_pack& k : open) {
        if (k.name.empty() || k.name.find_first_of("/\\.") != std::string::npos)
            continue; // never a name of ours
        std::string lock_path = pack_lock_path(ls, k.name);
        plat_store_lock* lock = plat_store_lock_take(lock_path.c_str());
        if (!lock) continue;
        std::string path = pack_path(ls, k.name);
        bool sealed = false;
        if (!plat_exists(path.c_str())) {
            // Registered, never made: nothing in it was ever named.
            sealed = ls->index.ops->pack_seal(ls->index.self, k.id, 0) == CAT_OK;
        } else {
            pack_file f;
            uint64_t cut = 0;
            if (pack_open_append(path, false, &f, &cut) == PACK_OK) {
                bool durable = pack_sync(&f) == PACK_OK;
                bool closed = pack_close(&f) == PACK_OK;
                sealed = durable && closed &&
                         ls->index.ops->pack_seal(ls->index.self, k.id, f.size) == CAT_OK;
            }
        }
        plat_store_unlock(lock);
        if (sealed) plat_unlink(lock_path.c_str());
    }
    return 0;
}

static int ls_publish(void* self, std::vector<blk_staging*>* batch) {
    local_store* ls = static_cast<local_store*>(self);
    int rc = 0;
    std::vector<blk_staging*> small, files;
    for (blk_staging* s : *batch) {
        if (!s->finished || s->digest.empty()) rc = -1; // never finished
        (s->in_memory ? small : files).push_back(s);
    }
    if (rc == 0 && !small.empty() && publish_packed(ls, small) != 0) rc = -1;
    if (rc == 0 && !files.empty() && publish_files(ls, files) != 0) rc = -1;
    for (blk_staging* s : *batch)
        discard(s);
    batch->clear();
    return rc;
}

static bool file_has(local_store* ls, const blk_digest& d, uint64_t len) {
    int64_t have = stored_size(block_path(ls, d));
    return have >= 0 && static_cast<uint64_t>(have) == len;
}

static bool ls_has(void* self, const blk_digest& d, uint64_t len) {
    local_store* ls = static_cast<local_store*>(self);
    if (!digest_ok(d)) return false;
    cat_packed row;
    std::string name;
    if (packed_find(ls, d, &row, &name) == 1 && row.length == len) return true;
    return file_has(ls, d, len);
}

// The packed block of row: 0; BLK_DAMAGED when the record is not what
// the row says; -1 when the pack is missing or unreadable.
static int packed_read(local_store* ls, const cat_packed& row, const std::string& name,
                       std::vector<uint8_t>* out) {
    if (row.length == 0 || row.length > PACK_BLOCK_LIMIT || name.empty() ||
        name.find_first_of("/\\.") != std::string::npos)
        return BLK_DAMAGED;
    plat_file f = plat_file_open_read(pack_path(ls, name).c_str());
    if (f == PLAT_NO_FILE) return -1;
    uint8_t d[32];
    hex_decode(row.digest.data(), 32, d);
    int rc = pack_read(f, row.pos, static_cast<uint32_t>(row.length), d, out);
    plat_file_close(f);
    if (rc != PACK_OK) out->clear();
    if (rc == PACK_OK) return 0;
    return rc == PACK_FAILED ? -1 : BLK_DAMAGED;
}

static int ls_get(void* self, const blk_digest& d, std::vector<uint8_t>* out) {
    local_store* ls = static_cast<local_store*>(self);
    out->clear();
    if (!digest_ok(d)) return -1;
    cat_packed row;
    std::string name;
    int found = packed_find(ls, d, &row, &name);
    if (found < 0) return -1;
    if (found == 1) return packed_read(ls, row, name, out);
    plat_file f = plat_file_open_read(block_path(ls, d).c_str());
    if (f == PLAT_NO_FILE) return -1;
    uint8_t buf[65536];
    int32_t n;
    while ((n = plat_file_read(f, buf, sizeof buf)) > 0)
        out->insert(out->end(), buf, buf + n);
    plat_file_close(f);
    return n < 0 ? -1 : 0;
}

// A packed block's row goes (its record is dead bytes from then on), and
// its file, if any.
static int ls_remove(void* self, const blk_digest& d) {
    local_store* ls = static_cast<local_store*>(self);
    if (!digest_ok(d)) return -1;
    if (ls->index.ops && ls->index.ops->packed_remove(ls->index.self, d) != CAT_OK) return -1;
    std::string path = block_path(ls, d);
    if (plat_unlink(path.c_str()) == 0) return 0;
    return plat_exists(path.c_str()) ? -1 : 0;
}

static void ls_destroy(void* self) {
    local_store* ls = static_cast<local_store*>(self);
    {
        std::lock_guard<std::mutex> g(ls->pack_mu);
        pack_let_go(ls, true);
    }
    delete ls;
}

static const block_store_ops local_ops = {
    ls_stage_open, ls_stage_write, ls_stage_finish, ls_stage_replace, ls_stage_abort,
    ls_publish,    ls_has,         ls_get,          ls_remove,        ls_destroy};

// Removes what an interrupted run left in the temporary folder.
static void clean_tmp(const std::string& tmp) {
    plat_file_info e;
    plat_dir* d = plat_dir_open(tmp.c_str(), &e);
    if (!d) return;
    do {
        std::string name = e.name;
        if (name == "." || name == "..") continue;
        plat_unlink((tmp + "/" + name).c_str());
    } while (plat_dir_next(d, &e) == 0);
    plat_dir_close(d);
}

block_store block_store_local(const std::string& dir, bool clean_leftovers, const catalog* index) {
    std::unique_ptr<local_store> ls(new local_store());
    ls->root = dir + "/blocks";
    ls->tmp = ls->root + "/tmp";
    ls->packs = dir + "/packs";
    if (index) ls->index = *index;
    uint8_t r[8] = {0};
    RAND_bytes(r, sizeof r);
    ls->prefix = hex_lower(r, sizeof r);
    if (ensure_folder(ls->root) != 0 || ensure_folder(ls->tmp) != 0)
        return block_store{nullptr, nullptr};
    if (ls->index.ops && ensure_folder(ls->packs) != 0) return block_store{nullptr, nullptr};
    if (clean_leftovers) clean_tmp(ls->tmp);
    if (clean_leftovers && ls->index.ops && repair_packs(ls.get()) != 0)
        return block_store{nullptr, nullptr};
    return block_store{&local_ops, ls.release()};
}
