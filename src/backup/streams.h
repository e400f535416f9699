// streams.h - the pull-stream chain that turns one block of a file into the
// bytes sent to the server: file read -> (MD5 digest) -> zlib -> AES-256-CBC.
//
// A chain lives for one block. Every stream owns its inner stream; destroying
// the outermost stream releases the whole chain. Each block is therefore one
// complete zlib stream, encrypted from the zero initial vector and padded on
// its own.
#pragma once

#include "platform/platform.h"

#include <cstdint>

enum {
    STREAM_END = -1,   // the stream has ended (and on every later call)
    STREAM_ERROR = -2, // read, deflate or cipher failure
    STREAM_FATAL = -3, // passed up unchanged; the caller ends the process
    STREAM_BUFFER_SIZE = 8192,
    STREAM_KEY_SIZE = 32,
    STREAM_DIGEST_SIZE = 16,
};

struct data_stream;
// A positive count of bytes written to buf, 0 when nothing could be produced
// this time, or STREAM_END / STREAM_ERROR / STREAM_FATAL. Never writes more
// than capacity bytes.
typedef int32_t (*data_stream_read_fn)(data_stream* s, void* buf, int32_t capacity);
// Releases what the stream owns, its inner stream included (destroyed and
// freed); the record itself stays for its owner to free.
typedef void (*data_stream_destroy_fn)(data_stream* s);

struct data_stream {
    data_stream_read_fn read; // operations first, copied from a static template
    data_stream_destroy_fn destroy;
    data_stream* inner; // owned; null for the file read stream
    bool ended;
    bool inner_ended;
    void* context;            // EVP_MD_CTX, z_stream or EVP_CIPHER_CTX
    uint32_t buffer_capacity; // STREAM_BUFFER_SIZE for deflate and cipher
    uint32_t buffer_used;
    uint8_t* buffer; // owned input buffer
    // file read stream
    plat_file file;     // not owned
    uint32_t remaining; // bytes it may still yield
    uint64_t* counter;  // caller's count of bytes read, or null
    bool seek_failed;
    // digest stream
    uint8_t* digest_out; // caller's 16 bytes
    // memory read stream
    const uint8_t* source; // not owned; the block's bytes read beforehand
    uint32_t available;    // of them
    int source_error;      // errno for the read that finds no more bytes
};

// Every constructor hands out a stream the caller frees with
// data_stream_free (the outermost one only, once it is wrapped).

// Seeks file to offset and yields length bytes from there. Never null; a
// failed seek makes the first read give STREAM_ERROR, and so does a file that
// ends before length bytes were read (it shrank while being read).
data_stream* file_read_stream_new(plat_file file, int64_t offset, uint32_t length,
                                  uint64_t* counter);
// The same yield as file_read_stream_new for a block whose bytes were read
// beforehand: the first available of length bytes of data (not owned), in the
// sizes asked for; when fewer than length are available, the read after the
// last of them gives STREAM_ERROR with errno set to error (what the reading
// met: EIO for a file that ended early). Never null.
data_stream* memory_read_stream_new(const uint8_t* data, uint32_t available, uint32_t length,
                                    int error, uint64_t* counter);
// MD5 of everything that passes, written to digest_out at the end. The
// constructors below take ownership of inner, also when they fail (inner is
// then freed); they give null for a null inner. Null also for a null
// digest_out or when the digest cannot start.
data_stream* digest_stream_new(data_stream* inner, uint8_t* digest_out);
// zlib level 9, window 15, memory level 8; null when deflate cannot start.
data_stream* compress_stream_new(data_stream* inner);
// AES-256-CBC with the 32-byte account key, zero initial vector, PKCS#7; null
// for a null key or when the cipher cannot start.
data_stream* encrypt_stream_new(data_stream* inner, const uint8_t* key);
// Destroys and frees a stream (and its chain); accepts null.
void data_stream_free(data_stream* s);
