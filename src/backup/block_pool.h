// block_pool.h - worker threads that turn the blocks of the file being sent,
// and of the next files the walk names, into their MD5 digests and their
// compressed, encrypted payloads while the backup thread talks to the server.
//
// The backup thread keeps the whole exchange: it takes the work of each block
// in the order it sends the blocks and replays the stream chain's output piece
// by piece, exactly as it would have produced it itself (zlib at fixed
// settings and AES-CBC from a zero vector are deterministic), so the requests,
// the bytes on the wire, the log and the progress calls stay the same. Workers
// only read the local file (positional reads) and compute. A block whose work
// was not planned is done inline, as on a machine with one core.
#pragma once

#include "platform/platform.h"

#include <cstdint>

enum {
    // The cap bounds a 32-bit process's memory whatever the machine: each
    // worker holds at most about three blocks of at most BLOCK_POOL_BLOCK_MAX
    // bytes (below) besides its thread's stack, so eight of them stay far
    // below the 2 GiB of address space such a process has.
    BLOCK_POOL_MAX_WORKERS = 8,
    // Bytes of blocks in flight (queued, being worked on, or done and not yet
    // sent) per worker: two whole blocks, which bounds the pool's memory. The
    // small blocks of small files add up to the same bound, up to this many
    // per worker, so that a worker done with them does not wait for the one
    // working on a large block.
    BLOCK_POOL_BYTES_PER_WORKER = 2 * 1048576,
    BLOCK_POOL_TASKS_PER_WORKER = 16,
    // Larger blocks (the server's choice for files of more than 128 GiB) are
    // done inline, which streams them: each block in flight is held whole,
    // so this bounds the pool's memory at about 3 blocks per worker.
    BLOCK_POOL_BLOCK_MAX = 2 * 1048576,
    // Files named ahead of the one being sent, at most.
    BLOCK_POOL_AHEAD_FILES = 64,
    // What a worker records when the setup of a stage of the chain failed.
    BLOCK_SETUP_OK = 0,
    BLOCK_SETUP_READ = 1,
    BLOCK_SETUP_COMPRESS = 2,
    BLOCK_SETUP_ENCRYPT = 3,
};

// One result of the chain's read of a piece: result >= 0 bytes at
// payload + offset, or the chain's STREAM_END / STREAM_ERROR / STREAM_FATAL,
// which is the last piece. read_after: the block's bytes the chain had read
// from the file once it gave this piece (what the progress area shows).
struct block_piece {
    uint32_t offset;
    int32_t result;
    uint64_t read_after;
};

// The work of one block, as a worker left it for the backup thread.
struct block_work {
    uint32_t block;
    int setup_failed; // BLOCK_SETUP_*
    // The block's MD5 as a read of it piece by piece gives it (of the bytes
    // up to an early end of the file); md5_error is the errno of a read that
    // failed, in which case there is no MD5. Only for files of more than one
    // block.
    int md5_error;
    uint8_t md5[16];
    const uint8_t* payload;
    const block_piece* pieces;
    uint32_t piece_count;
};

struct block_pool;

// The number of workers for this machine: the processors this process may
// use, at most BLOCK_POOL_MAX_WORKERS. 1 means no pool. Builds with the fault
// switch (TAVNI_FAULT_INJECTION) also take TAVNI_BACKUP_WORKERS (1 to
// BLOCK_POOL_MAX_WORKERS) from the environment, for the tests.
uint32_t block_pool_default_workers();

// Starts workers threads (2 or more) that encrypt with the 32-byte key
// (copied). Null for fewer than 2 workers or when no thread could start.
block_pool* block_pool_new(uint32_t workers, const uint8_t* key);
// Stops the workers (each ends after the block it is working on), closes the
// files it opened and frees everything. Accepts null.
void block_pool_free(block_pool* pool);
// Ends the workers of every pool at once without waiting for them: for the
// watchdog, after it gave up on the backup thread that owned them.
void block_pool_abandon_all();

// ---- files named ahead (the backup thread) ----

// True when the pool has room for another file named ahead: every block of
// the files it holds is in flight and fewer than BLOCK_POOL_AHEAD_FILES wait.
bool block_pool_wants_file(block_pool* pool);
// Names the file at path, of size bytes, as one the backup thread will send
// after those named before it: opens it for reading and has its blocks worked
// on ahead, cut as the last file sent was. Anything that fails is left to the
// inline path.
void block_pool_name_file(block_pool* pool, const char* path, uint64_t size);

// ---- the file being sent (the backup thread) ----

// The descriptor of path when it was named ahead with this size: the pool
// keeps owning it (block_pool_end closes it). Files named before it are given
// up. PLAT_NO_FILE when it was not named (every file named is given up then).
plat_file block_pool_claim(block_pool* pool, const char* path, uint64_t size);
// The layout the server gave for the file being sent through fd (claimed, or
// opened by the caller and only borrowed): its blocks are worked on in order.
// Called again after a retry: the work starts again from block 0. false when
// the pool does not take this file (every block is then done inline).
bool block_pool_begin(block_pool* pool, const char* path, plat_file fd, uint64_t size,
                      uint32_t block_size, uint32_t blocks);
// The work of block of the file begun, once done; valid until the next take
// or end. Null when the pool holds no work for it (the caller does it inline).
const block_work* block_pool_take(block_pool* pool, uint32_t block);
// The file begun is done with: work still planned for it is given up, the
// workers stop reading it (the call waits for them), and a claimed
// descriptor is closed. Safe when nothing was begun.
void block_pool_end(block_pool* pool);
