// pack_file.cpp - the pack file format: append, sync, read one record, scan,
// and the cut of a torn tail when a pack is opened for appending again.
//
// Every length read from disk is checked against PACK_BLOCK_LIMIT and the
// file's size before anything is allocated or read for it, so a damaged or
// hostile pack costs at most one record's worth of memory. Every file call
// goes through the platform layer, so its fault switch reaches packs too.
#include "tools/server/pack_file.h"

#include "platform/server.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>

namespace {

const uint8_t kPackMagic[4] = {'T', 'V', 'P', 'K'};
const uint8_t kRecordMagic[4] = {'T', 'V', 'R', 'B'};
// The fields the record's CRC covers before the data: magic, length, digest.
const uint32_t kCrcHead = 40;

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void pack_header(uint8_t out[PACK_HEADER_SIZE]) {
    memset(out, 0, PACK_HEADER_SIZE);
    memcpy(out, kPackMagic, 4);
    put_le32(out + 4, PACK_VERSION);
}

// CRC-32 of the header's first 40 bytes and the data (zlib takes 32-bit
// lengths; a record's data is below PACK_BLOCK_LIMIT).
uint32_t record_crc(const uint8_t* head, const uint8_t* data, uint32_t len) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, head, kCrcHead);
    if (len) crc = crc32(crc, data, len);
    return static_cast<uint32_t>(crc);
}

bool sha256_is(const uint8_t* data, uint32_t len, const uint8_t digest[32]) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, len, md, &n, EVP_sha256(), nullptr) != 1 || n != 32) return false;
    return memcmp(md, digest, 32) == 0;
}

// Reads exactly n bytes at offset: 1 when read, 0 when the file ends first,
// -1 on failure.
int read_exact(plat_file f, uint64_t offset, uint8_t* buf, uint32_t n) {
    uint32_t done = 0;
    while (done < n) {
        int32_t got =
            plat_file_read_at(f, static_cast<int64_t>(offset + done), buf + done, n - done);
        if (got < 0) return -1;
        if (got == 0) return 0;
        done += static_cast<uint32_t>(got);
    }
    return 1;
}

int64_t file_size(plat_file f) {
    return plat_file_seek(f, 0, PLAT_SEEK_END);
}

// Checks the pack header of a file of size bytes: PACK_OK, PACK_FOREIGN, or
// PACK_FAILED. *torn: the file holds less than a header, all of it a prefix
// of a valid one (a crash while the pack was being made).
int check_header(plat_file f, uint64_t size, bool* torn) {
    uint8_t want[PACK_HEADER_SIZE], got[PACK_HEADER_SIZE];
    pack_header(want);
    *torn = false;
    uint32_t have = size < PACK_HEADER_SIZE ? static_cast<uint32_t>(size) : PACK_HEADER_SIZE;
    int r = read_exact(f, 0, got, have);
    if (r < 0) return PACK_FAILED;
    if (r == 0) return PACK_FOREIGN; // shrank while read
    if (have < PACK_HEADER_SIZE) {
        *torn = memcmp(got, want, have) == 0;
        return *torn ? PACK_OK : PACK_FOREIGN;
    }
    // Magic and version; the reserved bytes are left for later versions to
    // use under a new version number.
    return memcmp(got, want, 8) == 0 ? PACK_OK : PACK_FOREIGN;
}

enum probe_result { PROBE_WHOLE, PROBE_BAD, PROBE_FAILED };

// Looks at the record that would start at offset in a file of size bytes:
// PROBE_WHOLE with *len and digest filled when a whole record is there
// (magic, a length within bounds and within the file, CRC right).
probe_result probe(plat_file f, uint64_t offset, uint64_t size, std::vector<uint8_t>* scratch,
                   uint32_t* len, uint8_t digest[32]) {
    if (offset > size || size - offset < PACK_RECORD_HEADER_SIZE) return PROBE_BAD;
    uint8_t head[PACK_RECORD_HEADER_SIZE];
    int r = read_exact(f, offset, head, sizeof head);
    if (r < 0) return PROBE_FAILED;
    if (r == 0 || memcmp(head, kRecordMagic, 4) != 0) return PROBE_BAD;
    uint32_t n = get_le32(head + 4);
    // Bounds before the allocation: the limit and what the file holds.
    if (n == 0 || n > PACK_BLOCK_LIMIT || n > size - offset - PACK_RECORD_HEADER_SIZE)
        return PROBE_BAD;
    scratch->resize(n);
    r = read_exact(f, offset + PACK_RECORD_HEADER_SIZE, scratch->data(), n);
    if (r < 0) return PROBE_FAILED;
    if (r == 0 || record_crc(head, scratch->data(), n) != get_le32(head + kCrcHead))
        return PROBE_BAD;
    *len = n;
    memcpy(digest, head + 8, 32);
    return PROBE_WHOLE;
}

// The offset of the first whole record at or after from, or size when there
// is none; -1 on failure. A search byte by byte for the record magic, each
// hit checked whole: only damage makes a scan come here.
int64_t next_whole(plat_file f, uint64_t from, uint64_t size, std::vector<uint8_t>* scratch) {
    std::vector<uint8_t> window(65536);
    uint64_t at = from;
    while (at < size && size - at >= PACK_RECORD_HEADER_SIZE) {
        uint64_t left = size - at;
        uint32_t n = left < window.size() ? static_cast<uint32_t>(left)
                                          : static_cast<uint32_t>(window.size());
        int r = read_exact(f, at, window.data(), n);
        if (r < 0) return -1;
        if (r == 0) break;
        for (uint32_t i = 0; i + 4 <= n; ++i) {
            if (memcmp(window.data() + i, kRecordMagic, 4) != 0) continue;
            uint32_t len = 0;
            uint8_t digest[32];
            probe_result p = probe(f, at + i, size, scratch, &len, digest);
            if (p == PROBE_FAILED) return -1;
            if (p == PROBE_WHOLE) return static_cast<int64_t>(at + i);
        }
        // The last three bytes may begin a magic that the next window ends.
        at += n > 3 ? n - 3 : n;
    }
    return static_cast<int64_t>(size);
}

// Walks every record of the open pack f (its header already checked) and
// reports each whole record and damaged stretch to fn.
int walk(plat_file f, uint64_t size, pack_scan_fn fn, void* ctx, pack_scan_summary* sum) {
    std::vector<uint8_t> scratch;
    *sum = pack_scan_summary();
    sum->file_size = size;
    sum->whole_end = PACK_HEADER_SIZE;
    uint64_t at = PACK_HEADER_SIZE;
    while (at < size) {
        pack_record_info info;
        memset(&info, 0, sizeof info);
        info.offset = at;
        uint32_t len = 0;
        probe_result p = probe(f, at, size, &scratch, &len, info.digest);
        if (p == PROBE_FAILED) return PACK_FAILED;
        if (p == PROBE_WHOLE) {
            info.whole = true;
            info.length = len;
            info.extent = PACK_RECORD_HEADER_SIZE + static_cast<uint64_t>(len);
            at += info.extent;
            sum->whole_end = at;
            if (sum->damaged) sum->bad_before_whole = true;
            ++sum->records;
        } else {
            int64_t next = next_whole(f, at + 1, size, &scratch);
            if (next < 0) return PACK_FAILED;
            info.extent = static_cast<uint64_t>(next) - at;
            if (!sum->damaged) sum->first_bad = at;
            ++sum->damaged;
            at = static_cast<uint64_t>(next);
        }
        if (fn) fn(ctx, info);
    }
    return PACK_OK;
}

// A descriptor closed on every way out (plat_file is not a pointer, so not
// an owner<>).
struct read_handle {
    plat_file f;
    explicit read_handle(plat_file file) : f(file) {}
    read_handle(const read_handle&) = delete;
    read_handle& operator=(const read_handle&) = delete;
    ~read_handle() { plat_file_close(f); }
};

// Makes a new pack at path with its header; the file must not exist.
int create_pack(const std::string& path, pack_file* out) {
    // Pack names are made unique by their maker; an existing file is a
    // mistake, never something to empty.
    if (plat_exists(path.c_str())) return PACK_INVALID;
    plat_file f = plat_file_create(path.c_str(), true);
    if (f == PLAT_NO_FILE) return PACK_FAILED;
    uint8_t head[PACK_HEADER_SIZE];
    pack_header(head);
    if (plat_file_write(f, head, sizeof head) != static_cast<int32_t>(sizeof head)) {
        int e = plat_last_error();
        plat_file_close(f);
        plat_unlink(path.c_str());
        plat_set_last_error(e);
        return PACK_FAILED;
    }
    out->f = f;
    out->size = PACK_HEADER_SIZE;
    out->synced = 0; // the header itself is made durable by the first sync
    return PACK_OK;
}

} // namespace

int pack_open_append(const std::string& path, bool create, pack_file* out, uint64_t* cut) {
    *out = pack_file();
    out->path = path;
    if (cut) *cut = 0;
    if (create) return create_pack(path, out);

    uint64_t size = 0, keep = 0;
    bool torn = false;
    {
        read_handle r(plat_file_open_read(path.c_str()));
        if (r.f == PLAT_NO_FILE) return PACK_FAILED;
        int64_t s = file_size(r.f);
        if (s < 0) return PACK_FAILED;
        size = static_cast<uint64_t>(s);
        int rc = check_header(r.f, size, &torn);
        if (rc != PACK_OK) return rc;
        if (!torn) {
            pack_scan_summary sum;
            rc = walk(r.f, size, nullptr, nullptr, &sum);
            if (rc != PACK_OK) return rc;
            // Damage with a whole record after it is not a torn tail.
            if (sum.bad_before_whole) return PACK_DAMAGED;
            keep = sum.whole_end;
        }
    }
    plat_file w = plat_file_open_write(path.c_str());
    if (w == PLAT_NO_FILE) return PACK_FAILED;
    bool ok = true;
    if (torn) {
        uint8_t head[PACK_HEADER_SIZE];
        pack_header(head);
        ok = plat_file_truncate(w, 0) == 0 && plat_file_seek(w, 0, PLAT_SEEK_SET) == 0 &&
             plat_file_write(w, head, sizeof head) == static_cast<int32_t>(sizeof head);
        keep = PACK_HEADER_SIZE;
    } else if (keep < size) {
        ok = plat_file_truncate(w, keep) == 0;
    }
    if (ok)
        ok = plat_file_seek(w, static_cast<int64_t>(keep), PLAT_SEEK_SET) ==
             static_cast<int64_t>(keep);
    // The cut is made durable with the first sync, before any record after
    // it can be promised.
    if (!ok) {
        int e = plat_last_error();
        plat_file_close(w);
        plat_set_last_error(e);
        return PACK_FAILED;
    }
    out->f = w;
    out->size = keep;
    // What an earlier process wrote may still be in the system's cache only:
    // the first sync covers all of it.
    out->synced = 0;
    if (cut) *cut = size > keep ? size - keep : 0;
    return PACK_OK;
}

// Writes a record of len bytes under digest at out (PACK_RECORD_HEADER_SIZE
// + len bytes).
static void encode_record(uint8_t* out, const uint8_t digest[32], const uint8_t* data,
                          uint32_t len) {
    memcpy(out, kRecordMagic, 4);
    put_le32(out + 4, len);
    memcpy(out + 8, digest, 32);
    put_le32(out + 44, 0);
    memcpy(out + PACK_RECORD_HEADER_SIZE, data, len);
    put_le32(out + kCrcHead, record_crc(out, data, len));
}

int pack_append(pack_file* p, const uint8_t digest[32], const uint8_t* data, uint32_t len,
                uint64_t* offset) {
    if (p->f == PLAT_NO_FILE || p->broken || len == 0 || len > PACK_BLOCK_LIMIT || !data)
        return PACK_INVALID;
    uint32_t total = PACK_RECORD_HEADER_SIZE + len;
    p->buf.resize(total);
    uint8_t* head = p->buf.data();
    encode_record(head, digest, data, len);
    if (plat_file_write(p->f, head, total) == static_cast<int32_t>(total)) {
        *offset = p->size;
        p->size += total;
        return PACK_OK;
    }
    // Take the partial record back so that the next append starts at a
    // record boundary; when the file will not, the pack takes no more.
    int e = plat_last_error();
    if (plat_file_truncate(p->f, p->size) != 0 ||
        plat_file_seek(p->f, static_cast<int64_t>(p->size), PLAT_SEEK_SET) !=
            static_cast<int64_t>(p->size))
        p->broken = true;
    plat_set_last_error(e);
    return PACK_FAILED;
}

void pack_image_start(std::vector<uint8_t>* image) {
    image->resize(PACK_HEADER_SIZE);
    pack_header(image->data());
}

int pack_image_add(std::vector<uint8_t>* image, const uint8_t digest[32], const uint8_t* data,
                   uint32_t len, uint64_t* offset) {
    if (image->size() < PACK_HEADER_SIZE || len == 0 || len > PACK_BLOCK_LIMIT || !data)
        return PACK_INVALID;
    *offset = image->size();
    image->resize(image->size() + PACK_RECORD_HEADER_SIZE + len);
    encode_record(image->data() + *offset, digest, data, len);
    return PACK_OK;
}

int pack_sync(pack_file* p) {
    if (p->f == PLAT_NO_FILE || p->broken) return PACK_INVALID;
    if (p->synced == p->size) return PACK_OK;
    if (plat_file_sync(p->f) != 0) {
        p->broken = true;
        return PACK_FAILED;
    }
    p->synced = p->size;
    return PACK_OK;
}

int pack_close(pack_file* p) {
    int rc = plat_file_close(p->f) == 0 ? PACK_OK : PACK_FAILED;
    p->f = PLAT_NO_FILE;
    return rc;
}

// Checks a record header against the length and digest it must hold.
static bool head_is(const uint8_t* head, uint32_t length, const uint8_t digest[32]) {
    return memcmp(head, kRecordMagic, 4) == 0 && get_le32(head + 4) == length &&
           memcmp(head + 8, digest, 32) == 0;
}

// Checks the data read after head; PACK_OK / PACK_DAMAGED.
static int data_is(const uint8_t* head, const uint8_t* data, uint32_t length,
                   const uint8_t digest[32]) {
    return record_crc(head, data, length) == get_le32(head + kCrcHead) &&
                   sha256_is(data, length, digest)
               ? PACK_OK
               : PACK_DAMAGED;
}

int pack_read(plat_file f, uint64_t offset, uint32_t length, const uint8_t digest[32],
              std::vector<uint8_t>* out) {
    out->clear();
    if (length == 0 || length > PACK_BLOCK_LIMIT) return PACK_INVALID;
    if (offset < PACK_HEADER_SIZE || offset > static_cast<uint64_t>(INT64_MAX) - PACK_BLOCK_LIMIT)
        return PACK_DAMAGED;
    uint8_t head[PACK_RECORD_HEADER_SIZE];
    int r = read_exact(f, offset, head, sizeof head);
    if (r < 0) return PACK_FAILED;
    if (r == 0 || !head_is(head, length, digest)) return PACK_DAMAGED;
    // Nothing is allocated for a record the file cannot hold.
    int64_t size = file_size(f);
    if (size < 0) return PACK_FAILED;
    if (static_cast<uint64_t>(size) < offset + PACK_RECORD_HEADER_SIZE + length)
        return PACK_DAMAGED;
    out->resize(length);
    r = read_exact(f, offset + PACK_RECORD_HEADER_SIZE, out->data(), length);
    int rc = PACK_OK;
    if (r < 0)
        rc = PACK_FAILED;
    else if (r == 0)
        rc = PACK_DAMAGED;
    else
        rc = data_is(head, out->data(), length, digest);
    if (rc != PACK_OK) out->clear();
    return rc;
}

int pack_record_decode(const uint8_t* rec, size_t n, uint32_t length, const uint8_t digest[32],
                       std::vector<uint8_t>* out) {
    out->clear();
    if (length == 0 || length > PACK_BLOCK_LIMIT) return PACK_INVALID;
    if (n != PACK_RECORD_HEADER_SIZE + static_cast<size_t>(length) || !head_is(rec, length, digest))
        return PACK_DAMAGED;
    const uint8_t* data = rec + PACK_RECORD_HEADER_SIZE;
    if (data_is(rec, data, length, digest) != PACK_OK) return PACK_DAMAGED;
    out->assign(data, data + length);
    return PACK_OK;
}

int pack_scan(const std::string& path, pack_scan_fn fn, void* ctx, pack_scan_summary* sum) {
    *sum = pack_scan_summary();
    read_handle r(plat_file_open_read(path.c_str()));
    if (r.f == PLAT_NO_FILE) return PACK_FAILED;
    int64_t s = file_size(r.f);
    if (s < 0) return PACK_FAILED;
    uint64_t size = static_cast<uint64_t>(s);
    bool torn = false;
    int rc = check_header(r.f, size, &torn);
    if (rc != PACK_OK) return rc;
    if (torn) {
        sum->file_size = size;
        return PACK_FOREIGN;
    }
    return walk(r.f, size, fn, ctx, sum);
}
