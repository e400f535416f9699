// ctl_decode_pool.cpp - the restore's block decoders (see ctl_decode_pool.h).
#include "tools/ctl/ctl_decode_pool.h"

#include "keys/block_codec.h"
#include "platform/platform.h"

#include <openssl/crypto.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

struct decode_pool {
    uint8_t key[32];
    std::mutex mu;
    std::condition_variable work_ready, done_ready;
    std::deque<decode_job*> queued;               // waiting for a worker
    std::deque<std::unique_ptr<decode_job>> order; // everything in flight, oldest first
    std::deque<decode_job*> finished;              // done by a worker
    bool stopping = false;
    std::vector<plat_thread*> threads;
};

namespace {

bool is_finished(decode_pool* p, decode_job* j) {
    for (decode_job* f : p->finished)
        if (f == j) return true;
    return false;
}

int worker(void* arg) {
    decode_pool* p = static_cast<decode_pool*>(arg);
    std::unique_lock<std::mutex> lock(p->mu);
    for (;;) {
        p->work_ready.wait(lock, [p] { return p->stopping || !p->queued.empty(); });
        if (p->stopping) return 0;
        decode_job* j = p->queued.front();
        p->queued.pop_front();
        lock.unlock();
        decode_pool_run(p->key, j);
        lock.lock();
        p->finished.push_back(j);
        p->done_ready.notify_all();
    }
}

} // namespace

uint32_t decode_pool_default_workers() {
    uint32_t n = plat_cpu_count();
    if (n <= 1) return 0;
    const uint32_t most = DECODE_POOL_MAX_WORKERS;
    return n > most ? most : n;
}

decode_pool* decode_pool_new(uint32_t workers, const uint8_t* key) {
    decode_pool* p = new decode_pool;
    memcpy(p->key, key, sizeof p->key);
    if (workers > DECODE_POOL_MAX_WORKERS) workers = DECODE_POOL_MAX_WORKERS;
    for (uint32_t i = 0; i < workers; i++) {
        plat_thread* t = plat_thread_start(worker, p);
        if (t) p->threads.push_back(t);
    }
    return p;
}

void decode_pool_free(decode_pool* p) {
    if (!p) return;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        p->stopping = true;
    }
    p->work_ready.notify_all();
    for (plat_thread* t : p->threads) {
        while (plat_thread_wait(t, 600000) == PLAT_WAIT_TIMEOUT) {
        }
        plat_thread_close(t);
    }
    OPENSSL_cleanse(p->key, sizeof p->key);
    delete p;
}

size_t decode_pool_depth(const decode_pool* p) {
    return p->threads.empty() ? 1 : 2 * p->threads.size();
}

void decode_pool_submit(decode_pool* p, std::unique_ptr<decode_job> job) {
    std::lock_guard<std::mutex> lock(p->mu);
    if (!p->threads.empty()) {
        p->queued.push_back(job.get());
        p->work_ready.notify_one();
    }
    p->order.push_back(std::move(job));
}

std::unique_ptr<decode_job> decode_pool_take(decode_pool* p) {
    std::unique_lock<std::mutex> lock(p->mu);
    if (p->order.empty()) return nullptr;
    decode_job* want = p->order.front().get();
    if (p->threads.empty()) {
        lock.unlock();
        decode_pool_run(p->key, want);
        lock.lock();
    } else {
        p->done_ready.wait(lock, [p, want] { return is_finished(p, want); });
        for (auto it = p->finished.begin(); it != p->finished.end(); ++it)
            if (*it == want) {
                p->finished.erase(it);
                break;
            }
    }
    std::unique_ptr<decode_job> out = std::move(p->order.front());
    p->order.pop_front();
    return out;
}

void decode_pool_run(const uint8_t* key, decode_job* j) {
    if (!block_stored_ok(j->stored.data(), j->stored.size(), j->ref.digest) ||
        j->stored.size() != j->ref.stored) {
        j->result = DECODE_STORED_BAD;
        return;
    }
    std::vector<uint8_t> scratch;
    j->result = block_decode(key, j->stored.data(), j->stored.size(), j->plain_size,
                             j->ref.has_md5 ? j->ref.md5 : nullptr, &scratch, &j->plain);
    // The stored bytes are not needed past this point: memory goes back early.
    std::vector<uint8_t>().swap(j->stored);
}

std::string decode_result_text(int result) {
    if (result == DECODE_STORED_BAD)
        return "damaged (the stored bytes are not the ones their digest names)";
    return block_decode_text(static_cast<block_decode_result>(result));
}
