// privileges.cpp - Linux: the backup privileges.
//
// Linux has no per-privilege token; a process that runs as root can read and
// restore everything, so a privilege counts as enabled exactly then.
#include "platform/platform.h"

#include <unistd.h>

int plat_enable_privilege(const char* name) {
    if (!name || !*name) return 1627;
    return geteuid() == 0 ? 0 : 1627;
}
