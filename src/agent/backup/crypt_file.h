// crypt_file.h - whole-file AES-256-CBC reader and writer under the machine key.
//
// The file is the encryption of the whole plain text with a zero IV and
// PKCS#7 padding: no header, no length. Used for schedule files and the mail
// queue. The caller owns and closes the FILE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { CRYPT_FILE_BUFFER = 1008, MACHINE_KEY_SIZE = 32, MACHINE_KEY_FILE_SIZE = 4096 };

struct evp_cipher_ctx_st;

struct crypt_file {
    FILE* file;
    evp_cipher_ctx_st* ctx;
    unsigned char file_buf[CRYPT_FILE_BUFFER];
    unsigned char plain[CRYPT_FILE_BUFFER + 16];
    int plain_count;
    int plain_pos;
    int at_eof;
    int mode; // 0 reading (decrypting), non-zero writing (encrypting)
};

// Builds (once per process) the machine key from "etc/tavni.ak", creating the
// key file with 4096 random bytes when it is missing. 0 or -1.
int load_machine_key(unsigned char out[MACHINE_KEY_SIZE]);
// Test and tool use: forget the cached key so the next call reads the file again.
void machine_key_forget();

int crypt_file_open(crypt_file* cf, FILE* file, int mode);
char* crypt_file_gets(crypt_file* cf, char* buf, int size);
void crypt_file_write(crypt_file* cf, const void* data, size_t length);
void crypt_file_finish(crypt_file* cf);
