// pack_file.h - pack files: many small blocks in one append-only file, made
// durable with one sync per batch.
//
// This module is the file format and its I/O only: it knows nothing of the
// catalog that indexes the records, nor of which blocks go to packs. A pack
// is a 16-byte header followed by records, each a 48-byte header (magic,
// length, SHA-256 digest, CRC-32 of the record) and the block's bytes; all
// integers little-endian. docs/design-packs.md has the layout and the rules
// that the block store builds on it.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum : uint32_t {
    PACK_HEADER_SIZE = 16,
    PACK_RECORD_HEADER_SIZE = 48,
    PACK_VERSION = 1,
    // The largest block a record may hold. A length field above it is damage;
    // no reader allocates for one.
    PACK_BLOCK_LIMIT = 4u << 20,
    // Blocks up to this size go to packs, larger ones stay files of their own.
    PACK_BLOCK_THRESHOLD = 256u << 10,
};
// A pack that has reached this size takes no more batches.
constexpr uint64_t PACK_TARGET_SIZE = 16u << 20;

enum pack_result {
    PACK_OK = 0,
    PACK_FAILED = -1,  // the file system failed; the last error says why
    PACK_DAMAGED = -2, // the bytes on disk are not what they must be
    PACK_FOREIGN = -3, // not a pack of this version: left as it is
    PACK_INVALID = -4, // the caller's arguments are out of range
};

// One pack open for appending. Plain record: fill it with pack_open_append
// and release it with pack_close, once.
struct pack_file {
    std::string path;
    plat_file f = PLAT_NO_FILE; // opened for writing, positioned at size
    uint64_t size = 0;          // end of the last whole record
    uint64_t synced = 0;        // bytes known durable
    // A write or a sync failed in a way that leaves the file's state unknown:
    // nothing more is appended; the pack is to be reopened (which cuts its
    // tail) or left as it is.
    bool broken = false;
    std::vector<uint8_t> buf; // one record being written
};

// Opens the pack at path for appending. create: the file must not exist yet
// (PACK_INVALID otherwise) and is made with a new header. Otherwise it must exist:
// its records are scanned, and a torn tail (no whole record after the first
// one that is not whole) is cut off; *cut (may be null) gets the bytes cut.
// A file shorter than the header, holding a prefix of it, is cut to nothing
// and given a header.
// @return PACK_OK; PACK_FOREIGN for a whole header of another magic or
// version; PACK_DAMAGED when a bad record lies before a whole one (the middle
// of the pack is damaged: nothing is cut); PACK_FAILED. On failure *out is
// left closed.
int pack_open_append(const std::string& path, bool create, pack_file* out, uint64_t* cut);

// Appends one record holding len bytes of data under digest (the SHA-256 of
// the data, 32 bytes, as the caller computed it; reads check it). *offset
// gets the offset of the record, which pack_read takes with len. The record
// is not durable before pack_sync.
// @return PACK_OK; PACK_INVALID for len 0 or above PACK_BLOCK_LIMIT, or a
// broken pack; PACK_FAILED when the write failed (the partial record is cut
// off again where the file allows; otherwise the pack is marked broken).
int pack_append(pack_file* p, const uint8_t digest[32], const uint8_t* data, uint32_t len,
                uint64_t* offset);

// Makes everything appended since the last sync durable, with one barrier;
// nothing to do costs nothing. A failed sync marks the pack broken: after
// one, the system may have dropped the unwritten bytes and a later sync could
// succeed without them. PACK_OK, PACK_INVALID (broken), PACK_FAILED.
int pack_sync(pack_file* p);

// Closes the file; unsynced records stay on disk but were never promised.
// Accepts a closed record. PACK_OK or PACK_FAILED.
int pack_close(pack_file* p);

// Reads the block of the record at offset in the pack open for reading at f
// (plat_file_open_read; several threads may read one handle at once). The
// record must hold exactly length bytes under digest, its CRC must match and
// the data must hash to the digest. out gets the data.
// @return PACK_OK; PACK_INVALID for a length of 0 or above PACK_BLOCK_LIMIT
// (nothing is allocated); PACK_DAMAGED for anything else that does not match,
// a record running past the end of the file included; PACK_FAILED.
int pack_read(plat_file f, uint64_t offset, uint32_t length, const uint8_t digest[32],
              std::vector<uint8_t>* out);

// A pack built in memory (a whole object of a store that cannot append):
// pack_image_start sets image to a pack's header, pack_image_add appends a
// record as pack_append would, *offset getting its offset. PACK_OK, or
// PACK_INVALID for len 0 or above PACK_BLOCK_LIMIT or an image not started.
void pack_image_start(std::vector<uint8_t>* image);
int pack_image_add(std::vector<uint8_t>* image, const uint8_t digest[32], const uint8_t* data,
                   uint32_t len, uint64_t* offset);

// Checks a record read whole into memory (n bytes, its header included) as
// pack_read does, and gives its data in out.
// @return PACK_OK; PACK_INVALID for a length of 0 or above PACK_BLOCK_LIMIT;
// PACK_DAMAGED for anything that does not match, n included.
int pack_record_decode(const uint8_t* rec, size_t n, uint32_t length, const uint8_t digest[32],
                       std::vector<uint8_t>* out);

// What a scan found at one place of a pack.
struct pack_record_info {
    uint64_t offset; // of the record, or of the damaged stretch
    uint32_t length; // of the block (whole records); 0 for damage
    uint64_t extent; // bytes the record or the damaged stretch takes
    uint8_t digest[32];
    bool whole; // a whole record; false: a stretch that holds none
};
struct pack_scan_summary {
    uint64_t file_size = 0;
    uint64_t records = 0;          // whole records
    uint64_t damaged = 0;          // damaged stretches
    uint64_t whole_end = 0;        // end of the last whole record (or of the header)
    uint64_t first_bad = 0;        // offset of the first damaged stretch, if any
    bool bad_before_whole = false; // a damaged stretch has a whole record after it
};
typedef void (*pack_scan_fn)(void* ctx, const pack_record_info& r);

// Reads the whole pack at path and calls fn (may be null) for each whole
// record and each damaged stretch in file order, cutting nothing. After a
// damaged stretch the scan goes on at the next whole record it finds.
// @return PACK_OK (damage is reported, not failed on); PACK_FOREIGN for a
// header of another magic or version, or a file too short for one;
// PACK_FAILED.
int pack_scan(const std::string& path, pack_scan_fn fn, void* ctx, pack_scan_summary* sum);
