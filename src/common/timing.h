// timing.h - every wait of the system, in one record.
//
// The defaults are the system's own figures. Nothing but tests changes them,
// through timing_set_for_tests(), so that a retry ladder runs in milliseconds.
#pragma once

#include <cstdint>

struct timing {
    uint32_t watchdog_slice_ms;  // one-hour watchdog wait
    uint32_t command_slice_ms;   // one-second command waits
    uint32_t command_hour_ms;    // one hour of command time-out ("cmdtimeout=")
    uint32_t recv_wait_ms;       // five-second receive waits
    uint32_t recv_wait_count;    // six of them in a row give up
    uint32_t reconnect_pause_ms; // 30 seconds before a reconnection
    uint32_t user_lock_sleep_ms; // 5 seconds between user-lock attempts
    uint32_t lock_recovery_ms;   // 60 seconds in the lock recovery
    uint32_t job_wait_scale_ms;  // one second of the job wait
    // However the bytes trickle in: the key exchange (from the connect to the
    // handshake answer) and the answer to each request must be complete
    // within these; the five-second waits and their count run inside them.
    uint32_t exchange_deadline_ms; // 30 seconds for the key exchange
    uint32_t answer_deadline_ms;   // 60 seconds for one answer
    uint32_t stop_poll_ms;         // a wait asks for the user's stop this often (1 second)
    // Rounds of the server list tried again (each after the reconnection
    // pause) while every server closes the connection before its key.
    uint32_t closed_early_rounds; // 4
};

// The process's record, valid for the life of the process. Not guarded:
// it may be replaced only while no other thread reads it.
const timing& timing_get();
// Test only: replaces the record.
void timing_set_for_tests(const timing& t);
// The system's own figures, whatever the record holds now.
timing timing_defaults();
