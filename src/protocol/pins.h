// pins.h - the server keys this installation trusts: the file of pins
// beside the server list (etc/hosts.keys), one line per HOST:PORT with the
// SHA-256 fingerprint of that server's public key.
//
// The log-in sends the account key's digest, which is all another party
// needs to log in as the user: it must go only to the server the agent
// logged in to before. The wire stays as it is; the agent checks the key a
// server announces against its pin before it sends anything of its own, and
// pins the key of its first successful log-in. Lines:
//
//   # comment
//   backup.example.com:7070 SHA256:<64 lower-case hex digits>
//
// The file is private to the agent's user (owner-only on Linux; on Windows
// an access list of the agent's account and the system's alone).
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    CTFS_FINGERPRINT_SIZE = 32,
    CTFS_FINGERPRINT_TEXT = 7 + 2 * CTFS_FINGERPRINT_SIZE + 1, // "SHA256:" + hex + NUL
};

// The SHA-256 of the DER form (SubjectPublicKeyInfo) of the PEM public key
// in pem; the same key gives the same fingerprint however its text is laid
// out. False when pem holds no public key.
bool ctfs_key_fingerprint(const uint8_t* pem, size_t len, uint8_t out[CTFS_FINGERPRINT_SIZE]);
// "SHA256:" and the 64 lower-case hex digits, terminated.
void ctfs_fingerprint_text(const uint8_t fp[CTFS_FINGERPRINT_SIZE],
                           char out[CTFS_FINGERPRINT_TEXT]);
// Reads a fingerprint as ctfs_fingerprint_text writes it, with or without
// "SHA256:", hex digits in either case. False for anything else.
bool ctfs_fingerprint_parse(const char* text, uint8_t out[CTFS_FINGERPRINT_SIZE]);

// The pin file's name beside a server list: the list's path and ".keys".
// False when it does not fit size.
bool ctfs_pin_file_for(const char* list_path, char* out, size_t size);

enum ctfs_pin_result {
    CTFS_PIN_NONE = 0,       // no pin for this server (or no pin file)
    CTFS_PIN_MATCH = 1,      // pinned, and the key is the pinned one
    CTFS_PIN_MISMATCH = 2,   // pinned to another key; *pinned gets it
    CTFS_PIN_UNREADABLE = -1 // the file exists but cannot be read (errno set)
};
// Looks up the pin of host:port in file and compares it with fp. pinned
// (may be null) receives the pinned fingerprint when there is one.
ctfs_pin_result ctfs_pin_check(const char* file, const char* host, int port,
                               const uint8_t fp[CTFS_FINGERPRINT_SIZE],
                               uint8_t pinned[CTFS_FINGERPRINT_SIZE]);
// Pins fp for host:port: the file is written anew, owner-only, with the
// line of host:port replaced (or added) and every other line kept. 0, or -1
// with the last error set.
int ctfs_pin_store(const char* file, const char* host, int port,
                   const uint8_t fp[CTFS_FINGERPRINT_SIZE]);

// One pin of a file, as ctfs_pin_each hands it over.
typedef void (*ctfs_pin_fn)(void* ctx, const char* server, const uint8_t fp[CTFS_FINGERPRINT_SIZE]);
// Calls fn for every well-formed pin line of file, in order (server is the
// "HOST:PORT" text). 0 (also for a file that does not exist), or -1 when it
// exists but cannot be read.
int ctfs_pin_each(const char* file, ctfs_pin_fn fn, void* ctx);
