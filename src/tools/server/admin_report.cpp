// admin_report.cpp - offline commands that report on a store or remove a
// user: user list and remove, the recursive listing, diff and status. Every
// fact comes from the catalog interface, so another catalog back end serves
// them unchanged.
#include "tools/server/admin.h"

#include "tools/server/server.h"
#include "tools/server/shown.h"

#include "common/json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>

namespace {

std::string num(uint64_t v) {
    return std::to_string(v);
}

// Prints rows with every column but the last padded to its widest cell.
void print_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); i++) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (const auto& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); i++) {
            line += r[i];
            if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        printf("%s\n", line.c_str());
    }
}

} // namespace

bool srv_user_known(srv_store* st, uint32_t user) {
    cat_user u;
    int rc = st->cat.ops->user_get(st->cat.self, user, &u);
    if (rc == CAT_OK) return true;
    if (rc == CAT_NOT_FOUND)
        fprintf(stderr,
                "tavni-server: no user %u in the store %s (tavni-server user list --store %s "
                "shows them)\n",
                user, st->dir.c_str(), st->dir.c_str());
    else
        fprintf(stderr, "tavni-server: cannot read the catalog of %s\n", st->dir.c_str());
    return false;
}

namespace {

// The tree below path at a time, a file standing alone for itself. *found
// false when path was neither then.
bool tree_at(srv_store* st, uint32_t user, const std::string& path, int64_t at,
             std::vector<cat_tree_entry>* out, bool* found) {
    catalog& cat = st->cat;
    *found = true;
    int rc = cat.ops->tree(cat.self, user, path, at, out);
    if (rc == CAT_OK) return true;
    if (rc == CAT_NOT_DIR) {
        cat_version v;
        if (cat.ops->version_at(cat.self, user, path, at, &v) != CAT_OK) return false;
        out->push_back(cat_tree_entry{path, false, v.id, v.size, v.mtime, v.committed, v.damaged});
        return true;
    }
    *found = false;
    return rc == CAT_NOT_FOUND;
}

std::string shown_path(const cat_tree_entry& e) {
    return "/" + e.path + (e.folder ? "/" : "");
}

} // namespace

std::string srv_entry_json(const std::string& path, bool folder, uint64_t size, int64_t mtime,
                           bool damaged) {
    json_object j;
    j.add("path", path);
    j.add_bool("folder", folder);
    if (folder)
        j.add_null("size");
    else
        j.add("size", size);
    j.add("mtime", mtime);
    j.add("mtime_text", time_text_local(mtime));
    j.add_bool("damaged", damaged);
    return j.text();
}

// ---- users ------------------------------------------------------------------

int srv_cmd_user_list(srv_store* st, bool json) {
    std::vector<cat_user_summary> users;
    if (st->cat.ops->user_list(st->cat.self, &users) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the users of %s\n", st->dir.c_str());
        return 1;
    }
    if (json) {
        std::vector<std::string> items;
        for (const cat_user_summary& u : users) {
            json_object j;
            j.add("id", static_cast<uint64_t>(u.user.id));
            j.add("name", u.user.name);
            j.add("account", u.user.account);
            j.add("files", static_cast<uint64_t>(u.files));
            j.add("bytes", static_cast<uint64_t>(u.bytes));
            j.add("versions", static_cast<uint64_t>(u.versions));
            items.push_back(j.text());
        }
        json_object all;
        all.add_raw("users", json_array(items));
        printf("%s\n", all.text().c_str());
        return 0;
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"ID", "NAME", "ACCOUNT", "FILES", "BYTES", "VERSIONS"});
    for (const cat_user_summary& u : users)
        rows.push_back({num(u.user.id), u.user.name, u.user.account, num(u.files),
                        srv_size_text(u.bytes, srv_sizes_in_units()), num(u.versions)});
    print_table(rows);
    return 0;
}

int srv_cmd_user_remove(srv_store* st, uint32_t id, bool confirmed) {
    catalog& cat = st->cat;
    std::vector<cat_user_summary> users;
    if (cat.ops->user_list(cat.self, &users) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the users of %s\n", st->dir.c_str());
        return 1;
    }
    auto it = std::find_if(users.begin(), users.end(),
                           [id](const cat_user_summary& u) { return u.user.id == id; });
    if (it == users.end()) {
        srv_user_known(st, id);
        return 1;
    }
    if (!confirmed) {
        fprintf(stderr,
                "tavni-server: removing user %u (%s, account \"%s\") deletes %llu current files "
                "(%llu bytes) in %llu stored versions, their folders, %llu change-index stamps "
                "and %llu stored e-mail reports, and the stored blocks no other user shares.\n"
                "Nothing was removed. To remove them, stop the server of the store and run "
                "the command again with --yes-remove-data.\n",
                id, it->user.name.c_str(), it->user.account.c_str(),
                static_cast<unsigned long long>(it->files),
                static_cast<unsigned long long>(it->bytes),
                static_cast<unsigned long long>(it->versions),
                static_cast<unsigned long long>(it->stamps),
                static_cast<unsigned long long>(it->mails));
        return 2;
    }
    std::vector<blk_digest> orphans;
    if (cat.ops->user_remove(cat.self, id, &orphans) != CAT_OK) {
        fprintf(stderr,
                "tavni-server: cannot remove user %u: the catalog refused; nothing was "
                "removed\n",
                id);
        return 1;
    }
    // The rows are gone first: a crash from here on leaves block files no
    // row names, never a row naming a missing block.
    size_t failed = 0;
    for (const blk_digest& d : orphans)
        if (st->blocks.ops->remove(st->blocks.self, d) != 0) failed++;
    printf("removed user %u (%s): %llu versions, %zu blocks\n", id, it->user.name.c_str(),
           static_cast<unsigned long long>(it->versions), orphans.size() - failed);
    if (failed) {
        fprintf(stderr,
                "tavni-server: %zu blocks of user %u could not be deleted from %s/blocks; no "
                "catalog row names them any more\n",
                failed, id, st->dir.c_str());
        return 1;
    }
    return 0;
}

// ---- listings ---------------------------------------------------------------

int srv_cmd_ls_tree(srv_store* st, uint32_t user, const std::string& path, bool json) {
    if (!srv_user_known(st, user)) return 1;
    std::vector<cat_tree_entry> tree;
    bool found = false;
    if (!tree_at(st, user, path, 0, &tree, &found)) {
        fprintf(stderr, "tavni-server: cannot read the catalog of %s\n", st->dir.c_str());
        return 1;
    }
    if (!found) {
        fprintf(stderr, "tavni-server: no such path: /%s\n", path.c_str());
        return 1;
    }
    if (json) {
        std::vector<std::string> items;
        for (const cat_tree_entry& e : tree)
            items.push_back(srv_entry_json("/" + e.path, e.folder, e.size, e.mtime, e.damaged));
        json_object all;
        all.add("path", "/" + path);
        all.add_raw("entries", json_array(items));
        printf("%s\n", all.text().c_str());
        return 0;
    }
    for (const cat_tree_entry& e : tree) {
        if (e.folder)
            printf("%-25s %14s  %s\n", time_text_local(e.mtime).c_str(), "-", shown_path(e).c_str());
        else
            printf("%-25s %14s  %s%s\n", time_text_local(e.mtime).c_str(),
                   srv_size_text(e.size, srv_sizes_in_units()).c_str(), shown_path(e).c_str(),
                   e.damaged ? "  (damaged)" : "");
    }
    return 0;
}

std::vector<std::string> srv_tree_diff(const std::vector<cat_tree_entry>& from,
                                       const std::vector<cat_tree_entry>& to) {
    std::vector<std::string> out;
    size_t i = 0, j = 0;
    while (i < from.size() || j < to.size()) {
        if (j == to.size() || (i < from.size() && from[i].path < to[j].path)) {
            out.push_back("D " + shown_path(from[i++]));
        } else if (i == from.size() || to[j].path < from[i].path) {
            out.push_back("A " + shown_path(to[j++]));
        } else {
            const cat_tree_entry& a = from[i++];
            const cat_tree_entry& b = to[j++];
            if (a.folder != b.folder) { // one kind gave way to the other
                out.push_back("D " + shown_path(a));
                out.push_back("A " + shown_path(b));
            } else if (!a.folder && a.version != b.version &&
                       (a.size != b.size || a.mtime != b.mtime)) {
                out.push_back("M " + shown_path(b));
            }
        }
    }
    return out;
}

int srv_cmd_diff(srv_store* st, uint32_t user, const std::string& path, int64_t from, int64_t to) {
    if (!srv_user_known(st, user)) return 1;
    std::vector<cat_tree_entry> a, b;
    bool found_a = false, found_b = false;
    if (!tree_at(st, user, path, from, &a, &found_a) ||
        !tree_at(st, user, path, to, &b, &found_b)) {
        fprintf(stderr, "tavni-server: cannot read the catalog of %s\n", st->dir.c_str());
        return 1;
    }
    if (!found_a && !found_b) {
        fprintf(stderr, "tavni-server: /%s existed at neither time\n", path.c_str());
        return 1;
    }
    for (const std::string& line : srv_tree_diff(a, b))
        printf("%s\n", line.c_str());
    return 0;
}

// ---- status -----------------------------------------------------------------

std::string srv_destination_of(const std::string& path, bool folder) {
    size_t k1 = path.find('/');
    if (k1 == std::string::npos) return folder ? std::string() : std::string("/");
    size_t k2 = path.find('/', k1 + 1);
    if (k2 == std::string::npos) return folder ? "/" + path : "/" + path.substr(0, k1);
    return "/" + path.substr(0, k2);
}

bool srv_mail_is_failure(const std::string& body, std::string* reason) {
    std::string lower = body;
    for (char& ch : lower)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    reason->clear();
    if (lower.find("backup failed") == std::string::npos) return false;
    // The failure templates put the reason on the first line with text
    // after "The reason given:".
    const std::string mark = "the reason given:";
    size_t k = lower.find(mark);
    if (k == std::string::npos) return true;
    size_t p = k + mark.size();
    while (p < body.size()) {
        size_t e = body.find('\n', p);
        if (e == std::string::npos) e = body.size();
        std::string line = body.substr(p, e - p);
        size_t b = line.find_first_not_of(" \t\r");
        if (b != std::string::npos) {
            size_t l = line.find_last_not_of(" \t\r");
            *reason = line.substr(b, l - b + 1);
            break;
        }
        p = e + 1;
    }
    return true;
}

namespace {

// key: seconds since 1970 and key_text: the same as shown; both null for 0.
void add_time_or_null(json_object* j, const char* key, int64_t t) {
    const std::string text_key = std::string(key) + "_text";
    if (t == 0) {
        j->add_null(key);
        j->add_null(text_key.c_str());
        return;
    }
    j->add(key, t);
    j->add(text_key.c_str(), time_text_local(t));
}

struct dest_tally {
    uint64_t files = 0, bytes = 0;
    int64_t last = 0;
};

} // namespace

int srv_cmd_status(srv_store* st, uint32_t user, bool json) {
    catalog& cat = st->cat;
    std::vector<cat_user_summary> users;
    if (cat.ops->user_list(cat.self, &users) != CAT_OK) {
        fprintf(stderr, "tavni-server: cannot read the users of %s\n", st->dir.c_str());
        return 1;
    }
    if (user != 0 && !srv_user_known(st, user)) return 1;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> items; // with json
    rows.push_back({"USER", "DESTINATION", "FILES", "BYTES", "LAST-STORED", "LAST-JOB",
                    "LAST-FAILURE", "REASON"});
    for (const cat_user_summary& u : users) {
        if (user != 0 && u.user.id != user) continue;
        std::vector<cat_tree_entry> tree;
        std::vector<cat_stamp> stamps;
        std::vector<int64_t> mails;
        if (cat.ops->tree(cat.self, u.user.id, "", 0, &tree) != CAT_OK ||
            cat.ops->stamps(cat.self, u.user.id, &stamps) != CAT_OK ||
            cat.ops->mail_of(cat.self, u.user.id, &mails) != CAT_OK) {
            fprintf(stderr, "tavni-server: cannot read the catalog of %s\n", st->dir.c_str());
            return 1;
        }
        std::map<std::string, dest_tally> dests;
        for (const cat_tree_entry& e : tree) {
            std::string d = srv_destination_of(e.path, e.folder);
            if (d.empty()) continue;
            dest_tally& t = dests[d];
            if (e.folder) continue;
            t.files++;
            t.bytes += e.size;
            t.last = std::max(t.last, e.committed);
        }
        // Stamps are the end times that jobs handed back with their last
        // lock release; they name the schedule, not the destination.
        uint32_t last_job = 0;
        for (const cat_stamp& s : stamps)
            last_job = std::max(last_job, s.stamp);
        std::string fail_time = "-", fail_reason;
        int64_t fail_when = 0;
        for (int64_t id : mails) { // newest first
            cat_mail m;
            if (cat.ops->mail_get(cat.self, id, &m) != CAT_OK) continue;
            if (srv_mail_is_failure(m.body, &fail_reason)) {
                fail_time = time_text_local(m.received);
                fail_when = m.received;
                break;
            }
        }
        std::string job = last_job ? time_text_local(last_job) : "-";
        if (json) {
            // A user with nothing stored still has a row (its failures).
            auto add_row = [&](const std::string* dest, const dest_tally& t) {
                json_object j;
                j.add("user", static_cast<uint64_t>(u.user.id));
                if (dest)
                    j.add("destination", *dest);
                else
                    j.add_null("destination");
                j.add("files", t.files);
                j.add("bytes", t.bytes);
                add_time_or_null(&j, "last_stored", t.last);
                add_time_or_null(&j, "last_job", last_job);
                add_time_or_null(&j, "last_failure", fail_when);
                if (fail_when && !fail_reason.empty())
                    j.add("reason", fail_reason);
                else
                    j.add_null("reason");
                items.push_back(j.text());
            };
            for (const auto& kv : dests)
                add_row(&kv.first, kv.second);
            if (dests.empty()) add_row(nullptr, dest_tally());
            continue;
        }
        if (dests.empty()) dests["-"] = dest_tally();
        for (const auto& kv : dests)
            rows.push_back({num(u.user.id), kv.first, num(kv.second.files),
                            srv_size_text(kv.second.bytes, srv_sizes_in_units()),
                            kv.second.last ? time_text_local(kv.second.last) : "-", job, fail_time,
                            fail_reason.empty() ? "-" : fail_reason});
    }
    int64_t when = 0;
    std::string failure;
    const bool store_failed = srv_failure_read(st->dir, &when, &failure);
    if (json) {
        json_object all;
        all.add_raw("destinations", json_array(items));
        if (store_failed) {
            json_object f;
            add_time_or_null(&f, "time", when);
            f.add("failure", failure);
            all.add_raw("last_store_failure", f.text());
        } else {
            all.add_null("last_store_failure");
        }
        printf("%s\n", all.text().c_str());
        return 0;
    }
    print_table(rows);
    if (store_failed)
        printf("Last store failure: %s: %s\n", time_text_local(when).c_str(), failure.c_str());
    return 0;
}
