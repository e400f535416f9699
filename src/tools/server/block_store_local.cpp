// block_store_local.cpp - blocks as files below DIR/blocks/, named by the
// SHA-256 of their bytes, one sub-folder per first two hex digits.
//
// A block is written to DIR/blocks/tmp/ first; publish() makes a whole batch
// durable with one barrier, renames each into place and makes the renames
// durable with a second barrier. A crash therefore never leaves a named block
// with partial contents, only temporaries, which opening removes.
#include "tools/server/store.h"

#include "platform/platform.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

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
    FILE* f;
    EVP_MD_CTX* md;
    uint64_t len;
    blk_digest digest;
    bool present; // the store already holds these bytes
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

static void free_staging(blk_staging* s) {
    if (!s) return;
    if (s->f) fclose(s->f);
    EVP_MD_CTX_free(s->md);
    delete s;
}

static blk_staging* ls_stage_open(void* self) {
    local_store* ls = static_cast<local_store*>(self);
    blk_staging* s = new blk_staging();
    s->f = nullptr;
    s->len = 0;
    s->present = false;
    s->md = EVP_MD_CTX_new();
    uint64_t n = ls->counter.fetch_add(1);
    s->tmp_path = ls->tmp + "/" + ls->prefix + "-" + std::to_string(n);
    s->f = plat_fault_check(PLAT_FAULT_OPEN) ? nullptr : fopen(s->tmp_path.c_str(), "wb");
    if (!s->f || !s->md || EVP_DigestInit_ex(s->md, EVP_sha256(), nullptr) != 1) {
        if (s->f) remove(s->tmp_path.c_str());
        free_staging(s);
        return nullptr;
    }
    return s;
}

static int ls_stage_write(void*, blk_staging* s, const uint8_t* p, size_t n) {
    if (n == 0) return 0;
    if (!s->f || plat_fault_check(PLAT_FAULT_WRITE) || fwrite(p, 1, n, s->f) != n) return -1;
    EVP_DigestUpdate(s->md, p, n);
    s->len += n;
    return 0;
}

static int ls_stage_finish(void* self, blk_staging* s, blk_digest* digest, uint64_t* len) {
    local_store* ls = static_cast<local_store*>(self);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    if (!s->f) return -1;
    int rc = fclose(s->f);
    s->f = nullptr;
    if (rc != 0 || EVP_DigestFinal_ex(s->md, md, &mdlen) != 1) return -1;
    static const char hex[] = "0123456789abcdef";
    s->digest.clear();
    for (unsigned i = 0; i < mdlen; i++) {
        s->digest += hex[md[i] >> 4];
        s->digest += hex[md[i] & 15];
    }
    std::error_code ec;
    if (fs::exists(block_path(ls, s->digest), ec)) {
        s->present = true;
        remove(s->tmp_path.c_str());
    }
    *digest = s->digest;
    *len = s->len;
    return 0;
}

static void ls_stage_abort(void*, blk_staging* s) {
    if (!s) return;
    if (s->f) {
        fclose(s->f);
        s->f = nullptr;
    }
    if (!s->present) remove(s->tmp_path.c_str());
    free_staging(s);
}

static int ls_publish(void* self, std::vector<blk_staging*>* batch) {
    local_store* ls = static_cast<local_store*>(self);
    bool any = false;
    for (blk_staging* s : *batch)
        any = any || !s->present;
    int rc = 0;
    if (any && plat_store_sync(ls->root.c_str()) != 0) rc = -1;
    for (blk_staging* s : *batch) {
        if (rc == 0 && !s->present) {
            std::string final_path = block_path(ls, s->digest);
            std::error_code ec;
            fs::create_directories(ls->root + "/" + s->digest.substr(0, 2), ec);
            if (plat_fault_check(PLAT_FAULT_RENAME) ||
                rename(s->tmp_path.c_str(), final_path.c_str()) != 0)
                rc = -1;
        } else if (!s->present) {
            remove(s->tmp_path.c_str());
        }
        free_staging(s);
    }
    batch->clear();
    if (rc == 0 && any && plat_store_sync(ls->root.c_str()) != 0) rc = -1;
    return rc;
}

static bool ls_has(void* self, const blk_digest& d) {
    std::error_code ec;
    return digest_ok(d) && fs::exists(block_path(static_cast<local_store*>(self), d), ec);
}

static int ls_get(void* self, const blk_digest& d, std::vector<uint8_t>* out) {
    out->clear();
    if (!digest_ok(d)) return -1;
    FILE* f = fopen(block_path(static_cast<local_store*>(self), d).c_str(), "rb");
    if (!f) return -1;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool err = ferror(f) != 0;
    fclose(f);
    return err ? -1 : 0;
}

static void ls_destroy(void* self) {
    delete static_cast<local_store*>(self);
}

static const block_store_ops local_ops = {ls_stage_open,  ls_stage_write, ls_stage_finish,
                                          ls_stage_abort, ls_publish,     ls_has,
                                          ls_get,         ls_destroy};

block_store block_store_local(const std::string& dir, bool clean_leftovers) {
    local_store* ls = new local_store();
    ls->root = dir + "/blocks";
    ls->tmp = ls->root + "/tmp";
    uint8_t r[8] = {0};
    RAND_bytes(r, sizeof r);
    static const char hex[] = "0123456789abcdef";
    for (uint8_t b : r) {
        ls->prefix += hex[b >> 4];
        ls->prefix += hex[b & 15];
    }
    std::error_code ec;
    fs::create_directories(ls->tmp, ec);
    if (clean_leftovers)
        for (const auto& e : fs::directory_iterator(ls->tmp, ec))
            fs::remove(e.path(), ec);
    return block_store{&local_ops, ls};
}
