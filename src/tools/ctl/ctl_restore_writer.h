// ctl_restore_writer.h - one stored file version made whole on this machine:
// its blocks fetched, checked against their digests, decrypted, inflated and
// checked against their MD5s (ctl_decode_pool.h), written below a held
// folder (platform/server.h: no link followed) to NAME.tavni-part, checked
// against the stored size, given the stored access and time, and only then
// moved to NAME. All-zero blocks become holes. A file already there and
// whole (size, time and every block's content) is left alone, which is what
// lets a restore that was cut off start again; another file there is
// replaced only when asked.
//
// The same block path checks a version without writing it (verify).
#pragma once

#include "tools/ctl/ctl_decode_pool.h"

#include "platform/server.h"
#include "protocol/read_wire.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where stored blocks come from: the server, or a test's table.
struct restore_source {
    void* ctx;
    // The whole stored block of ref into *out; false with *why.
    bool (*fetch)(void* ctx, const read_block_ref& ref, std::vector<uint8_t>* out,
                  std::string* why);
};

// One fault of a version: block index (-1: the version as a whole) and why.
struct restore_fault {
    int64_t block;
    std::string why;
};

// "block N (digest 0123456789ab...): WHY", or WHY for the whole version.
std::string restore_fault_text(const read_blocks_page& v, const restore_fault& f);

// Fetches and decodes every block of v in order (at most
// decode_pool_depth() in flight), handing each whole block's plain bytes to
// put (may be null: check only). Stops at the first fault when
// stop_at_first, else collects every fault. put returning false stops with
// a fault of its own (*write_failed set). True when no fault was found.
bool restore_decode_version(const read_blocks_page& v, const restore_source& src,
                            decode_pool* pool, bool stop_at_first,
                            const std::function<bool(const decode_job&)>& put,
                            std::vector<restore_fault>* faults);

struct restore_file_opts {
    bool overwrite = false;
    bool dry_run = false;
    bool same_owner = false; // keep set-id bits for a file restored to its stored owner
};

enum restore_outcome {
    RESTORE_WRITTEN = 0,
    RESTORE_WHOLE = 1,  // already there and whole: left alone
    RESTORE_FAILED = 2, // *why says what; nothing was left under the file's name
    RESTORE_DRY = 3     // dry run: would be written
};

// Called after each block written, with its plain bytes (progress).
typedef std::function<void(uint64_t bytes)> restore_tick;

// Restores v as name inside dir. *why gets the message of a failure (or the
// note of a dropped set-id bit after RESTORE_WRITTEN).
restore_outcome restore_write_file(plat_restore_dir* dir, const std::string& name,
                                   const read_blocks_page& v, const restore_source& src,
                                   decode_pool* pool, const restore_file_opts& o,
                                   const restore_tick& tick, std::string* why);

// True when the file at name inside dir is v already: same size and time,
// and every block's bytes those of v (by the stored MD5, or for a block
// without one, by its decoded bytes).
bool restore_file_is_whole(plat_restore_dir* dir, const std::string& name,
                           const read_blocks_page& v, const restore_source& src,
                           decode_pool* pool);
