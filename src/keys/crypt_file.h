// crypt_file.h - whole-file AES-256-CBC reader and writer under the machine key.
//
// The file is the encryption of the whole plain text with a zero IV and
// PKCS#7 padding: no header, no length. Used for schedule files and the mail
// queue. The caller owns and closes the FILE.
#pragma once

#include "keys/machine_key.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum { CRYPT_FILE_BUFFER = 1008, CRYPT_FILE_BLOCK = 16 };

struct evp_cipher_ctx_st;

struct crypt_file {
    FILE* file;
    evp_cipher_ctx_st* ctx;
    unsigned char file_buf[CRYPT_FILE_BUFFER + CRYPT_FILE_BLOCK]; // file side (encrypted)
    unsigned char plain[CRYPT_FILE_BUFFER + CRYPT_FILE_BLOCK];    // plain side
    int plain_count;                                              // plain bytes held
    int plain_pos; // read position within them (reading)
    int at_eof;    // reading: the file is exhausted and the padding removed
    int mode;      // 0 reading (decrypting), non-zero writing (encrypting)
    int failed;    // writing: a cipher or file write failed (reported by finish)
    int damaged;   // reading: the last block did not decrypt (bad padding, cut file)
};

// Sets up cf over an open file with the machine key (load_machine_key).
// Mode 0 decrypts, non-zero encrypts. 0, or -1 when the machine key cannot be
// loaded or the cipher cannot be set up (cf then holds no context and the
// other calls do nothing). cf is the caller's; a successful open holds a
// cipher context that only crypt_file_finish releases.
int crypt_file_open(crypt_file* cf, FILE* file, int mode);
// The same with an explicit 32-byte key (tools and tests).
int crypt_file_open_key(crypt_file* cf, FILE* file, int mode,
                        const unsigned char key[MACHINE_KEY_SIZE]);
// Reads the next plain-text line like fgets: at most size - 1 characters, up
// to and including the next "\n", always terminated (the line may hold zero
// bytes when the file is not text). Null at the end of the plain text (buf
// untouched), for a writer, or when size is below 2. Bad padding or a cut
// file ends the text before the last block and sets cf->damaged.
char* crypt_file_gets(crypt_file* cf, char* buf, int size);
// Reads up to size plain bytes as they are (tools that show a whole file).
// The count, or 0 at the end of the plain text, for a writer, or for size 0.
size_t crypt_file_read(crypt_file* cf, void* buf, size_t size);
// Appends plain bytes (writer only; nothing for a reader or null data). A
// failed cipher or file write is not reported here but by crypt_file_finish.
void crypt_file_write(crypt_file* cf, const void* data, size_t length);
// Writer: encrypts what is buffered, adds the final padded block and writes
// everything. Both modes release the cipher context; the caller closes the
// file. 0, or -1 when any write of this writer failed (always 0 for a reader).
// Wipes the buffered plain text; safe after a failed open and when repeated.
int crypt_file_finish(crypt_file* cf);
