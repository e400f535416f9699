// ctl_mail.cpp - "mail show" and "mail send": the mail-queue files that the
// agent writes beside its schedules when the server did not take a report.
// "show" decrypts one with the machine key of the installation folder; "send"
// hands each to the backup server, logged in as the agent would be for the
// file's user, and deletes it only once the server accepted it.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"

#include "backup/host_id.h"
#include "common/blob_list.h"
#include "keys/crypt_file.h"
#include "platform/platform.h"
#include "protocol/remote.h"
#include "protocol/pins.h"
#include "protocol/session.h"
#include "common/text.h"
#include "common/owner.h"

#include <CLI/CLI.hpp>

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

using file_holder = owner<FILE, fclose>;

// A queue file holds at most a 10 MiB body and a few header lines.
const size_t k_max_plain = 64u << 20;
const char k_first_line[] = "# Tavni Mail Queue\n";
const char k_message_line[] = "[message]\n";

// The whole plain text of an encrypted file.
int decrypt_file(const std::string& path, const key_holder& k, std::string* plain) {
    file_holder f(fopen(path.c_str(), "rb"));
    if (!f) return ctl_fail("cannot open '" + path + "': " + error_text(errno));
    crypt_file cf;
    if (crypt_file_open_key(&cf, f.get(), 0, k.key) != 0)
        return ctl_fail("cannot set up the cipher");
    std::unique_ptr<char[]> line(new char[65536]);
    // Lines of text: a piece ends at its terminator (the body holds no zero bytes).
    while (crypt_file_gets(&cf, line.get(), 65536)) {
        plain->append(line.get(), strnlen(line.get(), 65535));
        if (plain->size() > k_max_plain) {
            crypt_file_finish(&cf);
            return ctl_fail("'" + path + "' is too large for a mail-queue file");
        }
    }
    crypt_file_finish(&cf);
    return 0;
}

int do_show(const std::string& root, const std::string& path, const std::string& html_out) {
    key_holder k;
    if (ctl_root_key(root, false, &k) != 0) return 1;
    std::string plain;
    if (decrypt_file(path, k, &plain) != 0) return 1;
    if (plain.compare(0, sizeof k_first_line - 1, k_first_line) != 0)
        return ctl_fail("'" + path +
                        "' is not a mail-queue file of this installation (wrong key?)");
    // The header ends with the "[message]" line; everything after it is the body.
    size_t at = plain.find(std::string("\n") + k_message_line);
    if (at == std::string::npos) return ctl_fail("'" + path + "' has no [message] line");
    size_t body = at + 1 + sizeof k_message_line - 1;
    fwrite(plain.data(), 1, plain.size(), stdout);
    if (!html_out.empty()) {
        file_holder out(fopen(html_out.c_str(), "wb"));
        if (!out) return ctl_fail("cannot create '" + html_out + "': " + error_text(errno));
        size_t n = plain.size() - body;
        if (fwrite(plain.data() + body, 1, n, out.get()) != n || fflush(out.get()) != 0)
            return ctl_fail("cannot write '" + html_out + "'");
    }
    return 0;
}

// The header lines of a queue file and where its body starts.
struct queued_mail {
    int64_t schedule_id = 0;
    uint32_t user_id = 0;
    uint8_t key_digest[20] = {};
    std::string to;
    size_t body = 0;
};

// The value of "name=" among the header lines (before [message]).
bool header_value(const std::string& header, const char* name, std::string* value) {
    const std::string key = std::string("\n") + name + "=";
    size_t at = header.find(key);
    if (at == std::string::npos) return false;
    at += key.size();
    *value = header.substr(at, header.find('\n', at) - at);
    return true;
}

bool all_digits(const std::string& s, bool sign) {
    size_t i = sign && !s.empty() && s[0] == '-' ? 1 : 0;
    if (i == s.size() || s.size() > 20) return false;
    for (; i < s.size(); i++)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// Reads the header of a queue file's plain text; false with *why.
bool parse_queue_file(const std::string& plain, queued_mail* m, std::string* why) {
    if (plain.compare(0, sizeof k_first_line - 1, k_first_line) != 0) {
        *why = "it is not a mail-queue file of this installation (wrong key?)";
        return false;
    }
    size_t at = plain.find(std::string("\n") + k_message_line);
    if (at == std::string::npos) {
        *why = "it has no [message] line";
        return false;
    }
    const std::string header = plain.substr(0, at + 1);
    m->body = at + 1 + sizeof k_message_line - 1;
    std::string opcode, schedule, user, token;
    if (!header_value(header, "Opcode", &opcode) || opcode != "0") {
        *why = "its Opcode= line is missing or not 0";
        return false;
    }
    if (!header_value(header, "ScheduleId", &schedule) || !all_digits(schedule, true) ||
        !header_value(header, "UserId", &user) || !all_digits(user, false) ||
        strtoull(user.c_str(), nullptr, 10) > 0xFFFFFFFFull) {
        *why = "its ScheduleId= or UserId= line is missing or not a number";
        return false;
    }
    if (!header_value(header, "EncryptionToken", &token) || token.size() != 40 ||
        token.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        *why = "its EncryptionToken= line is not 40 hexadecimal digits";
        return false;
    }
    if (!header_value(header, "To", &m->to) || m->to.empty() || m->to.size() > 255) {
        *why = "its To= line is missing, empty or longer than 255 characters";
        return false;
    }
    m->schedule_id = strtoll(schedule.c_str(), nullptr, 10);
    m->user_id = static_cast<uint32_t>(strtoul(user.c_str(), nullptr, 10));
    hex_decode(token.c_str(), sizeof m->key_digest, m->key_digest);
    return true;
}

using session_holder = std::unique_ptr<ctfs_session, void (*)(ctfs_session*)>;
void close_session(ctfs_session* s) {
    ctfs_session_close(s);
    delete s;
}
using list_holder = owner<blob_list, blob_list_free>;

// Logs in as the agent of the mail's user would (agent mode, this machine's
// host id, the account key's digest from the file, the servers of etc/hosts
// in the current folder) and hands the message over; false with *why.
bool deliver(const queued_mail& m, const std::string& plain, std::string* why) {
    session_holder s(new ctfs_session(), close_session);
    ctfs_session_init(s.get());
    s->user_id = m.user_id;
    s->auth_mode = AUTH_MODE_AGENT;
    host_id_compute(s->host_id);
    snprintf(s->primary_list, sizeof s->primary_list, "%s", "etc/hosts");
    // A server the agent would refuse for its key gets nothing from here either.
    ctfs_pin_file_for(s->primary_list, s->pin_file, sizeof s->pin_file);
    s->cipher_mode = 3;
    memcpy(s->key_digest, m.key_digest, sizeof s->key_digest);
    tfs_result r = ctfs_session_auth(s.get(), nullptr, 0);
    if (r != ERR_NONE) {
        if (s->identity_changed) {
            *why = std::string("the server's identity changed: ") + s->identity_server +
                   " presented another key than the one pinned for it (tavni-ctl check shows "
                   "both)";
            return false;
        }
        *why = "the log-in of user " + std::to_string(m.user_id) + " failed: " + ctfs_err_text(r) +
               (r == ERR_IO || r == ERR_BADPATH ? " (is the server in etc/hosts running?)" : "");
        return false;
    }
    list_holder to(blob_list_new(1, 1, blob_list_default_destroy));
    if (!to || blob_list_append_text(to.get(), m.to.c_str()) < 0) {
        *why = "out of memory";
        return false;
    }
    ctfs_email_request req{};
    req.schedule_id = m.schedule_id;
    req.recipients = to.get();
    req.body_length = static_cast<uint32_t>(plain.size() - m.body);
    req.body = plain.data() + m.body;
    r = ctfs_email(s.get(), &req);
    if (r != ERR_NONE) {
        *why = std::string("the server did not accept it: ") + ctfs_err_text(r);
        return false;
    }
    return true;
}

// The queue files of the installation folder: *.eml, in name order.
std::vector<std::string> queued_files(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().extension() == ".eml" && it->is_regular_file(ec))
            out.push_back(it->path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.string();
}

int do_send(const std::string& root_given, std::vector<std::string> files) {
    const std::string root = absolute_path(root_given);
    key_holder k;
    if (ctl_root_key(root, false, &k) != 0) return 1;
    if (files.empty()) files = queued_files(root);
    for (std::string& f : files)
        f = absolute_path(f);
    if (files.empty()) {
        printf("No queued mail in '%s'.\n", root.c_str());
        return 0;
    }
    if (ctfs_init() != 0) return ctl_fail("cannot start the network layer");
    // The server list is etc/hosts of the installation folder, read as the
    // agent reads it: relative to the folder it runs in.
    char cwd[4096];
    if (plat_get_cwd(cwd, sizeof cwd) != 0) cwd[0] = 0;
    if (plat_set_cwd(root.c_str()) != 0) {
        ctfs_cleanup();
        return ctl_fail("cannot enter the installation folder '" + root + "'");
    }
    int failed = 0;
    for (const std::string& f : files) {
        std::string plain, why;
        queued_mail m;
        bool sent = false;
        if (decrypt_file(f, k, &plain) != 0)
            why = "it cannot be read (see above)";
        else if (parse_queue_file(plain, &m, &why))
            sent = deliver(m, plain, &why);
        if (!plain.empty()) OPENSSL_cleanse(&plain[0], plain.size());
        if (!sent) {
            failed++;
            fprintf(stderr, "tavni-ctl: not sent: '%s': %s; it stays queued.\n", f.c_str(),
                    why.c_str());
            continue;
        }
        if (plat_unlink(f.c_str()) != 0) {
            failed++;
            fprintf(stderr,
                    "tavni-ctl: sent to %s, but '%s' cannot be deleted (%s): delete it by hand, "
                    "or it is sent again.\n",
                    m.to.c_str(), f.c_str(), error_text(errno));
            continue;
        }
        printf("Sent '%s' to %s.\n", f.c_str(), m.to.c_str());
        fflush(stdout);
    }
    if (cwd[0]) plat_set_cwd(cwd);
    ctfs_cleanup();
    return failed ? 1 : 0;
}

struct show_options {
    std::string root = ".";
    std::string file;
    std::string html_out;
};

} // namespace

void register_mail_commands(CLI::App& app) {
    CLI::App* group = app.add_subcommand("mail", "mail-queue files written by the agent");
    group->require_subcommand(1);
    auto o = std::make_shared<show_options>();
    CLI::App* show = group->add_subcommand(
        "show", "decrypt a mail-queue file and print its header lines and message");
    show->add_option("--root", o->root,
                     "installation folder holding etc/tavni.ak (default: current folder)");
    show->add_option("--html-out", o->html_out,
                     "also write the message body to this file, for a browser");
    show->add_option("FILE", o->file, "mail-queue file (.eml)")->required();
    show->callback([o] {
        int rc = do_show(o->root, o->file, o->html_out);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });

    static std::string send_root = ".";
    static std::vector<std::string> send_files;
    CLI::App* send = group->add_subcommand(
        "send", "hand queued mail files to the backup server, deleting each one it accepted");
    send->add_option("--root", send_root,
                     "installation folder holding etc/tavni.ak and etc/hosts (default: current "
                     "folder)");
    send->add_option("FILE", send_files,
                     "mail-queue files to send (default: every .eml file in the installation "
                     "folder)");
    send->footer("Each file is sent as the agent sends its reports: logged in as the file's "
                 "user,\nwith the account key digest the file holds. One line per file; a file "
                 "that\nwas not sent stays queued, and the exit code is then 1.\n"
                 "Examples:\n"
                 "  tavni-ctl mail send --root /opt/tavni\n"
                 "  tavni-ctl mail send --root /opt/tavni /opt/tavni/nightly.tbs.eml");
    send->callback([] {
        int rc = do_send(send_root, send_files);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
