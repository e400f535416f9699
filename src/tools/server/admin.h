// admin.h - the store's offline commands: users, listings, restore, verify
// and the stored mail. Each prints its own messages and returns the exit
// status of the command.
#pragma once

#include "tools/server/store.h"

#include <cstdint>
#include <cstdio>
#include <string>

struct srv_store;

// Parses 2*n hex digits into out; false for anything else.
bool srv_parse_hex(const std::string& hex, uint8_t* out, size_t n);

// The account key (and user id) of a schedule file of an installation: the
// file is decrypted with the machine key in ROOT/etc/tavni.ak, which must
// exist (it is never made here). False with *err.
bool srv_key_from_schedule(const std::string& schedule_path, const std::string& root,
                           uint8_t key[32], uint32_t* user, std::string* err);

int srv_cmd_user_add(srv_store* st, uint32_t id, const std::string& name,
                     const std::string& account, const uint8_t* key_digest);
int srv_cmd_ls(srv_store* st, uint32_t user, const std::string& path, bool history);

struct srv_restore_opts {
    uint32_t user = 0;
    std::string path;
    std::string to; // empty: verify only
    bool have_key = false;
    uint8_t key[32] = {};
    int64_t at = 0; // 0: the current tree
};
// Restores (or, with opts.to empty, verifies) a file or a folder tree.
// 0 when every file came out whole, 1 otherwise.
int srv_cmd_restore(srv_store* st, const srv_restore_opts& opts);
// Checks every current version (of one user, or all with user 0): blocks
// present, content matching their names, and with a key their decryption,
// inflation and checksums. 0 when nothing is damaged.
int srv_cmd_verify_all(srv_store* st, uint32_t user, const uint8_t* key);

// Decodes one stored version, writing the plain file to out (null: check
// only); false with *why.
bool srv_decode_version(srv_store* st, const cat_version& v, const uint8_t* key, FILE* out,
                        std::string* why);

int srv_cmd_mail_list(srv_store* st);
int srv_cmd_mail_show(srv_store* st, int64_t id);
