// thread.cpp - Linux: threads with a timed wait.
//
// A pthread cannot be waited for with a time-out portably, so the thread body
// reports its end through a condition variable and the wait joins it once it
// has ended. A thread also cannot be killed safely: plat_thread_terminate only
// marks it ended with the given code, and the caller ends the process.
#include "platform/platform.h"
#include "platform/posix/thread_internal.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

struct plat_thread {
    pthread_t tid;
    plat_thread_fn fn;
    void* arg;
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;      // the body returned
    bool terminated = false; // plat_thread_terminate gave it up
    bool joined = false;
    bool end_seen = false; // a wait has answered "ended"
    int code = 0;
    int refs = 2; // the owner's handle and the running body
};

static void release(plat_thread* t) {
    bool last;
    {
        std::lock_guard<std::mutex> hold(t->lock);
        last = --t->refs == 0;
    }
    if (last) delete t;
}

static void* thread_main(void* p) {
    plat_thread* t = static_cast<plat_thread*>(p);
    int code = t->fn(t->arg);
    {
        std::lock_guard<std::mutex> hold(t->lock);
        t->ended = true;
        // A thread given up by the watchdog keeps the code it was given up
        // with: the dump's signal may have cut its wait short, and its own
        // result no longer counts.
        if (!t->terminated) t->code = code;
    }
    t->changed.notify_all();
    release(t);
    return nullptr;
}

plat_thread* plat_thread_start(plat_thread_fn fn, void* arg) {
    plat_thread* t = new plat_thread;
    t->fn = fn;
    t->arg = arg;
    int rc = pthread_create(&t->tid, nullptr, thread_main, t);
    if (rc != 0) {
        delete t;
        errno = rc;
        return nullptr;
    }
    return t;
}

plat_wait_result plat_thread_wait(plat_thread* t, uint32_t ms) {
    if (!t) {
        errno = EINVAL;
        return PLAT_WAIT_FAILED;
    }
    std::unique_lock<std::mutex> hold(t->lock);
    bool done = t->changed.wait_for(hold, std::chrono::milliseconds(ms),
                                    [t] { return t->ended || t->terminated; });
    if (!done) return PLAT_WAIT_TIMEOUT;
    t->end_seen = true;
    if (t->ended && !t->terminated && !t->joined) {
        // The body has returned; the join only collects the finished thread.
        t->joined = true;
        hold.unlock();
        pthread_join(t->tid, nullptr);
    }
    return PLAT_WAIT_ENDED;
}

int plat_thread_exit_code(plat_thread* t, int* code) {
    if (!t || !code) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> hold(t->lock);
    if (!t->ended && !t->terminated) {
        errno = EBUSY; // still running: there is no exit code yet
        return -1;
    }
    *code = t->code;
    return 0;
}

int plat_thread_terminate(plat_thread* t, int code) {
    if (!t) {
        errno = EINVAL;
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(t->lock);
        // Also a body that returned after the last wait found it running
        // (the dump's signal may have cut its wait short): the watchdog's
        // decision stands, as on Windows, where a terminated thread's code
        // is the one given here. An end a wait has reported keeps its code.
        if (!t->terminated && !t->end_seen) {
            t->terminated = true;
            t->code = code;
        }
    }
    t->changed.notify_all();
    return 0;
}

bool plat_thread_needs_process_exit() {
    return true;
}

void plat_thread_close(plat_thread* t) {
    if (!t) return;
    bool join = false, detach = false;
    {
        std::lock_guard<std::mutex> hold(t->lock);
        if (!t->joined) {
            // An ended body is collected; a running (given up) one is left
            // to finish on its own or to die with the process.
            if (t->ended)
                join = true;
            else
                detach = true;
            t->joined = true;
        }
    }
    if (join) pthread_join(t->tid, nullptr);
    if (detach) pthread_detach(t->tid);
    release(t);
}

bool plat_thread_signal(plat_thread* t, int sig) {
    std::lock_guard<std::mutex> hold(t->lock);
    if (t->ended || t->joined) return false;
    return pthread_kill(t->tid, sig) == 0;
}

uint32_t plat_cpu_count() {
    // The processors this process may use, which a container or taskset may
    // hold below the machine's count.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<uint32_t>(n);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<uint32_t>(online) : 1;
}

int plat_thread_lower_priority() {
    // On Linux a thread is a task of its own: its nice value applies to it
    // alone. Raising it needs no privilege.
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (now == -1 && errno != 0) return -1;
    return setpriority(PRIO_PROCESS, self, now + 10 > 19 ? 19 : now + 10);
}
