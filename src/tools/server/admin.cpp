// admin.cpp - offline commands on a store: user add, ls, restore, verify and
// the stored mail.
//
// Restore undoes the agent's chain per block: AES-256-CBC under the account
// key with a zero IV, then one complete zlib stream, then the block's MD5
// against the checksum the agent sent, where it sent one.
#include "tools/server/admin.h"

#include "agent/backup/crypt_file.h"
#include "agent/backup/schedule.h"
#include "platform/platform.h"
#include "tools/server/server.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

bool srv_parse_hex(const std::string& hex, uint8_t* out, size_t n) {
    if (hex.size() != 2 * n) return false;
    for (size_t i = 0; i < 2 * n; i++) {
        char ch = hex[i];
        int v = (ch >= '0' && ch <= '9')   ? ch - '0'
                : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10
                                           : -1;
        if (v < 0) return false;
        if (i % 2 == 0)
            out[i / 2] = static_cast<uint8_t>(v << 4);
        else
            out[i / 2] |= static_cast<uint8_t>(v);
    }
    return true;
}

static char* schedule_line(void* ctx, char* buf, int size) {
    return crypt_file_gets(static_cast<crypt_file*>(ctx), buf, size);
}

bool srv_key_from_schedule(const std::string& schedule_path, const std::string& root,
                           uint8_t key[32], uint32_t* user, std::string* err) {
    std::string key_file = root + "/" + machine_key_file_name;
    std::error_code ec;
    unsigned char mk[MACHINE_KEY_SIZE];
    if (!fs::is_regular_file(key_file, ec) || machine_key_from_file(key_file.c_str(), mk) != 0) {
        *err = "no machine key at " + key_file;
        return false;
    }
    FILE* f = fopen(schedule_path.c_str(), "rb");
    if (!f) {
        *err = "cannot open " + schedule_path;
        OPENSSL_cleanse(mk, sizeof mk);
        return false;
    }
    crypt_file cf;
    bool ok = crypt_file_open_key(&cf, f, 0, mk) == 0;
    OPENSSL_cleanse(mk, sizeof mk);
    schedule sc;
    schedule_init(&sc);
    ok = ok && schedule_parse(&sc, schedule_line, &cf) == 0 && !cf.damaged;
    if (ok) crypt_file_finish(&cf);
    fclose(f);
    const char* hex = ok ? schedule_value(&sc, SCHED_ACCKEY) : nullptr;
    const char* uid = ok ? schedule_value(&sc, SCHED_USERID) : nullptr;
    ok = hex && srv_parse_hex(hex, key, 32);
    if (ok && uid && user) *user = static_cast<uint32_t>(strtoul(uid, nullptr, 10));
    schedule_release(&sc);
    if (!ok) *err = schedule_path + " is not a schedule with an account key under this machine key";
    return ok;
}

static std::string time_text(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[32];
    if (!gmtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm)) return "?";
    return buf;
}

int srv_cmd_user_add(srv_store* st, uint32_t id, const std::string& name,
                     const std::string& account, const uint8_t* key_digest) {
    cat_user u;
    u.id = id;
    u.name = name;
    u.account = account;
    u.account_number = 0;
    memcpy(u.key_digest, key_digest, 20);
    if (st->cat.ops->user_add(st->cat.self, u) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot add user %u\n", id);
        return 1;
    }
    printf("user %u (%s) in account \"%s\"\n", id, name.c_str(), account.c_str());
    return 0;
}

int srv_cmd_ls(srv_store* st, uint32_t user, const std::string& path, bool history) {
    catalog& cat = st->cat;
    std::vector<cat_entry> entries;
    int rc = cat.ops->list(cat.self, user, path, &entries);
    if (rc == CAT_OK) {
        for (const cat_entry& e : entries) {
            if (e.folder) {
                printf("%-19s %14s  %s/\n", time_text(e.mtime).c_str(), "-", e.name.c_str());
                continue;
            }
            printf("%-19s %14llu  %s\n", time_text(e.mtime).c_str(),
                   static_cast<unsigned long long>(e.size), e.name.c_str());
            if (history) {
                std::vector<cat_version> hist;
                cat.ops->history(cat.self, user, path.empty() ? e.name : path + "/" + e.name,
                                 &hist);
                for (const cat_version& v : hist)
                    printf("    version %lld: %llu bytes, mtime %s, stored %s%s\n",
                           static_cast<long long>(v.id), static_cast<unsigned long long>(v.size),
                           time_text(v.mtime).c_str(), time_text(v.committed).c_str(),
                           v.replaced ? (", replaced " + time_text(v.replaced)).c_str()
                                      : " (current)");
            }
        }
        return 0;
    }
    std::vector<cat_version> hist;
    if (cat.ops->history(cat.self, user, path, &hist) == CAT_OK && !hist.empty()) {
        for (const cat_version& v : hist) {
            if (!history && v.replaced) continue;
            printf("%-19s %14llu  %s%s\n", time_text(v.mtime).c_str(),
                   static_cast<unsigned long long>(v.size), path.c_str(),
                   v.replaced ? (" (replaced " + time_text(v.replaced) + ")").c_str() : "");
        }
        return 0;
    }
    fprintf(stderr, "tavni-server: no such path: /%s\n", path.c_str());
    return 1;
}

namespace {

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

std::string hex_of(const uint8_t* p, size_t n) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += hex[p[i] >> 4];
        s += hex[p[i] & 15];
    }
    return s;
}

// Inflates one complete zlib stream of at most max bytes.
bool inflate_block(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>* out) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return false;
    out->resize(max + 1);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    int rc = inflate(&z, Z_FINISH);
    size_t produced = out->size() - z.avail_out;
    bool ok = rc == Z_STREAM_END && z.avail_in == 0 && produced <= max;
    inflateEnd(&z);
    out->resize(produced);
    return ok;
}

} // namespace

bool srv_decode_version(srv_store* st, const cat_version& v, const uint8_t* key, FILE* out,
                        std::string* why) {
    uint64_t want_blocks = v.block_size ? (v.size + v.block_size - 1) / v.block_size : 0;
    if (v.blocks.size() != want_blocks) {
        *why = "block count " + std::to_string(v.blocks.size()) + " for " +
               std::to_string(want_blocks);
        return false;
    }
    std::vector<uint8_t> cipher, plain, inflated;
    std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter> ctx(EVP_CIPHER_CTX_new());
    for (size_t i = 0; i < v.blocks.size(); i++) {
        const cat_block& b = v.blocks[i];
        std::string at = "block " + std::to_string(i) + ": ";
        if (st->blocks.ops->get(st->blocks.self, b.digest, &cipher) != 0) {
            *why = at + "missing";
            return false;
        }
        uint8_t md[SHA256_DIGEST_LENGTH];
        SHA256(cipher.data(), cipher.size(), md);
        if (hex_of(md, sizeof md) != b.digest || cipher.size() != b.length || cipher.empty() ||
            cipher.size() % 16 != 0) {
            *why = at + "damaged";
            return false;
        }
        if (!key) continue;
        static const uint8_t iv[16] = {0};
        plain.resize(cipher.size() + 16);
        int a = 0, f = 0;
        if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1 ||
            EVP_DecryptUpdate(ctx.get(), plain.data(), &a, cipher.data(),
                              static_cast<int>(cipher.size())) != 1 ||
            EVP_DecryptFinal_ex(ctx.get(), plain.data() + a, &f) != 1) {
            *why = at + "does not decrypt (wrong account key?)";
            return false;
        }
        plain.resize(static_cast<size_t>(a + f));
        uint64_t expect =
            std::min<uint64_t>(v.block_size, v.size - i * static_cast<uint64_t>(v.block_size));
        if (!inflate_block(plain, static_cast<size_t>(expect), &inflated) ||
            inflated.size() != expect) {
            *why = at + "does not inflate to its size";
            return false;
        }
        if (b.md5.size() == 16) {
            uint8_t m[EVP_MAX_MD_SIZE];
            unsigned int mlen = 0;
            EVP_Digest(inflated.data(), inflated.size(), m, &mlen, EVP_md5(), nullptr);
            if (memcmp(m, b.md5.data(), 16) != 0) {
                *why = at + "checksum mismatch";
                return false;
            }
        }
        if (out && fwrite(inflated.data(), 1, inflated.size(), out) != inflated.size()) {
            *why = at + "cannot write";
            return false;
        }
    }
    return true;
}

namespace {

bool key_matches(srv_store* st, uint32_t user, const uint8_t* key) {
    cat_user u;
    if (st->cat.ops->user_get(st->cat.self, user, &u) != CAT_OK) return false;
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1(key, 32, d);
    return CRYPTO_memcmp(d, u.key_digest, 20) == 0;
}

// Restores one file version to target (empty: check only).
bool restore_file(srv_store* st, const srv_restore_opts& o, const std::string& path,
                  const std::string& target) {
    cat_version v;
    if (st->cat.ops->version_at(st->cat.self, o.user, path, o.at, &v) != CAT_OK) {
        fprintf(stderr, "tavni-server: no version of /%s\n", path.c_str());
        return false;
    }
    std::string why;
    const uint8_t* key = o.have_key ? o.key : nullptr;
    if (target.empty()) {
        if (!srv_decode_version(st, v, key, nullptr, &why)) {
            printf("DAMAGED /%s: %s\n", path.c_str(), why.c_str());
            return false;
        }
        printf("ok /%s\n", path.c_str());
        return true;
    }
    std::string tmp = target + ".tavni-part";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "tavni-server: cannot write %s\n", tmp.c_str());
        return false;
    }
    bool ok = srv_decode_version(st, v, key, f, &why);
    ok = (fclose(f) == 0) && ok;
    std::error_code ec;
    if (!ok) {
        fs::remove(tmp, ec);
        fprintf(stderr, "tavni-server: /%s not restored: %s\n", path.c_str(), why.c_str());
        return false;
    }
    fs::rename(tmp, target, ec);
    if (ec || plat_set_file_mtime(target.c_str(), v.mtime) != 0) {
        fprintf(stderr, "tavni-server: cannot finish %s\n", target.c_str());
        return false;
    }
    printf("restored /%s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(v.size));
    return true;
}

// Walks the tree as it stood at o.at (the current tree with 0).
bool restore_tree(srv_store* st, const srv_restore_opts& o, const std::string& path,
                  const std::string& target) {
    std::error_code ec;
    if (!target.empty()) fs::create_directories(target, ec);
    std::vector<cat_entry> entries;
    if (st->cat.ops->list(st->cat.self, o.user, path, &entries) != CAT_OK) return false;
    bool ok = true;
    for (const cat_entry& e : entries) {
        std::string child = path.empty() ? e.name : path + "/" + e.name;
        std::string ct = target.empty() ? std::string() : target + "/" + e.name;
        ok = (e.folder ? restore_tree(st, o, child, ct) : restore_file(st, o, child, ct)) && ok;
    }
    return ok;
}

} // namespace

int srv_cmd_restore(srv_store* st, const srv_restore_opts& o) {
    if (o.have_key && !key_matches(st, o.user, o.key)) {
        fprintf(stderr, "tavni-server: the account key does not belong to user %u\n", o.user);
        return 1;
    }
    std::string base = o.path;
    size_t k = base.rfind('/');
    std::string name = k == std::string::npos ? base : base.substr(k + 1);
    if (st->cat.ops->is_folder(st->cat.self, o.user, base)) {
        std::string target =
            o.to.empty() ? std::string() : (name.empty() ? o.to : o.to + "/" + name);
        return restore_tree(st, o, base, target) ? 0 : 1;
    }
    std::string target = o.to.empty() ? std::string() : o.to + "/" + name;
    if (!o.to.empty()) {
        std::error_code ec;
        fs::create_directories(o.to, ec);
    }
    return restore_file(st, o, base, target) ? 0 : 1;
}

int srv_cmd_verify_all(srv_store* st, uint32_t user, const uint8_t* key) {
    std::vector<std::pair<uint32_t, cat_version>> all;
    if (st->cat.ops->all_current(st->cat.self, user, &all) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the catalog\n");
        return 1;
    }
    size_t bad = 0;
    for (const auto& p : all) {
        std::string why;
        if (!srv_decode_version(st, p.second, key, nullptr, &why)) {
            printf("DAMAGED user %u /%s: %s\n", p.first, p.second.path.c_str(), why.c_str());
            bad++;
        }
    }
    printf("%zu current versions checked, %zu damaged\n", all.size(), bad);
    return bad ? 1 : 0;
}

int srv_cmd_mail_list(srv_store* st) {
    std::vector<cat_mail> all;
    if (st->cat.ops->mail_list(st->cat.self, &all) != CAT_OK) return 1;
    for (const cat_mail& m : all) {
        std::string to = m.recipients;
        for (char& ch : to)
            if (ch == '\n') ch = ' ';
        printf("%lld  %s  user %u  schedule %llu  %zu bytes  to: %s\n",
               static_cast<long long>(m.id), time_text(m.received).c_str(), m.user,
               static_cast<unsigned long long>(m.schedule_id), m.body.size(), to.c_str());
    }
    return 0;
}

int srv_cmd_mail_show(srv_store* st, int64_t id) {
    cat_mail m;
    if (st->cat.ops->mail_get(st->cat.self, id, &m) != CAT_OK) {
        fprintf(stderr, "tavni-server: no message %lld\n", static_cast<long long>(id));
        return 1;
    }
    printf("Recipients: ");
    for (char ch : m.recipients)
        printf("%s", ch == '\n' ? " " : std::string(1, ch).c_str());
    printf("\n\n");
    fwrite(m.body.data(), 1, m.body.size(), stdout);
    return 0;
}
