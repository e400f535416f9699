// ctl_key.h - the machine key of an installation folder as tavni-ctl's verbs
// load it, and their one way of reporting a failure.
#pragma once

#include "keys/machine_key.h"

#include <string>

// The key, wiped when it goes out of scope.
struct key_holder {
    unsigned char key[MACHINE_KEY_SIZE];
    ~key_holder();
};

// Prints "tavni-ctl: MESSAGE" on standard error; returns 1, the exit code.
int ctl_fail(const std::string& message);

// Loads etc/tavni.ak of the installation folder root into *k; 0 or 1 (after
// ctl_fail). create: a missing key (and etc/) is made, for writing new files;
// otherwise a missing key is an error, since a new key could never decrypt an
// existing file.
int ctl_root_key(const std::string& root, bool create, key_holder* k);

// Reads an account key's hex text from path ("-": standard input), so that
// the key never stands on a command line; one trailing line end is dropped
// and at most 64 characters are taken. 0, or 1 (after ctl_fail). The digits
// themselves are checked by the caller.
int ctl_acckey_file(const std::string& path, std::string* hex);

// Decrypts the file at path under key into *text, held back until the whole
// file decrypted. 0; 1 when it cannot be opened or read (*why says why);
// 2 when it does not decrypt with this key (a damaged or foreign file).
// *text is empty unless 0 is returned.
int ctl_decrypt_file(const unsigned char* key, const std::string& path, std::string* text,
                     std::string* why);

// The first "acckey=" value of a schedule's text (keys are matched without
// regard to case, as the agent matches them); false when there is none.
bool ctl_schedule_acckey(const std::string& text, std::string* hex);
