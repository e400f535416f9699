// admin.cpp - offline commands on a store: user add, ls, restore and verify
// (the stored mail: admin_mail.cpp).
//
// Restore undoes the agent's chain per block: AES-256-CBC under the account
// key with a zero IV, then one complete zlib stream, then the block's MD5
// against the checksum the agent sent, where it sent one.
#include "tools/server/admin.h"

#include "backup/schedule/schedule.h"
#include "backup/schedule/schedule_path.h"
#include "common/json.h"
#include "common/owner.h"
#include "common/text.h"
#include "tools/server/shown.h"
#include "keys/block_codec.h"
#include "keys/crypt_file.h"
#include "platform/platform.h"
#include "platform/server.h"
#include "tools/server/server.h"
#include "tools/server/wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

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
    const std::string path = schedule_path_in(root, schedule_path);
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        *err = "cannot open " + path;
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
    if (!ok) *err = path + " is not a schedule with an account key under this machine key";
    return ok;
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

namespace {

// The children of a folder for ls: as it stands now, or as it stood at a
// time; with history also the names deleted from it by then (gone[i] set).
int ls_entries(catalog& cat, uint32_t user, const std::string& path, int64_t at, bool history,
               std::vector<cat_entry>* out, std::vector<bool>* gone) {
    out->clear();
    gone->clear();
    if (at == 0 && !history) {
        int rc = cat.ops->list(cat.self, user, path, 0, out);
        gone->assign(out->size(), false);
        return rc;
    }
    const int64_t t = at != 0 ? at : static_cast<int64_t>(time(nullptr));
    std::string after;
    for (;;) {
        std::vector<cat_hist_entry> page;
        int rc = cat.ops->history_page(cat.self, user, path, t, after, 1000, history, &page);
        if (rc != CAT_OK) return rc;
        for (const cat_hist_entry& e : page) {
            out->push_back(cat_entry{e.name, e.folder, e.mtime, e.size, e.damaged});
            gone->push_back(e.gone);
        }
        if (page.size() < 1000) return CAT_OK;
        after = page.back().name;
    }
}

} // namespace

int srv_cmd_ls(srv_store* st, uint32_t user, const std::string& path, bool history, bool json,
               int64_t at) {
    if (!srv_user_known(st, user)) return 1;
    catalog& cat = st->cat;
    std::vector<std::string> items; // with json
    auto versions_json = [](const std::vector<cat_version>& hist) {
        std::vector<std::string> out;
        for (const cat_version& v : hist) {
            json_object j;
            j.add("version", static_cast<int64_t>(v.id));
            j.add("size", static_cast<uint64_t>(v.size));
            j.add("mtime", static_cast<int64_t>(v.mtime));
            j.add("stored", v.committed);
            j.add("stored_text", time_text_local(v.committed));
            if (v.replaced)
                j.add("replaced", v.replaced);
            else
                j.add_null("replaced");
            out.push_back(j.text());
        }
        return json_array(out);
    };
    auto print_items = [&] {
        json_object all;
        all.add("path", "/" + path);
        all.add_raw("entries", json_array(items));
        printf("%s\n", all.text().c_str());
    };
    std::vector<cat_entry> entries;
    std::vector<bool> gone;
    int rc = ls_entries(cat, user, path, at, history, &entries, &gone);
    if (rc == CAT_OK) {
        for (size_t i = 0; i < entries.size(); i++) {
            const cat_entry& e = entries[i];
            const std::string full = path.empty() ? e.name : path + "/" + e.name;
            std::vector<cat_version> hist;
            if (history && !e.folder) cat.ops->history(cat.self, user, full, &hist);
            if (json) {
                std::string item = srv_entry_json("/" + full, e.folder, e.size, e.mtime, e.damaged);
                if (history)
                    item = item.substr(0, item.size() - 1) + ",\"deleted\":" +
                           (gone[i] ? "true" : "false") + "}";
                if (history && !e.folder)
                    item = item.substr(0, item.size() - 1) +
                           ",\"versions\":" + versions_json(hist) + "}";
                items.push_back(item);
                continue;
            }
            if (e.folder) {
                printf("%-25s %14s  %s/%s\n", time_text_local(e.mtime).c_str(), "-", e.name.c_str(),
                       gone[i] ? "  (deleted)" : "");
                continue;
            }
            printf("%-25s %14s  %s%s%s\n", time_text_local(e.mtime).c_str(),
                   srv_size_text(e.size, srv_sizes_in_units()).c_str(), e.name.c_str(),
                   e.damaged ? "  (damaged)" : "", gone[i] ? "  (deleted)" : "");
            for (const cat_version& v : hist)
                printf("    version %lld: %s%s, mtime %s, stored %s%s\n",
                       static_cast<long long>(v.id),
                       srv_size_text(v.size, srv_sizes_in_units()).c_str(),
                       srv_sizes_in_units() ? "" : " bytes", time_text_local(v.mtime).c_str(),
                       time_text_local(v.committed).c_str(),
                       v.replaced ? (", replaced " + time_text_local(v.replaced)).c_str()
                                  : " (current)");
        }
        if (json) print_items();
        return 0;
    }
    std::vector<cat_version> hist;
    if (cat.ops->history(cat.self, user, path, &hist) == CAT_OK && !hist.empty()) {
        if (json) {
            // The file itself as its current version (its newest when every
            // one was replaced), with every version under --history.
            const cat_version* shown = &hist.back();
            for (const cat_version& v : hist)
                if (!v.replaced) shown = &v;
            std::string item =
                srv_entry_json("/" + path, false, shown->size, shown->mtime, shown->damaged);
            if (history)
                item =
                    item.substr(0, item.size() - 1) + ",\"versions\":" + versions_json(hist) + "}";
            items.push_back(item);
            print_items();
            return 0;
        }
        for (const cat_version& v : hist) {
            if (!history && v.replaced) continue;
            printf("%-25s %14s  %s%s\n", time_text_local(v.mtime).c_str(),
                   srv_size_text(v.size, srv_sizes_in_units()).c_str(), path.c_str(),
                   v.replaced ? (" (replaced " + time_text_local(v.replaced) + ")").c_str() : "");
        }
        if (json) print_items();
        return 0;
    }
    fprintf(stderr, "tavni-server: no such path: /%s\n", path.c_str());
    return 1;
}

namespace {

// Decodes block i of v into *plain (key null: checks the stored bytes only).
// False with *why; *stored_bad says the stored block itself is missing or
// not the bytes its name promises (rather than bytes that were stored as
// sent but do not decode).
bool decode_block(srv_store* st, const cat_version& v, size_t i, const uint8_t* key,
                  std::vector<uint8_t>* cipher, std::vector<uint8_t>* plain,
                  std::vector<uint8_t>* inflated, std::string* why, bool* stored_bad) {
    const cat_block& b = v.blocks[i];
    *stored_bad = true;
    const int got = st->blocks.ops->get(st->blocks.self, b.digest, cipher);
    if (got != 0) {
        *why = got == BLK_DAMAGED ? "damaged" : "missing";
        return false;
    }
    uint8_t md[SHA256_DIGEST_LENGTH];
    SHA256(cipher->data(), cipher->size(), md);
    if (hex_lower(md, sizeof md) != b.digest || cipher->size() != b.length || cipher->empty() ||
        cipher->size() % 16 != 0) {
        *why = "damaged";
        return false;
    }
    *stored_bad = false;
    if (!key) return true;
    const uint64_t expect =
        std::min<uint64_t>(v.block_size, v.size - i * static_cast<uint64_t>(v.block_size));
    const block_decode_result rc =
        block_decode(key, cipher->data(), cipher->size(), static_cast<size_t>(expect),
                     b.md5.size() == 16 ? b.md5.data() : nullptr,
                     plain, inflated);
    if (rc != BLOCK_DECODE_OK) {
        *why = block_decode_text(rc);
        return false;
    }
    return true;
}

bool block_count_ok(const cat_version& v, std::string* why) {
    uint64_t want_blocks = v.block_size ? (v.size + v.block_size - 1) / v.block_size : 0;
    if (v.blocks.size() == want_blocks) return true;
    *why = "block count " + std::to_string(v.blocks.size()) + " for " + std::to_string(want_blocks);
    return false;
}

// Writes one restored block. An all-zero block of a file that can seek
// becomes a hole, so that a sparse file restores sparse (a 4 GiB image of
// zeros takes no disk); *hole_at_end tells whether the file ends in one.
bool put_block(FILE* out, const std::vector<uint8_t>& b, bool* hole_at_end) {
    if (block_all_zero(b.data(), b.size()) && fseeko(out, static_cast<off_t>(b.size()), SEEK_CUR) == 0) {
        *hole_at_end = true;
        return true;
    }
    if (fwrite(b.data(), 1, b.size(), out) != b.size()) return false;
    *hole_at_end = false;
    return true;
}

} // namespace

bool srv_decode_version(srv_store* st, const cat_version& v, const uint8_t* key, FILE* out,
                        std::string* why) {
    if (!block_count_ok(v, why)) return false;
    std::vector<uint8_t> cipher, plain, inflated;
    bool hole_at_end = false;
    for (size_t i = 0; i < v.blocks.size(); i++) {
        // A run of the same stored block (an image's zeros, say) is read and
        // decoded once: the digest names the very bytes checked a block ago.
        bool same = key && i > 0 && v.blocks[i].digest == v.blocks[i - 1].digest &&
                    v.blocks[i].md5 == v.blocks[i - 1].md5 &&
                    inflated.size() == std::min<uint64_t>(v.block_size,
                                                         v.size - i * static_cast<uint64_t>(v.block_size));
        bool stored_bad = false;
        if (!same && !decode_block(st, v, i, key, &cipher, &plain, &inflated, why, &stored_bad)) {
            *why = "block " + std::to_string(i) + ": " + *why;
            return false;
        }
        if (key && out && !put_block(out, inflated, &hole_at_end)) {
            *why = "block " + std::to_string(i) + ": cannot write";
            return false;
        }
    }
    // A hole at the end gives the file no length until a byte is written.
    if (hole_at_end && (fseeko(out, -1, SEEK_CUR) != 0 || fputc(0, out) == EOF)) {
        *why = "cannot write the end of the file";
        return false;
    }
    return true;
}

bool srv_check_version(srv_store* st, const cat_version& v, const uint8_t* key,
                       std::vector<srv_fault>* faults) {
    faults->clear();
    std::string why;
    if (!block_count_ok(v, &why)) faults->push_back(srv_fault{-1, blk_digest(), why, false});
    std::vector<uint8_t> cipher, plain, inflated;
    for (size_t i = 0; i < v.blocks.size(); i++) {
        bool stored_bad = false;
        if (!decode_block(st, v, i, key, &cipher, &plain, &inflated, &why, &stored_bad))
            faults->push_back(
                srv_fault{static_cast<int64_t>(i), v.blocks[i].digest, why, stored_bad});
    }
    return faults->empty();
}

namespace {

bool key_matches(srv_store* st, uint32_t user, const uint8_t* key) {
    cat_user u;
    if (st->cat.ops->user_get(st->cat.self, user, &u) != CAT_OK) return false;
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1(key, 32, d);
    return CRYPTO_memcmp(d, u.key_digest, 20) == 0;
}

// What one verify found, kept in the catalog when it is done: damaged
// versions are sent again by the next run of their agent (never current at
// open or in a listing), damaged blocks are never taken over and are
// replaced when they arrive again, and the stamps of every user with damage
// are removed so that the agent's index is not trusted either.
struct verify_tally {
    size_t versions = 0, bad_versions = 0, bad_blocks = 0;
    cat_damage marks;
    std::set<uint32_t> users;
};

// Checks one version; prints every fault with label ("user 7 /a/b" or
// "/a/b") and, when print_ok, an "ok" line for a whole version.
bool verify_version(srv_store* st, uint32_t user, const cat_version& v, const uint8_t* key,
                    const std::string& label, bool print_ok, verify_tally* t) {
    std::vector<srv_fault> faults;
    t->versions++;
    if (srv_check_version(st, v, key, &faults)) {
        if (print_ok) printf("ok %s\n", label.c_str());
        if (v.damaged) { // whole again (its blocks were put back): clear the marks
            t->marks.good_versions.push_back(v.id);
            for (const cat_block& b : v.blocks)
                t->marks.good_blocks.push_back(b.digest);
        }
        return true;
    }
    t->bad_versions++;
    t->marks.bad_versions.push_back(v.id);
    t->users.insert(user);
    for (const srv_fault& f : faults) {
        if (f.block < 0) {
            printf("DAMAGED %s: %s\n", label.c_str(), f.why.c_str());
            continue;
        }
        printf("DAMAGED %s: block %lld: %s\n", label.c_str(), static_cast<long long>(f.block),
               f.why.c_str());
        t->bad_blocks++;
        t->marks.bad_blocks.push_back(f.digest);
    }
    return false;
}

// Prints the summary, stores the marks and removes the stamps of users with
// damage. 0 when nothing was damaged.
int verify_finish(srv_store* st, const char* what, verify_tally* t) {
    printf("%zu %s checked, %zu damaged, %zu blocks damaged or missing\n", t->versions, what,
           t->bad_versions, t->bad_blocks);
    catalog& cat = st->cat;
    cat_damage& m = t->marks;
    bool any = !m.bad_versions.empty() || !m.good_versions.empty() || !m.bad_blocks.empty() ||
               !m.good_blocks.empty();
    int rc = t->bad_versions ? 1 : 0;
    if (any && cat.ops->damage_record(cat.self, m) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot record the damage in the catalog\n");
        rc = 1;
    }
    for (uint32_t user : t->users)
        if (cat.ops->stamps_clear(cat.self, user, nullptr, nullptr) != CAT_OK) {
            fprintf(stderr, "tavni-server: cannot remove the stamps of user %u\n", user);
            rc = 1;
        }
    return rc;
}

// A stored name is written below the restore folder only when it is one
// plain name, as a client's request would have to be.
bool name_ok(const std::string& name) {
    std::string norm;
    return !name.empty() && name.find('/') == std::string::npos &&
           srv_normalize_path(name, false, &norm) && norm == name;
}

// The name as it can be shown on one line.
std::string shown(const std::string& name) {
    std::string out;
    for (unsigned char ch : name) {
        if (ch < 0x20 || ch == 0x7f || ch == '"' || ch == '\\') {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", ch);
            out += buf;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

struct restore_run {
    srv_store* st;
    const srv_restore_opts* o;
    const uint8_t* key;
    verify_tally tally; // check only
};

// Owns a held restore folder.
typedef owner<plat_restore_dir, plat_restore_dir_close> held_dir;

// The system's text for the last error.
std::string last_error_text() {
    char text[256];
    return plat_error_text(plat_last_error(), text, sizeof text);
}

// Where a restored file or folder is: the held folder it goes into, its
// name there, and its path for the messages.
struct restore_place {
    plat_restore_dir* dir; // null: check only
    std::string name;
    std::string shown; // the target path as the messages give it
};

// Opens (making it when missing) the folder at place; a link or anything but
// a folder there fails with a line that says so.
plat_restore_dir* enter_folder(const restore_place& at, const std::string& path) {
    plat_restore_dir* d = plat_restore_subdir(at.dir, at.name.c_str());
    if (d) return d;
    plat_restore_kind what = plat_restore_what(at.dir, at.name.c_str());
    if (what == PLAT_RESTORE_LINK)
        fprintf(stderr,
                "tavni-server: /%s not restored: %s is a link, not a folder (a restore never "
                "follows one)\n",
                path.c_str(), at.shown.c_str());
    else if (what == PLAT_RESTORE_FILE || what == PLAT_RESTORE_OTHER)
        fprintf(stderr, "tavni-server: %s exists and is not a folder\n", at.shown.c_str());
    else
        fprintf(stderr, "tavni-server: cannot make %s: %s\n", at.shown.c_str(),
                last_error_text().c_str());
    return nullptr;
}

// Why a file's stored access was not kept whole, on a line of its own.
void note_dropped(const std::string& path, int dropped) {
    if (dropped & PLAT_RESTORE_DROPPED_SETID)
        printf("tavni-server: /%s: set-user-id and set-group-id bits dropped (kept only with "
               "--same-owner, for a file restored to its stored owner and group)\n",
               path.c_str());
}

// Restores one file version to place (check only without a folder).
bool restore_file(restore_run* r, const std::string& path, const restore_place& at) {
    srv_store* st = r->st;
    const srv_restore_opts& o = *r->o;
    cat_version v;
    if (st->cat.ops->version_at(st->cat.self, o.user, path, o.at, &v) != CAT_OK) {
        fprintf(stderr, "tavni-server: no version of /%s\n", path.c_str());
        return false;
    }
    if (!at.dir) return verify_version(st, o.user, v, r->key, "/" + path, true, &r->tally);
    switch (plat_restore_what(at.dir, at.name.c_str())) {
    case PLAT_RESTORE_NONE:
        break;
    case PLAT_RESTORE_FOLDER:
        fprintf(stderr, "tavni-server: /%s not restored: %s is a folder\n", path.c_str(),
                at.shown.c_str());
        return false;
    default:
        if (!o.overwrite) {
            fprintf(stderr, "tavni-server: /%s not restored: %s exists (--overwrite replaces it)\n",
                    path.c_str(), at.shown.c_str());
            return false;
        }
    }
    // Written owner-only under a temporary name; its owner, access and time
    // are set on the open file, and its name given only once it is complete.
    const std::string temp = at.name + ".tavni-part";
    owner<plat_restore_file, plat_restore_close> f(plat_restore_create(at.dir, temp.c_str()));
    if (!f) {
        fprintf(stderr, "tavni-server: cannot write %s.tavni-part: %s\n", at.shown.c_str(),
                last_error_text().c_str());
        return false;
    }
    std::string why;
    if (!srv_decode_version(st, v, r->key, plat_restore_stream(f.get()), &why)) {
        fprintf(stderr, "tavni-server: /%s not restored: %s\n", path.c_str(), why.c_str());
        return false;
    }
    int dropped = 0;
    const uint8_t* rec = reinterpret_cast<const uint8_t*>(v.security.data());
    uint8_t kind = 0;
    uint32_t rec_len = 0;
    if (v.security.size() >= 5) {
        uint32_t value = static_cast<uint32_t>(rec[1]) | static_cast<uint32_t>(rec[2]) << 8 |
                         static_cast<uint32_t>(rec[3]) << 16 | static_cast<uint32_t>(rec[4]) << 24;
        rec_len = static_cast<uint32_t>(v.security.size() - 5);
        // A malformed record is not applied: the file stays owner-only.
        if (value == rec_len) kind = rec[0];
        if (value != rec_len) rec_len = 0;
    }
    bool access_ok =
        plat_restore_finish(f.get(), kind, rec + 5, rec_len,
                            o.same_owner ? PLAT_RESTORE_SAME_OWNER : 0, v.mtime, &dropped) == 0;
    if (plat_restore_commit(f.get(), at.name.c_str(), o.overwrite) != 0) {
        if (plat_error_is_swapped(plat_last_error()))
            fprintf(stderr,
                    "tavni-server: /%s not restored: %s.tavni-part was replaced while it was "
                    "written (a restore never follows a link)\n",
                    path.c_str(), at.shown.c_str());
        else
            fprintf(stderr, "tavni-server: cannot finish %s: %s\n", at.shown.c_str(),
                    last_error_text().c_str());
        return false;
    }
    f.reset();
    if (!access_ok) {
        fprintf(stderr, "tavni-server: %s restored, but its owner or access could not be set\n",
                at.shown.c_str());
        return false;
    }
    note_dropped(path, dropped);
    printf("restored /%s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(v.size));
    return true;
}

// Walks the tree as it stood at o.at (the current tree with 0) into the
// held folder d (null: check only); target names it in the messages.
bool restore_tree(restore_run* r, const std::string& path, plat_restore_dir* d,
                  const std::string& target) {
    srv_store* st = r->st;
    const srv_restore_opts& o = *r->o;
    std::vector<cat_entry> entries;
    if (st->cat.ops->list(st->cat.self, o.user, path, o.at, &entries) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot list /%s\n", path.c_str());
        return false;
    }
    bool ok = true;
    for (const cat_entry& e : entries) {
        if (!name_ok(e.name)) {
            fprintf(stderr, "tavni-server: unsafe stored name \"%s\" in /%s: not restored\n",
                    shown(e.name).c_str(), path.c_str());
            ok = false;
            continue;
        }
        std::string child = path.empty() ? e.name : path + "/" + e.name;
        std::string norm;
        if (!srv_normalize_path(child, false, &norm) || norm != child) {
            fprintf(stderr, "tavni-server: stored path /%s is too long: not restored\n",
                    shown(child).c_str());
            ok = false;
            continue;
        }
        restore_place at{d, e.name, target + "/" + e.name};
        if (!e.folder) {
            ok = restore_file(r, child, at) && ok;
            continue;
        }
        held_dir sub(d ? enter_folder(at, child) : nullptr);
        if (d && !sub) {
            ok = false;
            continue;
        }
        ok = restore_tree(r, child, sub.get(), at.shown) && ok;
    }
    return ok;
}

} // namespace

int srv_cmd_restore(srv_store* st, const srv_restore_opts& o) {
    if (o.have_key && !key_matches(st, o.user, o.key)) {
        fprintf(stderr, "tavni-server: the account key does not belong to user %u\n", o.user);
        return 1;
    }
    restore_run r{st, &o, o.have_key ? o.key : nullptr, verify_tally()};
    std::string base = o.path;
    size_t k = base.rfind('/');
    std::string name = k == std::string::npos ? base : base.substr(k + 1);
    if (!base.empty() && !name_ok(name)) {
        fprintf(stderr, "tavni-server: not a valid server path: /%s\n", shown(base).c_str());
        return 1;
    }
    bool folder = st->cat.ops->is_folder(st->cat.self, o.user, base, o.at);
    cat_version v;
    if (!folder && st->cat.ops->version_at(st->cat.self, o.user, base, o.at, &v) != CAT_OK) {
        if (o.at)
            fprintf(stderr, "tavni-server: /%s did not exist at %s\n", base.c_str(),
                    time_text_local(o.at).c_str());
        else
            fprintf(stderr, "tavni-server: no such path: /%s\n", base.c_str());
        return 1;
    }
    if (o.to.empty()) {
        bool ok = folder ? restore_tree(&r, base, nullptr, std::string())
                         : restore_file(&r, base, restore_place{nullptr, name, std::string()});
        return verify_finish(st, "versions", &r.tally) == 0 && ok ? 0 : 1;
    }
    // The output folder is the caller's own choice and may be reached through
    // a link; below it, every name is reached from a held folder.
    held_dir root(plat_restore_root(o.to.c_str(), true));
    if (!root) {
        fprintf(stderr, "tavni-server: cannot open the output folder %s: %s\n", o.to.c_str(),
                last_error_text().c_str());
        return 1;
    }
    if (!folder)
        return restore_file(&r, base, restore_place{root.get(), name, o.to + "/" + name}) ? 0 : 1;
    if (name.empty()) return restore_tree(&r, base, root.get(), o.to) ? 0 : 1;
    restore_place at{root.get(), name, o.to + "/" + name};
    held_dir top(enter_folder(at, base));
    if (!top) return 1;
    return restore_tree(&r, base, top.get(), at.shown) ? 0 : 1;
}

int srv_cmd_verify_all(srv_store* st, uint32_t user, const uint8_t* key) {
    std::vector<std::pair<uint32_t, cat_version>> all;
    if (st->cat.ops->all_current(st->cat.self, user, &all) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the catalog\n");
        return 1;
    }
    // The key decodes only its own user's blocks: another user's would all
    // look damaged. Those are checked as stored bytes.
    std::map<uint32_t, bool> key_of;
    verify_tally t;
    for (const auto& p : all) {
        const uint8_t* k = nullptr;
        if (key) {
            auto it = key_of.find(p.first);
            if (it == key_of.end()) {
                it = key_of.emplace(p.first, key_matches(st, p.first, key)).first;
                if (!it->second)
                    fprintf(stderr,
                            "tavni-server: the account key does not belong to user %u: its "
                            "versions are checked without decrypting\n",
                            p.first);
            }
            if (it->second) k = key;
        }
        verify_version(st, p.first, p.second, k,
                       "user " + std::to_string(p.first) + " /" + p.second.path, false, &t);
    }
    return verify_finish(st, "current versions", &t);
}
