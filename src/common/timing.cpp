// timing.cpp - the waits of the system and their defaults.
#include "common/timing.h"

timing timing_defaults() {
    timing t;
    t.watchdog_slice_ms = 3600000;
    t.command_slice_ms = 1000;
    t.command_hour_ms = 3600000;
    t.recv_wait_ms = 5000;
    t.recv_wait_count = 6;
    t.reconnect_pause_ms = 30000;
    t.user_lock_sleep_ms = 5000;
    t.lock_recovery_ms = 60000;
    t.job_wait_scale_ms = 1000;
    t.exchange_deadline_ms = 30000;
    t.answer_deadline_ms = 60000;
    t.stop_poll_ms = 1000;
    t.closed_early_rounds = 4;
    return t;
}

static timing g_timing = timing_defaults();

const timing& timing_get() { return g_timing; }

void timing_set_for_tests(const timing& t) { g_timing = t; }
