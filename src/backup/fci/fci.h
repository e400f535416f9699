// fci.h - the file change index: which files and folders were safely stored
// by the previous run, with their modification time and size.
//
// The index file ("<schedule without extension>.fci", renamed to ".fci.ro"
// while a run uses it) holds a header and 32-byte records sorted by the SHA-1
// of the path. A run looks paths up through the in-memory lead record of each
// 4096-byte page and a FIFO cache of at most FCI_CACHE_BYTES of pages, and
// writes every path it stores
// into 256 sort files under "$FCISORT$" (below the current directory), which
// fci_finish sorts and joins into the next index. Paths are never stored.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

enum {
    FCI_VERSION = 1,
    FCI_HEADER_SIZE = 8,
    FCI_RECORD_SIZE = 32,
    FCI_DIGEST_SIZE = 20,
    FCI_PAGE_SIZE = 4096,
    FCI_PAGE_RECORDS = FCI_PAGE_SIZE / FCI_RECORD_SIZE,
    // The page cache holds the whole index of about 250,000 entries; a larger
    // index reads its other pages again from the file (the system's cache),
    // which keeps the agent's memory flat however large the selection is.
    FCI_CACHE_BYTES = 6 * 1024 * 1024,
    FCI_CACHE_PAGES = FCI_CACHE_BYTES / FCI_PAGE_SIZE,
    FCI_SORT_FILES = 256,
    FCI_SORT_BUFFER = 4096,
    FCI_OUT_BUFFER = 16384,
    FCI_PATH_SIZE = 4112,
    FCI_ERROR_SIZE = 512,
    FCI_HOUR = 3600,
};

// One record, decoded. On disk (little-endian): digest at 0, mtime at 20,
// size low at 24, size high at 28.
struct fci_record {
    uint8_t digest[FCI_DIGEST_SIZE];
    int32_t mtime;     // seconds since 1970; 0 for folders
    uint32_t size_low; // 0 for folders
    uint32_t size_high;
};

void fci_record_encode(const fci_record* rec, uint8_t* out); // 32 bytes
void fci_record_decode(const uint8_t* in, fci_record* rec);

struct fci_page {
    uint32_t page_id;
    uint32_t count; // records held
    uint8_t data[FCI_PAGE_SIZE];
};

struct fci_sort_file {
    plat_file file; // PLAT_NO_FILE until first use
    uint32_t used;
    uint8_t* buffer; // FCI_SORT_BUFFER bytes while open
};

struct fci {
    plat_file ro; // the open ".fci.ro", or PLAT_NO_FILE
    uint32_t version;
    int32_t stamp; // from the header; 0 when invalid
    uint32_t page_count;
    int64_t area_size;    // bytes of records
    uint8_t* leads;       // page_count records of 32 bytes
    void* sha;            // SHA-1 context
    void* sha_md;         // the SHA-1 method, fetched once
    uint64_t* lead_heads; // the first eight digest bytes of each lead, big-endian
    fci_page** slots;     // per page: its copy in the cache, or null
    fci_page** ring;      // pages in load order
    uint32_t cache_limit; // FCI_CACHE_PAGES; tests may lower it after fci_open
    uint32_t cache_count;
    uint32_t ring_head;  // oldest page
    uint64_t page_reads; // pages read from disk (measurement only)
    uint64_t digests;    // paths digested (measurement only)
    fci_sort_file sort[FCI_SORT_FILES];
    char path[FCI_PATH_SIZE];    // the ".fci" file
    char ro_path[FCI_PATH_SIZE]; // the same with ".ro"
    // The path digested last and its digest: a run looks a path up and then
    // adds it, and the second call reuses the first one's digest.
    char last_path[FCI_PATH_SIZE];
    uint32_t last_length; // 0: none held
    uint8_t last_digest[FCI_DIGEST_SIZE];
    bool invalid;
    bool finished;
    bool disowned;                   // the ".ro" on disk no longer vouches for anything
    char last_error[FCI_ERROR_SIZE]; // "FCI invalid: ..." / "FCI error: ..." or empty
};

// Prepares the sort folder and opens the previous index for schedule_path.
// @return 0 when the index is valid for this run (its stamp equals
// expected_stamp), -1 when not (reason in last_error; lookups then miss).
// Adding works either way. A leftover ".ro" from an unfinished run is used.
// f is overwritten: it must be new, finished or released.
int fci_open(fci* f, const char* schedule_path, int32_t expected_stamp);

// The previous index stops vouching for the server's contents: called before
// the run first changes what the server holds (a delete, a new version), so
// that a run killed after that point leaves a ".ro" the next run does not
// trust (its stamp on disk is cleared; where that cannot be written the file
// is removed, and where neither works this run stops using it). Lookups of
// this run go on answering from the open file. Once per run; 0, or -1 when
// the ".ro" may still vouch (then it is no longer used by this run either).
int fci_disown(fci* f);

// Sets *found when a record for path has this size and this time, or this
// time plus or minus one hour. 0, or -1 when a page could not be read (the
// index is then invalid for the rest of the run).
int fci_lookup(fci* f, const char* path, int32_t mtime, int64_t size, bool* found);

// Appends the record of path to its sort file. 0, or -1 when the sort file
// cannot be opened (reason in last_error).
int fci_add(fci* f, const char* path, int32_t mtime, int64_t size);

// Once per run: with a non-zero new_stamp writes the next index from the sort
// files and removes the ".ro"; with 0 (or when the index cannot be created)
// only removes the sort files, and the ".ro" stays for the next run. Frees
// all memory of the object. Write failures remove the incomplete index.
void fci_finish(fci* f, int32_t new_stamp);

// After fci_finish: the index it wrote stops vouching (its stamp is cleared
// on disk, or the file removed), for a run whose end the server did not
// confirm. 0 (also when no index was written), or -1 when the file may
// still vouch (reason in last_error).
int fci_withdraw(fci* f);

// Frees the memory and closes the files of a run that ends without
// fci_finish; the ".ro" and the sort files stay on disk. Safe after finish.
void fci_release(fci* f);

// Pages held by the cache now.
uint32_t fci_cache_pages(const fci* f);

// The ".fci" path of a schedule file: cut at the last period of its name.
// false when it does not fit.
bool fci_path_for(const char* schedule_path, char* out, size_t out_size);
