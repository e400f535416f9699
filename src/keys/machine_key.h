// machine_key.h - the machine key: 32 bytes gathered from "etc/tavni.ak".
//
// The key file holds 4096 random bytes; the key is eight 4-byte pieces read at
// fixed offsets, in a fixed order. The agent and tavni-ctl share this one
// definition, so every file either of them writes reads back with the other.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MACHINE_KEY_SIZE = 32, MACHINE_KEY_FILE_SIZE = 4096, MACHINE_KEY_PIECES = 8 };

// The key file, relative to the installation folder (the current directory).
extern const char* const machine_key_file_name;
// Offsets of the eight pieces inside the key file, in key order. The last
// piece ends exactly at byte 4096, so a truncated key file never yields a key.
extern const uint32_t machine_key_offsets[MACHINE_KEY_PIECES];

// Builds (once per process) the machine key from "etc/tavni.ak", creating the
// key file with 4096 random bytes when it is missing. 0, or -1 when the file
// cannot be created, written, opened or read (errno set); out is then untouched.
int load_machine_key(unsigned char out[MACHINE_KEY_SIZE]);
// Test and tool use: forget the cached key so the next call reads the file again.
void machine_key_forget();
// Reads the key from the given key file, creating it (owner-only, 4096 random
// bytes) when it does not exist; no caching. 0 or -1 as load_machine_key. A
// key file that could not be written completely is removed again.
int machine_key_from_file(const char* path, unsigned char out[MACHINE_KEY_SIZE]);
