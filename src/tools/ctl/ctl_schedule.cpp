// ctl_schedule.cpp - tavni-ctl schedule encrypt|decrypt|new.
//
// The desktop program's side of schedule files: they are encrypted with the
// machine key of an installation folder (--root, default the current
// directory), whose etc/tavni.ak is created when a schedule is written and
// must exist to read one. "new" writes
// a schedule that the agent accepts from options and refuses values that the
// agent would read differently (line ends inside values, lines the reader
// would split, malformed account keys).
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"

#include "keys/crypt_file.h"
#include "backup/schedule/schedule.h"
#include "common/text.h"
#include "platform/platform.h"

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

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

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
int write_encrypted(const std::string& root, const std::string& text, const std::string& path) {
    key_holder k;
    if (ctl_root_key(root, true, &k) != 0) return 1;
    file_ptr f(plat_open_private(path.c_str(), PLAT_PRIVATE_TRUNCATE));
    if (!f) return ctl_fail("cannot create '" + path + "': " + error_text(errno));
    crypt_file cf;
    if (crypt_file_open_key(&cf, f.get(), 1, k.key) != 0)
        return ctl_fail("cannot set up the cipher");
    crypt_file_write(&cf, text.data(), text.size());
    int rc = crypt_file_finish(&cf);
    if (fclose(f.release()) != 0) rc = -1;
    if (rc != 0) return ctl_fail("cannot write '" + path + "'");
    return 0;
}

int do_encrypt(const std::string& root, const std::string& plain, const std::string& out) {
    std::string text;
    if (read_all(plain, &text) != 0) return 1;
    return write_encrypted(root, text, out);
}

int do_decrypt(const std::string& root, const std::string& in) {
    key_holder k;
    if (ctl_root_key(root, false, &k) != 0) return 1;
    file_ptr f(fopen(in.c_str(), "rb"));
    if (!f) return ctl_fail("cannot open '" + in + "': " + error_text(errno));
    crypt_file cf;
    if (crypt_file_open_key(&cf, f.get(), 0, k.key) != 0)
        return ctl_fail("cannot set up the cipher");
    // Held back until the whole file decrypted: a foreign file shows nothing.
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = crypt_file_read(&cf, buf, sizeof buf)) > 0)
        text.append(buf, n);
    OPENSSL_cleanse(buf, sizeof buf);
    int damaged = cf.damaged;
    crypt_file_finish(&cf);
    if (!damaged) fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    if (damaged)
        return ctl_fail("'" + in +
                        "' does not decrypt with this machine key (damaged or foreign file)");
    return 0;
}

struct new_options {
    std::string root = ".";
    std::string out;
    std::string user_id, account_id = "0", schedule, dest, name, enabled = "1", acckey;
    std::string acckey_file; // the safe way to pass acckey
    std::vector<std::string> src, xsrc, sync, filter, schedule_email;
    std::string email, precmd, postcmd, fatalprecmd, fatalpostcmd, cmdtimeout, mirror, html;
};

bool is_hex_key(const std::string& s) {
    if (s.size() != ACCOUNT_KEY_HEX) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

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

int do_new(new_options o) {
    if (!o.email.empty() && !o.schedule_email.empty())
        return ctl_fail("use either --email or --schedule-email (the agent refuses Email= after "
                        "schedule_email=)");
    bool drawn = false;
    if (!o.acckey_file.empty()) {
        if (ctl_acckey_file(o.acckey_file, &o.acckey) != 0) return 1;
        if (!is_hex_key(o.acckey)) {
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
    } else if (!is_hex_key(o.acckey)) {
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
    if (rc == 0 && drawn) printf("acckey=%s\n", o.acckey.c_str());
    OPENSSL_cleanse(&o.acckey[0], o.acckey.size());
    return rc;
}

void finish(int rc) {
    fflush(stdout);
    if (rc != 0) std::exit(rc);
}

} // namespace

void register_schedule_commands(CLI::App& app) {
    CLI::App* group = app.add_subcommand("schedule", "schedule files under the machine key");
    group->require_subcommand(1);

    auto root = std::make_shared<std::string>(".");
    auto plain = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    CLI::App* enc =
        group->add_subcommand("encrypt", "encrypt a plain schedule text into a schedule file");
    enc->add_option("--root", *root, "installation folder holding etc/tavni.ak");
    enc->add_option("PLAIN", *plain, "plain text file")->required();
    enc->add_option("OUT", *out, "schedule file to write")->required();
    enc->callback([root, plain, out] { finish(do_encrypt(*root, *plain, *out)); });

    auto in = std::make_shared<std::string>();
    CLI::App* dec = group->add_subcommand(
        "decrypt", "decrypt a schedule (or mail-queue) file to standard output");
    dec->add_option("--root", *root, "installation folder holding etc/tavni.ak");
    dec->add_option("FILE", *in, "schedule file")->required();
    dec->callback([root, in] { finish(do_decrypt(*root, *in)); });

    auto o = std::make_shared<new_options>();
    CLI::App* nw = group->add_subcommand("new", "write a new schedule file from options");
    nw->add_option("--root", o->root, "installation folder holding etc/tavni.ak");
    nw->add_option("--user-id", o->user_id, "UserId= (decimal)")->required();
    nw->add_option("--account-id", o->account_id, "AccountId=");
    nw->add_option("--schedule", o->schedule, "Schedule= (default: the file name of OUT)");
    nw->add_option("--dest", o->dest, "Dest=: destination folder on the server")->required();
    nw->add_option("--name", o->name, "name=: the job's name")->required();
    nw->add_option("--enabled", o->enabled, "enabled= (the job runs only with 1)");
    auto* key = nw->add_option("--acckey", o->acckey,
                               "acckey=: 64 hex digits (default: a fresh key, printed); every "
                               "user of the machine can read it in the process list: prefer "
                               "--acckey-file");
    nw->add_option("--acckey-file", o->acckey_file,
                   "acckey= read from this file (- for standard input): the safe form, kept out "
                   "of the process list")
        ->excludes(key);
    nw->add_option("--src", o->src, "Src= (repeatable)")->allow_extra_args(false);
    nw->add_option("--xsrc", o->xsrc, "XSrc= (repeatable)")->allow_extra_args(false);
    nw->add_option("--sync", o->sync, "Sync= (repeatable)")->allow_extra_args(false);
    nw->add_option("--filter", o->filter, "filter=FOLDER|FLAGS|PATTERNS (repeatable)")
        ->allow_extra_args(false);
    nw->add_option("--email", o->email, "Email=: comma-separated recipients");
    nw->add_option("--schedule-email", o->schedule_email, "schedule_email= (repeatable)")
        ->allow_extra_args(false);
    nw->add_option("--html", o->html, "html= (0 plain-text report, 1 HTML)");
    nw->add_option("--precmd", o->precmd, "precmd=");
    nw->add_option("--postcmd", o->postcmd, "postcmd=");
    nw->add_option("--fatalprecmd", o->fatalprecmd, "fatalprecmd=");
    nw->add_option("--fatalpostcmd", o->fatalpostcmd, "fatalpostcmd=");
    nw->add_option("--cmdtimeout", o->cmdtimeout, "cmdtimeout= (hours, 1 to 96)");
    nw->add_option("--mirror", o->mirror, "mirror= (0 keeps only the last name on the server)");
    nw->add_option("OUT", o->out, "schedule file to write")->required();
    nw->callback([o] { finish(do_new(*o)); });
}
