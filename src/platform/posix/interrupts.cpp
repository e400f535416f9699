// interrupts.cpp - Linux: SIGINT and SIGTERM taken by one thread of their
// own (sigwait) and counted, instead of ending the process. Every other
// thread keeps the two signals blocked, so no select, sleep or read of
// theirs ever returns early with EINTR because of them.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <signal.h>

namespace {

std::atomic<uint32_t> g_interrupts{0};
std::atomic<bool> g_catching{false};

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* take_interrupts(void*) {
    const sigset_t set = interrupt_set();
    for (;;) {
        int signal_number = 0;
        if (sigwait(&set, &signal_number) == 0) g_interrupts++;
    }
    return nullptr;
}

} // namespace

int plat_interrupts_catch() {
    if (g_catching.exchange(true)) return 0;
    const sigset_t set = interrupt_set();
    int e = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t taker;
    if (e == 0) e = pthread_create(&taker, nullptr, take_interrupts, nullptr);
    if (e == 0) e = pthread_detach(taker);
    if (e != 0) {
        g_catching = false;
        errno = e;
        return -1;
    }
    return 0;
}

uint32_t plat_interrupt_count() {
    return g_interrupts.load();
}
