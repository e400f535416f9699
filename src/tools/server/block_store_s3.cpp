// block_store_s3.cpp - blocks in an S3 bucket shared by every serving
// process: small ones as records of pack objects packs/<name>, indexed in
// the catalog, larger ones (and every block of a store opened without an
// index) as objects blocks/<hex SHA-256 of their bytes>.
//
// A staging holds its bytes in memory until publish(), which counts the
// batch as stored only when every PUT was acknowledged: a catalog row never
// names a block whose PUT failed.
// - The batch's new small blocks make one pack (more when they pass the
//   pack's target size), registered in the catalog, PUT whole, and only then
//   named in the index. A pack whose PUT failed or whose rows were never
//   added is dead bytes that no row names.
// - A larger block is an object of its own. An object already there with
//   the staged length is the same bytes (its name is their digest) and is
//   kept, unless the catalog marked it damaged; one of another length is
//   overwritten.
// Reads of a packed block are ranged GETs of its record, checked as a pack
// file's records are. The ops keep no state besides the client, the index
// and a pack counter, so they are safe from several threads.
#include "tools/server/store.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"
#include "tools/server/pack_file.h"
#include "tools/server/s3_client.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

namespace {

// PUTs of one batch in flight at once.
constexpr size_t S3_PUT_STREAMS = 4;

struct s3_store {
    s3_client* client = nullptr;
    uint64_t max_block = 0;          // largest block staged (and read back)
    catalog index{nullptr, nullptr}; // ops null: no packs
    std::string prefix;              // random per opening: pack names never collide
    std::atomic<uint64_t> pack_counter{0};
};

void report(const std::string& what) {
    plat_debug_output(("tavni-server: S3 block store: " + what + "\n").c_str());
}

std::string key_of(const blk_digest& d) {
    return "blocks/" + d;
}

bool digest_ok(const blk_digest& d) {
    if (d.size() != 64) return false;
    for (char c : d)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A pack name this store makes: no separators, no dots.
bool pack_name_ok(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.find_first_of("/\\.") == std::string::npos;
}

std::string pack_key(const std::string& name) {
    return "packs/" + name;
}

} // namespace

// One block being received. The interface hands every back end's staging
// around as a blk_staging pointer; the local store defines that type, so
// this store's record has a name of its own and travels through the
// pointer type only (a second definition of blk_staging would make two
// stores share one layout's constructor).
struct s3_staging {
    std::vector<uint8_t> data;
    owner<EVP_MD_CTX, EVP_MD_CTX_free> md;
    blk_digest digest; // set by stage_finish
    bool broken = false;
    bool replace = false; // the stored copy of this digest is damaged
};

static s3_staging* of(blk_staging* s) {
    return reinterpret_cast<s3_staging*>(s);
}

static blk_staging* s3s_stage_open(void*) {
    std::unique_ptr<s3_staging> s(new s3_staging());
    s->md.reset(EVP_MD_CTX_new());
    if (!s->md || EVP_DigestInit_ex(s->md.get(), EVP_sha256(), nullptr) != 1) return nullptr;
    return reinterpret_cast<blk_staging*>(s.release());
}

static int s3s_stage_write(void* self, blk_staging* handle, const uint8_t* p, size_t n) {
    const s3_store* st = static_cast<s3_store*>(self);
    s3_staging* s = of(handle);
    if (n == 0) return 0;
    if (s->broken || !s->digest.empty() || n > st->max_block - s->data.size() ||
        s->data.size() > st->max_block) {
        s->broken = true;
        return -1;
    }
    s->data.insert(s->data.end(), p, p + n);
    EVP_DigestUpdate(s->md.get(), p, n);
    return 0;
}

static int s3s_stage_finish(void*, blk_staging* handle, blk_digest* digest, uint64_t* len) {
    s3_staging* s = of(handle);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    if (s->broken || !s->digest.empty() || EVP_DigestFinal_ex(s->md.get(), md, &mdlen) != 1)
        return -1;
    s->digest = hex_lower(md, mdlen);
    *digest = s->digest;
    *len = s->data.size();
    return 0;
}

static void s3s_stage_replace(void*, blk_staging* s) {
    of(s)->replace = true;
}

static void s3s_stage_abort(void*, blk_staging* s) {
    delete of(s);
}

// Stores one finished staging unless an object of its length is there and
// not known damaged; 0 / -1.
static int place(s3_store* st, const s3_staging* s) {
    std::string err, key = key_of(s->digest);
    if (!s->replace) {
        uint64_t have = 0;
        int rc = s3_head(st->client, key, &have, &err);
        if (rc == S3_FAIL) {
            report(err);
            return -1;
        }
        if (rc == S3_OK && have == s->data.size()) return 0;
    }
    if (s3_put(st->client, key, s->data.data(), s->data.size(), s->digest, &err) != S3_OK) {
        report(err);
        return -1;
    }
    return 0;
}

// Places the batch's stagings over S3_PUT_STREAMS requests at once (the
// client's handles are shared by threads): a batch of many small blocks is
// bound by round trips, not by bytes. Each thread takes the next staging
// until none is left or one failed. 0 / -1.
static int place_all(s3_store* st, const std::vector<blk_staging*>& batch) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (size_t i; !failed && (i = next++) < batch.size();)
            if (place(st, of(batch[i])) != 0) failed = true;
    };
    std::vector<std::thread> helpers;
    const size_t streams = std::min<size_t>(S3_PUT_STREAMS, batch.size());
    for (size_t i = 1; i < streams; i++)
        helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers)
        t.join();
    return failed ? -1 : 0;
}

// The pack record of a digest: 1 found, 0 none, -1 the index failed.
static int packed_find(s3_store* st, const blk_digest& d, cat_packed* row, std::string* name) {
    if (!st->index.ops) return 0;
    int rc = st->index.ops->packed_get(st->index.self, d, row, name);
    if (rc == CAT_OK) return 1;
    return rc == CAT_NOT_FOUND ? 0 : -1;
}

// Stores rows' blocks (their stagings in the same order) as one new pack:
// registered, PUT whole, then named in the index and sealed. 0 / -1 (none
// of them named unless the index took them).
static int put_pack(s3_store* st, const std::vector<const s3_staging*>& blocks) {
    std::string name = st->prefix + "-" + std::to_string(st->pack_counter++);
    int64_t id = 0;
    if (st->index.ops->pack_register(st->index.self, name, &id) != CAT_OK) return -1;
    std::vector<uint8_t> image;
    pack_image_start(&image);
    std::vector<cat_packed> rows;
    for (const s3_staging* s : blocks) {
        uint8_t d[32];
        hex_decode(s->digest.data(), 32, d);
        cat_packed r;
        r.digest = s->digest;
        r.length = s->data.size();
        r.replace = s->replace;
        if (pack_image_add(&image, d, s->data.data(), static_cast<uint32_t>(s->data.size()),
                           &r.pos) != PACK_OK)
            return -1;
        rows.push_back(r);
    }
    std::string err;
    if (s3_put(st->client, pack_key(name), image.data(), image.size(), "", &err) != S3_OK) {
        report(err);
        return -1;
    }
    if (st->index.ops->packed_add(st->index.self, id, image.size(), rows) != CAT_OK) return -1;
    return st->index.ops->pack_seal(st->index.self, id, image.size()) == CAT_OK ? 0 : -1;
}

// The batch's small blocks that the index does not hold yet (or holds
// damaged), in packs of at most PACK_TARGET_SIZE. 0 / -1.
static int publish_packed(s3_store* st, const std::vector<blk_staging*>& small) {
    std::set<blk_digest> seen;
    std::vector<const s3_staging*> pack;
    uint64_t size = PACK_HEADER_SIZE;
    for (blk_staging* h : small) {
        const s3_staging* s = of(h);
        if (!seen.insert(s->digest).second) continue;
        cat_packed row;
        std::string name;
        int found = packed_find(st, s->digest, &row, &name);
        if (found < 0) return -1;
        if (found == 1 && row.length == s->data.size() && !s->replace) continue;
        const uint64_t extent = PACK_RECORD_HEADER_SIZE + s->data.size();
        if (!pack.empty() && size + extent > PACK_TARGET_SIZE) {
            if (put_pack(st, pack) != 0) return -1;
            pack.clear();
            size = PACK_HEADER_SIZE;
        }
        pack.push_back(s);
        size += extent;
    }
    return pack.empty() ? 0 : put_pack(st, pack);
}

static int s3s_publish(void* self, std::vector<blk_staging*>* batch) {
    s3_store* st = static_cast<s3_store*>(self);
    int rc = 0;
    std::vector<blk_staging*> small, objects;
    for (blk_staging* s : *batch) {
        if (of(s)->broken || of(s)->digest.empty()) rc = -1; // never finished
        const size_t n = of(s)->data.size();
        (st->index.ops && n > 0 && n <= PACK_BLOCK_THRESHOLD ? small : objects).push_back(s);
    }
    if (rc == 0 && !small.empty()) rc = publish_packed(st, small);
    if (rc == 0 && !objects.empty()) rc = place_all(st, objects);
    for (blk_staging* s : *batch)
        delete of(s);
    batch->clear();
    return rc;
}

static bool s3s_has(void* self, const blk_digest& d, uint64_t len) {
    s3_store* st = static_cast<s3_store*>(self);
    if (!digest_ok(d)) return false;
    cat_packed row;
    std::string name;
    if (packed_find(st, d, &row, &name) == 1 && row.length == len) return true;
    std::string err;
    uint64_t have = 0;
    int rc = s3_head(st->client, key_of(d), &have, &err);
    if (rc == S3_FAIL) report(err);
    return rc == S3_OK && have == len;
}

// The packed block of row: its record, read with one ranged GET and checked.
static int packed_read(s3_store* st, const cat_packed& row, const std::string& name,
                       std::vector<uint8_t>* out) {
    if (row.length == 0 || row.length > PACK_BLOCK_LIMIT || row.pos < PACK_HEADER_SIZE ||
        !pack_name_ok(name))
        return BLK_DAMAGED;
    std::string err;
    std::vector<uint8_t> rec;
    int rc = s3_get_range(st->client, pack_key(name), row.pos, PACK_RECORD_HEADER_SIZE + row.length,
                          &rec, &err);
    if (rc == S3_SHORT) return BLK_DAMAGED;
    if (rc != S3_OK) {
        if (rc == S3_FAIL) report(err);
        return -1;
    }
    uint8_t d[32];
    hex_decode(row.digest.data(), 32, d);
    if (pack_record_decode(rec.data(), rec.size(), static_cast<uint32_t>(row.length), d, out) !=
        PACK_OK)
        return BLK_DAMAGED;
    return 0;
}

// The length from HEAD bounds the GET: an object that grows in between, or
// an answer longer than announced, is an error rather than a larger buffer.
static int s3s_get(void* self, const blk_digest& d, std::vector<uint8_t>* out) {
    s3_store* st = static_cast<s3_store*>(self);
    out->clear();
    if (!digest_ok(d)) return -1;
    cat_packed row;
    std::string name;
    int found = packed_find(st, d, &row, &name);
    if (found < 0) return -1;
    if (found == 1) return packed_read(st, row, name, out);
    std::string err;
    uint64_t len = 0;
    int rc = s3_head(st->client, key_of(d), &len, &err);
    if (rc == S3_OK) rc = s3_get(st->client, key_of(d), len, out, &err);
    if (rc == S3_FAIL) report(err);
    return rc == S3_OK ? 0 : -1;
}

// A packed block's row goes (its record is dead bytes from then on), and
// its object, if any.
static int s3s_remove(void* self, const blk_digest& d) {
    s3_store* st = static_cast<s3_store*>(self);
    if (!digest_ok(d)) return -1;
    if (st->index.ops && st->index.ops->packed_remove(st->index.self, d) != CAT_OK) return -1;
    std::string err;
    if (s3_delete(st->client, key_of(d), &err) == S3_OK) return 0;
    report(err);
    return -1;
}

static void s3s_destroy(void* self) {
    s3_store* st = static_cast<s3_store*>(self);
    s3_client_free(st->client);
    delete st;
}

static const block_store_ops s3_ops = {
    s3s_stage_open, s3s_stage_write, s3s_stage_finish, s3s_stage_replace, s3s_stage_abort,
    s3s_publish,    s3s_has,         s3s_get,          s3s_remove,        s3s_destroy};

block_store block_store_s3(const s3_config& cfg, const catalog* index, std::string* err) {
    s3_limits lim;
    s3_client* c = s3_client_new(cfg, lim, err);
    if (!c) return block_store{nullptr, nullptr};
    // The bucket must be there and answer with these credentials.
    uint64_t ignored = 0;
    int rc = s3_head(c, "", &ignored, err);
    if (rc != S3_OK) {
        if (rc == S3_NOT_FOUND)
            *err = "the S3 bucket " + cfg.bucket + " does not exist";
        else
            *err = "the S3 bucket " + cfg.bucket + " cannot be reached: " + *err;
        s3_client_free(c);
        return block_store{nullptr, nullptr};
    }
    s3_store* st = new s3_store();
    st->client = c;
    st->max_block = lim.get_cap;
    if (index) st->index = *index;
    uint8_t r[8] = {0};
    RAND_bytes(r, sizeof r);
    st->prefix = hex_lower(r, sizeof r);
    return block_store{&s3_ops, st};
}

bool block_store_s3_make_bucket(const s3_config& cfg, std::string* err) {
    s3_client* c = s3_client_new(cfg, s3_limits(), err);
    if (!c) return false;
    bool ok = s3_bucket_create(c, err) == S3_OK;
    s3_client_free(c);
    return ok;
}
