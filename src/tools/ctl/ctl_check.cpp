// ctl_check.cpp - tavni-ctl check: an installation checked before a job runs.
//
// Each check prints one line, "ok   WHAT" or "FAIL WHAT: WHAT IS WRONG; fix:
// HOW", so that a mistake is found with its remedy before the agent meets it
// and only logs it. The servers are asked through the protocol library as the
// agent asks them; the log-in is the agent's own, without the user lock, so
// a check never holds up a running job.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_values.h"

#include "backup/host_id.h"
#include "backup/schedule/schedule.h"
#include "backup/schedule/schedule_path.h"
#include "common/json.h"
#include "common/text.h"
#include "common/owner.h"
#include "common/timing.h"
#include "keys/machine_key.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/pins.h"
#include "protocol/session.h"
#include "protocol/session_io.h"
#include "protocol/transport.h"
#include "report/mail.h"

#include <CLI/CLI.hpp>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct check_state {
    std::string root;  // absolute
    std::string shown; // the root as given, for messages
    int failures = 0;
    bool key_ok = false;
    unsigned char key[MACHINE_KEY_SIZE];
    std::vector<ctfs_server_entry> servers; // listed and well formed
    bool server_answered = false;
};

// With --json each check becomes an object here instead of a line.
std::vector<std::string>* g_json_checks = nullptr;

void ok(const std::string& what) {
    if (g_json_checks) {
        json_object j;
        j.add_bool("ok", true);
        j.add("what", what);
        g_json_checks->push_back(j.text());
        return;
    }
    printf("ok   %s\n", what.c_str());
}

void fail(check_state* st, const std::string& what, const std::string& wrong,
          const std::string& fix) {
    st->failures++;
    if (g_json_checks) {
        json_object j;
        j.add_bool("ok", false);
        j.add("what", what);
        j.add("problem", wrong);
        j.add("fix", fix);
        g_json_checks->push_back(j.text());
        return;
    }
    printf("FAIL %s: %s; fix: %s\n", what.c_str(), wrong.c_str(), fix.c_str());
}

std::string in_root(const check_state& st, const char* name) {
    return (fs::path(st.root) / name).string();
}

// ---- the folder, the server list, the servers -----------------------------------

void check_root(check_state* st) {
    const std::string what = "installation folder '" + st->shown + "'";
    std::error_code ec;
    if (!fs::is_directory(st->root, ec)) {
        fail(st, what, "it is not a folder",
             "create it or give the installation folder with --root DIR");
        return;
    }
    // The agent writes its logs and the change index here: a probe file tells
    // what permission bits alone cannot (read-only mounts, another owner).
    const std::string probe = in_root(*st, ".tavni-check.tmp");
    FILE* f = plat_open_private(probe.c_str(), PLAT_PRIVATE_TRUNCATE);
    if (!f) {
        const int e = errno;
        fail(st, what, "it is not writable (" + std::string(error_text(e)) + ")",
             "let the user who runs the agent write it (chown/chmod), the agent keeps its "
             "logs there");
        return;
    }
    fclose(f);
    plat_unlink(probe.c_str());
    ok(what + " exists and is writable");
}

// A port as the agent could use it: decimal digits, 1 to 65535.
bool port_ok(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    std::string port = text.substr(colon + 1);
    const size_t cut = port.find_first_of("#\r\n");
    if (cut != std::string::npos) port.resize(cut);
    while (!port.empty() && port.back() == ' ')
        port.pop_back();
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    const long n = strtol(port.c_str(), nullptr, 10);
    return n >= 1 && n <= 65535;
}

void check_hosts(check_state* st) {
    const std::string path = in_root(*st, "etc/hosts");
    const std::string what = "server list etc/hosts";
    owner<FILE, fclose> f(plat_fopen_read(path.c_str(), true));
    if (!f) {
        fail(st, what, "cannot open '" + path + "' (" + error_text(errno) + ")",
             "write the backup server as HOST:PORT into it, e.g. echo 'backup.example.com:7000' "
             "> " +
                 path);
        return;
    }
    // Read as the agent reads it: 1023 characters at a time, at most two servers.
    char line[CTFS_SERVER_HOST_MAX + 1];
    int number = 0;
    std::vector<std::string> listed;
    while (fgets(line, sizeof line, f.get())) {
        number++;
        std::string text(line);
        text.resize(text.find_first_of("\r\n") == std::string::npos ? text.size()
                                                                    : text.find_first_of("\r\n"));
        std::string bare = text.substr(0, text.find('#'));
        if (bare.find_first_not_of(" \t") == std::string::npos) continue; // blank or comment
        const std::string where = what + " line " + std::to_string(number) + " '" + text + "'";
        ctfs_server_entry e;
        if (!ctfs_parse_server_line(line, &e)) {
            fail(st, where, "ignored: it is not HOST:PORT", "write it as HOST:PORT or remove it");
            continue;
        }
        if (e.host[0] == 0 || !port_ok(bare)) {
            fail(st, where, "the host is empty or the port is not a number 1 to 65535",
                 "write it as HOST:PORT, e.g. backup.example.com:7000");
            continue;
        }
        if (st->servers.size() == CTFS_SERVERS_PER_LIST) {
            fail(st, where, "ignored: the agent uses only the first two servers",
                 "remove the line or put it in place of one of the first two");
            continue;
        }
        st->servers.push_back(e);
        listed.push_back(std::string(e.host) + ":" + std::to_string(e.port));
    }
    if (st->servers.empty()) {
        fail(st, what, "no valid HOST:PORT line",
             "write the backup server as HOST:PORT into " + path);
        return;
    }
    std::string names;
    for (const std::string& n : listed)
        names += (names.empty() ? "" : ", ") + n;
    ok(what + " lists " + names);
}

std::string pins_path(const check_state& st) {
    return in_root(st, "etc/hosts.keys");
}

void list_pin(void* ctx, const char* server, const uint8_t fp[CTFS_FINGERPRINT_SIZE]) {
    char text[CTFS_FINGERPRINT_TEXT];
    ctfs_fingerprint_text(fp, text);
    static_cast<std::vector<std::string>*>(ctx)->push_back(std::string(server) + " " + text);
}

// The server keys the agent trusts (etc/hosts.keys), one line each.
void check_pins(check_state* st) {
    const std::string what = "pinned server keys etc/hosts.keys";
    std::vector<std::string> pins;
    if (ctfs_pin_each(pins_path(*st).c_str(), list_pin, &pins) != 0) {
        fail(st, what, std::string("cannot read it (") + error_text(errno) + ")",
             "let the user who runs the agent read it; the agent logs in to no server while it "
             "cannot");
        return;
    }
    if (pins.empty()) {
        ok(what + ": none yet (the agent pins each server's key at its first log-in)");
        return;
    }
    for (const std::string& p : pins)
        ok(what + ": " + p);
}

void check_servers(check_state* st) {
    for (const ctfs_server_entry& e : st->servers) {
        const std::string name = std::string(e.host) + ":" + std::to_string(e.port);
        const std::string what = "server " + name;
        intptr_t sock = ctfs_tcp_connect(e.host, e.port);
        if (sock == PLAT_SOCKET_NONE) {
            char text[256];
            plat_error_text(plat_socket_last_error(), text, sizeof text);
            fail(st, what, std::string("cannot connect (") + text + ")",
                 "start the server, or correct the host or port in etc/hosts");
            continue;
        }
        plat_socket_close(sock);
        // The handshake carries one request; a session close needs no answer
        // and ends the connection on the server's side at once.
        owner<ctfs_session, free> s(static_cast<ctfs_session*>(calloc(1, sizeof(ctfs_session))));
        if (!s) {
            fail(st, what, "out of memory", "try again");
            continue;
        }
        ctfs_session_init(s.get());
        s->cipher_mode = 3;
        // The agent's own pins: a server it would refuse fails here too.
        const std::string pins = pins_path(*st);
        snprintf(s->pin_file, sizeof s->pin_file, "%s", pins.c_str());
        s->len = 0;
        s->type = TFS_SESSION_CLOSE;
        s->expects_response = false;
        ctfs_packet_finish(s.get());
        const tfs_result rc = ctfs_handshake(s.get(), e.host, e.port);
        const bool changed = s->identity_changed;
        uint8_t seen[CTFS_FINGERPRINT_SIZE];
        memcpy(seen, s->server_key_id, sizeof seen);
        ctfs_session_close(s.get());
        if (changed) {
            uint8_t fp[CTFS_FINGERPRINT_SIZE], pinned[CTFS_FINGERPRINT_SIZE];
            char presented[CTFS_FINGERPRINT_TEXT] = "?", trusted[CTFS_FINGERPRINT_TEXT] = "?";
            if (ctfs_fetch_server_key(e.host, e.port, fp) == ERR_NONE) {
                ctfs_fingerprint_text(fp, presented);
                if (ctfs_pin_check(pins.c_str(), e.host, e.port, fp, pinned) == CTFS_PIN_MISMATCH)
                    ctfs_fingerprint_text(pinned, trusted);
            }
            fail(st, what,
                 std::string("its key ") + presented + " is not the one pinned for it (" +
                     trusted + "); the agent sends it nothing",
                 "if the server's key was changed on purpose, compare " + std::string(presented) +
                     " with what the server's owner gives you and run tavni-ctl trust-server "
                     "--root " +
                     st->shown + " " + name + "; otherwise find out who answers at that address");
            continue;
        }
        if (rc != ERR_NONE) {
            // A server turns an address away for a while after a failed
            // log-in by closing its next connections at once.
            fail(st, what,
                 std::string("it accepts connections but the key exchange failed (") +
                     ctfs_err_name(rc) + ")",
                 std::string("check that HOST:PORT in etc/hosts is a Tavni Backup server and not "
                             "another service") +
                     (rc == ERR_IO ? "; if a log-in from this computer failed just before, wait "
                                     "a minute and check again"
                                   : ""));
            continue;
        }
        st->server_answered = true;
        char key_text[CTFS_FINGERPRINT_TEXT];
        ctfs_fingerprint_text(seen, key_text);
        const bool pinned = ctfs_pin_check(pins_path(*st).c_str(), e.host, e.port, seen,
                                           nullptr) == CTFS_PIN_MATCH;
        ok(what + " answers and completes the key exchange; its key " + key_text +
           (pinned ? " is the pinned one" : " is not pinned yet (the agent pins it at its first "
                                            "log-in)"));
    }
}

// ---- keys and templates ------------------------------------------------------------

void check_machine_key(check_state* st) {
    const std::string path = in_root(*st, "etc/tavni.ak");
    const std::string what = "machine key etc/tavni.ak";
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        fail(st, what, "'" + path + "' is missing",
             "restore it from a copy; without it no schedule of this installation decrypts "
             "(a new one is made by tavni-ctl schedule new, but then every schedule must be "
             "written again)");
        return;
    }
    // Read only: the key file exists, so nothing is created.
    if (machine_key_from_file(path.c_str(), st->key) != 0) {
        fail(st, what, std::string("cannot read it (") + error_text(errno) + ")",
             "let the user who runs the agent read it, and check it is the 4096-byte file "
             "made for this installation");
        return;
    }
    st->key_ok = true;
    ok(what + " is there and readable");
}

void check_templates(check_state* st) {
    // The reports the agent sends: success, failure before any file was
    // handled, failure with a list; each as HTML or plain text.
    const char* const bases[] = {"etc/success", "etc/failnoinfo", "etc/failinfo"};
    std::string missing;
    int count = 0;
    for (const char* base : bases)
        for (bool html : {true, false}) {
            const std::string name = report_template_path(base, html);
            std::error_code ec;
            const fs::path p = fs::path(st->root) / name;
            count++;
            if (!fs::is_regular_file(p, ec) || fs::file_size(p, ec) == 0 || ec)
                missing += (missing.empty() ? "" : ", ") + name;
        }
    const std::string what = "mail templates etc/*.emt";
    if (!missing.empty()) {
        fail(st, what, "missing or empty: " + missing,
             "copy the templates (etc/*.emt of the distribution) into " + in_root(*st, "etc") +
                 "; without them the reports say \"Email template "
                 "missing!\"");
        return;
    }
    ok(what + " (" + std::to_string(count) + ") are there");
}

// ---- schedules -------------------------------------------------------------------

struct schedule_lines {
    std::vector<std::string> src, xsrc, sync, filter;
    std::string values[SCHED_KEY_COUNT];
    bool seen[SCHED_KEY_COUNT] = {};
    std::string email, schedule_email;
    // The values include the account key.
    ~schedule_lines() {
        for (std::string& v : values)
            if (!v.empty()) OPENSSL_cleanse(&v[0], v.size());
    }
};

const char* const list_keys[] = {
    "Src=", "XSrc=", "Sync=", "filter=", "Email=", "html=", "schedule_email="};

bool starts_nocase(const std::string& line, const char* key) {
    const size_t n = strlen(key);
    return line.size() >= n && compare_nocase_n(line.c_str(), key, n) == 0;
}

std::string known_keys() {
    std::string all;
    for (const schedule_key& k : schedule_keys)
        all += std::string(all.empty() ? "" : " ") + k.name;
    for (const char* k : list_keys)
        all += std::string(" ") + k;
    return all;
}

// Bytes no schedule holds: control characters other than tab and line ends.
bool looks_like_noise(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') return true;
    return false;
}

// The line as it may be shown: an account key's value never is.
std::string shown_line(const std::string& line) {
    if (starts_nocase(line, "acckey") && line.find('=') != std::string::npos)
        return line.substr(0, line.find('=') + 1) + "...";
    return line;
}

// Reads the lines as the agent matches them, and names every line the agent
// would ignore or read otherwise than meant. false when a failure was printed.
bool read_lines(check_state* st, const std::string& what, const std::string& text,
                schedule_lines* out) {
    bool good = true;
    size_t pos = 0;
    int number = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1) {
            if (!schedule_header_ok(line.c_str())) {
                fail(st, what, "its first line is not \"# Tavni Backup Schedule\"",
                     "write it again with tavni-ctl schedule new");
                return false;
            }
            continue;
        }
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        const std::string where =
            what + " line " + std::to_string(number) + " '" + shown_line(line) + "'";
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            fail(st, where, "ignored by the agent: it is not KEY=VALUE",
                 "write it as KEY=VALUE or remove it");
            good = false;
            continue;
        }
        const std::string key = line.substr(0, eq);
        const bool blank_before = !key.empty() && (key.back() == ' ' || key.back() == '\t' ||
                                                   key.front() == ' ' || key.front() == '\t');
        const bool blank_after =
            eq + 1 < line.size() && (line[eq + 1] == ' ' || line[eq + 1] == '\t');
        if (blank_before || blank_after) {
            fail(st, where, "spaces around '=' (the agent reads them as part of the key or value)",
                 "write it as KEY=VALUE without spaces");
            good = false;
            continue;
        }
        const std::string value = line.substr(eq + 1);
        bool known = false;
        for (const char* k : list_keys)
            if (starts_nocase(line, k) && key.size() + 1 == strlen(k)) {
                known = true;
                std::string why;
                if (starts_nocase(line, "Src=")) out->src.push_back(value);
                if (starts_nocase(line, "XSrc=")) out->xsrc.push_back(value);
                if (starts_nocase(line, "Sync=")) out->sync.push_back(value);
                if (starts_nocase(line, "filter=") && !ctl_filter_ok(value, &why)) {
                    fail(st, where, "ignored by the agent: " + why,
                         "write it as FOLDER|FLAGS|PATTERN;PATTERN");
                    good = false;
                } else if (starts_nocase(line, "filter=")) {
                    out->filter.push_back(value);
                }
                if (starts_nocase(line, "Email=")) {
                    if (!out->email.empty() || !out->schedule_email.empty()) {
                        fail(st, where, "a second recipient line ends the job (code 2536)",
                             "keep one Email= line, or one schedule_email= line");
                        good = false;
                    } else if (!ctl_email_list_ok(value, &why)) {
                        fail(st, where, why, "write addresses separated by commas");
                        good = false;
                    }
                    out->email = value.empty() ? " " : value;
                }
                if (starts_nocase(line, "schedule_email=")) {
                    if (!out->email.empty() || !out->schedule_email.empty()) {
                        fail(st, where,
                             "ignored by the agent: only the first recipient line counts",
                             "remove it, or list every address in one Email= line");
                        good = false;
                    } else if (!ctl_recipient_ok(value, &why)) {
                        fail(st, where, why, "write it as FLAGS,ADDRESS, e.g. 3,bob@example.com");
                        good = false;
                    }
                    out->schedule_email = value.empty() ? " " : value;
                }
            }
        for (int k = 0; k < SCHED_KEY_COUNT && !known; k++) {
            const char* name = schedule_keys[k].name;
            if (!starts_nocase(line, name) || key.size() + 1 != strlen(name)) continue;
            known = true;
            if (out->seen[k]) {
                fail(st, where, std::string("a second ") + name + " line ends the job (code 2595)",
                     "keep one of the two lines");
                good = false;
            }
            out->seen[k] = true;
            out->values[k] = value;
        }
        if (!known) {
            fail(st, where, "unknown key '" + key + "', the agent ignores the line",
                 "spell the key as one of: " + known_keys());
            good = false;
        }
    }
    if (number == 0) {
        fail(st, what, "it is empty", "write it again with tavni-ctl schedule new");
        return false;
    }
    return good;
}

// The agent's own log-in (auth mode 1, as the job does it), without the user
// lock, then the connection is closed.
void check_login(check_state* st, const std::string& what, const std::string& path,
                 const schedule_lines& l, uint32_t user_id) {
    if (!st->server_answered) {
        fail(st, what + " log-in", "not tried: no server completed the key exchange",
             "mend the server lines above first");
        return;
    }
    unsigned char acckey[ACCOUNT_KEY_SIZE];
    hex_decode(l.values[SCHED_ACCKEY].c_str(), sizeof acckey, acckey);
    owner<ctfs_session, free> s(static_cast<ctfs_session*>(calloc(1, sizeof(ctfs_session))));
    if (!s) {
        OPENSSL_cleanse(acckey, sizeof acckey);
        fail(st, what + " log-in", "out of memory", "try again");
        return;
    }
    ctfs_session_init(s.get());
    s->user_id = user_id;
    s->auth_mode = AUTH_MODE_AGENT;
    host_id_compute(s->host_id);
    copy_bounded(s->primary_list, sizeof s->primary_list, "etc/hosts");
    // The agent's pins are checked, never written: the agent pins at its
    // own first log-in, as its own user.
    ctfs_pin_file_for(s->primary_list, s->pin_file, sizeof s->pin_file);
    s->cipher_mode = 3;
    SHA1(acckey, sizeof acckey, s->key_digest);
    OPENSSL_cleanse(acckey, sizeof acckey);
    copy_bounded(s->job_name, sizeof s->job_name, l.values[SCHED_NAME].c_str());
    copy_bounded(s->schedule_name, sizeof s->schedule_name,
                 fs::path(path).filename().string().c_str());
    const tfs_result rc = ctfs_session_auth(s.get(), nullptr, 0);
    const std::string account = s->account.account_name;
    ctfs_session_close(s.get());
    const std::string uid = std::to_string(user_id);
    if (rc == ERR_AUTH_FAILURE) {
        fail(st, what + " log-in",
             "the server refuses user " + uid + " with this schedule's account key",
             "check UserId=, and that the server knows this key for the user (tavni-server "
             "user add --id " +
                 uid +
                 " --acckey-file KEYFILE); print the schedule's key "
                 "with tavni-ctl schedule show-key");
        return;
    }
    if (rc != ERR_NONE) {
        fail(st, what + " log-in",
             "the log-in as user " + uid + " failed (" + ctfs_err_name(rc) + ": " +
                 ctfs_err_text(rc) + ")",
             "check UserId= and the server's log");
        return;
    }
    ok(what + " logs in as user " + uid + (account.empty() ? "" : " (account '" + account + "')"));
}

void check_schedule(check_state* st, const std::string& path) {
    const std::string what = "schedule '" + path + "'";
    if (!st->key_ok) {
        fail(st, what, "not checked: the machine key cannot be read", "mend the machine key first");
        return;
    }
    std::string text, why;
    const int rc = ctl_decrypt_file(st->key, path, &text, &why);
    if (rc != 0) {
        fail(st, what, why,
             rc == 2 ? "write it again on this machine with tavni-ctl schedule new --root " +
                           st->shown + " (it was made under another machine key)"
                     : "give the path of an existing schedule file readable by you");
        return;
    }
    // A foreign key ends in valid padding now and then (about one file in
    // 256): what comes out is then noise, not a schedule with a bad header.
    if (!schedule_header_ok(text.substr(0, text.find('\n')).c_str()) && looks_like_noise(text)) {
        OPENSSL_cleanse(&text[0], text.size());
        fail(st, what,
             "'" + path + "' does not decrypt with this machine key (damaged or foreign file)",
             "write it again on this machine with tavni-ctl schedule new --root " + st->shown +
                 " (it was made under another machine key)");
        return;
    }
    schedule_lines l;
    const bool lines_ok = read_lines(st, what, text, &l);
    OPENSSL_cleanse(&text[0], text.size());
    if (!lines_ok && !l.seen[SCHED_USERID] && !l.seen[SCHED_ACCKEY]) return;

    int failures = st->failures;
    for (int k = 0; k < SCHED_KEY_COUNT; k++) {
        // The agent fills these in itself when absent.
        if (k == SCHED_AUTOREMOVE || k == SCHED_MIRROR || !schedule_keys[k].required) continue;
        if (!l.seen[k])
            fail(st, what,
                 std::string("the required key ") + schedule_keys[k].name +
                     " is missing (the agent refuses the schedule, code 2678)",
                 std::string("add a line ") + schedule_keys[k].name + "VALUE");
    }
    uint32_t user_id = 0;
    if (l.seen[SCHED_USERID] && !ctl_user_id_ok(l.values[SCHED_USERID], &user_id, &why))
        fail(st, what, "UserId=: " + why, "give the user's number on the server, e.g. UserId=42");
    if (l.seen[SCHED_ACCKEY] && !ctl_hex_key_ok(l.values[SCHED_ACCKEY]))
        fail(st, what, "acckey= is not 64 hexadecimal digits",
             "write the schedule again with the right key (tavni-ctl schedule new "
             "--acckey-file)");
    if (l.seen[SCHED_ENABLED] && l.values[SCHED_ENABLED] != "1")
        fail(st, what, "enabled= is '" + l.values[SCHED_ENABLED] + "': the job never runs",
             "set enabled=1 when it should run");
    if (l.seen[SCHED_DEST] && !ctl_dest_ok(l.values[SCHED_DEST], &why))
        fail(st, what, "Dest=: " + why, "give the server folder, e.g. Dest=/1/Today");
    if (l.src.empty()) fail(st, what, "no Src= line: nothing is backed up", "add Src=FOLDER lines");
    for (const auto* list : {&l.src, &l.sync})
        for (const std::string& p : *list)
            if (!ctl_local_path_ok(p, &why))
                fail(st, what, std::string(list == &l.src ? "Src=" : "Sync=") + ": " + why,
                     "correct the path or remove the line");
    if (!ctl_server_names_ok(l.src, l.xsrc, l.filter, l.values[SCHED_MIRROR], &why))
        fail(st, what, why,
             "set mirror=1 (each is stored under its whole path), or back them up with two "
             "schedules whose Dest= differ");
    if (st->failures == failures && lines_ok) ok(what + " decrypts and its values are sound");
    if (st->failures == failures) check_login(st, what, path, l, user_id);
}

std::vector<std::string> schedules_in_root(const check_state& st) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(st.root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.extension() == ".tbs" && it->is_regular_file(ec)) found.push_back(p.string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

int run_check(const std::string& given_root, std::vector<std::string> schedules) {
    check_state st;
    std::error_code ec;
    // Without --root the installation folder is where run takes it: the
    // folder of the (first) schedule named; without one, the current folder.
    std::string root = given_root;
    if (root.empty() && !schedules.empty() && fs::is_regular_file(schedules[0], ec))
        root = fs::absolute(schedules[0], ec).parent_path().string();
    if (root.empty()) root = ".";
    st.shown = root;
    st.root = fs::absolute(root, ec).string();
    if (ec) st.root = root;
    // A given name is the caller's path; one that is not there is looked
    // for in the installation folder, where the agent runs.
    for (std::string& p : schedules)
        p = fs::absolute(schedule_path_in(st.root, p), ec).string();

    // A check asks the servers once, interactively: a silent server is
    // given up after two receive waits rather than the job's six.
    timing t = timing_get();
    t.recv_wait_count = 2;
    timing_set_for_tests(t);
    if (ctfs_init() != 0) return ctl_fail("the socket layer cannot be started");

    check_root(&st);
    // A folder that is no installation (no etc/tavni.ak) is not judged by
    // files of its own that only share the names (/etc/hosts from "/").
    if (!given_root.empty() || fs::is_regular_file(in_root(st, "etc/tavni.ak"), ec)) {
        check_hosts(&st);
        check_pins(&st);
        check_servers(&st);
        check_machine_key(&st);
        check_templates(&st);
    } else {
        fail(&st, "installation folder '" + st.shown + "'",
             "it is no installation folder (it has no etc/tavni.ak)",
             "name the installation folder with --root DIR, or a schedule in it");
        ctfs_cleanup();
        fflush(stdout);
        return 1;
    }
    if (schedules.empty()) schedules = schedules_in_root(st);
    if (schedules.empty())
        fail(&st, "schedules", "no *.tbs file in '" + st.shown + "'",
             "write one with tavni-ctl schedule new, or name the schedules to check");
    // The agent's log-in reads etc/hosts from its current folder, the root.
    const bool in_root_now = plat_set_cwd(st.root.c_str()) == 0;
    for (const std::string& p : schedules) {
        if (!in_root_now && st.server_answered) st.server_answered = false;
        check_schedule(&st, p);
    }
    OPENSSL_cleanse(st.key, sizeof st.key);
    ctfs_cleanup();
    fflush(stdout);
    return st.failures == 0 ? 0 : 1;
}

} // namespace

void register_check_command(CLI::App& app) {
    auto root = std::make_shared<std::string>();
    auto schedules = std::make_shared<std::vector<std::string>>();
    CLI::App* check =
        app.add_subcommand("check", "Check an installation and its schedules before a job runs");
    check->add_option("--root", *root,
                      "installation folder (default: the folder of the first schedule "
                      "named, else the current folder), e.g. --root /opt/tavni");
    check->add_option("SCHEDULE", *schedules,
                      "schedule files to check (default: every *.tbs in the installation "
                      "folder); a name not found is looked for in the installation folder, "
                      "e.g. job.tbs");
    check->footer(
        "Checks, one line each (\"ok   WHAT\" or \"FAIL WHAT: WHAT IS WRONG; fix: HOW\"):\n"
        "  the installation folder exists and is writable; etc/hosts lists HOST:PORT lines;\n"
        "  each server answers and completes the key exchange; etc/tavni.ak is readable;\n"
        "  the mail templates etc/*.emt are there; each schedule decrypts, its keys are\n"
        "  known and well formed, its sources exist, and its account key logs in to the\n"
        "  server as its user (without taking the user lock, so a running job is not held).\n"
        "Exit code 0 when every check passes, 1 otherwise.\n"
        "Examples:\n"
        "  tavni-ctl check --root /opt/tavni\n"
        "  tavni-ctl check --root /opt/tavni job.tbs");
    auto json = std::make_shared<bool>(false);
    check->add_flag("--json", *json,
                    "print one JSON object instead of the lines: ok (every check passed), "
                    "failures (their number), checks (each with ok and what; a failed one "
                    "also with problem and fix)");
    check->callback([root, schedules, json] {
        std::vector<std::string> checks;
        if (*json) g_json_checks = &checks;
        const int rc = run_check(*root, *schedules);
        g_json_checks = nullptr;
        if (*json) {
            int64_t failures = 0;
            for (const std::string& c : checks)
                if (c.compare(0, 11, "{\"ok\":false") == 0) failures++;
            json_object j;
            j.add_bool("ok", rc == 0);
            j.add("failures", failures);
            j.add_raw("checks", json_array(checks));
            printf("%s\n", j.text().c_str());
        }
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
