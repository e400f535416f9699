// ctl_reader.cpp - the reading verbs' log-in and shared helpers (see
// ctl_reader.h).
#include "tools/ctl/ctl_reader.h"

#include "backup/schedule/schedule_path.h"
#include "common/text.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_values.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/pins.h"
#include "protocol/session_io.h"

#include <CLI/CLI.hpp>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The first value of key (matched without regard to case) in a schedule's
// text; false when absent.
bool schedule_value(const std::string& text, const char* key, std::string* out) {
    const size_t klen = strlen(key);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > klen && compare_nocase_n(line.c_str(), key, klen) == 0 &&
            line[klen] == '=') {
            *out = line.substr(klen + 1);
            return true;
        }
    }
    return false;
}

// The key and user of a schedule file, decrypted with the installation's
// machine key. 0 or 1 after a message.
int from_schedule(const ctl_read_options& o, uint8_t key[32], uint32_t* user) {
    key_holder mk;
    if (ctl_root_key(o.root, false, &mk) != 0) return 1;
    const std::string path = schedule_path_in(o.root, o.schedule);
    std::string text, why;
    if (ctl_decrypt_file(mk.key, path, &text, &why) != 0) return ctl_fail(why);
    std::string hex, uid;
    const bool have_key = ctl_schedule_acckey(text, &hex);
    const bool have_user = schedule_value(text, "userid", &uid);
    if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    int rc = 0;
    if (!have_key || !ctl_hex_key_ok(hex))
        rc = ctl_fail("the schedule '" + path + "' holds no account key (acckey=)");
    else if (!have_user || !ctl_user_id_ok(uid, user, &why))
        rc = ctl_fail("the schedule '" + path + "' holds no valid UserId=");
    else
        hex_decode(hex.c_str(), 32, key);
    if (!hex.empty()) OPENSSL_cleanse(&hex[0], hex.size());
    return rc;
}

int given_outright(const ctl_read_options& o, uint8_t key[32], uint32_t* user) {
    std::string why;
    if (o.user.empty() || o.acckey_file.empty())
        return ctl_fail("--server needs --user ID and --acckey-file FILE (or give --schedule)");
    if (!ctl_user_id_ok(o.user, user, &why)) return ctl_fail("--user: " + why);
    std::string hex;
    if (ctl_acckey_file(o.acckey_file, &hex) != 0) return 1;
    const bool ok = ctl_hex_key_ok(hex);
    if (ok) hex_decode(hex.c_str(), 32, key);
    if (!hex.empty()) OPENSSL_cleanse(&hex[0], hex.size());
    return ok ? 0 : ctl_fail("the account key in '" + o.acckey_file +
                             "' is not 64 hexadecimal digits");
}

int login_failed(tfs_result rc, uint32_t user, const ctfs_session* s) {
    if (s->identity_changed)
        return ctl_fail(std::string("the server's key is not the one pinned for it in "
                                    "etc/hosts.keys; nothing was sent (tavni-ctl trust-server "
                                    "--show compares them)"));
    if (rc == ERR_AUTH_FAILURE)
        return ctl_fail("the server refuses user " + std::to_string(user) +
                        " with this account key");
    return ctl_fail(std::string("cannot log in to the server: ") + ctfs_err_name(rc) + ": " +
                    ctfs_err_text(rc));
}

} // namespace

ctl_reader::~ctl_reader() {
    OPENSSL_cleanse(key, sizeof key);
    if (s) {
        ctfs_session_close(s);
        free(s);
        ctfs_cleanup();
    }
}

void ctl_read_add_options(CLI::App* cmd, ctl_read_options* o) {
    // Server paths start with "/": never an option, on Windows either.
    cmd->allow_windows_style_options(false);
    cmd->add_option("--schedule", o->schedule,
                    "a schedule file of the installation: server, user and account key as the "
                    "agent reads them");
    cmd->add_option("--root", o->root,
                    "installation folder: machine key, etc/hosts and etc/hosts.keys (default: "
                    "the current directory)");
    cmd->add_option("--server", o->server, "HOST:PORT of the server (with --user and --acckey-file)");
    cmd->add_option("--user", o->user, "user number on the server");
    cmd->add_option("--acckey-file", o->acckey_file,
                    "file holding the account key, 64 hex digits (\"-\": standard input)");
}

void ctl_point_add_options(CLI::App* cmd, ctl_point_options* o) {
    auto* run = cmd->add_option("--run", o->run, "the tree at the end of this run (tavni-ctl snapshots)");
    auto* at = cmd->add_option("--at", o->at,
                               "the tree at this time: seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] [+hhmm] (no offset: UTC)");
    run->excludes(at);
}

int ctl_point_from(const ctl_point_options& o, ctl_point* p) {
    *p = ctl_point();
    p->run = o.run;
    if (o.at.empty()) return 0;
    p->at = time_text_parse(o.at);
    if (p->at > 0) return 0;
    return ctl_fail("--at '" + o.at +
                    "' is not a time (seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] with an offset such as +0100, or none for UTC)");
}

int ctl_read_open(const ctl_read_options& o, ctl_reader* r) {
    uint32_t user = 0;
    if (o.schedule.empty() == o.server.empty())
        return ctl_fail("give either --schedule FILE or --server HOST:PORT");
    if (!o.schedule.empty() ? from_schedule(o, r->key, &user) != 0
                            : given_outright(o, r->key, &user) != 0)
        return 1;
    uint8_t digest[20];
    SHA1(r->key, sizeof r->key, digest);
    static const uint8_t no_host[20] = {};
    r->s = static_cast<ctfs_session*>(calloc(1, sizeof(ctfs_session)));
    if (!r->s) return ctl_fail("out of memory");
    if (ctfs_init() != 0) {
        free(r->s);
        r->s = nullptr;
        return ctl_fail("cannot start the socket layer");
    }
    if (!o.server.empty()) {
        ctfs_server_entry e;
        if (!ctfs_parse_server_line(o.server.c_str(), &e) || !e.host[0] || e.port <= 0 ||
            e.port > 65535)
            return ctl_fail("'" + o.server + "' is not HOST:PORT");
        const std::string pins = (fs::path(o.root) / "etc" / "hosts.keys").string();
        const tfs_result rc = read_connect(r->s, e.host, e.port, user, digest, no_host,
                                           pins.c_str());
        return rc == ERR_NONE ? 0 : login_failed(rc, user, r->s);
    }
    // The agent's own way: its server list, in order, with its pins.
    ctfs_session* s = r->s;
    ctfs_session_init(s);
    s->user_id = user;
    s->auth_mode = AUTH_MODE_AGENT;
    s->cipher_mode = CTFS_CIPHER_AES;
    s->fci_started = 1; // a reading session never asks for the stamp
    memcpy(s->key_digest, digest, sizeof digest);
    memcpy(s->host_id, no_host, sizeof no_host);
    const std::string list = (fs::path(o.root) / "etc" / "hosts").string();
    if (list.size() >= sizeof s->primary_list ||
        !ctfs_pin_file_for(list.c_str(), s->pin_file, sizeof s->pin_file))
        return ctl_fail("the installation folder's path is too long: " + o.root);
    memcpy(s->primary_list, list.c_str(), list.size() + 1);
    const tfs_result rc = ctfs_session_auth(s, nullptr, 0);
    return rc == ERR_NONE ? 0 : login_failed(rc, user, s);
}

ctfs_session* ctl_read_open_another(const ctl_reader& r) {
    if (!r.s) return nullptr;
    ctfs_session* s = static_cast<ctfs_session*>(calloc(1, sizeof(ctfs_session)));
    if (!s) return nullptr;
    const ctfs_session& first = *r.s;
    if (read_connect(s, first.server_host, static_cast<int>(first.server_port), first.user_id,
                     first.key_digest, first.host_id, first.pin_file) != ERR_NONE) {
        ctl_read_close_another(s);
        return nullptr;
    }
    return s;
}

void ctl_read_close_another(ctfs_session* s) {
    if (!s) return;
    ctfs_session_close(s);
    free(s);
}

int ctl_read_fail(const std::string& what, tfs_result rc) {
    return ctl_fail(what + ": " + read_err_text(rc));
}
