// streams.cpp - file read, MD5, zlib and AES-256-CBC pull streams.
//
// The deflate and cipher streams pull their inner stream into a fixed
// 8192-byte input buffer and remove consumed bytes from its front; the only
// large buffer is the caller's.
#include "backup/streams.h"

#include "backup/os_error.h"
#include "common/mem.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A stream record with its operations and input buffer size; every other
// field empty.
constexpr data_stream stream_template(data_stream_read_fn read, data_stream_destroy_fn destroy,
                                      uint32_t buffer_capacity) {
    data_stream s{};
    s.read = read;
    s.destroy = destroy;
    s.buffer_capacity = buffer_capacity;
    s.file = PLAT_NO_FILE;
    return s;
}

data_stream* new_stream(const data_stream& tmpl) {
    data_stream* s = static_cast<data_stream*>(mem_alloc(sizeof *s));
    *s = tmpl;
    return s;
}

void free_inner(data_stream* s) {
    data_stream_free(s->inner);
    s->inner = nullptr;
}

// Pulls the inner stream into the free tail of the input buffer. 0, or the
// inner STREAM_ERROR / STREAM_FATAL to hand straight back.
int32_t refill(data_stream* s) {
    if (s->buffer_used >= s->buffer_capacity || s->inner_ended) return 0;
    uint32_t room = s->buffer_capacity - s->buffer_used;
    int32_t r = s->inner->read(s->inner, s->buffer + s->buffer_used, static_cast<int32_t>(room));
    if (r == STREAM_END) {
        s->inner_ended = true;
        return 0;
    }
    if (r == STREAM_FATAL) return STREAM_FATAL;
    if (r < 0 || static_cast<uint32_t>(r) > room) return STREAM_ERROR;
    if (r == 0) return s->buffer_used == 0 ? STREAM_ERROR : 0;
    s->buffer_used += static_cast<uint32_t>(r);
    return 0;
}

void consume(data_stream* s, uint32_t n) {
    if (n >= s->buffer_used) {
        s->buffer_used = 0;
        return;
    }
    memmove(s->buffer, s->buffer + n, s->buffer_used - n);
    s->buffer_used -= n;
}

// ---- file read ----

int32_t file_read(data_stream* s, void* buf, int32_t capacity) {
    if (s->ended) return STREAM_END;
    if (s->seek_failed) return STREAM_ERROR;
    if (capacity <= 0) return 0;
    if (s->remaining == 0) {
        s->ended = true;
        return STREAM_END;
    }
    uint32_t want = static_cast<uint32_t>(capacity) < s->remaining ? static_cast<uint32_t>(capacity)
                                                                   : s->remaining;
    int32_t n = plat_file_read(s->file, buf, want);
    if (n < 0) {
        errno_from_last_error();
        return STREAM_ERROR;
    }
    if (n == 0) {
        // The block promised more bytes: the file shrank under us. Ending here
        // would store a short block as if it were whole.
        errno = EIO;
        return STREAM_ERROR;
    }
    s->remaining -= static_cast<uint32_t>(n);
    if (s->counter) *s->counter += static_cast<uint64_t>(n);
    return n;
}

void file_destroy(data_stream*) {}

constexpr data_stream file_template = stream_template(file_read, file_destroy, 0);

// ---- memory read ----

int32_t memory_read(data_stream* s, void* buf, int32_t capacity) {
    if (s->ended) return STREAM_END;
    if (capacity <= 0) return 0;
    if (s->remaining == 0) {
        s->ended = true;
        return STREAM_END;
    }
    if (s->available == 0) {
        errno = s->source_error ? s->source_error : EIO;
        return STREAM_ERROR;
    }
    uint32_t want = static_cast<uint32_t>(capacity) < s->remaining ? static_cast<uint32_t>(capacity)
                                                                   : s->remaining;
    if (want > s->available) want = s->available;
    memcpy(buf, s->source, want);
    s->source += want;
    s->available -= want;
    s->remaining -= want;
    if (s->counter) *s->counter += want;
    return static_cast<int32_t>(want);
}

constexpr data_stream memory_template = stream_template(memory_read, file_destroy, 0);

// ---- MD5 digest ----

int32_t digest_read(data_stream* s, void* buf, int32_t capacity) {
    if (s->ended) return STREAM_END;
    int32_t r = s->inner->read(s->inner, buf, capacity);
    EVP_MD_CTX* md = static_cast<EVP_MD_CTX*>(s->context);
    if (r == STREAM_END) {
        unsigned int len = 0;
        unsigned char out[EVP_MAX_MD_SIZE];
        if (EVP_DigestFinal_ex(md, out, &len) != 1 || len != STREAM_DIGEST_SIZE)
            return STREAM_ERROR;
        memcpy(s->digest_out, out, STREAM_DIGEST_SIZE);
        s->ended = true;
    } else if (r > 0) {
        if (EVP_DigestUpdate(md, buf, static_cast<size_t>(r)) != 1) return STREAM_ERROR;
    }
    return r;
}

void digest_destroy(data_stream* s) {
    free_inner(s);
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(s->context));
    s->context = nullptr;
}

constexpr data_stream digest_template = stream_template(digest_read, digest_destroy, 0);

// ---- zlib ----

int32_t compress_read(data_stream* s, void* buf, int32_t capacity) {
    if (s->ended) return STREAM_END;
    z_stream* z = static_cast<z_stream*>(s->context);
    uint8_t* out = static_cast<uint8_t*>(buf);
    int32_t total = 0;
    while (capacity - total > 0) {
        int32_t r = refill(s);
        if (r < 0) return r;
        z->next_in = s->buffer;
        z->avail_in = s->buffer_used;
        z->next_out = out + total;
        z->avail_out = static_cast<uInt>(capacity - total);
        int rc = deflate(z, s->inner_ended ? Z_FINISH : Z_NO_FLUSH);
        consume(s, s->buffer_used - z->avail_in);
        total = capacity - static_cast<int32_t>(z->avail_out);
        if (rc == Z_STREAM_END) {
            s->ended = true;
            return total;
        }
        if (rc == Z_BUF_ERROR || rc == Z_STREAM_ERROR) return STREAM_ERROR;
    }
    return total;
}

void compress_destroy(data_stream* s) {
    free_inner(s);
    if (s->context) {
        deflateEnd(static_cast<z_stream*>(s->context));
        free(s->context);
        s->context = nullptr;
    }
    free(s->buffer);
    s->buffer = nullptr;
}

constexpr data_stream compress_template =
    stream_template(compress_read, compress_destroy, STREAM_BUFFER_SIZE);

// ---- AES-256-CBC ----

int32_t encrypt_read(data_stream* s, void* buf, int32_t capacity) {
    if (s->ended) return STREAM_END;
    EVP_CIPHER_CTX* ctx = static_cast<EVP_CIPHER_CTX*>(s->context);
    const int32_t block = EVP_CIPHER_CTX_block_size(ctx);
    uint8_t* out = static_cast<uint8_t*>(buf);
    int32_t total = 0;
    int32_t room = capacity;
    while (room > 0) {
        int32_t r = refill(s);
        if (r < 0) return r;
        if (s->buffer_used > 0) {
            // The cipher may emit up to block - 1 bytes more than it is given.
            int32_t take = room - block + 1;
            if (take <= 0) return total;
            if (static_cast<uint32_t>(take) > s->buffer_used)
                take = static_cast<int32_t>(s->buffer_used);
            int outl = 0;
            if (EVP_EncryptUpdate(ctx, out + total, &outl, s->buffer, take) != 1)
                return STREAM_ERROR;
            consume(s, static_cast<uint32_t>(take));
            total += outl;
            room -= outl;
        } else if (s->inner_ended) {
            if (room <= block - 1) return total;
            int outl = 0;
            if (EVP_EncryptFinal_ex(ctx, out + total, &outl) != 1) return STREAM_ERROR;
            s->ended = true;
            return total + outl;
        } else {
            return STREAM_ERROR; // refill guarantees bytes or the end
        }
    }
    return total;
}

void encrypt_destroy(data_stream* s) {
    free_inner(s);
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(s->context));
    s->context = nullptr;
    free(s->buffer);
    s->buffer = nullptr;
}

constexpr data_stream encrypt_template =
    stream_template(encrypt_read, encrypt_destroy, STREAM_BUFFER_SIZE);

} // namespace

data_stream* file_read_stream_new(plat_file file, int64_t offset, uint32_t length,
                                  uint64_t* counter) {
    data_stream* s = new_stream(file_template);
    s->file = file;
    s->remaining = length;
    s->counter = counter;
    if (plat_file_seek(file, offset, PLAT_SEEK_SET) != offset) {
        errno_from_last_error();
        s->seek_failed = true;
    }
    return s;
}

data_stream* memory_read_stream_new(const uint8_t* data, uint32_t available, uint32_t length,
                                    int error, uint64_t* counter) {
    data_stream* s = new_stream(memory_template);
    s->source = data;
    s->available = available < length ? available : length;
    s->remaining = length;
    s->source_error = error;
    s->counter = counter;
    return s;
}

data_stream* digest_stream_new(data_stream* inner, uint8_t* digest_out) {
    if (!inner) return nullptr;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (!md || !digest_out || EVP_DigestInit_ex(md, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(md);
        data_stream_free(inner);
        return nullptr;
    }
    data_stream* s = new_stream(digest_template);
    s->inner = inner;
    s->context = md;
    s->digest_out = digest_out;
    return s;
}

data_stream* compress_stream_new(data_stream* inner) {
    if (!inner) return nullptr;
    z_stream* z = static_cast<z_stream*>(mem_zalloc(sizeof *z));
    if (deflateInit2(z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        free(z);
        data_stream_free(inner);
        return nullptr;
    }
    data_stream* s = new_stream(compress_template);
    s->inner = inner;
    s->context = z;
    s->buffer = static_cast<uint8_t*>(mem_alloc(STREAM_BUFFER_SIZE));
    return s;
}

data_stream* encrypt_stream_new(data_stream* inner, const uint8_t* key) {
    if (!inner) return nullptr;
    static const uint8_t zero_iv[16] = {0};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx || !key || EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, zero_iv) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        data_stream_free(inner);
        return nullptr;
    }
    data_stream* s = new_stream(encrypt_template);
    s->inner = inner;
    s->context = ctx;
    s->buffer = static_cast<uint8_t*>(mem_alloc(STREAM_BUFFER_SIZE));
    return s;
}

void data_stream_free(data_stream* s) {
    if (!s) return;
    s->destroy(s);
    free(s);
}
