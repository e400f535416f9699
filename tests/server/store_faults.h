// store_faults.h - faults the server's tests put into a served store from
// outside, the same way whichever back ends the store uses: publishes that
// fail for chosen blocks, and stored blocks damaged behind the store's back.
//
// A refusing block store wraps the store's own block_store_ops and passes
// everything through, except that a publish whose batch holds a refused
// digest fails as a whole (the batch consumed, nothing of it stored), as a
// publish that hits a full or broken disk does.
#pragma once

#include "tools/server/store.h"
#include "tools/server/store_config.h"

#include <mutex>
#include <set>
#include <string>

// The digests whose publish fails; shared by the tests' thread and the
// server's flusher.
struct block_refusals {
    std::mutex mu;
    std::set<blk_digest> digests;

    void refuse(const blk_digest& d) {
        std::lock_guard<std::mutex> g(mu);
        digests.insert(d);
    }
    void accept(const blk_digest& d) {
        std::lock_guard<std::mutex> g(mu);
        digests.erase(d);
    }
    bool refused(const blk_digest& d) {
        std::lock_guard<std::mutex> g(mu);
        return digests.count(d) != 0;
    }
};

// Wraps *bs (its ops must be set) so that its publishes consult refusals,
// which must outlive the wrapped store. The wrapper owns the store it wraps:
// its destroy destroys both. Cannot fail.
void block_refusals_install(block_store* bs, block_refusals* refusals);

// How a stored block is damaged.
enum block_damage {
    DAMAGE_FLIP_BYTE, // one byte flipped at offset 100: the length stays
    DAMAGE_CUT_SHORT  // the last 16 bytes cut off
};

// Damages block d where the store in dir with back ends be keeps it: its
// record in a pack (a byte of its data flipped, whatever how says), the
// block file below dir/blocks, or the object in the S3 bucket, rewritten
// through the S3 client with the damaged bytes. False with *err when the
// block is not there, is too short for the damage, or cannot be written.
bool store_damage_block(const std::string& dir, const srv_backends& be, const blk_digest& d,
                        block_damage how, std::string* err);
