// store_faults.cpp - the refusing block store wrapper and block damage on the
// local folder or in an S3 bucket, for the server's tests.
#include "store_faults.h"

#include "common/owner.h"
#include "tools/server/pack_file.h"
#include "tools/server/s3_client.h"

#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace {

struct refusing_store {
    block_store inner;
    block_refusals* refusals;
};

// A staging of the wrapped store and the digest it finished with. Travels
// through the interface as a blk_staging pointer, like every back end's.
struct refusing_staging {
    blk_staging* inner;
    blk_digest digest; // empty until finished
};

refusing_store* store_of(void* self) {
    return static_cast<refusing_store*>(self);
}

refusing_staging* of(blk_staging* s) {
    return reinterpret_cast<refusing_staging*>(s);
}

blk_staging* r_stage_open(void* self) {
    const block_store& in = store_of(self)->inner;
    blk_staging* s = in.ops->stage_open(in.self);
    if (!s) return nullptr;
    return reinterpret_cast<blk_staging*>(new refusing_staging{s, blk_digest()});
}

int r_stage_write(void* self, blk_staging* s, const uint8_t* p, size_t n) {
    const block_store& in = store_of(self)->inner;
    return in.ops->stage_write(in.self, of(s)->inner, p, n);
}

int r_stage_finish(void* self, blk_staging* s, blk_digest* digest, uint64_t* len) {
    const block_store& in = store_of(self)->inner;
    int rc = in.ops->stage_finish(in.self, of(s)->inner, digest, len);
    if (rc == 0) of(s)->digest = *digest;
    return rc;
}

void r_stage_replace(void* self, blk_staging* s) {
    const block_store& in = store_of(self)->inner;
    in.ops->stage_replace(in.self, of(s)->inner);
}

void r_stage_abort(void* self, blk_staging* s) {
    const block_store& in = store_of(self)->inner;
    in.ops->stage_abort(in.self, of(s)->inner);
    delete of(s);
}

// A refused batch is consumed like a failed one: every staging aborted.
int r_publish(void* self, std::vector<blk_staging*>* batch) {
    refusing_store* st = store_of(self);
    const block_store& in = st->inner;
    bool refused = false;
    std::vector<blk_staging*> inner;
    for (blk_staging* s : *batch) {
        if (!of(s)->digest.empty() && st->refusals->refused(of(s)->digest)) refused = true;
        inner.push_back(of(s)->inner);
        delete of(s);
    }
    batch->clear();
    if (!refused) return in.ops->publish(in.self, &inner);
    for (blk_staging* s : inner)
        in.ops->stage_abort(in.self, s);
    return -1;
}

bool r_has(void* self, const blk_digest& d, uint64_t len) {
    const block_store& in = store_of(self)->inner;
    return in.ops->has(in.self, d, len);
}

int r_get(void* self, const blk_digest& d, std::vector<uint8_t>* out) {
    const block_store& in = store_of(self)->inner;
    return in.ops->get(in.self, d, out);
}

int r_remove(void* self, const blk_digest& d) {
    const block_store& in = store_of(self)->inner;
    return in.ops->remove(in.self, d);
}

void r_destroy(void* self) {
    const block_store& in = store_of(self)->inner;
    in.ops->destroy(in.self);
    delete store_of(self);
}

const block_store_ops refusing_ops = {r_stage_open,  r_stage_write, r_stage_finish, r_stage_replace,
                                      r_stage_abort, r_publish,     r_has,          r_get,
                                      r_remove,      r_destroy};

// Applies the damage to the bytes of a block; false with *err when they are
// too short for it.
bool damage(std::vector<uint8_t>* bytes, block_damage how, std::string* err) {
    if (how == DAMAGE_FLIP_BYTE) {
        if (bytes->size() <= 100) {
            *err = "the block is too short to flip its byte 100";
            return false;
        }
        (*bytes)[100] ^= 0x20;
        return true;
    }
    if (bytes->size() < 16) {
        *err = "the block is too short to cut 16 bytes off";
        return false;
    }
    bytes->resize(bytes->size() - 16);
    return true;
}

bool damage_file(const std::string& path, block_damage how, std::string* err) {
    std::vector<uint8_t> bytes;
    {
        std::ifstream f(path, std::ios::binary);
        if (!f) {
            *err = "cannot read " + path;
            return false;
        }
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (!damage(&bytes, how, err)) return false;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) *err = "cannot write " + path;
    return static_cast<bool>(f);
}

// Reads the object key of the S3 store be, changes it with change and PUTs
// it back; false with *err.
bool rewrite_object(const srv_backends& be, const std::string& key, std::string* err,
                    const std::function<bool(std::vector<uint8_t>*, std::string*)>& change) {
#ifndef TAVNI_HAVE_CURL
    (void)be;
    (void)key;
    (void)change;
    *err = "this build has no S3 support";
    return false;
#else
    s3_config cfg;
    if (!srv_s3_location_parse(be.blocks, &cfg, err) ||
        !srv_s3_credentials_load(be.credentials, &cfg, err))
        return false;
    owner<s3_client, s3_client_free> c(s3_client_new(cfg, s3_limits(), err));
    if (!c) return false;
    uint64_t len = 0;
    std::vector<uint8_t> bytes;
    int rc = s3_head(c.get(), key, &len, err);
    if (rc == S3_OK) rc = s3_get(c.get(), key, len, &bytes, err);
    if (rc == S3_NOT_FOUND) *err = "no object " + key + " in " + cfg.bucket;
    if (rc != S3_OK || !change(&bytes, err)) return false;
    return s3_put(c.get(), key, bytes.data(), bytes.size(), std::string(), err) == S3_OK;
#endif
}

bool damage_object(const srv_backends& be, const blk_digest& d, block_damage how,
                   std::string* err) {
    return rewrite_object(
        be, "blocks/" + d, err,
        [how](std::vector<uint8_t>* bytes, std::string* why) { return damage(bytes, how, why); });
}

// Damages the record of a packed block in place (a pack's records cannot
// change length, so either damage flips a byte of its data, which every read
// checks). 1 done, 0 not packed, -1 failed with *err.
int damage_packed(const std::string& dir, const srv_backends& be, const blk_digest& d,
                  std::string* err) {
    catalog cat = be.catalog.empty() ? catalog_sqlite_open(dir, false, err)
                                     : catalog_pg_open(be.catalog, false, err);
    if (!cat.ops) return -1;
    cat_packed row;
    std::string name;
    int rc = cat.ops->packed_get(cat.self, d, &row, &name);
    cat.ops->destroy(cat.self);
    if (rc == CAT_NOT_FOUND) return 0;
    if (rc != CAT_OK || row.length == 0) {
        *err = "cannot read the pack index";
        return -1;
    }
    if (!be.blocks.empty()) {
        // An S3 pack is an object: read whole, one byte flipped, PUT back.
        const uint64_t at = row.pos + PACK_RECORD_HEADER_SIZE + row.length / 2;
        return rewrite_object(be, "packs/" + name, err,
                              [at](std::vector<uint8_t>* bytes, std::string* why) {
                                  if (bytes->size() <= at) {
                                      *why = "the pack is shorter than its index says";
                                      return false;
                                  }
                                  (*bytes)[at] ^= 0x5a;
                                  return true;
                              })
                   ? 1
                   : -1;
    }
    const std::string path = dir + "/packs/" + name + ".pack";
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(static_cast<std::streamoff>(row.pos + PACK_RECORD_HEADER_SIZE + row.length / 2));
    int c = f.get();
    f.seekp(static_cast<std::streamoff>(row.pos + PACK_RECORD_HEADER_SIZE + row.length / 2));
    f.put(static_cast<char>(c ^ 0x5a));
    f.close();
    if (c == EOF || !f) {
        *err = "cannot damage the record in " + path;
        return -1;
    }
    return 1;
}

} // namespace

void block_refusals_install(block_store* bs, block_refusals* refusals) {
    refusing_store* st = new refusing_store{*bs, refusals};
    *bs = block_store{&refusing_ops, st};
}

bool store_damage_block(const std::string& dir, const srv_backends& be, const blk_digest& d,
                        block_damage how, std::string* err) {
    if (d.size() < 2) {
        *err = "not a block digest: " + d;
        return false;
    }
    int packed = damage_packed(dir, be, d, err);
    if (packed != 0) return packed == 1;
    if (be.blocks.empty())
        return damage_file(dir + "/blocks/" + d.substr(0, 2) + "/" + d, how, err);
    return damage_object(be, d, how, err);
}
