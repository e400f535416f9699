// server_store.cpp - making and opening a store: the owner-only folder, the
// server's RSA key (private part in DIR/server_key.pem) and the back ends.
#include "tools/server/server.h"

#include "platform/platform.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

struct bio_deleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct pkey_deleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct pctx_deleter {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};

std::string public_pem_of(EVP_PKEY* key) {
    std::unique_ptr<BIO, bio_deleter> b(BIO_new(BIO_s_mem()));
    if (!b || PEM_write_bio_PUBKEY(b.get(), key) != 1) return std::string();
    char* p = nullptr;
    long n = BIO_get_mem_data(b.get(), &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::string key_path(const std::string& dir) {
    return dir + "/server_key.pem";
}

} // namespace

bool srv_store_init(const std::string& dir, std::string* err) {
    std::error_code ec;
    if (fs::exists(dir + "/catalog.db", ec)) {
        *err = dir + " already holds a store";
        return false;
    }
    if (!fs::is_directory(dir, ec) && plat_store_mkdir_private(dir.c_str()) != 0) {
        *err = "cannot make " + dir + ": " + strerror(errno);
        return false;
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    if (ec) {
        *err = "cannot restrict " + dir + ": " + ec.message();
        return false;
    }
    std::unique_ptr<EVP_PKEY_CTX, pctx_deleter> kc(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!kc || EVP_PKEY_keygen_init(kc.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(kc.get(), 2048) != 1 ||
        EVP_PKEY_keygen(kc.get(), &raw) != 1) {
        *err = "cannot make the RSA key";
        return false;
    }
    std::unique_ptr<EVP_PKEY, pkey_deleter> key(raw);
    {
        std::unique_ptr<FILE, file_closer> f(fopen(key_path(dir).c_str(), "wx"));
        fs::permissions(key_path(dir), fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ec);
        if (!f || ec ||
            PEM_write_PrivateKey(f.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            *err = "cannot write " + key_path(dir);
            return false;
        }
    }
    catalog cat = catalog_sqlite_open(dir, true, err);
    if (!cat.ops) return false;
    cat.ops->destroy(cat.self);
    fs::permissions(dir + "/catalog.db", fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, ec);
    block_store bs = block_store_local(dir, true);
    bs.ops->destroy(bs.self);
    return true;
}

srv_store* srv_store_open(const std::string& dir, bool serving, std::string* err) {
    std::unique_ptr<FILE, file_closer> f(fopen(key_path(dir).c_str(), "rb"));
    if (!f) {
        *err = "no store at " + dir + " (missing server_key.pem)";
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) != 2048) {
        EVP_PKEY_free(key);
        *err = "the server key is not a 2048-bit RSA key";
        return nullptr;
    }
    catalog cat = catalog_sqlite_open(dir, false, err);
    if (!cat.ops) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    srv_store* st = new srv_store();
    st->dir = dir;
    st->cat = cat;
    st->blocks = block_store_local(dir, serving);
    st->key = key;
    st->public_pem = public_pem_of(key);
    return st;
}

void srv_store_close(srv_store* st) {
    if (!st) return;
    st->cat.ops->destroy(st->cat.self);
    st->blocks.ops->destroy(st->blocks.self);
    EVP_PKEY_free(st->key);
    delete st;
}
