// server_store.cpp - making and opening a store: the owner-only folder, the
// server's RSA key (private part in DIR/server_key.pem), the serving lock and
// the back ends.
#include "tools/server/server.h"

#include "tools/server/store_config.h"

#include "common/owner.h"
#include "platform/platform.h"
#include "platform/server.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::string public_pem_of(EVP_PKEY* key) {
    owner<BIO, BIO_free> b(BIO_new(BIO_s_mem()));
    if (!b || PEM_write_bio_PUBKEY(b.get(), key) != 1) return std::string();
    char* p = nullptr;
    long n = BIO_get_mem_data(b.get(), &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::string key_path(const std::string& dir) {
    return dir + "/server_key.pem";
}

std::string error_text() {
    char buf[256];
    return plat_error_text(plat_last_error(), buf, sizeof buf);
}

const char* g_key_for_tests = nullptr;

// A new 2048-bit key, or the tests' fixed one. Null on failure.
EVP_PKEY* make_key() {
    EVP_PKEY* raw = nullptr;
    if (g_key_for_tests) {
        owner<BIO, BIO_free> bio(BIO_new_mem_buf(g_key_for_tests, -1));
        return bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    }
    owner<EVP_PKEY_CTX, EVP_PKEY_CTX_free> kc(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    if (!kc || EVP_PKEY_keygen_init(kc.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(kc.get(), 2048) != 1 ||
        EVP_PKEY_keygen(kc.get(), &raw) != 1)
        return nullptr;
    return raw;
}

// The blocks in an S3 bucket (create: made when missing); ops null with *err.
block_store open_s3_blocks(const std::string& location, const std::string& credentials,
                           bool create, const catalog* index, std::string* err) {
    s3_config cfg;
    if (!srv_s3_location_parse(location, &cfg, err) ||
        !srv_s3_credentials_load(credentials, &cfg, err) ||
        (create && !block_store_s3_make_bucket(cfg, err)))
        return block_store{nullptr, nullptr};
    return block_store_s3(cfg, index, err);
}

// The catalog the configuration names; ops null with *err.
catalog open_catalog(const std::string& dir, const srv_backends& be, bool create,
                     std::string* err) {
    if (be.catalog.empty()) return catalog_sqlite_open(dir, create, err);
    catalog cat = catalog_pg_open(be.catalog, create, err);
    if (!cat.ops) *err = "the catalog at " + be.catalog + ": " + *err;
    return cat;
}

// The block store the configuration names; ops null with *err. It keeps its
// small blocks in packs indexed in index (null: none), which must outlive it.
block_store open_blocks(const std::string& dir, const srv_backends& be, bool serving, bool create,
                        const catalog* index, std::string* err) {
    if (!be.blocks.empty()) {
        block_store bs = open_s3_blocks(be.blocks, be.credentials, create, index, err);
        if (!bs.ops) *err = "the blocks at " + be.blocks + ": " + *err;
        return bs;
    }
    block_store bs = block_store_local(dir, serving, index);
    if (!bs.ops) *err = "cannot open " + dir + "/blocks: " + error_text();
    return bs;
}

} // namespace

void srv_store_key_for_tests(const char* pem) {
    g_key_for_tests = pem;
}

// True when the folder holds nothing; false (with *err) when it holds
// something or cannot be listed.
static bool folder_empty(const std::string& dir, std::string* err) {
    plat_file_info e;
    plat_dir* d = plat_dir_open(dir.c_str(), &e);
    if (!d) {
        *err = "cannot list " + dir + ": " + error_text();
        return false;
    }
    bool empty = true;
    do {
        std::string name = e.name;
        if (name != "." && name != "..") empty = false;
    } while (empty && plat_dir_next(d, &e) == 0);
    plat_dir_close(d);
    if (!empty) *err = dir + " is not empty and holds no store; give a new folder or an empty one";
    return empty;
}

bool srv_store_init(const std::string& dir, const srv_backends& be, std::string* err) {
    if (!srv_backends_check(be, err)) return false;
    if (plat_exists((dir + "/catalog.db").c_str()) || plat_exists(key_path(dir).c_str())) {
        *err = dir + " already holds a store";
        return false;
    }
    // A folder made here is the owner's alone. An existing folder keeps its
    // access as it is (it may be shared, like /tmp), so it must be empty:
    // files of its own would end up in the store.
    const bool exists = plat_exists(dir.c_str());
    if (exists && !plat_is_folder(dir.c_str())) {
        *err = dir + " exists and is not a folder";
        return false;
    }
    if (exists && !folder_empty(dir, err)) return false;
    // Shared back ends before anything is written, so that a wrong address
    // or missing keys leave nothing behind. A catalog or bucket that already
    // serves other frontends is joined: init makes only what is missing.
    if (!be.catalog.empty()) {
        catalog cat = open_catalog(dir, be, true, err);
        if (!cat.ops) return false;
        cat.ops->destroy(cat.self);
    }
    if (!be.blocks.empty()) {
        block_store bs = open_blocks(dir, be, true, true, nullptr, err);
        if (!bs.ops) return false;
        bs.ops->destroy(bs.self);
    }
    if (!exists && plat_store_mkdir_private(dir.c_str()) != 0) {
        *err = "cannot make " + dir + ": " + error_text();
        return false;
    }
    owner<EVP_PKEY, EVP_PKEY_free> key(make_key());
    if (!key) {
        *err = "cannot make the RSA key";
        return false;
    }
    {
        // Owner-only from its creation: it holds the server's private key.
        FILE* raw_f = plat_open_private(key_path(dir).c_str(), PLAT_PRIVATE_CREATE_NEW);
        owner<FILE, fclose> f(raw_f);
        if (!f ||
            PEM_write_PrivateKey(f.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
            fclose(f.release()) != 0) {
            *err = "cannot write " + key_path(dir);
            return false;
        }
    }
    if (!srv_backends_write(dir, be, err)) return false;
    if (be.catalog.empty()) {
        // The catalog file made owner-only before SQLite opens it (an empty
        // file is an empty database); SQLite gives its journal files the
        // same access.
        FILE* db = plat_open_private((dir + "/catalog.db").c_str(), PLAT_PRIVATE_CREATE_NEW);
        if (!db || fclose(db) != 0) {
            *err = "cannot make " + dir + "/catalog.db: " + error_text();
            return false;
        }
        catalog cat = open_catalog(dir, be, true, err);
        if (!cat.ops) return false;
        cat.ops->destroy(cat.self);
    }
    if (be.blocks.empty()) {
        block_store bs = open_blocks(dir, be, true, true, nullptr, err);
        if (!bs.ops) return false;
        bs.ops->destroy(bs.self);
    }
    return true;
}

srv_store* srv_store_open(const std::string& dir, bool serving, std::string* err) {
    if (!plat_exists(key_path(dir).c_str())) {
        *err = "no store at " + dir + " (missing server_key.pem)";
        return nullptr;
    }
    // Before anything else touches the store: one serving process per store,
    // since serving removes temporaries that another one may be writing.
    plat_store_lock* lock = nullptr;
    if (serving) {
        std::string lock_path = dir + "/serve.lock";
        lock = plat_store_lock_take(lock_path.c_str());
        if (!lock) {
            if (plat_error_is_lock_held(plat_last_error()))
                *err = "the store " + dir + " is served by another process (" + lock_path +
                       " is locked)";
            else
                *err = "cannot lock the store " + dir + ": " + error_text();
            return nullptr;
        }
    }
    owner<FILE, fclose> f(fopen(key_path(dir).c_str(), "rb"));
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) != 2048) {
        EVP_PKEY_free(key);
        plat_store_unlock(lock);
        *err = "the server key is not a 2048-bit RSA key";
        return nullptr;
    }
    srv_backends be;
    if (!srv_backends_read(dir, &be, err)) {
        EVP_PKEY_free(key);
        plat_store_unlock(lock);
        return nullptr;
    }
    catalog cat = open_catalog(dir, be, false, err);
    if (!cat.ops) {
        EVP_PKEY_free(key);
        plat_store_unlock(lock);
        return nullptr;
    }
    block_store blocks = open_blocks(dir, be, serving, false, &cat, err);
    if (!blocks.ops) {
        cat.ops->destroy(cat.self);
        EVP_PKEY_free(key);
        plat_store_unlock(lock);
        return nullptr;
    }
    srv_store* st = new srv_store();
    st->dir = dir;
    st->backends = be;
    st->cat = cat;
    st->blocks = blocks;
    st->key = key;
    st->public_pem = public_pem_of(key);
    st->lock = lock;
    return st;
}

void srv_store_close(srv_store* st) {
    if (!st) return;
    // The blocks first: a local store seals its open pack in the catalog.
    st->blocks.ops->destroy(st->blocks.self);
    st->cat.ops->destroy(st->cat.self);
    EVP_PKEY_free(st->key);
    plat_store_unlock(st->lock); // last: nothing of this process touches the store after it
    delete st;
}

void cat_merge_page(std::vector<cat_entry>&& folders, std::vector<cat_entry>&& files, size_t limit,
                    std::vector<cat_entry>* out) {
    out->clear();
    size_t a = 0, b = 0;
    while (out->size() < limit && (a < folders.size() || b < files.size())) {
        if (b == files.size() || (a < folders.size() && folders[a].name <= files[b].name)) {
            // A file of the same name as a folder is listed as the folder.
            if (b < files.size() && files[b].name == folders[a].name) b++;
            out->push_back(std::move(folders[a++]));
        } else {
            out->push_back(std::move(files[b++]));
        }
    }
}

std::vector<std::string> cat_mail_recipients(const std::string& recipients) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < recipients.size()) {
        size_t end = recipients.find('\n', pos);
        if (end == std::string::npos) end = recipients.size();
        if (end > pos) out.push_back(recipients.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

void cat_merge_history(std::vector<cat_hist_entry>&& folders, std::vector<cat_hist_entry>&& files,
                       size_t limit, std::vector<cat_hist_entry>* out) {
    out->clear();
    size_t a = 0, b = 0;
    while (out->size() < limit && (a < folders.size() || b < files.size())) {
        const bool take_folder =
            b == files.size() || (a < folders.size() && folders[a].name < files[b].name);
        const bool take_file =
            a == folders.size() || (b < files.size() && files[b].name < folders[a].name);
        if (take_folder) {
            out->push_back(std::move(folders[a++]));
        } else if (take_file) {
            out->push_back(std::move(files[b++]));
        } else if (files[b].gone && !folders[a].gone) {
            // One name, both kinds: the one there at the time; the folder
            // when both were (or neither).
            out->push_back(std::move(folders[a++]));
            b++;
        } else if (folders[a].gone && !files[b].gone) {
            out->push_back(std::move(files[b++]));
            a++;
        } else {
            out->push_back(std::move(folders[a++]));
            b++;
        }
    }
}
