// keepalive.cpp - a 32-bit counter bumped by the backup thread whenever it
// makes progress; the watchdog only asks whether it changed within a slice.
#include "common/keepalive.h"

#include <atomic>

static std::atomic<uint32_t> g_keepalive{0};

void keepalive_bump() {
    g_keepalive.fetch_add(1, std::memory_order_relaxed);
}
uint32_t keepalive_value() {
    return g_keepalive.load(std::memory_order_relaxed);
}
void keepalive_reset() {
    g_keepalive.store(0, std::memory_order_relaxed);
}
