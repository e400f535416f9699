// ctl_decode_pool.h - worker threads that check and decode stored blocks
// (SHA-256 of the stored bytes, decryption, inflation, MD5) while the
// restore's own thread fetches the next blocks from the server and writes
// the decoded ones in order.
//
// Results come back in the order the blocks were handed in. Memory is the
// caller's to bound: each block in flight holds its stored and its plain
// bytes, so the caller keeps at most decode_pool_depth() of them in flight.
// A pool of no worker threads decodes each block on the thread that takes
// it.
#pragma once

#include "protocol/read_wire.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum {
    DECODE_POOL_MAX_WORKERS = 16,
    DECODE_OK = 0,
    DECODE_STORED_BAD = 100, // the stored bytes are not the ones their name promises
    // 1..4: the block_decode_result that failed
};

struct decode_job {
    uint32_t index = 0;  // the block's index in its file
    read_block_ref ref;
    uint32_t plain_size = 0; // what the block must inflate to
    std::vector<uint8_t> stored;
    // Set by the pool:
    int result = DECODE_OK;
    std::vector<uint8_t> plain;
};

struct decode_pool;

// The number of worker threads for this machine: the processors this
// process may use, at most DECODE_POOL_MAX_WORKERS, or none on a machine
// with one processor (a thread there would only take turns with the caller).
uint32_t decode_pool_default_workers();
// A pool of workers threads (0: none) decoding under the 32-byte key
// (copied). Null only when out of memory; a thread that does not start
// leaves fewer.
decode_pool* decode_pool_new(uint32_t workers, const uint8_t* key);
// Stops the workers (each ends after its block) and frees everything,
// wiping the key. Accepts null.
void decode_pool_free(decode_pool* pool);
// How many blocks the caller should keep in flight: two per worker thread,
// one without.
size_t decode_pool_depth(const decode_pool* pool);
// Hands a block in.
void decode_pool_submit(decode_pool* pool, std::unique_ptr<decode_job> job);
// The oldest block handed in, once decoded; null when none is in flight.
std::unique_ptr<decode_job> decode_pool_take(decode_pool* pool);
// Checks and decodes one block on the calling thread (what a worker does).
void decode_pool_run(const uint8_t* key, decode_job* job);
// The words of a job's result.
std::string decode_result_text(int result);
