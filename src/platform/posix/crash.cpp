// crash.cpp - Linux: fault handler and text crash dumps.
//
// There is no dump writer on Linux, so a dump is a text file: the signal and
// fault address when there was a fault, the backtrace of the faulting thread
// (or, for a hung thread, its own backtrace taken by a signal sent to it), and
// the memory map. Everything here runs inside a signal handler on an
// alternate stack, so it uses only async-signal-safe calls (open, fstat,
// ftruncate, fchmod, write, read) and backtrace.
#include "platform/platform.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/thread_internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct fault_record {
    int sig;
    siginfo_t* info;
    void* context;
};

const int fault_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
const int backtrace_signal = SIGUSR2;
const int max_frames = 64;
// How long the watchdog waits for a hung thread to write its backtrace; the
// thread may have the signal blocked, so the wait is bounded.
const int backtrace_wait_ms = 2000;

plat_crash_fn g_crash_fn = nullptr;
std::atomic<int> g_backtrace_fd{-1};
std::atomic<bool> g_backtrace_done{false};

void put(int fd, const char* text) {
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void put_hex(int fd, uintptr_t value) {
    char buf[2 + 2 * sizeof value + 1];
    char* p = buf + sizeof buf;
    *--p = 0;
    do {
        *--p = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    *--p = 'x';
    *--p = '0';
    put(fd, p);
}

void put_dec(int fd, long value) {
    char buf[24];
    char* p = buf + sizeof buf;
    *--p = 0;
    bool neg = value < 0;
    unsigned long v =
        neg ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    if (neg) *--p = '-';
    put(fd, p);
}

void put_backtrace(int fd) {
    void* frames[max_frames];
    int n = backtrace(frames, max_frames);
    backtrace_symbols_fd(frames, n, fd);
}

void put_memory_map(int fd) {
    put(fd, "\nMemory map:\n");
    int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = read(maps, buf, sizeof buf)) > 0) {
        ssize_t off = 0;
        while (off < n) {
            ssize_t w = write(fd, buf + off, static_cast<size_t>(n - off));
            if (w <= 0) break;
            off += w;
        }
    }
    close(maps);
}

// Runs on the hung thread: writes its backtrace into the dump being made.
void backtrace_handler(int) {
    int saved = errno;
    int fd = g_backtrace_fd.load();
    if (fd >= 0) {
        put(fd, "Backtrace of the hung thread:\n");
        put_backtrace(fd);
    }
    g_backtrace_done.store(true);
    errno = saved;
}

void fault_handler(int sig, siginfo_t* info, void* context) {
    fault_record record{sig, info, context};
    if (g_crash_fn) g_crash_fn(&record);
    // Let the system end the process as it would have without us.
    signal(sig, SIG_DFL);
    raise(sig);
}

// One alternate stack per thread, kept for the thread's life, so that a stack
// overflow can still be reported; released when the thread ends.
struct alt_stack {
    char* memory = nullptr;
    ~alt_stack() {
        if (!memory) return;
        stack_t ss;
        memset(&ss, 0, sizeof ss);
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        delete[] memory;
    }
};
thread_local alt_stack t_alt_stack;

void install_alt_stack() {
    if (t_alt_stack.memory) return;
    const size_t size = 64 * 1024;
    t_alt_stack.memory = new char[size];
    stack_t ss;
    memset(&ss, 0, sizeof ss);
    ss.ss_sp = t_alt_stack.memory;
    ss.ss_size = size;
    sigaltstack(&ss, nullptr);
}

} // namespace

void plat_install_crash_handler(plat_crash_fn fn) {
    g_crash_fn = fn;
    // backtrace() loads its unwinder on first use, which may allocate: do it
    // here rather than inside a handler.
    void* warm[2];
    backtrace(warm, 2);
    install_alt_stack();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = fault_handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : fault_signals)
        sigaction(sig, &sa, nullptr);
}

int plat_write_dump(const char* path, void* fault_info, plat_thread* hung_thread) {
    // The memory map and backtraces tell where the keys lie: owner only, and
    // never written through a link planted beside the executable.
    int fd = open_guarded(path, GUARD_EMPTY | GUARD_OWNER_ONLY, 0600);
    if (fd < 0) return -1;
    put(fd, "Crash dump of process ");
    put_dec(fd, getpid());
    put(fd, "\n");
    if (fault_info) {
        const fault_record* f = static_cast<const fault_record*>(fault_info);
        put(fd, "Signal: ");
        put_dec(fd, f->sig);
        const char* name = sigabbrev_np(f->sig);
        if (name) {
            put(fd, " (SIG");
            put(fd, name);
            put(fd, ")");
        }
        put(fd, "\nFault address: ");
        put_hex(fd, f->info ? reinterpret_cast<uintptr_t>(f->info->si_addr) : 0);
        put(fd, "\nBacktrace of the faulting thread:\n");
        put_backtrace(fd);
    } else if (hung_thread) {
        // The handler's backtrace() must not be the first in the process:
        // that one loads the unwinder and allocates, which is not safe in a
        // signal handler. The crash handler warms it up too, but a dump may
        // be asked for before (or without) it.
        void* warm[2];
        backtrace(warm, 2);
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = backtrace_handler;
        sa.sa_flags = SA_ONSTACK | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(backtrace_signal, &sa, nullptr);
        g_backtrace_done.store(false);
        g_backtrace_fd.store(fd);
        const bool asked = plat_thread_signal(hung_thread, backtrace_signal);
        for (int waited = 0; asked && !g_backtrace_done.load() && waited < backtrace_wait_ms;
             waited += 10)
            plat_sleep_ms(10);
        g_backtrace_fd.store(-1);
        if (!g_backtrace_done.load()) {
            put(fd, "The hung thread did not answer for its backtrace.\n");
            if (asked) {
                // A late handler may still hold the descriptor: finish the
                // dump but leave it open rather than let a reused number be
                // written to.
                put_memory_map(fd);
                return 0;
            }
        }
    } else {
        put(fd, "Backtrace of the dumping thread:\n");
        put_backtrace(fd);
    }
    put_memory_map(fd);
    close(fd);
    return 0;
}

void plat_crash_now() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}
