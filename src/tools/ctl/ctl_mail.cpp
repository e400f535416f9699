// ctl_mail.cpp - "mail show": decrypt a mail-queue file with the machine key
// of an installation folder and show its header lines and message, the way
// the desktop program reads it before delivering.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"

#include "keys/crypt_file.h"
#include "common/text.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

typedef std::unique_ptr<FILE, int (*)(FILE*)> file_holder;

// A queue file holds at most a 10 MiB body and a few header lines.
const size_t k_max_plain = 64u << 20;
const char k_first_line[] = "# Tavni Mail Queue\n";
const char k_message_line[] = "[message]\n";

// The whole plain text of an encrypted file.
int decrypt_file(const std::string& path, const key_holder& k, std::string* plain) {
    file_holder f(fopen(path.c_str(), "rb"), fclose);
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
        file_holder out(fopen(html_out.c_str(), "wb"), fclose);
        if (!out) return ctl_fail("cannot create '" + html_out + "': " + error_text(errno));
        size_t n = plain.size() - body;
        if (fwrite(plain.data() + body, 1, n, out.get()) != n || fflush(out.get()) != 0)
            return ctl_fail("cannot write '" + html_out + "'");
    }
    return 0;
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
}
