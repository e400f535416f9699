// admin.h - the store's offline commands: users, listings, restore, verify
// and the stored mail. Each prints its own messages and returns the exit
// status of the command.
#pragma once

#include "tools/server/store.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct srv_store;

// Parses 2*n hex digits into out; false for anything else.
bool srv_parse_hex(const std::string& hex, uint8_t* out, size_t n);

// The account key (and user id) of a schedule file of an installation (a
// relative path not found from here is looked for in ROOT): the file is
// decrypted with the machine key in ROOT/etc/tavni.ak, which must exist (it
// is never made here). False with *err.
bool srv_key_from_schedule(const std::string& schedule_path, const std::string& root,
                           uint8_t key[32], uint32_t* user, std::string* err);

int srv_cmd_user_add(srv_store* st, uint32_t id, const std::string& name,
                     const std::string& account, const uint8_t* key_digest);
// Lists a folder as it stands, or as it stood at time at (seconds since
// 1970; 0: now); with history every version of each file and the names
// deleted from the folder by then too, marked "(deleted)".
int srv_cmd_ls(srv_store* st, uint32_t user, const std::string& path, bool history,
               bool json = false, int64_t at = 0);

struct srv_restore_opts {
    uint32_t user = 0;
    std::string path;
    std::string to; // empty: verify only
    bool have_key = false;
    uint8_t key[32] = {};
    int64_t at = 0;         // 0: the current tree; else the tree as it stood then
    bool overwrite = false; // replace files already at the target
    // Keep set-user-id and set-group-id bits of files restored to their
    // stored owner and group (as root); they are dropped otherwise.
    bool same_owner = false;
};
// Restores (or, with opts.to empty, verifies) a file or a folder tree as it
// stood at opts.at. Stored names are checked as client paths are: one that
// could leave the target folder is reported and not written. Below opts.to
// every folder and file is reached from a held folder and no link is
// followed (a link where a folder or a temporary file must be fails that
// entry with a line that says so). Files are written owner-only and get
// their stored access (and, as root, owner) and time on the open file before
// they get their names; set-id bits only as same_owner says, with a note
// when they are dropped. An existing file is replaced only with overwrite.
// 0 when every file came out whole, 1 otherwise (also when the path did not
// exist then).
int srv_cmd_restore(srv_store* st, const srv_restore_opts& opts);
// Checks every current version (of one user, or all with user 0): blocks
// present, content matching their names, and with the key of their user
// their decryption, inflation and checksums. Reports every damaged block and
// a summary line, marks what it found in the catalog (damaged versions are
// sent again by the next run) and removes the stamps of users with damage.
// 0 when nothing is damaged.
int srv_cmd_verify_all(srv_store* st, uint32_t user, const uint8_t* key);

// Decodes one stored version, writing the plain file to out (null, or no
// key: check only); false with *why at the first fault.
bool srv_decode_version(srv_store* st, const cat_version& v, const uint8_t* key, FILE* out,
                        std::string* why);

// One fault of a version: a block (index, digest) or the version as a whole
// (block -1). stored_bad: the stored block is missing or not the bytes its
// name promises.
struct srv_fault {
    int64_t block;
    blk_digest digest;
    std::string why;
    bool stored_bad;
};
// Checks every block of a version (key null: the stored bytes only); true
// when whole, else every fault in *faults.
bool srv_check_version(srv_store* st, const cat_version& v, const uint8_t* key,
                       std::vector<srv_fault>* faults);

// ---- administration of users and reports (admin_report.cpp) ----------------

// False after a message saying so (and how to see the users) when the user
// is not in the store.
bool srv_user_known(srv_store* st, uint32_t user);
// One line per user: id, name, account, current files and their bytes,
// stored versions.
int srv_cmd_user_list(srv_store* st, bool json = false);
// Removes a user, every catalog row of theirs and the blocks no other user
// names. Without confirmed it only says what would go and exits 2. The
// store must be opened for serving (its lock held): a running server could
// be storing a block of the same digest for another user meanwhile.
int srv_cmd_user_remove(srv_store* st, uint32_t id, bool confirmed);
// Every entry below path (a file: that file), full paths, one per line.
int srv_cmd_ls_tree(srv_store* st, uint32_t user, const std::string& path, bool json = false);
// "A path", "M path", "D path" for what changed below path between the
// trees as they stood at from and at to (0: now).
int srv_cmd_diff(srv_store* st, uint32_t user, const std::string& path, int64_t from, int64_t to);
// Per user (all with user 0) and destination: files and bytes stored now,
// when the destination last changed, the last job's end and the last
// failure report.
int srv_cmd_status(srv_store* st, uint32_t user, bool json = false);
// One entry of ls --json: path, folder, size (null for a folder), mtime
// (seconds since 1970) and mtime_text (as shown), damaged.
std::string srv_entry_json(const std::string& path, bool folder, uint64_t size, int64_t mtime,
                           bool damaged);

// The changes between two trees sorted by path (as cat_tree_entry lists
// them): one "A /path", "M /path" or "D /path" each, folders with a
// trailing '/'. A file counts as changed when a later version with another
// size or modification time replaced it.
std::vector<std::string> srv_tree_diff(const std::vector<cat_tree_entry>& from,
                                       const std::vector<cat_tree_entry>& to);
// The destination a stored path belongs to: its first two folders
// ("/1/Today"); a file in a top-level folder gives that folder, one at the
// root "/"; a top-level folder itself gives "".
std::string srv_destination_of(const std::string& path, bool folder);
// Whether a stored e-mail report says that a backup failed; *reason gets
// the reason it gives, when it gives one.
bool srv_mail_is_failure(const std::string& body, std::string* reason);

// The stored reports, one line each with every recipient's delivery state;
// one report with its deliveries in full and its text.
int srv_cmd_mail_list(srv_store* st);
int srv_cmd_mail_show(srv_store* st, int64_t id);
// Queues a report's bounced, failed and refused deliveries again and makes
// its retrying ones due (at now); 1 when there is no such report.
int srv_cmd_mail_retry(srv_store* st, int64_t id, int64_t now);
