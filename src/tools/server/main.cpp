// main.cpp - tavni-server: the reference backup server and its store tools.
#include "common/mem.h"
#include "common/secret_file.h"
#include "platform/platform.h"
#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/wire.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) {
    g_stop = true;
}

srv_store* open_or_complain(const std::string& dir, bool serving) {
    std::string err;
    srv_store* st = srv_store_open(dir, serving, &err);
    if (!st) fprintf(stderr, "tavni-server: %s\n", err.c_str());
    return st;
}

bool parse_listen(const std::string& text, std::string* host, uint16_t* port) {
    size_t k = text.rfind(':');
    std::string h = k == std::string::npos ? "127.0.0.1" : text.substr(0, k);
    std::string p = k == std::string::npos ? text : text.substr(k + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(p);
    if (v > 65535) return false;
    *host = h.empty() ? "127.0.0.1" : h;
    *port = static_cast<uint16_t>(v);
    return true;
}

// Seconds since 1970, or "YYYY-MM-DD[ HH:MM[:SS]]" in UTC; -1 when malformed.
int64_t parse_time(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
        return text.size() > 12 ? -1 : std::stoll(text);
    struct tm tm = {};
    int n = sscanf(text.c_str(), "%d-%d-%d%*[ T]%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                   &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    if (n < 3) return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm));
}

const char* const kAcckeyHelp = "account key, 64 hex digits (every user of the machine can read "
                                "it in the process list: prefer --acckey-file)";
const char* const kAcckeyFileHelp = "file holding the account key, 64 hex digits (- for standard "
                                    "input): the safe form, kept out of the process list";

// The hex text of a key given directly or in a file (file wins when set);
// false after a message. The text is wiped by the caller.
bool key_text(const std::string& direct, const std::string& file, size_t digits, std::string* out) {
    if (file.empty()) {
        *out = direct;
        return true;
    }
    std::string err;
    if (!secret_file_read(file, digits, out, &err)) {
        fprintf(stderr, "tavni-server: %s\n", err.c_str());
        return false;
    }
    return true;
}

bool normalize_cli_path(const std::string& in, std::string* out) {
    if (!srv_normalize_path(in, true, out)) {
        fprintf(stderr, "tavni-server: not a valid server path: %s\n", in.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    mem_install_new_handler();
    CLI::App app{"tavni-server: the reference backup server"};
    app.require_subcommand(1);
    std::string store;
    int status = 0;

    auto* init = app.add_subcommand("init", "make a new store");
    init->add_option("--store", store, "store folder")->required();
    init->callback([&] {
        std::string err;
        if (!srv_store_init(store, &err)) {
            fprintf(stderr, "tavni-server: %s\n", err.c_str());
            status = 1;
            return;
        }
        printf("store made at %s\n", store.c_str());
    });

    auto* user = app.add_subcommand("user", "manage users");
    user->require_subcommand(1);
    auto* uadd = user->add_subcommand("add", "add or replace a user");
    uint32_t uid = 0;
    std::string uname, account, acckey_hex, digest_hex, acckey_file, digest_file;
    uadd->add_option("--store", store)->required();
    uadd->add_option("--id", uid, "numeric user id")->required();
    uadd->add_option("--name", uname)->required();
    uadd->add_option("--account", account)->required();
    auto* o_key = uadd->add_option("--acckey", acckey_hex, kAcckeyHelp);
    auto* o_key_file = uadd->add_option("--acckey-file", acckey_file, kAcckeyFileHelp);
    // The digest is what a client logs in with: as secret as the key.
    auto* o_dig = uadd->add_option("--key-digest", digest_hex,
                                   "SHA-1 of the account key, 40 hex digits (seen in the process "
                                   "list: prefer --key-digest-file)");
    auto* o_dig_file =
        uadd->add_option("--key-digest-file", digest_file,
                         "file holding the key digest, 40 hex digits (- for standard input)");
    o_key->excludes(o_dig)->excludes(o_key_file)->excludes(o_dig_file);
    o_key_file->excludes(o_dig)->excludes(o_dig_file);
    o_dig->excludes(o_dig_file);
    uadd->callback([&] {
        uint8_t digest[20];
        std::string key_hex, dig_hex;
        bool have = key_text(acckey_hex, acckey_file, 64, &key_hex) &&
                    key_text(digest_hex, digest_file, 40, &dig_hex);
        if (have && !key_hex.empty()) {
            uint8_t key[32];
            have = srv_parse_hex(key_hex, key, 32);
            if (have)
                SHA1(key, 32, digest); // only the digest is kept
            else
                fprintf(stderr, "tavni-server: the account key needs 64 hex digits\n");
            OPENSSL_cleanse(key, sizeof key);
        } else if (have && !srv_parse_hex(dig_hex, digest, 20)) {
            fprintf(stderr, "tavni-server: give --acckey-file (64 hex digits) or "
                            "--key-digest-file (40)\n");
            have = false;
        }
        secret_wipe(&key_hex);
        secret_wipe(&dig_hex);
        if (!have) {
            status = 2;
            return;
        }
        srv_store* st = open_or_complain(store, false);
        if (!st) {
            status = 1;
            return;
        }
        status = srv_cmd_user_add(st, uid, uname, account, digest);
        srv_store_close(st);
    });

    auto* serve = app.add_subcommand("serve", "serve a store");
    std::string listen = "127.0.0.1:7070";
    uint32_t idle_s = 300, max_conn = 64, max_per_address = 8;
    double login_s = 10;
    bool allow_plaintext = false;
    serve->add_option("--store", store)->required();
    serve->add_option("--listen", listen, "HOST:PORT (host defaults to 127.0.0.1)");
    serve->add_option("--idle-timeout", idle_s, "seconds without a frame before a connection ends");
    serve->add_option("--max-connections", max_conn);
    serve->add_option("--max-connections-per-address", max_per_address,
                      "connections one address (an IPv6 /64) may hold at once (default 8)");
    serve->add_option("--login-timeout", login_s,
                      "seconds from connecting to an accepted log-in (default 10)");
    serve->add_flag("--allow-plaintext", allow_plaintext,
                    "also serve cipher modes 1 and 2, which send the log-in in clear (tests only)");
    serve->callback([&] {
        srv_config cfg;
        if (!parse_listen(listen, &cfg.host, &cfg.port) || idle_s == 0 || idle_s > 86400) {
            fprintf(stderr, "tavni-server: bad --listen or --idle-timeout\n");
            status = 2;
            return;
        }
        if (!(login_s >= 0.001 && login_s <= 3600) || max_conn == 0 || max_per_address == 0) {
            fprintf(stderr, "tavni-server: bad --login-timeout, --max-connections or "
                            "--max-connections-per-address\n");
            status = 2;
            return;
        }
        cfg.idle_timeout_ms = idle_s * 1000;
        cfg.max_connections = max_conn;
        cfg.max_connections_per_address = max_per_address;
        cfg.login_timeout_ms = static_cast<uint32_t>(login_s * 1000);
        cfg.allow_plaintext = allow_plaintext;
        srv_store* st = open_or_complain(store, true);
        if (!st) {
            status = 1;
            return;
        }
        std::string err;
        uint16_t port = 0;
        srv_server* s = srv_start(st, cfg, &port, &err);
        if (!s) {
            fprintf(stderr, "tavni-server: %s\n", err.c_str());
            srv_store_close(st);
            status = 1;
            return;
        }
        std::signal(SIGINT, on_signal);
        std::signal(SIGTERM, on_signal);
        printf("serving %s on %s:%u\n", store.c_str(), cfg.host.c_str(), port);
        fflush(stdout);
        while (!g_stop)
            plat_sleep_ms(200);
        srv_stop(s);
        srv_store_close(st);
    });

    auto* ls = app.add_subcommand("ls", "list the stored tree");
    uint32_t user_n = 0;
    std::string path;
    bool history = false;
    ls->add_option("--store", store)->required();
    ls->add_option("--user", user_n)->required();
    ls->add_option("path", path, "server path (default: the root)");
    ls->add_flag("--history", history, "every version of each file");
    ls->callback([&] {
        std::string p;
        srv_store* st = normalize_cli_path(path, &p) ? open_or_complain(store, false) : nullptr;
        if (!st) {
            status = 1;
            return;
        }
        status = srv_cmd_ls(st, user_n, p, history);
        srv_store_close(st);
    });

    std::string to, at_text, sched_file, root;
    bool overwrite = false;
    auto restore_like = [&](CLI::App* cmd, bool writes) {
        cmd->add_option("--store", store)->required();
        cmd->add_option("--user", user_n);
        cmd->add_option("path", path);
        auto* o_key = cmd->add_option("--acckey", acckey_hex, kAcckeyHelp);
        auto* o_key_file = cmd->add_option("--acckey-file", acckey_file, kAcckeyFileHelp);
        o_key->excludes(o_key_file);
        cmd->add_option("--at", at_text,
                        "the version current at this time (seconds or YYYY-MM-DD HH:MM:SS UTC)");
        if (writes) {
            cmd->add_option("--to", to, "output folder")->required();
            cmd->add_flag("--overwrite", overwrite, "replace files already in the output folder");
        }
        auto* o_sched = cmd->add_option("--schedule", sched_file,
                                        "take the account key (and user) from this schedule file");
        auto* o_root = cmd->add_option("--root", root, "installation folder holding etc/tavni.ak");
        o_sched->needs(o_root);
        o_root->needs(o_sched);
        cmd->callback([&, cmd, writes] {
            srv_restore_opts o;
            o.user = user_n;
            o.to = writes ? to : std::string();
            o.overwrite = writes && overwrite;
            if (!sched_file.empty()) {
                std::string err;
                uint32_t sched_user = 0;
                if (!srv_key_from_schedule(sched_file, root, o.key, &sched_user, &err)) {
                    fprintf(stderr, "tavni-server: %s\n", err.c_str());
                    status = 1;
                    return;
                }
                o.have_key = true;
                if (cmd->count("--user") == 0) o.user = user_n = sched_user;
            } else if (!acckey_hex.empty() || !acckey_file.empty()) {
                std::string hex;
                bool ok = key_text(acckey_hex, acckey_file, 64, &hex);
                if (ok && !srv_parse_hex(hex, o.key, 32)) {
                    fprintf(stderr, "tavni-server: the account key needs 64 hex digits\n");
                    ok = false;
                }
                secret_wipe(&hex);
                if (!ok) {
                    status = 2;
                    return;
                }
                o.have_key = true;
            } else if (writes) {
                fprintf(stderr, "tavni-server: restore needs --acckey-file (or --acckey)\n");
                status = 2;
                return;
            }
            if (!at_text.empty() && (o.at = parse_time(at_text)) <= 0) {
                fprintf(stderr, "tavni-server: bad --at time\n");
                status = 2;
                return;
            }
            bool whole = !writes && cmd->count("--user") == 0 && sched_file.empty();
            if (!whole && user_n == 0) {
                fprintf(stderr, "tavni-server: --user is required\n");
                status = 2;
                return;
            }
            if (!normalize_cli_path(path, &o.path)) {
                status = 2;
                return;
            }
            srv_store* st = open_or_complain(store, false);
            if (!st) {
                status = 1;
                return;
            }
            if (whole || (!writes && path.empty() && o.at == 0))
                status = srv_cmd_verify_all(st, user_n, o.have_key ? o.key : nullptr);
            else
                status = srv_cmd_restore(st, o);
            srv_store_close(st);
        });
    };
    restore_like(app.add_subcommand("restore", "restore a file or folder with the account key"),
                 true);
    restore_like(app.add_subcommand("verify", "check stored versions (all, or a path of a user)"),
                 false);

    auto* mail = app.add_subcommand("mail", "stored e-mail");
    mail->require_subcommand(1);
    auto* mlist = mail->add_subcommand("list", "list stored messages");
    mlist->add_option("--store", store)->required();
    mlist->callback([&] {
        srv_store* st = open_or_complain(store, false);
        status = st ? srv_cmd_mail_list(st) : 1;
        srv_store_close(st);
    });
    auto* mshow = mail->add_subcommand("show", "print one message");
    int64_t mail_id = 0;
    mshow->add_option("--store", store)->required();
    mshow->add_option("id", mail_id)->required();
    mshow->callback([&] {
        srv_store* st = open_or_complain(store, false);
        status = st ? srv_cmd_mail_show(st, mail_id) : 1;
        srv_store_close(st);
    });

    CLI11_PARSE(app, argc, argv);
    return status;
}
