// ctl_trust.cpp - tavni-ctl trust-server: the pinned key of a server in an
// installation's etc/hosts.keys, shown or replaced after a deliberate change
// of the server's key.
//
// The key a server presents is read from the greeting alone: nothing of a
// log-in is sent. Pinning what an unknown party presents would defeat the
// pin, so the fingerprint is printed to be compared with the one the
// server's owner gives (tavni-server init prints it), and --key pins only
// that fingerprint.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"

#include "common/text.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/pins.h"
#include "protocol/session.h"
#include "protocol/session_io.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

struct trust_options {
    std::string root = ".";
    std::string server;
    std::string key;
    bool show = false;
};

int do_trust(const trust_options& o) {
    ctfs_server_entry e;
    if (!ctfs_parse_server_line(o.server.c_str(), &e) || !e.host[0] || e.port <= 0 ||
        e.port > 65535)
        return ctl_fail("'" + o.server + "' is not HOST:PORT (example: backup.example.com:7070)");
    const std::string name = std::string(e.host) + ":" + std::to_string(e.port);
    const std::string file = (fs::path(o.root) / "etc" / "hosts.keys").string();
    uint8_t given[CTFS_FINGERPRINT_SIZE];
    if (!o.key.empty() && !ctfs_fingerprint_parse(o.key.c_str(), given))
        return ctl_fail("--key '" + o.key + "' is not a fingerprint (SHA256: and 64 hex digits)");

    uint8_t pinned[CTFS_FINGERPRINT_SIZE] = {}, none[CTFS_FINGERPRINT_SIZE] = {};
    const ctfs_pin_result old = ctfs_pin_check(file.c_str(), e.host, e.port, none, pinned);
    if (old == CTFS_PIN_UNREADABLE)
        return ctl_fail("cannot read '" + file + "': " + error_text(errno));
    char old_text[CTFS_FINGERPRINT_TEXT] = "none";
    if (old != CTFS_PIN_NONE) ctfs_fingerprint_text(pinned, old_text);

    if (ctfs_init() != 0) return ctl_fail("cannot start the socket layer");
    uint8_t fp[CTFS_FINGERPRINT_SIZE];
    const tfs_result rc = ctfs_fetch_server_key(e.host, e.port, fp);
    ctfs_cleanup();
    char now_text[CTFS_FINGERPRINT_TEXT] = "?";
    if (rc == ERR_NONE) ctfs_fingerprint_text(fp, now_text);

    if (o.show) {
        printf("pinned    %s %s\n", name.c_str(), old_text);
        if (rc == ERR_NONE)
            printf("presented %s %s%s\n", name.c_str(), now_text,
                   old == CTFS_PIN_NONE                     ? ""
                   : memcmp(fp, pinned, sizeof fp) == 0 ? " (the pinned key)"
                                                        : " (NOT the pinned key)");
        else
            printf("presented %s: no key (%s)\n", name.c_str(), ctfs_err_text(rc));
        return 0;
    }
    if (rc != ERR_NONE)
        return ctl_fail("cannot read the key of " + name + " (" + ctfs_err_text(rc) +
                        "); nothing was changed");
    if (!o.key.empty() && memcmp(given, fp, sizeof fp) != 0)
        return ctl_fail(name + " presents the key " + now_text + ", not " + o.key +
                        "; nothing was changed (find out who answers at that address)");
    if (ctfs_pin_store(file.c_str(), e.host, e.port, fp) != 0) {
        char text[256];
        return ctl_fail("cannot write '" + file +
                        "': " + plat_error_text(plat_last_error(), text, sizeof text));
    }
    printf("pinned %s %s (was %s)\n", name.c_str(), now_text, old_text);
    if (o.key.empty())
        printf("compare it with the fingerprint the server's owner gives (tavni-server init "
               "prints it)\n");
    return 0;
}

} // namespace

void register_trust_commands(CLI::App& app) {
    auto o = std::make_shared<trust_options>();
    CLI::App* trust = app.add_subcommand(
        "trust-server", "show or replace the pinned key of a backup server (etc/hosts.keys)");
    trust->add_option("server", o->server, "HOST:PORT as etc/hosts names it")->required();
    trust->add_option("--root", o->root, "installation folder (default: the current directory)");
    trust->add_option("--key", o->key,
                      "pin only this fingerprint (SHA256:HEX, as tavni-server init prints it); "
                      "refused when the server presents another");
    trust->add_flag("--show", o->show,
                    "show the pinned key and the one the server presents; change nothing");
    trust->footer("The agent pins a server's key at its first log-in and refuses a server that "
                  "presents another key later. After a deliberate change of the server's key:\n"
                  "  tavni-ctl trust-server --root /var/lib/tavni/agent "
                  "--key SHA256:... backup.example.com:7070");
    trust->callback([o] {
        int rc = do_trust(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
