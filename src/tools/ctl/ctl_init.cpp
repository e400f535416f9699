// ctl_init.cpp - tavni-ctl init: makes (or completes) an agent's installation
// folder from the installed files.
//
// The folder gets etc/*.emt (the mail report templates, copied from the
// installation's share/tavni/templates beside tavni-ctl's bin/, or --templates),
// the machine key etc/tavni.ak and, given --server, etc/hosts. What is there
// already is kept, except etc/hosts when servers are given: running it again
// repairs a folder and never changes a key or an edited template. Files are
// written under a temporary name and renamed, so nothing is left half-written.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_key.h"

#include "common/text.h"
#include "platform/platform.h"
#include "protocol/pins.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The agent reads at most two servers from etc/hosts.
constexpr size_t max_servers = 2;

struct init_options {
    std::string root = ".";
    std::string templates;
    std::vector<std::string> servers;
    std::vector<std::string> server_keys; // fingerprints pinned for servers, in order
};

// share/tavni/templates of the installation that holds this tavni-ctl
// (BINDIR/../share/tavni/templates); empty when the executable's own path is
// unknown.
std::string installed_templates() {
    char exe[4096];
    if (plat_exe_path(exe, sizeof exe) != 0) return std::string();
    return (fs::path(exe).parent_path().parent_path() / "share" / "tavni" / "templates").string();
}

// HOST:PORT as the agent reads a line of etc/hosts: the host is everything
// before the first ":", the port a decimal number. A host with blanks, "#"
// or a second ":" would be read differently (or cut off), so it is refused.
bool valid_server(const std::string& text, std::string* why) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        *why = "no ':' before the port";
        return false;
    }
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.empty()) {
        *why = "no host name";
        return false;
    }
    if (host.find_first_of(" \t\r\n#:") != std::string::npos) {
        *why = "the host name holds a blank, '#' or ':'";
        return false;
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::atoi(port.c_str()) < 1 ||
        std::atoi(port.c_str()) > 65535) {
        *why = "the port is not a number from 1 to 65535";
        return false;
    }
    return true;
}

// Writes text to path through path.tmp and a rename; 0, or 1 after ctl_fail.
int write_replacing(const fs::path& path, const std::string& text) {
    const std::string tmp = path.string() + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (!f) return ctl_fail("cannot create '" + tmp + "': " + error_text(errno));
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0) ok = false;
    std::error_code ec;
    if (ok) fs::rename(tmp, path, ec);
    if (!ok || ec) {
        fs::remove(tmp, ec);
        return ctl_fail("cannot write '" + path.string() + "'");
    }
    return 0;
}

int copy_template(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    const fs::path tmp = to.string() + ".tmp";
    fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(tmp, to, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return ctl_fail("cannot copy '" + from.string() + "' to '" + to.string() + "'");
    }
    return 0;
}

int do_init(const init_options& o) {
    // Everything is checked before anything is written.
    if (o.servers.size() > max_servers)
        return ctl_fail("the agent uses at most " + std::to_string(max_servers) +
                        " servers; give --server at most twice");
    for (const std::string& s : o.servers) {
        std::string why;
        if (!valid_server(s, &why))
            return ctl_fail("--server '" + s + "': " + why + " (example: backup.example.com:7070)");
    }
    if (o.server_keys.size() > o.servers.size())
        return ctl_fail("--server-key pins the key of the --server in the same place: give as "
                        "many --server as --server-key");
    std::vector<std::array<uint8_t, CTFS_FINGERPRINT_SIZE>> fps(o.server_keys.size());
    for (size_t i = 0; i < o.server_keys.size(); i++)
        if (!ctfs_fingerprint_parse(o.server_keys[i].c_str(), fps[i].data()))
            return ctl_fail("--server-key '" + o.server_keys[i] +
                            "' is not a fingerprint (SHA256: and 64 hex digits, as tavni-server "
                            "init prints it)");
    const std::string from = o.templates.empty() ? installed_templates() : o.templates;
    std::vector<fs::path> templates;
    std::error_code ec;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".emt" && it->is_regular_file())
            templates.push_back(it->path());
    if (templates.empty())
        return ctl_fail("no mail templates (*.emt) in '" + from +
                        "'; give the folder that holds them with --templates DIR");
    std::sort(templates.begin(), templates.end());

    const fs::path root(o.root);
    const fs::path etc = root / "etc";
    bool made_root = !fs::exists(root, ec);
    fs::create_directories(etc, ec);
    if (ec) return ctl_fail("cannot make '" + etc.string() + "': " + ec.message());
    // The folder will hold schedules with account keys: a new one is the
    // owner's alone. An existing folder keeps the access its owner gave it.
    if (made_root) fs::permissions(root, fs::perms::owner_all, ec);

    for (const fs::path& t : templates) {
        const fs::path to = etc / t.filename();
        if (fs::exists(to, ec)) {
            printf("kept    %s\n", to.string().c_str());
            continue;
        }
        if (copy_template(t, to) != 0) return 1;
        printf("made    %s\n", to.string().c_str());
    }

    const fs::path key = etc / "tavni.ak";
    bool had_key = fs::exists(key, ec);
    key_holder k;
    if (ctl_root_key(root.string(), true, &k) != 0) return 1;
    printf("%s %s\n", had_key ? "kept   " : "made   ", key.string().c_str());

    const fs::path hosts = etc / "hosts";
    bool had_hosts = fs::exists(hosts, ec);
    if (!o.servers.empty()) {
        std::string text;
        for (const std::string& s : o.servers)
            text += s + "\n";
        if (write_replacing(hosts, text) != 0) return 1;
        printf("%s %s\n", had_hosts ? "replaced" : "made    ", hosts.string().c_str());
        // Pinned now, the first contact is checked too.
        const std::string pins = (etc / "hosts.keys").string();
        for (size_t i = 0; i < fps.size(); i++) {
            const size_t colon = o.servers[i].find(':');
            const std::string host = o.servers[i].substr(0, colon);
            const int port = atoi(o.servers[i].c_str() + colon + 1);
            if (ctfs_pin_store(pins.c_str(), host.c_str(), port, fps[i].data()) != 0)
                return ctl_fail("cannot write '" + pins + "'");
            printf("pinned  %s %s\n", o.servers[i].c_str(), o.server_keys[i].c_str());
        }
    } else if (had_hosts) {
        printf("kept    %s\n", hosts.string().c_str());
    } else {
        fprintf(stderr,
                "tavni-ctl: note: no '%s' yet: the agent needs its server; run this again with "
                "--server HOST:PORT\n",
                hosts.string().c_str());
    }
    return 0;
}

} // namespace

void register_init_commands(CLI::App& app) {
    auto o = std::make_shared<init_options>();
    CLI::App* init = app.add_subcommand(
        "init", "make or complete an installation folder: mail templates, machine key, servers");
    init->add_option("--root", o->root,
                     "installation folder to make or complete (default: the current directory)");
    init->add_option("--server", o->servers,
                     "HOST:PORT of a backup server, written to etc/hosts (at most twice; "
                     "replaces the servers listed there)")
        ->allow_extra_args(false);
    init->add_option("--server-key", o->server_keys,
                     "SHA256:HEX, the key fingerprint tavni-server init printed for the --server "
                     "in the same place, pinned in etc/hosts.keys so that even the agent's first "
                     "contact is checked (repeat as --server)")
        ->allow_extra_args(false);
    init->add_option("--templates", o->templates,
                     "folder holding the mail templates *.emt (default: share/tavni/templates "
                     "of the installation that holds this tavni-ctl)");
    init->footer("Files already in the folder are kept (etc/hosts only without --server), so "
                 "running it again is safe.\n"
                 "Example:\n"
                 "  tavni-ctl init --root /var/lib/tavni/agent --server backup.example.com:7070");
    init->callback([o] {
        int rc = do_init(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
