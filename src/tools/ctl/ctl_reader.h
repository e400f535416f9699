// ctl_reader.h - what the reading verbs of tavni-ctl (snapshots, ls, diff,
// restore, verify) share: the way to the server and the account key, from a
// schedule of an installation or given outright, a logged-in read session,
// and times as they take and print them.
//
// The account key stays on this machine: only its SHA-1 digest goes to the
// server, at log-in; blocks come back encrypted and are decrypted here.
#pragma once

#include "protocol/read_client.h"
#include "protocol/session.h"
#include "tools/ctl/ctl_text.h"
#include "tools/ctl/ctl_tree.h"

#include <cstdint>
#include <memory>
#include <string>

namespace CLI {
class App;
}

struct ctl_read_options {
    std::string root = ".";  // installation folder: machine key, etc/hosts, etc/hosts.keys
    std::string schedule;    // a schedule file: server list, user and key as the agent reads them
    std::string server;      // or HOST:PORT with the two below
    std::string user;
    std::string acckey_file;
};

// Adds --schedule, --root, --server, --user and --acckey-file to cmd, and
// makes it read "/..." as a server path, also where options may start with
// "/" (Windows).
void ctl_read_add_options(CLI::App* cmd, ctl_read_options* o);

// A logged-in read session and the account key, both released (the key
// wiped) when it goes out of scope.
struct ctl_reader {
    ctfs_session* s = nullptr;
    uint8_t key[32] = {};
    ctl_reader() = default;
    ctl_reader(const ctl_reader&) = delete;
    ctl_reader& operator=(const ctl_reader&) = delete;
    ~ctl_reader();
};

// Which tree a verb reads, as given: --run ID or --at TIME, one or neither.
struct ctl_point_options {
    uint64_t run = 0;
    std::string at;
};
// Adds --run and --at (each excluding the other) to cmd.
void ctl_point_add_options(CLI::App* cmd, ctl_point_options* o);
// The tree the options name into *p: 0, or 1 after a message for an --at
// that is not a time.
int ctl_point_from(const ctl_point_options& o, ctl_point* p);

// Finds the key and logs in: with --schedule, through the installation's
// server list as the agent does (pins in etc/hosts.keys checked, never
// written); with --server, to that server (the pins of --root's
// etc/hosts.keys checked too). The host id sent is zeros, so that a reading
// session is never taken for the agent of this machine. 0, or 1 after a
// message.
int ctl_read_open(const ctl_read_options& o, ctl_reader* r);

// Another session logged in as r's, to the server r's session reached (its
// key checked against the same pins), for work done beside it. Null when
// the server does not take it (busy, or gone). Close it with
// ctl_read_close_another.
ctfs_session* ctl_read_open_another(const ctl_reader& r);
void ctl_read_close_another(ctfs_session* s); // accepts null

// Prints "tavni-ctl: WHAT: TEXT OF CODE" for a failed read request; returns 1.
int ctl_read_fail(const std::string& what, tfs_result rc);
