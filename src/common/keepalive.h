// keepalive.h - the backup thread's progress counter, read by the watchdog.
#pragma once

#include <cstdint>

// A process-wide counter, safe from any thread; none of the calls fail. The
// value wraps at 32 bits, so only a change means progress, never its size.
void keepalive_bump();
uint32_t keepalive_value();
void keepalive_reset();
