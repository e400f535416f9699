// block_store_local.cpp - blocks as files below DIR/blocks/, named by the
// SHA-256 of their bytes, one sub-folder per first two hex digits.
//
// A block is written to DIR/blocks/tmp/ first; publish() makes a whole batch
// durable with one barrier, renames each into place and makes the renames
// durable with a second barrier. A crash therefore never leaves a named block
// with partial contents, only temporaries, which the serving process removes
// when it opens the store. Every file operation goes through the platform
// layer, so its fault switch reaches the store too.
#include "tools/server/store.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"
#include "platform/server.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <memory>

namespace {

struct local_store {
    std::string root;   // DIR/blocks
    std::string tmp;    // DIR/blocks/tmp
    std::string prefix; // random per opening, so two processes never collide
    std::atomic<uint64_t> counter{0};
};

} // namespace

struct blk_staging {
    std::string tmp_path;
    plat_file f = PLAT_NO_FILE;
    owner<EVP_MD_CTX, EVP_MD_CTX_free> md;
    uint64_t len = 0;
    blk_digest digest;
    bool replace = false; // the stored copy of this digest is damaged
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

static blk_staging* ls_stage_open(void* self) {
    local_store* ls = static_cast<local_store*>(self);
    std::unique_ptr<blk_staging> s(new blk_staging());
    s->md.reset(EVP_MD_CTX_new());
    if (!s->md || EVP_DigestInit_ex(s->md.get(), EVP_sha256(), nullptr) != 1) return nullptr;
    uint64_t n = ls->counter.fetch_add(1);
    std::string path = ls->tmp + "/" + ls->prefix + "-" + std::to_string(n);
    s->f = plat_file_create(path.c_str(), true);
    if (s->f == PLAT_NO_FILE) return nullptr;
    s->tmp_path = path;
    return s.release();
}

static int ls_stage_write(void*, blk_staging* s, const uint8_t* p, size_t n) {
    if (n == 0) return 0;
    if (s->f == PLAT_NO_FILE || n > 0x7fffffffu) return -1;
    // A short count means the disk refused the rest.
    if (plat_file_write(s->f, p, static_cast<uint32_t>(n)) != static_cast<int32_t>(n)) return -1;
    EVP_DigestUpdate(s->md.get(), p, n);
    s->len += n;
    return 0;
}

static int ls_stage_finish(void*, blk_staging* s, blk_digest* digest, uint64_t* len) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    if (s->f == PLAT_NO_FILE) return -1;
    int rc = plat_file_close(s->f);
    s->f = PLAT_NO_FILE;
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

static int ls_publish(void* self, std::vector<blk_staging*>* batch) {
    local_store* ls = static_cast<local_store*>(self);
    int rc = 0;
    bool any = false;
    for (blk_staging* s : *batch) {
        if (s->f != PLAT_NO_FILE || s->digest.empty()) rc = -1; // never finished
        int64_t have = stored_size(block_path(ls, s->digest));
        any = any || s->replace || have < 0 || static_cast<uint64_t>(have) != s->len;
    }
    // First barrier: the data of every new block is durable before any name
    // points at it.
    if (rc == 0 && any && plat_store_sync(ls->root.c_str()) != 0) rc = -1;
    for (blk_staging* s : *batch) {
        if (rc == 0 && place(ls, s) != 0) rc = -1;
        discard(s);
    }
    batch->clear();
    // Second barrier: the renames themselves.
    if (rc == 0 && any && plat_store_sync(ls->root.c_str()) != 0) rc = -1;
    return rc;
}

static bool ls_has(void* self, const blk_digest& d, uint64_t len) {
    if (!digest_ok(d)) return false;
    int64_t have = stored_size(block_path(static_cast<local_store*>(self), d));
    return have >= 0 && static_cast<uint64_t>(have) == len;
}

static int ls_get(void* self, const blk_digest& d, std::vector<uint8_t>* out) {
    out->clear();
    if (!digest_ok(d)) return -1;
    plat_file f = plat_file_open_read(block_path(static_cast<local_store*>(self), d).c_str());
    if (f == PLAT_NO_FILE) return -1;
    uint8_t buf[65536];
    int32_t n;
    while ((n = plat_file_read(f, buf, sizeof buf)) > 0)
        out->insert(out->end(), buf, buf + n);
    plat_file_close(f);
    return n < 0 ? -1 : 0;
}

static int ls_remove(void* self, const blk_digest& d) {
    if (!digest_ok(d)) return -1;
    std::string path = block_path(static_cast<local_store*>(self), d);
    if (plat_unlink(path.c_str()) == 0) return 0;
    return plat_exists(path.c_str()) ? -1 : 0;
}

static void ls_destroy(void* self) {
    delete static_cast<local_store*>(self);
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

block_store block_store_local(const std::string& dir, bool clean_leftovers) {
    std::unique_ptr<local_store> ls(new local_store());
    ls->root = dir + "/blocks";
    ls->tmp = ls->root + "/tmp";
    uint8_t r[8] = {0};
    RAND_bytes(r, sizeof r);
    ls->prefix = hex_lower(r, sizeof r);
    if (ensure_folder(ls->root) != 0 || ensure_folder(ls->tmp) != 0)
        return block_store{nullptr, nullptr};
    if (clean_leftovers) clean_tmp(ls->tmp);
    return block_store{&local_ops, ls.release()};
}
