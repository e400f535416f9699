// main.cpp - tavni-server: the reference backup server and its store tools.
#include "common/mem.h"
#include "common/secret_file.h"
#include "platform/platform.h"
#include "protocol/pins.h"
#include "runtime/log.h"
#include "tools/server/admin.h"
#include "tools/server/server.h"
#include "tools/server/shown.h"
#include "tools/server/smtp_client.h"
#include "tools/server/wire.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

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

// Runs a verb on the store opened for reading: its exit code, or 1 when the
// store cannot be opened (said on standard error).
template <class Verb> int on_store(const std::string& dir, Verb verb) {
    srv_store* st = open_or_complain(dir, false);
    if (!st) return 1;
    const int rc = verb(st);
    srv_store_close(st);
    return rc;
}

// The fingerprint of the store's public key as agents pin it.
std::string key_fingerprint(srv_store* st) {
    uint8_t fp[CTFS_FINGERPRINT_SIZE];
    char text[CTFS_FINGERPRINT_TEXT] = "?";
    if (ctfs_key_fingerprint(reinterpret_cast<const uint8_t*>(st->public_pem.data()),
                             st->public_pem.size(), fp))
        ctfs_fingerprint_text(fp, text);
    return text;
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

const char* const kTimeHelp =
    "seconds since 1970, or YYYY-MM-DD[ HH:MM[:SS]] with an offset from UTC as the listings "
    "print it (2026-12-08 21:30:00 +0100), or without one (or with Z) for UTC";
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

// The request trace of serve --trace: whole lines, one write each, so that
// a reader sees every request handled so far even while the server runs.
struct trace_sink {
    std::mutex mu;
    plat_file f = PLAT_NO_FILE;
    bool failed = false;
    ~trace_sink() { plat_file_close(f); } // after srv_stop: no thread writes then
};

void trace_write(void* ctx, const char* line) {
    trace_sink* t = static_cast<trace_sink*>(ctx);
    std::string text = line;
    text += '\n';
    std::lock_guard<std::mutex> g(t->mu);
    if (t->failed) return;
    if (plat_file_write(t->f, text.data(), static_cast<uint32_t>(text.size())) !=
        static_cast<int32_t>(text.size())) {
        // A trace with a hole would compare as a different run: say so once.
        fprintf(stderr, "tavni-server: writing the request trace failed; it stops here\n");
        t->failed = true;
    }
}

// The serve options of the SMTP relay, checked into cfg; false after a
// message on standard error.
struct smtp_options {
    std::string url, from, credentials;
    double retry_base_s = 60;
    bool retry_base_given = false;
};

bool smtp_settings(const smtp_options& o, srv_config* cfg) {
    if (o.url.empty()) {
        if (!o.from.empty() || !o.credentials.empty() || o.retry_base_given) {
            fprintf(stderr, "tavni-server: --smtp-from, --smtp-credentials and --smtp-retry-base "
                            "need --smtp (the relay the reports go to)\n");
            return false;
        }
        return true;
    }
    std::string err;
    if (!smtp_available(&err) || !smtp_url_check(o.url, &err)) {
        fprintf(stderr, "tavni-server: %s\n", err.c_str());
        return false;
    }
    if (!smtp_address_ok(o.from)) {
        fprintf(stderr,
                "tavni-server: --smtp needs --smtp-from ADDRESS, the reports' sender "
                "(local@domain)%s\n",
                o.from.empty() ? "" : (", not \"" + o.from + "\"").c_str());
        return false;
    }
    if (!(o.retry_base_s >= 1 && o.retry_base_s <= 86400)) {
        fprintf(stderr, "tavni-server: --smtp-retry-base takes 1 to 86400 seconds\n");
        return false;
    }
    cfg->smtp.url = o.url;
    cfg->smtp.from = o.from;
    if (!o.credentials.empty() && !smtp_credentials_load(o.credentials, &cfg->smtp, &err)) {
        fprintf(stderr, "tavni-server: %s\n", err.c_str());
        return false;
    }
    cfg->outbox.retry_base_s = static_cast<uint32_t>(o.retry_base_s);
    if (cfg->outbox.retry_max_s < cfg->outbox.retry_base_s)
        cfg->outbox.retry_max_s = cfg->outbox.retry_base_s;
    // A shortened ladder (tests) also looks at the outbox that often.
    cfg->mail_poll_ms = std::min<uint32_t>(cfg->mail_poll_ms, cfg->outbox.retry_base_s * 1000);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    mem_install_new_handler();
    // The schedule parser shared with the agent logs each value it reads;
    // the server keeps no job log, and a restore must not print them.
    job_log_quiet_when_closed(true);
    CLI::App app{"tavni-server: the reference backup server"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("tavni-server ") + TAVNI_VERSION);
    std::string store;
    int status = 0;

    auto* init = app.add_subcommand(
        "init", "make a new store (several frontends: one store folder each, all naming the "
                "same --catalog and --blocks)");
    srv_backends backends;
    init->add_option("--store", store, "store folder (the server key and the configuration)")
        ->required();
    init->add_option("--catalog", backends.catalog,
                     "postgresql://USER@HOST:PORT/DATABASE (default: SQLite in the store "
                     "folder); the password comes from PGPASSFILE, ~/.pgpass or PGPASSWORD");
    init->add_option("--blocks", backends.blocks,
                     "s3://BUCKET?endpoint=URL&region=NAME (default: files in the store "
                     "folder); the keys come from --credentials or the environment");
    init->add_option("--credentials", backends.credentials,
                     "a file of S3 keys (lines access_key=... and secret_key=...; keep it "
                     "owner-only); without it TAVNI_S3_ACCESS_KEY_ID and "
                     "TAVNI_S3_SECRET_ACCESS_KEY are read");
    init->callback([&] {
        std::string err;
        if (!srv_store_init(store, backends, &err)) {
            fprintf(stderr, "tavni-server: %s\n", err.c_str());
            status = 1;
            return;
        }
        printf("store made at %s\n", store.c_str());
        // The fingerprint an agent pins (tavni-ctl init --server-key).
        status = on_store(store, [](srv_store* st) {
            printf("server key %s\n", key_fingerprint(st).c_str());
            return 0;
        });
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
        status = on_store(store, [&](srv_store* st) {
            return srv_cmd_user_add(st, uid, uname, account, digest);
        });
    });

    auto* ulist = user->add_subcommand("list", "list the users with what is stored of theirs");
    ulist->add_option("--store", store, "store folder")->required();
    ulist->footer("Columns: user id, name, account, current files, their size (in KiB, MiB, ...\n"
                  "on a terminal, in bytes otherwise), and stored versions (replaced ones too).\n"
                  "Example:\n  tavni-server user list --store /srv/tavni");
    bool ulist_json = false;
    ulist->add_flag("--json", ulist_json,
                    "one JSON object: users, each with id, name, account, files, bytes, versions");
    ulist->callback([&] {
        status = on_store(store, [&](srv_store* st) { return srv_cmd_user_list(st, ulist_json); });
    });

    auto* uremove = user->add_subcommand("remove", "remove a user and everything stored of theirs");
    bool yes_remove = false;
    uremove->add_option("--store", store, "store folder")->required();
    uremove->add_option("--id", uid, "numeric user id")->required();
    uremove->add_flag("--yes-remove-data", yes_remove,
                      "confirm: without it nothing is removed and the command says what would be");
    uremove->footer("Removes the user, their versions, folders, change-index stamps and stored\n"
                    "e-mail reports, and the stored blocks that no other user shares. The\n"
                    "server of the store must be stopped first.\n"
                    "Example:\n  tavni-server user remove --store /srv/tavni --id 7 "
                    "--yes-remove-data");
    uremove->callback([&] {
        // The removal itself opens the store as the serving process would:
        // a running server may be storing a block of the same digest for
        // another user. Saying what would go needs no lock.
        std::string err;
        srv_store* st = srv_store_open(store, yes_remove, &err);
        if (!st) {
            fprintf(stderr, "tavni-server: %s\n", err.c_str());
            if (err.find("served by another process") != std::string::npos)
                fprintf(stderr, "tavni-server: stop the server of this store first; a user's "
                                "data is removed only while nothing else writes the store\n");
            status = 1;
            return;
        }
        status = srv_cmd_user_remove(st, uid, yes_remove);
        srv_store_close(st);
    });

    auto* serve = app.add_subcommand("serve", "serve a store");
    std::string listen = "127.0.0.1:7070";
    uint32_t idle_s = 300, max_conn = 64, max_per_address = 8;
    double login_s = 10, first_bytes_s = 3;
    std::string max_startups = "16:30:32";
    bool allow_plaintext = false;
    std::string trace_path;
    serve->add_option("--store", store)->required();
    serve->add_option("--listen", listen, "HOST:PORT (host defaults to 127.0.0.1)");
    serve->add_option("--idle-timeout", idle_s, "seconds without a frame before a connection ends");
    serve->add_option("--max-connections", max_conn);
    serve->add_option("--max-connections-per-address", max_per_address,
                      "connections one address (an IPv6 /64) may hold at once (default 8)");
    serve->add_option("--login-timeout", login_s,
                      "seconds from connecting to an accepted log-in (default 10)");
    serve->add_option("--first-bytes-timeout", first_bytes_s,
                      "seconds from connecting to the client's greeting (default 3)");
    serve->add_option("--max-startups", max_startups,
                      "START:RATE:FULL for connections that have not logged in: from START on, "
                      "RATE percent of new ones are dropped at random, rising to nearly all "
                      "below FULL; at FULL the oldest without a key block is closed for the "
                      "new one (default 16:30:32)");
    serve->add_flag("--allow-plaintext", allow_plaintext,
                    "also serve cipher modes 1 and 2, which send the log-in in clear (tests only)");
    serve->add_option("--trace", trace_path,
                      "write one line per request received to this file (made owner-only): "
                      "its type and the fields the client chose, payloads as SHA-256");
    smtp_options smtp;
    serve->add_option("--smtp", smtp.url,
                      "smtp://HOST[:PORT] or smtps://HOST[:PORT]: hand the stored e-mail reports "
                      "to this relay (smtp:// switches to TLS with STARTTLS when the relay offers "
                      "it); without it they wait in the outbox");
    serve->add_option("--smtp-from", smtp.from, "the reports' sender address (with --smtp)");
    serve->add_option("--smtp-credentials", smtp.credentials,
                      "an owner-only file with the relay's log-in, lines user=... and "
                      "password=...; with it TLS is required");
    serve->add_option("--smtp-retry-base", smtp.retry_base_s,
                      "seconds before the first new try of a report the relay did not take "
                      "(default 60, doubling up to an hour); for tests");
    serve->callback([&] {
        srv_config cfg;
        smtp.retry_base_given = serve->count("--smtp-retry-base") > 0;
        if (!smtp_settings(smtp, &cfg)) {
            status = 2;
            return;
        }
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
        unsigned start = 0, rate = 0, full = 0;
        char extra = 0;
        if (sscanf(max_startups.c_str(), "%u:%u:%u%c", &start, &rate, &full, &extra) != 3 ||
            full == 0 || start > full || rate > 100 || !(first_bytes_s >= 0.001 &&
                                                         first_bytes_s <= 3600)) {
            fprintf(stderr, "tavni-server: bad --max-startups (START:RATE:FULL, START <= FULL, "
                            "RATE at most 100) or --first-bytes-timeout\n");
            status = 2;
            return;
        }
        cfg.prelogin_start = start;
        cfg.prelogin_rate = rate;
        cfg.prelogin_max = full;
        cfg.first_bytes_timeout_ms = static_cast<uint32_t>(first_bytes_s * 1000);
        cfg.allow_plaintext = allow_plaintext;
        trace_sink trace;
        if (!trace_path.empty()) {
            trace.f = plat_file_create(trace_path.c_str(), true);
            if (trace.f == PLAT_NO_FILE) {
                fprintf(stderr, "tavni-server: cannot create the trace file %s\n",
                        trace_path.c_str());
                status = 1;
                return;
            }
            cfg.trace = trace_write;
            cfg.trace_ctx = &trace;
        }
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
        printf("server key %s\n", key_fingerprint(st).c_str());
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
    bool history = false, recursive = false;
    ls->add_option("--store", store)->required();
    ls->add_option("--user", user_n)->required();
    ls->add_option("path", path, "server path (default: the root)");
    auto* o_hist = ls->add_flag("--history", history,
                                "every version of each file, and the files and folders deleted "
                                "from the folder, marked (deleted)");
    std::string ls_at;
    auto* o_at = ls->add_option("--at", ls_at,
                                std::string("the folder as it stood then: ") + kTimeHelp);
    ls->add_flag("-R,--recursive", recursive,
                 "every folder and file below the path, one per line with its full path "
                 "(folders end in /)")
        ->excludes(o_hist)
        ->excludes(o_at);
    bool ls_json = false;
    ls->add_flag("--json", ls_json,
                 "one JSON object: path, and entries, each with path, folder, size (bytes; null "
                 "for a folder), mtime (seconds since 1970), mtime_text (as shown), damaged; "
                 "with --history also versions (version, size, mtime, stored, stored_text, "
                 "replaced: seconds or null) and deleted (true for a name deleted from the "
                 "folder)");
    ls->footer("Columns: modification time (local time with its offset from UTC; folders:\n"
               "when made), size (in KiB, MiB, ... on a terminal, in bytes otherwise), name.\n"
               "Example:\n  tavni-server ls --store /srv/tavni --user 7 -R /1/Today");
    ls->callback([&] {
        std::string p;
        if (!normalize_cli_path(path, &p)) {
            status = 1;
            return;
        }
        int64_t at = 0;
        if (!ls_at.empty() && (at = time_text_parse(ls_at)) <= 0) {
            fprintf(stderr,
                    "tavni-server: bad --at time \"%s\": give seconds since 1970 or "
                    "YYYY-MM-DD HH:MM[:SS] with an offset such as +0100 (none: UTC)\n",
                    ls_at.c_str());
            status = 2;
            return;
        }
        status = on_store(store, [&](srv_store* st) {
            return recursive ? srv_cmd_ls_tree(st, user_n, p, ls_json)
                             : srv_cmd_ls(st, user_n, p, history, ls_json, at);
        });
    });

    auto* diff = app.add_subcommand("diff", "what changed below a path between two times");
    std::string from_text, to_text;
    diff->add_option("--store", store, "store folder")->required();
    diff->add_option("--user", user_n)->required();
    diff->add_option("--from", from_text, std::string("the earlier time: ") + kTimeHelp)
        ->required();
    diff->add_option("--to", to_text, "the later time, in the same forms (default: now)");
    diff->add_option("path", path, "server path (default: the root)");
    diff->footer("One line per entry that differs, full paths, folders ending in /:\n"
                 "  A path   added: there at --to, not at --from\n"
                 "  M path   changed: a later version with another size or time\n"
                 "  D path   deleted: there at --from, not at --to\n"
                 "A time names the tree as it stood then, as restore --at does.\n"
                 "Example:\n  tavni-server diff --store /srv/tavni --user 7 "
                 "--from '2026-12-01 00:00' --to '2026-12-08 00:00' /1/Today");
    diff->callback([&] {
        int64_t from = time_text_parse(from_text);
        int64_t to_t = to_text.empty() ? 0 : time_text_parse(to_text);
        if (from <= 0 || to_t < 0 || (!to_text.empty() && to_t == 0)) {
            fprintf(stderr,
                    "tavni-server: bad --%s time \"%s\": give seconds since 1970 or "
                    "YYYY-MM-DD HH:MM[:SS] with an offset such as +0100 (none: UTC)\n",
                    from <= 0 ? "from" : "to", from <= 0 ? from_text.c_str() : to_text.c_str());
            status = 2;
            return;
        }
        if (to_t != 0 && to_t < from) {
            fprintf(stderr, "tavni-server: --from must not be later than --to\n");
            status = 2;
            return;
        }
        std::string p;
        if (!normalize_cli_path(path, &p)) {
            status = 2;
            return;
        }
        status =
            on_store(store, [&](srv_store* st) { return srv_cmd_diff(st, user_n, p, from, to_t); });
    });

    auto* stat = app.add_subcommand("status", "per user and destination: what is stored and "
                                              "how the last jobs went");
    uint32_t status_user = 0;
    stat->add_option("--store", store, "store folder")->required();
    stat->add_option("--user", status_user, "only this user (default: every user)");
    bool stat_json = false;
    stat->add_flag("--json", stat_json,
                   "one JSON object: destinations, each with user, destination (null for a "
                   "user with nothing stored), files, bytes, last_stored, last_job, last_failure "
                   "(seconds since 1970 or null, each also as *_text), reason (or null); and "
                   "last_store_failure (null, or time, time_text and failure)");
    stat->footer(
        "Columns (times local with their offset from UTC, - when there is none; sizes in\n"
        "KiB, MiB, ... on a terminal, in bytes otherwise):\n"
        "  USER          the user id\n"
        "  DESTINATION   the first two folders of the stored tree (the job's Dest=, e.g. "
        "/1/Today)\n"
        "  FILES, BYTES  current files below it and their size\n"
        "  LAST-STORED   when a file below it was last stored (a new version)\n"
        "  LAST-JOB      end time of the user's last job that ran to its end (a stop by the\n"
        "                user included) with every file it sent stored: the change-index\n"
        "                stamp it handed back (any destination of the user; removed when a\n"
        "                later job lost files or verify found damage)\n"
        "  LAST-FAILURE  when the last e-mail report the server received for the user said\n"
        "                \"backup failed\" (any destination; only jobs that sent their report\n"
        "                through this server), and REASON the reason it gave\n"
        "A failure older than LAST-JOB was followed by a job that ran to its end.\n"
        "Example:\n  tavni-server status --store /srv/tavni --user 7");
    stat->callback([&] {
        status = on_store(
            store, [&](srv_store* st) { return srv_cmd_status(st, status_user, stat_json); });
    });

    std::string to, at_text, sched_file, root;
    bool overwrite = false, same_owner = false;
    auto restore_like = [&](CLI::App* cmd, bool writes) {
        cmd->add_option("--store", store)->required();
        cmd->add_option("--user", user_n);
        cmd->add_option("path", path);
        auto* o_key = cmd->add_option("--acckey", acckey_hex, kAcckeyHelp);
        auto* o_key_file = cmd->add_option("--acckey-file", acckey_file, kAcckeyFileHelp);
        o_key->excludes(o_key_file);
        cmd->add_option("--at", at_text,
                        std::string("the version current at this time: ") + kTimeHelp);
        if (writes) {
            cmd->add_option("--to", to, "output folder")->required();
            cmd->add_flag("--overwrite", overwrite, "replace files already in the output folder");
            cmd->add_flag("--same-owner", same_owner,
                          "keep set-user-id and set-group-id bits of files restored to their "
                          "stored owner and group (dropped otherwise)");
        }
        auto* o_sched = cmd->add_option("--schedule", sched_file,
                                        "take the account key (and user) from this schedule file "
                                        "(a relative path not found here: the one in --root)");
        auto* o_root = cmd->add_option("--root", root, "installation folder holding etc/tavni.ak");
        o_sched->needs(o_root);
        o_root->needs(o_sched);
        cmd->callback([&, cmd, writes] {
            srv_restore_opts o;
            o.user = user_n;
            o.to = writes ? to : std::string();
            o.overwrite = writes && overwrite;
            o.same_owner = writes && same_owner;
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
            if (!at_text.empty() && (o.at = time_text_parse(at_text)) <= 0) {
                fprintf(stderr,
                        "tavni-server: bad --at time \"%s\": give seconds since 1970 or "
                        "YYYY-MM-DD HH:MM[:SS] with an offset such as +0100 (none: UTC)\n",
                        at_text.c_str());
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
            status = on_store(store, [&](srv_store* st) {
                return whole || (!writes && path.empty() && o.at == 0)
                           ? srv_cmd_verify_all(st, user_n, o.have_key ? o.key : nullptr)
                           : srv_cmd_restore(st, o);
            });
        });
    };
    restore_like(app.add_subcommand("restore", "restore a file or folder with the account key"),
                 true);
    restore_like(app.add_subcommand("verify", "check stored versions (all, or a path of a user)"),
                 false);

    auto* mail = app.add_subcommand("mail", "stored e-mail reports and their delivery");
    mail->require_subcommand(1);
    auto* mlist = mail->add_subcommand("list", "list stored messages");
    mlist->add_option("--store", store)->required();
    mlist->footer("One line per message: number, arrival, user, schedule, size, and each\n"
                  "recipient with its delivery: queued, sent TIME, retrying (attempts, next\n"
                  "try), bounced (the relay's reply), failed (given up after two days) or\n"
                  "refused (not an e-mail address). mail show gives the relay's last reply.");
    mlist->callback([&] { status = on_store(store, srv_cmd_mail_list); });
    auto* mshow = mail->add_subcommand("show", "print one message");
    int64_t mail_id = 0;
    mshow->add_option("--store", store)->required();
    mshow->add_option("id", mail_id)->required();
    auto* mretry = mail->add_subcommand(
        "retry", "queue a message again for the relay: its bounced, failed and refused "
                 "recipients anew, its retrying ones now");
    mretry->add_option("--store", store, "store folder")->required();
    mretry->add_option("id", mail_id, "the message's number (mail list)")->required();
    mretry->callback([&] {
        status = on_store(store, [&](srv_store* st) {
            return srv_cmd_mail_retry(st, mail_id, static_cast<int64_t>(time(nullptr)));
        });
    });
    mshow->callback([&] {
        status = on_store(store, [&](srv_store* st) { return srv_cmd_mail_show(st, mail_id); });
    });

    CLI11_PARSE(app, argc, argv);
    return status;
}
