// thread_internal.h - Linux: what the crash dump needs from the thread module.
#pragma once

#include "platform/platform.h"

// Sends sig to a thread that is still running; false when it has ended.
bool plat_thread_signal(plat_thread* t, int sig);
