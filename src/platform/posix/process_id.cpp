// process_id.cpp - Linux: the process id.
//
// Weak so that the process module's own definition wins when both are linked.
#include "platform/platform.h"

#include <unistd.h>

__attribute__((weak)) int plat_process_id() {
    return static_cast<int>(getpid());
}
