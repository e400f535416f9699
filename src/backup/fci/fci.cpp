// fci.cpp - the file change index: open and validate, look up, collect, and
// rebuild at the end of a run.
//
// Every failure of the old index leads to one safe state: invalid, every
// lookup misses, and the next index is still built from what the run adds.
#include "backup/fci/fci.h"

#include "common/text.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(fci_record) == FCI_RECORD_SIZE, "FCI record is 32 bytes");
static_assert(offsetof(fci_record, digest) == 0, "digest at 0");
static_assert(offsetof(fci_record, mtime) == 20, "time at 20");
static_assert(offsetof(fci_record, size_low) == 24, "size low at 24");
static_assert(offsetof(fci_record, size_high) == 28, "size high at 28");
static_assert(FCI_PAGE_RECORDS == 128, "128 records a page");

namespace {

const char sort_folder[] = "$FCISORT$";
const char source_name[] = "agent/backup/fci";

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void set_error(fci* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_error(fci* f, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(f->last_error, sizeof f->last_error, format, args);
    va_end(args);
}

// The platform's text for its last error.
const char* sys_text(char* buf, size_t size) {
    return plat_error_text(plat_last_error(), buf, size);
}

// Text for a read that came back short without a system error.
const char* short_read_text(int32_t got, char* buf, size_t size) {
    if (got < 0) return sys_text(buf, size);
    return copy_bounded(buf, size, error_text(EIO));
}

void sort_file_path(int n, char* out, size_t size) {
    snprintf(out, size, "%s%c%d", sort_folder, plat_path_sep, n);
}

// Reads up to size bytes at offset; the count read, or -1.
int32_t read_at(plat_file file, int64_t offset, uint8_t* buf, uint32_t size) {
    if (plat_file_seek(file, offset, PLAT_SEEK_SET) != offset) return -1;
    uint32_t done = 0;
    while (done < size) {
        int32_t n = plat_file_read(file, buf + done, size - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

// A buffered writer over a platform file; remembers the first write failure.
struct writer {
    plat_file file;
    uint8_t* buffer;
    uint32_t size;
    uint32_t used;
    bool failed;
};

void writer_flush(writer* w) {
    if (w->used && plat_file_write(w->file, w->buffer, w->used) != static_cast<int32_t>(w->used))
        w->failed = true;
    w->used = 0;
}

void writer_put(writer* w, const uint8_t* data, uint32_t len) {
    while (len) {
        uint32_t n = std::min(len, w->size - w->used);
        memcpy(w->buffer + w->used, data, n);
        w->used += n;
        data += n;
        len -= n;
        if (w->used == w->size) writer_flush(w);
    }
}

void sort_file_close(fci_sort_file* s) {
    if (s->file != PLAT_NO_FILE) {
        if (s->used) plat_file_write(s->file, s->buffer, s->used); // write errors are ignored
        plat_file_close(s->file);
    }
    free(s->buffer);
    s->file = PLAT_NO_FILE;
    s->buffer = nullptr;
    s->used = 0;
}

// SHA-1 of the path. The method is fetched once and the context reused, and
// the digest of the last path is kept: a run adds each path right after it
// looked it up, so each path is digested once.
void digest_path(fci* f, const char* path, uint8_t* out) {
    const size_t length = strlen(path);
    if (f->last_length != 0 && f->last_length == length &&
        memcmp(f->last_path, path, length) == 0) {
        memcpy(out, f->last_digest, FCI_DIGEST_SIZE);
        return;
    }
    EVP_MD_CTX* ctx = static_cast<EVP_MD_CTX*>(f->sha);
    if (!ctx) f->sha = ctx = EVP_MD_CTX_new();
    EVP_MD* md_type = static_cast<EVP_MD*>(f->sha_md);
    if (!md_type) f->sha_md = md_type = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    unsigned int len = 0;
    unsigned char md[EVP_MAX_MD_SIZE];
    f->digests++;
    if (ctx && md_type && EVP_DigestInit_ex(ctx, md_type, nullptr) == 1 &&
        EVP_DigestUpdate(ctx, path, length) == 1 && EVP_DigestFinal_ex(ctx, md, &len) == 1 &&
        len == FCI_DIGEST_SIZE) {
        memcpy(out, md, FCI_DIGEST_SIZE);
        if (length > 0 && length < sizeof f->last_path) {
            memcpy(f->last_path, path, length + 1);
            memcpy(f->last_digest, md, FCI_DIGEST_SIZE);
            f->last_length = static_cast<uint32_t>(length);
        } else {
            f->last_length = 0;
        }
        return;
    }
    // Without a digest no record can match; an all-zero digest is as good as any.
    memset(out, 0, FCI_DIGEST_SIZE);
    f->last_length = 0;
}

void free_digest(fci* f) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(f->sha));
    f->sha = nullptr;
    EVP_MD_free(static_cast<EVP_MD*>(f->sha_md));
    f->sha_md = nullptr;
    f->last_length = 0;
}

// The order of two digests, as memcmp gives it, from their first eight bytes
// read as one big-endian number: most lookups decide there.
uint64_t digest_head(const uint8_t* d) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
        v = v << 8 | d[i];
    return v;
}

int digest_compare(const uint8_t* a, const uint8_t* b) {
    const uint64_t x = digest_head(a), y = digest_head(b);
    if (x != y) return x < y ? -1 : 1;
    return memcmp(a + 8, b + 8, FCI_DIGEST_SIZE - 8);
}

bool record_matches(const uint8_t* raw, int32_t mtime, int64_t size) {
    fci_record r;
    fci_record_decode(raw, &r);
    int64_t stored_size =
        static_cast<int64_t>(static_cast<uint64_t>(r.size_high) << 32 | r.size_low);
    if (stored_size != size) return false;
    int64_t t = mtime, s = r.mtime;
    return s == t || s == t - FCI_HOUR || s == t + FCI_HOUR;
}

void free_cache(fci* f) {
    if (f->ring) {
        for (uint32_t i = 0; i < f->cache_count; i++)
            free(f->ring[i]);
    }
    free(f->ring);
    free(f->slots);
    f->ring = nullptr;
    f->slots = nullptr;
    f->cache_count = 0;
    f->ring_head = 0;
}

// The page from the cache or the disk; null on failure (index made invalid).
const fci_page* get_page(fci* f, uint32_t page_id) {
    if (!f->slots) {
        f->slots = static_cast<fci_page**>(calloc(f->page_count, sizeof(fci_page*)));
        f->ring =
            static_cast<fci_page**>(calloc(f->cache_limit ? f->cache_limit : 1, sizeof(fci_page*)));
        if (!f->slots || !f->ring) {
            char t[256];
            set_error(f, "FCI error: %s:%d - cannot allocate page_id %u: %s", source_name, 523,
                      page_id, copy_bounded(t, sizeof t, error_text(ENOMEM)));
            free_cache(f);
            f->invalid = true;
            return nullptr;
        }
    }
    if (fci_page* cached = f->slots[page_id]) return cached;

    uint32_t limit = f->cache_limit ? f->cache_limit : 1;
    fci_page* page;
    if (f->cache_count < limit) {
        page = static_cast<fci_page*>(malloc(sizeof(fci_page)));
        if (!page) {
            char t[256];
            set_error(f, "FCI error: %s:%d - cannot allocate page_id %u: %s", source_name, 523,
                      page_id, copy_bounded(t, sizeof t, error_text(ENOMEM)));
            f->invalid = true;
            return nullptr;
        }
        f->ring[(f->ring_head + f->cache_count) % limit] = page;
        f->cache_count++;
    } else {
        // Full: the page loaded earliest gives up its buffer.
        page = f->ring[f->ring_head];
        f->ring_head = (f->ring_head + 1) % limit;
        f->slots[page->page_id] = nullptr;
        f->ring[(f->ring_head + limit - 1) % limit] = page;
    }
    page->page_id = page_id;
    page->count = 0;

    int64_t offset = FCI_HEADER_SIZE + static_cast<int64_t>(FCI_PAGE_SIZE) * page_id;
    int64_t left = f->area_size - static_cast<int64_t>(FCI_PAGE_SIZE) * page_id;
    uint32_t expected =
        left < FCI_PAGE_SIZE ? static_cast<uint32_t>(left) : static_cast<uint32_t>(FCI_PAGE_SIZE);
    int32_t got = read_at(f->ro, offset, page->data, FCI_PAGE_SIZE);
    f->page_reads++;
    if (got < 0 || static_cast<uint32_t>(got) < expected) {
        // The file changed or failed under us: trust none of it any more.
        char t[256];
        set_error(f, "FCI error: %s:%d - reading page_id %u: %s", source_name, 553, page_id,
                  short_read_text(got, t, sizeof t));
        f->invalid = true;
        return nullptr;
    }
    page->count = expected / FCI_RECORD_SIZE;
    f->slots[page_id] = page;
    return page;
}

void free_leads(fci* f) {
    free(f->leads);
    free(f->lead_heads);
    f->leads = nullptr;
    f->lead_heads = nullptr;
    f->page_count = 0;
}

void close_ro(fci* f) {
    plat_file_close(f->ro);
    f->ro = PLAT_NO_FILE;
}

// Loads the first record of every page; false with the reason set.
bool load_leads(fci* f) {
    int64_t end = plat_file_seek(f->ro, 0, PLAT_SEEK_END);
    if (end < FCI_HEADER_SIZE) {
        char t[256];
        set_error(f, "FCI invalid: reading header failed: %s", short_read_text(-1, t, sizeof t));
        return false;
    }
    f->area_size = end - FCI_HEADER_SIZE;
    if (f->area_size == 0) {
        set_error(f, "FCI invalid: empty record set");
        return false;
    }
    if (f->area_size % FCI_RECORD_SIZE != 0) {
        set_error(f, "FCI invalid: record set of %lld bytes is not whole records",
                  static_cast<long long>(f->area_size));
        return false;
    }
    int64_t pages = (f->area_size + FCI_PAGE_SIZE - 1) / FCI_PAGE_SIZE;
    f->leads = pages <= 0x7fffffff / FCI_RECORD_SIZE
                   ? static_cast<uint8_t*>(malloc(static_cast<size_t>(pages) * FCI_RECORD_SIZE))
                   : nullptr;
    if (!f->leads) {
        char t[256];
        set_error(f, "FCI invalid: loading (%d) lead records failed: %s", static_cast<int>(pages),
                  copy_bounded(t, sizeof t, error_text(ENOMEM)));
        return false;
    }
    f->lead_heads = static_cast<uint64_t*>(malloc(static_cast<size_t>(pages) * sizeof(uint64_t)));
    if (!f->lead_heads) {
        char t[256];
        set_error(f, "FCI invalid: loading (%d) lead records failed: %s", static_cast<int>(pages),
                  copy_bounded(t, sizeof t, error_text(ENOMEM)));
        free_leads(f);
        return false;
    }
    f->page_count = static_cast<uint32_t>(pages);
    for (uint32_t p = 0; p < f->page_count; p++) {
        int64_t offset = FCI_HEADER_SIZE + static_cast<int64_t>(FCI_PAGE_SIZE) * p;
        int32_t got = read_at(f->ro, offset, f->leads + static_cast<size_t>(p) * FCI_RECORD_SIZE,
                              FCI_RECORD_SIZE);
        if (got != FCI_RECORD_SIZE) {
            char t[256];
            set_error(f, "FCI invalid: reading lead record %d: %s", static_cast<int>(p),
                      short_read_text(got, t, sizeof t));
            free_leads(f);
            return false;
        }
        f->lead_heads[p] = digest_head(f->leads + static_cast<size_t>(p) * FCI_RECORD_SIZE);
    }
    return true;
}

void clear_sort_folder(bool remove_folder) {
    char path[64];
    for (int n = 0; n < FCI_SORT_FILES; n++) {
        sort_file_path(n, path, sizeof path);
        plat_unlink(path);
    }
    if (remove_folder) plat_rmdir(sort_folder);
}

struct raw_record {
    uint8_t b[FCI_RECORD_SIZE];
};

bool digest_less(const raw_record& a, const raw_record& b) {
    return digest_compare(a.b, b.b) < 0;
}

} // namespace

void fci_record_encode(const fci_record* rec, uint8_t* out) {
    memcpy(out, rec->digest, FCI_DIGEST_SIZE);
    put_le32(out + 20, static_cast<uint32_t>(rec->mtime));
    put_le32(out + 24, rec->size_low);
    put_le32(out + 28, rec->size_high);
}

void fci_record_decode(const uint8_t* in, fci_record* rec) {
    memcpy(rec->digest, in, FCI_DIGEST_SIZE);
    rec->mtime = static_cast<int32_t>(get_le32(in + 20));
    rec->size_low = get_le32(in + 24);
    rec->size_high = get_le32(in + 28);
}

bool fci_path_for(const char* schedule_path, char* out, size_t out_size) {
    if (!schedule_path || !out) return false;
    size_t len = strlen(schedule_path);
    // Only a period in the file's own name counts, not one in a folder name.
    size_t cut = len;
    for (size_t i = len; i > 0; i--) {
        char c = schedule_path[i - 1];
        if (c == '/' || (plat_is_windows && c == '\\')) break;
        if (c == '.') {
            cut = i - 1;
            break;
        }
    }
    if (cut + 5 > out_size) return false;
    memcpy(out, schedule_path, cut);
    memcpy(out + cut, ".fci", 5);
    return true;
}

int fci_open(fci* f, const char* schedule_path, int32_t expected_stamp) {
    memset(f, 0, sizeof *f);
    f->ro = PLAT_NO_FILE;
    f->cache_limit = FCI_CACHE_PAGES;
    for (fci_sort_file& s : f->sort)
        s.file = PLAT_NO_FILE;

    if (!plat_is_folder(sort_folder))
        plat_mkdir(sort_folder, true); // failure shows when a sort file cannot be opened
    else
        clear_sort_folder(false);

    char t[256];
    if (!fci_path_for(schedule_path, f->path, sizeof f->path) ||
        strlen(f->path) + 4 > sizeof f->ro_path) {
        set_error(f, "FCI invalid: unintialized");
        f->invalid = true;
        f->path[0] = 0;
    } else {
        size_t len = strlen(f->path);
        memcpy(f->ro_path, f->path, len);
        memcpy(f->ro_path + len, ".ro", 4);
        if (plat_exists(f->ro_path)) {
            // The previous run did not finish: its old index is used again.
            plat_unlink(f->path);
        } else if (!plat_exists(f->path)) {
            set_error(f, "FCI invalid: unintialized");
            f->invalid = true;
        } else if (plat_rename(f->path, f->ro_path) != 0) {
            set_error(f, "FCI invalid: rename read-only fci failed: %s", sys_text(t, sizeof t));
            plat_unlink(f->path);
            f->invalid = true;
        }
    }

    if (!f->invalid) {
        f->ro = plat_file_open_read(f->ro_path);
        uint8_t head[FCI_HEADER_SIZE];
        bool fail = true;
        if (f->ro == PLAT_NO_FILE) {
            set_error(f, "FCI invalid: open read-only fci failed: %s", sys_text(t, sizeof t));
        } else {
            int32_t got = read_at(f->ro, 0, head, sizeof head);
            if (got != FCI_HEADER_SIZE) {
                set_error(f, "FCI invalid: reading header failed: %s",
                          short_read_text(got, t, sizeof t));
            } else {
                f->version = get_le32(head);
                f->stamp = static_cast<int32_t>(get_le32(head + 4));
                if (f->version != FCI_VERSION)
                    set_error(f, "FCI invalid: unknown version %lu",
                              static_cast<unsigned long>(f->version));
                else if (f->stamp != expected_stamp)
                    set_error(f, "FCI invalid: out of sync: client(%ld) != server(%ld)",
                              static_cast<long>(f->stamp), static_cast<long>(expected_stamp));
                else if (f->stamp == 0)
                    // 0 is no stamp: a disowned index, or a server (or a
                    // changed schedule) that vouches for nothing.
                    set_error(f, "FCI invalid: no stamp");
                else
                    fail = false;
            }
        }
        if (fail) {
            close_ro(f);
            plat_unlink(f->ro_path);
            f->invalid = true;
        }
    }

    if (!f->invalid) {
        f->sha = EVP_MD_CTX_new();
        if (!load_leads(f)) f->invalid = true;
    }
    if (f->invalid) {
        close_ro(f);
        f->stamp = 0;
        return -1;
    }
    return 0;
}

namespace {

// Clears the stamp of the index file at path in place; true when it was
// written (the file stays readable).
bool clear_stamp(const char* path) {
    plat_file w = plat_file_open_write(path);
    bool cleared = false;
    if (w != PLAT_NO_FILE) {
        const uint8_t zero[4] = {0, 0, 0, 0};
        cleared = plat_file_seek(w, 4, PLAT_SEEK_SET) == 4 && plat_file_write(w, zero, 4) == 4;
        if (plat_file_close(w) != 0) cleared = false;
    }
    return cleared;
}

} // namespace

int fci_withdraw(fci* f) {
    if (!f->finished || !f->path[0] || !plat_exists(f->path)) return 0;
    if (clear_stamp(f->path) || plat_unlink(f->path) == 0) return 0;
    char t[256];
    set_error(f, "FCI error: withdrawing the new fci failed: %s", sys_text(t, sizeof t));
    return -1;
}

int fci_disown(fci* f) {
    if (f->disowned || f->finished) return 0;
    f->disowned = true;
    if (!f->ro_path[0] || !plat_exists(f->ro_path)) return 0;
    // The stamp is cleared in place: the file stays readable for this run's
    // lookups (also where an open file cannot be removed).
    if (clear_stamp(f->ro_path)) return 0;
    // Without the stamp written, the file must go; where it cannot be removed
    // while open, this run gives it up first.
    if (plat_unlink(f->ro_path) == 0) return 0;
    close_ro(f);
    f->invalid = true;
    char t[256];
    set_error(f, "FCI error: disowning read-only fci failed: %s", sys_text(t, sizeof t));
    return plat_unlink(f->ro_path) == 0 ? 0 : -1;
}

int fci_lookup(fci* f, const char* path, int32_t mtime, int64_t size, bool* found) {
    *found = false;
    if (f->invalid || f->finished || !f->leads || !path) return 0;
    uint8_t d[FCI_DIGEST_SIZE];
    digest_path(f, path, d);

    // The last page whose lead record is not above d, searched on the leads'
    // first eight bytes (one small array) and the rest only where they tie.
    const uint64_t head = digest_head(d);
    uint32_t lo = 0, hi = f->page_count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const uint64_t h = f->lead_heads[mid];
        const bool not_above =
            h < head ||
            (h == head &&
             digest_compare(f->leads + static_cast<size_t>(mid) * FCI_RECORD_SIZE, d) <= 0);
        if (not_above)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0) return 0; // below every lead record
    uint32_t page_id = lo - 1;
    const uint8_t* lead = f->leads + static_cast<size_t>(page_id) * FCI_RECORD_SIZE;
    if (digest_compare(lead, d) == 0 && record_matches(lead, mtime, size)) {
        *found = true;
        return 0;
    }

    const fci_page* page = get_page(f, page_id);
    if (!page) return -1;
    // The first record not below d, then every record with the same digest.
    uint32_t a = 0, b = page->count;
    while (a < b) {
        uint32_t mid = a + (b - a) / 2;
        if (digest_compare(page->data + static_cast<size_t>(mid) * FCI_RECORD_SIZE, d) < 0)
            a = mid + 1;
        else
            b = mid;
    }
    for (uint32_t i = a; i < page->count; i++) {
        const uint8_t* rec = page->data + static_cast<size_t>(i) * FCI_RECORD_SIZE;
        if (digest_compare(rec, d) != 0) break;
        if (record_matches(rec, mtime, size)) {
            *found = true;
            break;
        }
    }
    return 0;
}

int fci_add(fci* f, const char* path, int32_t mtime, int64_t size) {
    if (f->finished || !path) {
        errno = EINVAL;
        return -1;
    }
    fci_record r;
    digest_path(f, path, r.digest);
    r.mtime = mtime;
    r.size_low = static_cast<uint32_t>(static_cast<uint64_t>(size));
    r.size_high = static_cast<uint32_t>(static_cast<uint64_t>(size) >> 32);
    int n = r.digest[0];
    fci_sort_file* s = &f->sort[n];
    if (s->file == PLAT_NO_FILE) {
        char name[64];
        sort_file_path(n, name, sizeof name);
        s->file = plat_file_create(name, true);
        if (s->file == PLAT_NO_FILE) {
            char t[256];
            set_error(f, "FCI error: opening sort file %d: %s", n, sys_text(t, sizeof t));
            return -1;
        }
        s->buffer = static_cast<uint8_t*>(malloc(FCI_SORT_BUFFER));
        s->used = 0;
        if (!s->buffer) {
            plat_file_close(s->file);
            s->file = PLAT_NO_FILE;
            char t[256];
            set_error(f, "FCI error: opening sort file %d: %s", n,
                      copy_bounded(t, sizeof t, error_text(ENOMEM)));
            return -1;
        }
    }
    if (s->used + FCI_RECORD_SIZE > FCI_SORT_BUFFER) {
        plat_file_write(s->file, s->buffer, s->used); // write errors are ignored
        s->used = 0;
    }
    fci_record_encode(&r, s->buffer + s->used);
    s->used += FCI_RECORD_SIZE;
    return 0;
}

void fci_release(fci* f) {
    free_leads(f);
    free_cache(f);
    free_digest(f);
    close_ro(f);
    for (fci_sort_file& s : f->sort)
        sort_file_close(&s);
}

void fci_finish(fci* f, int32_t new_stamp) {
    if (f->finished) return;
    f->finished = true;
    free_leads(f);
    free_cache(f);
    free_digest(f);
    close_ro(f);

    plat_file out = PLAT_NO_FILE;
    if (new_stamp != 0 && f->path[0]) out = plat_file_create(f->path, true);
    if (out == PLAT_NO_FILE) {
        for (fci_sort_file& s : f->sort)
            sort_file_close(&s);
        clear_sort_folder(true);
        return; // the ".ro" stays for the next run
    }

    uint8_t* out_buf = static_cast<uint8_t*>(malloc(FCI_OUT_BUFFER));
    writer w = {out, out_buf, FCI_OUT_BUFFER, 0, out_buf == nullptr};
    uint8_t head[FCI_HEADER_SIZE];
    put_le32(head, FCI_VERSION);
    put_le32(head + 4, static_cast<uint32_t>(new_stamp));
    if (out_buf) writer_put(&w, head, sizeof head);

    // One sort file at a time: memory holds at most the largest of them.
    raw_record* recs = nullptr;
    size_t held = 0; // records the buffer can hold
    for (int n = 0; n < FCI_SORT_FILES; n++) {
        sort_file_close(&f->sort[n]);
        char name[64];
        sort_file_path(n, name, sizeof name);
        plat_file in = plat_file_open_read(name);
        if (in == PLAT_NO_FILE) {
            plat_unlink(name);
            continue;
        }
        int64_t bytes = plat_file_seek(in, 0, PLAT_SEEK_END);
        size_t count = bytes > 0 ? static_cast<size_t>(bytes) / FCI_RECORD_SIZE : 0;
        bool ok = bytes >= 0 && bytes <= 0x7fffffff;
        if (ok && count > held) {
            raw_record* bigger =
                static_cast<raw_record*>(realloc(recs, count * sizeof(raw_record)));
            if (bigger) {
                recs = bigger;
                held = count;
            } else {
                ok = false;
            }
        }
        if (ok && count &&
            read_at(in, 0, reinterpret_cast<uint8_t*>(recs),
                    static_cast<uint32_t>(count * FCI_RECORD_SIZE)) !=
                static_cast<int32_t>(count * FCI_RECORD_SIZE))
            ok = false;
        plat_file_close(in);
        plat_unlink(name);
        if (!ok || !count) continue; // its records are lost; they are sent again next run
        std::stable_sort(recs, recs + count, digest_less);
        if (out_buf)
            writer_put(&w, reinterpret_cast<const uint8_t*>(recs),
                       static_cast<uint32_t>(count * FCI_RECORD_SIZE));
    }
    free(recs);
    plat_rmdir(sort_folder);
    if (out_buf) writer_flush(&w);
    free(out_buf);
    if (plat_file_close(out) != 0) w.failed = true;
    // An index cut short by a full disk would claim less than the run stored.
    if (w.failed) plat_unlink(f->path);
    plat_unlink(f->ro_path);
}

uint32_t fci_cache_pages(const fci* f) {
    return f->cache_count;
}
