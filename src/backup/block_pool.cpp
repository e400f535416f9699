// block_pool.cpp - the workers, the blocks in flight and the files named ahead.
//
// Tasks (one block each) stand in a queue in sending order: the blocks of the
// file being sent first, then those of the files named ahead. Tasks that
// exist at any time, whether queued, being worked on, done or being sent,
// hold at most BLOCK_POOL_BYTES_PER_WORKER bytes of blocks per worker (a
// larger block alone when nothing else is in flight); a task given up while
// a worker holds it is recycled by that worker. Spare tasks keep a large
// payload buffer only for as many as two per worker. A file's descriptor lives until its
// last task is recycled.
#include "backup/block_pool.h"

#include "backup/os_error.h"
#include "backup/streams.h"
#include "common/owner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum { PIECE = 65466 }; // the largest data write (BACKUP_WRITE_PIECE)

struct pool_file {
    std::string path;
    plat_file fd = PLAT_NO_FILE;
    bool owned = false; // opened by the pool, which closes it
    uint64_t size = 0;
    uint32_t block_size = 0;
    uint32_t blocks = 0;
    uint32_t queued = 0;   // blocks made into tasks so far
    bool begun = false;    // the backup thread has its layout from the server
    bool given_up = false; // no longer in the list; freed with its last task
    uint32_t tasks = 0;    // tasks not yet recycled
};

enum task_state { TASK_QUEUED, TASK_RUNNING, TASK_DONE };

struct pool_task {
    pool_file* file = nullptr;
    uint32_t block = 0;
    uint32_t length = 0;
    bool want_md5 = false;
    task_state state = TASK_QUEUED;
    bool given_up = false; // recycled by the worker that holds it
    std::vector<uint8_t> payload;
    std::vector<block_piece> pieces;
    block_work work{};
};

struct worker {
    block_pool* pool = nullptr;
    plat_thread* thread = nullptr;
    std::vector<uint8_t> input;
    owner<EVP_MD_CTX, EVP_MD_CTX_free> md;
};

std::mutex g_registry_lock;
std::vector<block_pool*> g_registry;

} // namespace

struct block_pool {
    std::mutex lock;
    std::condition_variable ready; // a task was queued, or the pool stops
    std::condition_variable done;  // a task was done or recycled
    std::deque<pool_task*> tasks;  // queued, running and done, in sending order
    std::vector<pool_task*> spare;
    uint32_t in_flight = 0; // task records in use, the one being sent included
    uint32_t task_limit = 0;
    uint64_t in_flight_bytes = 0; // of their blocks
    uint64_t byte_limit = 0;
    uint32_t large_spares = 0;    // spare tasks that keep a large payload buffer
    std::deque<pool_file*> files; // the file being sent (first) and those named ahead
    pool_file* current = nullptr;
    pool_task* taken = nullptr; // the block being sent
    uint32_t block_size_seen = 0;
    bool stopping = false;
    uint8_t key[32] = {};
    std::vector<worker*> workers;
};

namespace {

// Removes the first copy of item from list, if any.
template <class List, class Item> void erase_one(List& list, Item* item) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == item) {
            list.erase(it);
            return;
        }
    }
}

uint32_t block_length(const pool_file* f, uint32_t block) {
    const uint64_t offset = static_cast<uint64_t>(block) * f->block_size;
    if (offset >= f->size) return 0;
    const uint64_t left = f->size - offset;
    return left < f->block_size ? static_cast<uint32_t>(left) : f->block_size;
}

void free_file(pool_file* f) {
    if (f->owned && f->fd != PLAT_NO_FILE) plat_file_close(f->fd);
    delete f;
}

// ---- under the lock ----

enum { LARGE_PAYLOAD = 262144 };

void recycle(block_pool* p, pool_task* t) {
    pool_file* f = t->file;
    t->file = nullptr;
    if (t->payload.capacity() > LARGE_PAYLOAD) {
        if (p->large_spares < 2 * p->workers.size())
            p->large_spares++;
        else
            std::vector<uint8_t>().swap(t->payload);
    }
    p->spare.push_back(t);
    p->in_flight--;
    p->in_flight_bytes -= t->length;
    if (f && --f->tasks == 0 && f->given_up) free_file(f);
    p->done.notify_all();
}

// Takes t out of the queue's care: recycled now, or by its worker.
void give_up_task(block_pool* p, pool_task* t) {
    if (t->state == TASK_RUNNING)
        t->given_up = true;
    else
        recycle(p, t);
}

// Gives up every task of f still in the queue.
void give_up_tasks_of(block_pool* p, pool_file* f) {
    for (auto it = p->tasks.begin(); it != p->tasks.end();) {
        if ((*it)->file == f) {
            give_up_task(p, *it);
            it = p->tasks.erase(it);
        } else {
            ++it;
        }
    }
}

void give_up_file(block_pool* p, pool_file* f) {
    give_up_tasks_of(p, f);
    if (p->current == f) p->current = nullptr;
    if (f->tasks == 0)
        free_file(f);
    else
        f->given_up = true;
}

// Gives up every file named ahead (all but the one being sent).
void give_up_named(block_pool* p) {
    std::deque<pool_file*> keep;
    for (pool_file* f : p->files) {
        if (f == p->current)
            keep.push_back(f);
        else
            give_up_file(p, f);
    }
    p->files.swap(keep);
}

void recycle_taken(block_pool* p) {
    if (p->taken) recycle(p, p->taken);
    p->taken = nullptr;
}

// Queues the next blocks, in file order, while there is room.
void fill(block_pool* p) {
    for (pool_file* f : p->files) {
        while (f->queued < f->blocks && p->in_flight < p->task_limit) {
            const uint32_t length = block_length(f, f->queued);
            if (p->in_flight > 0 && p->in_flight_bytes + length > p->byte_limit) return;
            pool_task* t;
            if (p->spare.empty()) {
                t = new pool_task;
            } else {
                t = p->spare.back();
                p->spare.pop_back();
                if (t->payload.capacity() > LARGE_PAYLOAD) p->large_spares--;
            }
            t->file = f;
            t->block = f->queued++;
            t->length = length;
            p->in_flight_bytes += length;
            t->want_md5 = f->blocks > 1;
            t->state = TASK_QUEUED;
            t->given_up = false;
            f->tasks++;
            p->in_flight++;
            p->tasks.push_back(t);
            p->ready.notify_one();
        }
        if (p->in_flight >= p->task_limit) return;
    }
}

// Waits until no worker holds a task of f any more.
void wait_for_workers(block_pool* p, std::unique_lock<std::mutex>& hold, pool_file* f) {
    p->done.wait(hold, [f] { return f->tasks == 0; });
}

// The file being sent is done with: its work is given up, the workers stop
// reading it, and a descriptor the pool opened is closed.
void end_current(block_pool* p, std::unique_lock<std::mutex>& hold) {
    recycle_taken(p);
    pool_file* f = p->current;
    if (!f) return;
    give_up_tasks_of(p, f);
    wait_for_workers(p, hold, f);
    erase_one(p->files, f);
    p->current = nullptr;
    free_file(f);
    fill(p);
}

// ---- the work of one block (no lock) ----

void work_block(worker* w, pool_task* t, plat_file fd, uint64_t offset, const uint8_t* key) {
    if (w->input.size() < t->length) w->input.resize(t->length);
    uint8_t* in = w->input.data();
    uint32_t got = 0;
    int error = 0;
    while (got < t->length) {
        const int32_t n =
            plat_file_read_at(fd, static_cast<int64_t>(offset + got), in + got, t->length - got);
        if (n < 0) {
            errno_from_last_error();
            error = errno != 0 ? errno : static_cast<int>(EIO);
            break;
        }
        if (n == 0) break; // the file ended early: the chain reports it
        got += static_cast<uint32_t>(n);
    }

    block_work& work = t->work;
    work = block_work{};
    work.block = t->block;
    if (t->want_md5) {
        if (error) {
            work.md5_error = error;
        } else {
            if (!w->md) w->md.reset(EVP_MD_CTX_new());
            unsigned int length = 0;
            if (!w->md || EVP_DigestInit_ex(w->md.get(), EVP_md5(), nullptr) != 1 ||
                EVP_DigestUpdate(w->md.get(), in, got) != 1 ||
                EVP_DigestFinal_ex(w->md.get(), work.md5, &length) != 1)
                work.md5_error = EIO;
        }
    }

    t->pieces.clear();
    uint64_t counter = 0;
    data_stream* chain = memory_read_stream_new(in, got, t->length, error, &counter);
    chain = compress_stream_new(chain);
    if (!chain) work.setup_failed = BLOCK_SETUP_COMPRESS;
    if (chain) {
        chain = encrypt_stream_new(chain, key);
        if (!chain) work.setup_failed = BLOCK_SETUP_ENCRYPT;
    }
    uint32_t used = 0;
    if (chain) {
        // Room for incompressible data with zlib's and the cipher's overhead.
        const size_t room = t->length + t->length / 64 + 2 * PIECE;
        if (t->payload.capacity() < room) t->payload.reserve(room);
        for (;;) {
            if (t->payload.size() < used + PIECE) t->payload.resize(used + PIECE);
            const int32_t n = chain->read(chain, t->payload.data() + used, PIECE);
            t->pieces.push_back(block_piece{used, n, counter});
            if (n < 0) break;
            used += static_cast<uint32_t>(n);
            if (n == 0) break;
        }
        data_stream_free(chain);
    }
    work.payload = t->payload.data();
    work.pieces = t->pieces.data();
    work.piece_count = static_cast<uint32_t>(t->pieces.size());
}

int worker_main(void* arg) {
    worker* w = static_cast<worker*>(arg);
    block_pool* p = w->pool;
    // The backup thread and the server wait on each other for every
    // request: a worker that held their processor would stretch each of
    // those waits, so workers run only when those two do not.
    plat_thread_lower_priority();
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        pool_task* t = nullptr;
        p->ready.wait(hold, [p, &t] {
            if (p->stopping) return true;
            for (pool_task* q : p->tasks) {
                if (q->state == TASK_QUEUED) {
                    t = q;
                    return true;
                }
            }
            return false;
        });
        if (p->stopping) return 0;
        t->state = TASK_RUNNING;
        const plat_file fd = t->file->fd;
        const uint64_t offset = static_cast<uint64_t>(t->block) * t->file->block_size;
        hold.unlock();
        work_block(w, t, fd, offset, p->key);
        hold.lock();
        t->state = TASK_DONE;
        if (t->given_up)
            recycle(p, t);
        else
            p->done.notify_all();
    }
}

// Stops the workers; true when every one has ended (and its record is
// freed). A read that hangs for ten minutes leaves its worker behind, still
// holding the pool, rather than the job.
bool stop_workers(block_pool* p) {
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stopping = true;
    }
    p->ready.notify_all();
    bool all_ended = true;
    for (worker*& w : p->workers) {
        const bool ended = plat_thread_wait(w->thread, 600000) == PLAT_WAIT_ENDED;
        plat_thread_close(w->thread);
        w->thread = nullptr;
        if (ended) {
            delete w;
            w = nullptr;
        } else {
            all_ended = false;
        }
    }
    return all_ended;
}

} // namespace

uint32_t block_pool_default_workers() {
#if defined(TAVNI_FAULT_INJECTION) && TAVNI_FAULT_INJECTION
    // Builds with the fault switch only, like TAVNI_FAULT: the tests put the
    // same tree through any number of workers. What is shipped is configured
    // by nothing in its environment.
    char value[32];
    if (plat_host_env("TAVNI_BACKUP_WORKERS", value, sizeof value) == 0 && value[0]) {
        char* end = nullptr;
        const unsigned long n = strtoul(value, &end, 10);
        if (end && *end == 0 && n >= 1 && n <= BLOCK_POOL_MAX_WORKERS)
            return static_cast<uint32_t>(n);
    }
#endif
    const uint32_t cores = plat_cpu_count();
    const uint32_t most = BLOCK_POOL_MAX_WORKERS;
    return cores < most ? cores : most;
}

block_pool* block_pool_new(uint32_t workers, const uint8_t* key) {
    if (workers < 2 || !key) return nullptr;
    if (workers > BLOCK_POOL_MAX_WORKERS) workers = BLOCK_POOL_MAX_WORKERS;
    block_pool* p = new block_pool;
    memcpy(p->key, key, sizeof p->key);
    p->task_limit = workers * BLOCK_POOL_TASKS_PER_WORKER;
    p->byte_limit = uint64_t{workers} * BLOCK_POOL_BYTES_PER_WORKER;
    for (uint32_t i = 0; i < workers; i++) {
        worker* w = new worker;
        w->pool = p;
        w->thread = plat_thread_start(worker_main, w);
        if (!w->thread) {
            delete w;
            break;
        }
        p->workers.push_back(w);
    }
    if (p->workers.size() < 2) {
        block_pool_free(p);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(g_registry_lock);
    g_registry.push_back(p);
    return p;
}

void block_pool_free(block_pool* p) {
    if (!p) return;
    {
        std::lock_guard<std::mutex> hold(g_registry_lock);
        erase_one(g_registry, p);
    }
    if (!stop_workers(p)) return; // a worker still holds it
    recycle_taken(p);
    while (!p->files.empty()) {
        give_up_file(p, p->files.front());
        p->files.pop_front();
    }
    for (pool_task* t : p->tasks)
        recycle(p, t);
    p->tasks.clear();
    for (pool_task* t : p->spare)
        delete t;
    OPENSSL_cleanse(p->key, sizeof p->key);
    delete p;
}

void block_pool_abandon_all() {
    // The backup thread was given up, possibly while it held this lock.
    std::unique_lock<std::mutex> hold(g_registry_lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    for (block_pool* p : g_registry)
        for (worker* w : p->workers)
            if (w && w->thread) plat_thread_terminate(w->thread, 1);
    g_registry.clear();
}

bool block_pool_wants_file(block_pool* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    if (q->block_size_seen == 0 || q->in_flight >= q->task_limit ||
        q->in_flight_bytes >= q->byte_limit)
        return false;
    if (q->files.size() > BLOCK_POOL_AHEAD_FILES) return false;
    for (const pool_file* f : q->files)
        if (f->queued < f->blocks) return false;
    return true;
}

void block_pool_name_file(block_pool* p, const char* path, uint64_t size) {
    uint32_t block_size;
    {
        std::lock_guard<std::mutex> hold(p->lock);
        block_size = p->block_size_seen;
    }
    if (block_size == 0) return;
    const uint64_t blocks = (size + block_size - 1) / block_size;
    if (blocks > 0xffffu) return; // more than the protocol's block count
    const plat_file fd = plat_file_open_read(path);
    if (fd == PLAT_NO_FILE) return; // the backup thread meets the failure itself
    pool_file* f = new pool_file;
    f->path = path;
    f->fd = fd;
    f->owned = true;
    f->size = size;
    f->block_size = block_size;
    f->blocks = static_cast<uint32_t>(blocks);
    std::lock_guard<std::mutex> hold(p->lock);
    p->files.push_back(f);
    fill(p);
}

plat_file block_pool_claim(block_pool* p, const char* path, uint64_t size) {
    std::unique_lock<std::mutex> hold(p->lock);
    end_current(p, hold);
    while (!p->files.empty()) {
        pool_file* f = p->files.front();
        if (f != p->current && !f->begun && f->path == path && f->size == size) {
            p->current = f;
            return f->fd;
        }
        give_up_file(p, f);
        p->files.pop_front();
    }
    return PLAT_NO_FILE;
}

bool block_pool_begin(block_pool* p, const char* path, plat_file fd, uint64_t size,
                      uint32_t block_size, uint32_t blocks) {
    std::unique_lock<std::mutex> hold(p->lock);
    recycle_taken(p);
    pool_file* f = p->current;
    if (f && (f->fd != fd || f->path != path)) {
        // Not the file claimed: that one ends here.
        end_current(p, hold);
        f = nullptr;
    }
    const bool usable = block_size > 0 && block_size <= BLOCK_POOL_BLOCK_MAX;
    // A file without blocks has no work, whatever block size its layout
    // names (a server may give an empty file none).
    const bool same_layout = blocks == 0 || (usable && f && f->block_size == block_size);
    if (f && !f->begun && same_layout && f->size == size && f->blocks == blocks) {
        // Named ahead with the layout the server gave: its work stands.
        f->begun = true;
        fill(p);
        return true;
    }
    if (usable) p->block_size_seen = block_size;
    if (f) {
        // A retry, or a layout other than the one guessed: the work starts
        // again, and the files named after it are given up so that the
        // queue keeps its order.
        give_up_named(p);
        give_up_tasks_of(p, f);
        wait_for_workers(p, hold, f);
    } else {
        give_up_named(p); // every file named: none is this one
        f = new pool_file;
        f->path = path;
        f->fd = fd;
        f->owned = false;
        p->files.push_front(f);
        p->current = f;
    }
    f->begun = true;
    f->size = size;
    f->block_size = block_size;
    f->blocks = usable ? blocks : 0;
    f->queued = 0;
    fill(p);
    return usable;
}

const block_work* block_pool_take(block_pool* p, uint32_t block) {
    std::unique_lock<std::mutex> hold(p->lock);
    recycle_taken(p);
    pool_file* f = p->current;
    if (!f || !f->begun || block >= f->blocks) return nullptr;
    for (;;) {
        fill(p);
        for (auto it = p->tasks.begin(); it != p->tasks.end(); ++it) {
            pool_task* t = *it;
            if (t->file != f || t->block != block) continue;
            p->done.wait(hold, [t] { return t->state == TASK_DONE; });
            erase_one(p->tasks, t); // the queue may have changed while waiting
            p->taken = t;
            fill(p);
            return &t->work;
        }
        if (f->queued > block) {
            // Its task is gone (blocks taken out of order): the caller reads
            // it itself, so no worker may go on reading the file.
            give_up_tasks_of(p, f);
            f->blocks = 0;
            wait_for_workers(p, hold, f);
            return nullptr;
        }
        // Not yet queued: the room a given-up task frees comes soon.
        p->done.wait(hold);
    }
}

void block_pool_end(block_pool* p) {
    std::unique_lock<std::mutex> hold(p->lock);
    end_current(p, hold);
}
