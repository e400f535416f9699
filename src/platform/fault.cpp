// fault.cpp - the fault switch: per-operation call counters, the armed plan
// and its parser, shared by both back ends.
//
// Counters and plan are atomics so that the server's threads can count
// without a lock; a test arms the switch while nothing else runs, so a plan
// read in parts never mixes two plans. Without TAVNI_FAULT_INJECTION only
// the parser and the names remain and arming fails.
#include "platform/platform.h"

#include "platform/fault_backend.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const op_names[PLAT_FAULT_OPS] = {"list",   "status", "open", "read", "write",
                                              "rename", "sync",   "send", "recv"};

// Reads a decimal number of at most 18 digits from *p; false when none.
bool read_number(const char** p, uint64_t* out) {
    const char* s = *p;
    uint64_t v = 0;
    int digits = 0;
    while (*s >= '0' && *s <= '9') {
        if (++digits > 18) return false;
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        s++;
    }
    if (digits == 0) return false;
    *p = s;
    *out = v;
    return true;
}

#if defined(TAVNI_FAULT_INJECTION) && TAVNI_FAULT_INJECTION

std::atomic<uint64_t> g_count[PLAT_FAULT_OPS];
std::atomic<uint64_t> g_hits{0};
// PLAT_FAULT_OPS while disarmed; published last when arming.
std::atomic<int> g_op{PLAT_FAULT_OPS};
std::atomic<uint64_t> g_nth{0};
std::atomic<bool> g_persistent{false};
std::atomic<int> g_error{0};
std::atomic<int> g_action{PLAT_FAULT_FAIL};

// The counts file; a plain array, so that nothing is destroyed before the
// exit handler runs.
char g_counts_path[4096];

void counts_at_exit() {
    fault_write_counts_at_exit();
}

void publish(const plat_fault_plan* plan) {
    g_op.store(PLAT_FAULT_OPS, std::memory_order_release);
    for (auto& c : g_count)
        c.store(0, std::memory_order_relaxed);
    g_hits.store(0, std::memory_order_relaxed);
    if (!plan) return;
    g_nth.store(plan->nth, std::memory_order_relaxed);
    g_persistent.store(plan->persistent, std::memory_order_relaxed);
    g_error.store(plan->error, std::memory_order_relaxed);
    g_action.store(plan->action, std::memory_order_relaxed);
    g_op.store(plan->op, std::memory_order_release);
}

// Arms the process from its environment before main runs.
struct environment_arming {
    environment_arming() {
        const char* counts = getenv("TAVNI_FAULT_COUNTS");
        if (counts && *counts && strlen(counts) < sizeof g_counts_path) {
            memcpy(g_counts_path, counts, strlen(counts) + 1);
            atexit(counts_at_exit);
        }
        const char* text = getenv("TAVNI_FAULT");
        if (!text || !*text) return;
        plat_fault_plan plan;
        if (plat_fault_parse(text, &plan) != 0) {
            fprintf(
                stderr,
                "TAVNI_FAULT='%s' is not op:N[+]:error|kill|stop (op one of list, status, open, "
                "read, write, rename, sync, send, recv); not running\n",
                text);
            fflush(stderr);
            _Exit(2);
        }
        publish(&plan);
    }
};
environment_arming g_environment_arming;

#endif

} // namespace

int plat_fault_parse(const char* text, plat_fault_plan* out) {
    if (!text || !out) return -1;
    const char* colon = strchr(text, ':');
    if (!colon) return -1;
    size_t name_len = static_cast<size_t>(colon - text);
    int op = -1;
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        if (strlen(op_names[i]) == name_len && strncmp(op_names[i], text, name_len) == 0) op = i;
    if (op < 0) return -1;
    const char* p = colon + 1;
    plat_fault_plan plan{static_cast<plat_fault_op>(op), 0, false, 0, PLAT_FAULT_FAIL};
    if (!read_number(&p, &plan.nth) || plan.nth == 0) return -1;
    if (*p == '+') {
        plan.persistent = true;
        p++;
    }
    if (*p++ != ':') return -1;
    if (strcmp(p, "kill") == 0) {
        plan.action = PLAT_FAULT_KILL;
    } else if (strcmp(p, "stop") == 0) {
        plan.action = PLAT_FAULT_STOP;
    } else {
        uint64_t error = 0;
        if (!read_number(&p, &error) || *p != 0 || error == 0 || error > 0x7fffffff) return -1;
        plan.error = static_cast<int>(error);
    }
    *out = plan;
    return 0;
}

const char* plat_fault_op_name(plat_fault_op op) {
    return op >= 0 && op < PLAT_FAULT_OPS ? op_names[op] : "?";
}

#if defined(TAVNI_FAULT_INJECTION) && TAVNI_FAULT_INJECTION

bool plat_fault_check(plat_fault_op op) {
    if (op < 0 || op >= PLAT_FAULT_OPS) return false;
    uint64_t n = g_count[op].fetch_add(1, std::memory_order_relaxed) + 1;
    if (g_op.load(std::memory_order_acquire) != op) return false;
    uint64_t nth = g_nth.load(std::memory_order_relaxed);
    if (n != nth && !(n > nth && g_persistent.load(std::memory_order_relaxed))) return false;
    g_hits.fetch_add(1, std::memory_order_relaxed);
    const int action = g_action.load(std::memory_order_relaxed);
    if (action == PLAT_FAULT_KILL) fault_backend_kill();
    if (action == PLAT_FAULT_STOP) {
        fault_backend_stop();
        return false;
    }
    fault_backend_set_error(op, g_error.load(std::memory_order_relaxed));
    return true;
}

int plat_fault_arm(const plat_fault_plan* plan) {
    if (plan && (plan->op < 0 || plan->op >= PLAT_FAULT_OPS || plan->nth == 0 ||
                 (plan->action == PLAT_FAULT_FAIL && plan->error == 0) ||
                 (plan->action != PLAT_FAULT_FAIL && plan->action != PLAT_FAULT_KILL &&
                  plan->action != PLAT_FAULT_STOP)))
        return -1;
    publish(plan);
    return 0;
}

uint64_t plat_fault_count(plat_fault_op op) {
    return op >= 0 && op < PLAT_FAULT_OPS ? g_count[op].load(std::memory_order_relaxed) : 0;
}

void plat_fault_reset_counts() {
    for (auto& c : g_count)
        c.store(0, std::memory_order_relaxed);
    g_hits.store(0, std::memory_order_relaxed);
}

uint64_t plat_fault_hits() {
    return g_hits.load(std::memory_order_relaxed);
}

int plat_fault_write_counts(const char* path) {
    FILE* f = path ? fopen(path, "w") : nullptr;
    if (!f) return -1;
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        fprintf(f, "%s %llu\n", op_names[i],
                static_cast<unsigned long long>(g_count[i].load(std::memory_order_relaxed)));
    return fclose(f) == 0 ? 0 : -1;
}

void fault_write_counts_at_exit() {
    if (g_counts_path[0]) plat_fault_write_counts(g_counts_path);
}

#else

int plat_fault_arm(const plat_fault_plan*) {
    return -1;
}

uint64_t plat_fault_count(plat_fault_op) {
    return 0;
}

void plat_fault_reset_counts() {}

uint64_t plat_fault_hits() {
    return 0;
}

int plat_fault_write_counts(const char*) {
    return -1;
}

void fault_write_counts_at_exit() {}

#endif
