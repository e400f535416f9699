// ctl_schedule.cpp - tavni-ctl schedule encrypt|decrypt|new|show-key.
//
// The desktop program's side of schedule files: they are encrypted with the
// machine key of an installation folder (--root, default the current
// directory), whose etc/tavni.ak is created when a schedule is written and
// must exist to read one. "new" writes a schedule that the agent accepts from
// options: it checks every value first (the agent would run a job with a
// missing source or a misspelled recipient and only say so in its log), never
// replaces an existing schedule unless told to, and writes the file whole or
// not at all.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_values.h"

#include "keys/crypt_file.h"
#include "backup/schedule/schedule.h"
#include "backup/schedule/schedule_path.h"
#include "common/text.h"
#include "platform/platform.h"
#include "platform/server.h"
#include "common/owner.h"

#include <CLI/CLI.hpp>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

using file_ptr = owner<FILE, fclose>;

// Longest line the agent reads whole: 259 characters including "\n".
constexpr size_t max_line = SCHEDULE_LINE_SIZE - 2;

int read_all(const std::string& path, std::string* out) {
    file_ptr f(fopen(path.c_str(), "rb"));
    if (!f) return ctl_fail("cannot open '" + path + "': " + error_text(errno));
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        out->append(buf, n);
    if (ferror(f.get())) return ctl_fail("cannot read '" + path + "'");
    return 0;
}

// Encrypts text into path (owner-only: a schedule carries the account key).
// The text goes to a neighbour first and replaces path only when written
// whole, so that a failure never leaves a cut schedule, nor loses the one
// it was meant to replace.
int write_encrypted(const std::string& root, const std::string& text, const std::string& path) {
    key_holder k;
    if (ctl_root_key(root, true, &k) != 0) return 1;
    const std::string tmp = path + ".new";
    file_ptr f(plat_open_private(tmp.c_str(), PLAT_PRIVATE_TRUNCATE));
    if (!f) return ctl_fail("cannot create '" + tmp + "': " + error_text(errno));
    crypt_file cf;
    if (crypt_file_open_key(&cf, f.get(), 1, k.key) != 0) {
        f.reset();
        plat_unlink(tmp.c_str());
        return ctl_fail("cannot set up the cipher");
    }
    crypt_file_write(&cf, text.data(), text.size());
    int rc = crypt_file_finish(&cf);
    if (fclose(f.release()) != 0) rc = -1;
    if (rc != 0) {
        plat_unlink(tmp.c_str());
        return ctl_fail("cannot write '" + tmp + "'");
    }
    if (plat_rename_replace(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        plat_unlink(tmp.c_str());
        return ctl_fail("cannot rename '" + tmp + "' to '" + path + "': " + error_text(e));
    }
    return 0;
}

int do_encrypt(const std::string& root, const std::string& plain, const std::string& out) {
    std::string text;
    if (read_all(plain, &text) != 0) return 1;
    return write_encrypted(root, text, out);
}

int do_decrypt(const std::string& root, const std::string& given) {
    const std::string in = schedule_path_in(root, given);
    key_holder k;
    if (ctl_root_key(root, false, &k) != 0) return 1;
    std::string text, why;
    if (ctl_decrypt_file(k.key, in, &text, &why) != 0) return ctl_fail(why);
    fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    return 0;
}

// What everyone who holds an account key must know, on standard error so
// that the key alone goes to standard output.
void key_warning(const std::string& root, const std::string& schedule_path) {
    fprintf(stderr,
            "tavni-ctl: WARNING: this account key encrypts every backup of this schedule, and "
            "the server never\n"
            "tavni-ctl: sees it: if it is lost, every backup of this schedule is unreadable for "
            "good. Keep a copy\n"
            "tavni-ctl: somewhere safe, away from this machine. It is kept inside the schedule "
            "file '%s',\n"
            "tavni-ctl: encrypted under this machine's key (etc/tavni.ak); print it again with\n"
            "tavni-ctl:   tavni-ctl schedule show-key --root %s %s\n",
            schedule_path.c_str(), root.c_str(), schedule_path.c_str());
}

int do_show_key(const std::string& root, const std::string& given) {
    const std::string in = schedule_path_in(root, given);
    key_holder k;
    if (ctl_root_key(root, false, &k) != 0) return 1;
    std::string text, why, hex;
    if (ctl_decrypt_file(k.key, in, &text, &why) != 0) return ctl_fail(why);
    const bool found = ctl_schedule_acckey(text, &hex);
    if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    if (!found) return ctl_fail("'" + in + "' holds no acckey= line");
    printf("%s\n", hex.c_str());
    OPENSSL_cleanse(&hex[0], hex.size());
    key_warning(root, in);
    return 0;
}

struct new_options {
    std::string root = ".";
    std::string out;
    std::string user_id, account_id = "0", schedule, dest, name, enabled = "1", acckey;
    std::string acckey_file; // the safe way to pass acckey
    std::vector<std::string> src, xsrc, sync, filter, schedule_email;
    std::string email, precmd, postcmd, fatalprecmd, fatalpostcmd, cmdtimeout, mirror, html;
    bool force = false;
};

// Appends "key=value\n", refusing what the agent would not read back as given.
bool add_line(std::string* text, const char* key, const std::string& value, std::string* error) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        *error = std::string("the value for ") + key + " holds a line end";
        return false;
    }
    if (strlen(key) + value.size() + 1 > max_line + 1) {
        *error = std::string("the line for ") + key + " is longer than " +
                 std::to_string(max_line) + " characters; the agent would split it";
        return false;
    }
    *text += key;
    *text += value;
    *text += "\n";
    return true;
}

// Every value the agent would read otherwise than meant; nothing is written
// before all of them pass. 0, or 1 after ctl_fail.
int check_new_values(const new_options& o) {
    std::string why;
    if (!ctl_user_id_ok(o.user_id, nullptr, &why))
        return ctl_fail("--user-id: " + why + "; give the user's number on the server");
    if (!ctl_dest_ok(o.dest, &why)) return ctl_fail("--dest: " + why + "; e.g. --dest /1/Today");
    const struct {
        const char* option;
        const std::vector<std::string>& paths;
    } local[] = {{"--src", o.src}, {"--sync", o.sync}};
    for (const auto& l : local)
        for (const std::string& p : l.paths)
            if (!ctl_local_path_ok(p, &why))
                return ctl_fail(std::string(l.option) + ": " + why +
                                "; give an existing folder or file by its absolute path");
    for (const std::string& f : o.filter)
        if (!ctl_filter_ok(f, &why))
            return ctl_fail("--filter: " + why + "; e.g. --filter '/home/bob|1|*.tmp;*.bak'");
    if (!ctl_server_names_ok(o.src, o.xsrc, o.filter, o.mirror, &why))
        return ctl_fail("--src: " + why +
                        "; give --mirror 1 (each is stored under its whole path), or back them "
                        "up with two schedules whose --dest differ");
    if (!o.email.empty() && !ctl_email_list_ok(o.email, &why))
        return ctl_fail("--email: " + why + "; e.g. --email bob@example.com,ann@example.com");
    if (o.schedule_email.size() > 1)
        return ctl_fail("--schedule-email is given " + std::to_string(o.schedule_email.size()) +
                        " times, but the agent reads only the first schedule_email= line; give "
                        "several recipients with --email A,B");
    for (const std::string& r : o.schedule_email)
        if (!ctl_recipient_ok(r, &why))
            return ctl_fail("--schedule-email: " + why +
                            "; e.g. --schedule-email 3,bob@example.com");
    return 0;
}

int do_new(new_options o) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(o.out, ec).type();
    if (!o.force && !ec && type != std::filesystem::file_type::not_found)
        return ctl_fail("'" + o.out +
                        "' exists already; give --force to replace it (its account key is then "
                        "lost unless you keep a copy: tavni-ctl schedule show-key)");
    if (check_new_values(o) != 0) return 1;
    if (!o.email.empty() && !o.schedule_email.empty())
        return ctl_fail("use either --email or --schedule-email (the agent refuses Email= after "
                        "schedule_email=)");
    bool drawn = false;
    if (!o.acckey_file.empty()) {
        if (ctl_acckey_file(o.acckey_file, &o.acckey) != 0) return 1;
        if (!ctl_hex_key_ok(o.acckey)) {
            OPENSSL_cleanse(&o.acckey[0], o.acckey.size());
            return ctl_fail("the key in '" + o.acckey_file + "' must be 64 hexadecimal digits");
        }
    } else if (o.acckey.empty()) {
        unsigned char key[ACCOUNT_KEY_SIZE];
        if (RAND_bytes(key, sizeof key) != 1) return ctl_fail("cannot draw an account key");
        char hex[2 * ACCOUNT_KEY_SIZE + 1];
        hex_encode(key, sizeof key, hex);
        OPENSSL_cleanse(key, sizeof key);
        o.acckey = hex;
        drawn = true;
    } else if (!ctl_hex_key_ok(o.acckey)) {
        return ctl_fail("--acckey must be 64 hexadecimal digits");
    }
    if (!o.cmdtimeout.empty()) {
        char* end = nullptr;
        long h = strtol(o.cmdtimeout.c_str(), &end, 10);
        if (*end || h < 1 || h > 96) return ctl_fail("--cmdtimeout must be 1 to 96 hours");
    }
    if (o.schedule.empty()) o.schedule = std::filesystem::path(o.out).filename().string();

    std::string text = std::string(schedule_header) + "\n";
    std::string error;
    bool ok = add_line(&text, "UserId=", o.user_id, &error) &&
              add_line(&text, "AccountId=", o.account_id, &error) &&
              add_line(&text, "Dest=", o.dest, &error) &&
              add_line(&text, "name=", o.name, &error) &&
              add_line(&text, "enabled=", o.enabled, &error) &&
              add_line(&text, "acckey=", o.acckey, &error);
    const struct {
        const char* key;
        const std::string& value;
    } optional[] = {{"mirror=", o.mirror},
                    {"precmd=", o.precmd},
                    {"postcmd=", o.postcmd},
                    {"fatalprecmd=", o.fatalprecmd},
                    {"fatalpostcmd=", o.fatalpostcmd},
                    {"cmdtimeout=", o.cmdtimeout},
                    {"html=", o.html},
                    {"Email=", o.email}};
    for (const auto& opt : optional)
        if (ok && !opt.value.empty()) ok = add_line(&text, opt.key, opt.value, &error);
    const struct {
        const char* key;
        const std::vector<std::string>& values;
    } lists[] = {{"Src=", o.src},
                 {"XSrc=", o.xsrc},
                 {"Sync=", o.sync},
                 {"filter=", o.filter},
                 {"schedule_email=", o.schedule_email}};
    for (const auto& l : lists)
        for (const std::string& v : l.values)
            if (ok) ok = add_line(&text, l.key, v, &error);
    // Last, so that the schedule number is read from its name.
    if (ok) ok = add_line(&text, "Schedule=", o.schedule, &error);
    if (!ok) {
        OPENSSL_cleanse(&text[0], text.size());
        return ctl_fail(error);
    }

    int rc = write_encrypted(o.root, text, o.out);
    OPENSSL_cleanse(&text[0], text.size());
    if (rc == 0 && drawn) {
        printf("acckey=%s\n", o.acckey.c_str());
        fflush(stdout);
        key_warning(o.root, o.out);
    }
    OPENSSL_cleanse(&o.acckey[0], o.acckey.size());
    return rc;
}

void finish(int rc) {
    fflush(stdout);
    if (rc != 0) std::exit(rc);
}

} // namespace

void register_schedule_commands(CLI::App& app) {
    CLI::App* group = app.add_subcommand("schedule", "Schedule files under the machine key");
    group->require_subcommand(1);
    group->footer("A schedule file (*.tbs) tells the agent what to back up, where to, and with\n"
                  "which account key. It is encrypted under the machine key etc/tavni.ak of the\n"
                  "installation folder (--root), so it opens only on this machine.\n"
                  "Run 'tavni-ctl schedule VERB --help' for the options of each verb.");
    const char* root_help = "installation folder holding etc/tavni.ak (default: the current "
                            "folder), e.g. --root /opt/tavni";

    auto root = std::make_shared<std::string>(".");
    auto plain = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    CLI::App* enc =
        group->add_subcommand("encrypt", "Encrypt a plain schedule text into a schedule file");
    enc->add_option("--root", *root, root_help);
    enc->add_option("PLAIN", *plain, "plain text file, e.g. job.txt")->required();
    enc->add_option("OUT", *out, "schedule file to write, e.g. /opt/tavni/job.tbs")->required();
    enc->footer("Example:\n"
                "  tavni-ctl schedule decrypt --root /opt/tavni /opt/tavni/job.tbs > job.txt\n"
                "  (edit job.txt)\n"
                "  tavni-ctl schedule encrypt --root /opt/tavni job.txt /opt/tavni/job.tbs\n"
                "  shred -u job.txt    # the plain text holds the account key\n"
                "A missing machine key is made (etc/tavni.ak).");
    enc->callback([root, plain, out] { finish(do_encrypt(*root, *plain, *out)); });

    auto in = std::make_shared<std::string>();
    CLI::App* dec = group->add_subcommand(
        "decrypt", "Decrypt a schedule (or mail-queue) file to standard output");
    dec->add_option("--root", *root, root_help);
    dec->add_option("FILE", *in, "schedule file, e.g. /opt/tavni/job.tbs")->required();
    dec->footer("Example:\n"
                "  tavni-ctl schedule decrypt --root /opt/tavni /opt/tavni/job.tbs | grep -v "
                "'^acckey='\n"
                "The output holds the account key (acckey=): keep it off screens and logs.");
    dec->callback([root, in] { finish(do_decrypt(*root, *in)); });

    CLI::App* show = group->add_subcommand(
        "show-key", "Print the account key of a schedule (standard output only)");
    show->add_option("--root", *root, root_help);
    show->add_option("SCHEDULE", *in, "schedule file, e.g. /opt/tavni/job.tbs")->required();
    show->footer("Example:\n"
                 "  tavni-ctl schedule show-key --root /opt/tavni /opt/tavni/job.tbs > "
                 "/safe/place/job.key\n"
                 "Every backup of the schedule is encrypted with this key and the server never\n"
                 "sees it: without it (and without this machine) the backups cannot be read.");
    show->callback([root, in] { finish(do_show_key(*root, *in)); });

    auto o = std::make_shared<new_options>();
    CLI::App* nw = group->add_subcommand("new", "Write a new schedule file from options");
    nw->add_option("--root", o->root, root_help);
    nw->add_option("--user-id", o->user_id,
                   "UserId=: the user's number on the server (decimal, 0 to 4294967295), "
                   "e.g. --user-id 42")
        ->required();
    nw->add_option("--account-id", o->account_id, "AccountId= (default 0), e.g. --account-id 7");
    nw->add_option("--schedule", o->schedule,
                   "Schedule= (default: the file name of OUT); the eight hex digits before its "
                   "last '.' are the schedule number, e.g. --schedule 0000002A.tbs");
    nw->add_option("--dest", o->dest,
                   "Dest=: destination folder on the server, an absolute path whose first "
                   "part is the destination number, e.g. --dest /1/Today")
        ->required();
    nw->add_option("--name", o->name,
                   "name=: the job's name in logs and reports, e.g. "
                   "--name 'Nightly documents'")
        ->required();
    nw->add_option("--enabled", o->enabled,
                   "enabled= (default 1; the job runs only with 1), e.g. --enabled 0");
    auto* key = nw->add_option("--acckey", o->acckey,
                               "acckey=: 64 hex digits (default: a fresh key, printed); every "
                               "user of the machine can read it in the process list: prefer "
                               "--acckey-file");
    nw->add_option("--acckey-file", o->acckey_file,
                   "acckey= read from this file (- for standard input): the safe form, kept out "
                   "of the process list, e.g. --acckey-file /root/job.key")
        ->excludes(key);
    nw->add_option("--src", o->src,
                   "Src=: a folder or file to back up, absolute and existing (repeatable), "
                   "e.g. --src /home/bob")
        ->allow_extra_args(false);
    nw->add_option("--xsrc", o->xsrc,
                   "XSrc=: a path left out of the backup (repeatable), e.g. --xsrc /home/bob/tmp")
        ->allow_extra_args(false);
    nw->add_option("--sync", o->sync,
                   "Sync=: a folder whose deletions are mirrored on the server, absolute and "
                   "existing (repeatable), e.g. --sync /home/bob")
        ->allow_extra_args(false);
    nw->add_option("--filter", o->filter,
                   "filter=FOLDER|FLAGS|PATTERNS (repeatable); FLAGS: 0 keeps only matching "
                   "files, 1 skips matching files, +2 lets unmatched files follow the nearest "
                   "filtered parent; e.g. --filter '/home/bob|1|*.tmp;*.bak'")
        ->allow_extra_args(false);
    nw->add_option("--email", o->email,
                   "Email=: report recipients, addresses separated by commas (each gets the "
                   "report as --html says), e.g. --email bob@example.com,ann@example.com");
    nw->add_option("--schedule-email", o->schedule_email,
                   "schedule_email=: one report recipient with its own flags, FLAGS,ADDRESS; "
                   "FLAGS: 0 plain text, 1 HTML, 2 plain text only when files failed, 3 HTML "
                   "only when files failed; e.g. --schedule-email 3,bob@example.com")
        ->allow_extra_args(false);
    nw->add_option("--html", o->html,
                   "html=: the report form for --email recipients (0 plain text, 1 HTML; "
                   "default 1), e.g. --html 0");
    nw->add_option("--precmd", o->precmd,
                   "precmd=: command run before the backup (no shell), e.g. --precmd "
                   "'/usr/local/bin/dump-db'");
    nw->add_option("--postcmd", o->postcmd,
                   "postcmd=: command run after the backup, e.g. --postcmd '/usr/bin/logger done'");
    nw->add_option("--fatalprecmd", o->fatalprecmd,
                   "fatalprecmd=: 1 stops the job when --precmd fails (default 0), e.g. "
                   "--fatalprecmd 1");
    nw->add_option("--fatalpostcmd", o->fatalpostcmd,
                   "fatalpostcmd=: 1 marks the job as not completed normally when --postcmd "
                   "fails (default 0), e.g. --fatalpostcmd 1");
    nw->add_option("--cmdtimeout", o->cmdtimeout,
                   "cmdtimeout=: hours a command may run (1 to 96), e.g. --cmdtimeout 2");
    nw->add_option("--mirror", o->mirror,
                   "mirror= (default 1: the full path is kept on the server; 0 keeps only the "
                   "last name), e.g. --mirror 0");
    nw->add_flag("--force", o->force,
                 "replace OUT when it exists (its old account key is lost unless kept: "
                 "save it first with tavni-ctl schedule show-key OUT > FILE)");
    nw->add_option("OUT", o->out, "schedule file to write, e.g. /opt/tavni/job.tbs")->required();
    nw->footer(
        "Every value is checked before anything is written: a missing source, a bad user id\n"
        "or recipient, an ill-formed filter ends with a message and exit code 1, and OUT is\n"
        "left as it was. An existing OUT is replaced only with --force.\n"
        "Without --acckey/--acckey-file a fresh account key is drawn and printed once\n"
        "(acckey=...): register it on the server (tavni-server user add --acckey-file) and\n"
        "keep a copy; it is also kept in OUT (tavni-ctl schedule show-key OUT).\n"
        "Example:\n"
        "  tavni-ctl schedule new --root /opt/tavni --user-id 42 --acckey-file /root/job.key \\\n"
        "    --dest /1/Today --name 'Nightly documents' --src /home/bob/Documents \\\n"
        "    --sync /home/bob/Documents --schedule-email 2,bob@example.com /opt/tavni/job.tbs");
    nw->callback([o] { finish(do_new(*o)); });
}
