// fault_backend.h - the two parts of the fault switch that differ by system,
// defined once in posix/fault.cpp and once in win32/fault.cpp; the counting,
// the plan and the parsing are shared in fault.cpp.
#pragma once

#include "platform/platform.h"

// Makes error the last error that a failed call of op leaves behind.
void fault_backend_set_error(plat_fault_op op, int error);
// Ends the process on the spot: no exit handlers, no flushed buffers.
[[noreturn]] void fault_backend_kill();
// Stops the process (or, where that is not possible, the calling thread)
// until something outside continues it.
void fault_backend_stop();
// Writes the counts file asked for by TAVNI_FAULT_COUNTS, if any; called by
// plat_exit_process, which skips the normal exit handlers.
void fault_write_counts_at_exit();
