// registry.cpp - reading one text value of the system registry.
//
// The platform reads the value; a failure becomes errno like every other
// failure of the backup.
#include "backup/registry.h"

#include "backup/os_error.h"
#include "platform/platform.h"

#include <cerrno>

int registry_read_string(const char* key, const char* value, char* buf, size_t size) {
    if (!key || !value || !buf || size == 0) {
        errno = EINVAL;
        return -1;
    }
    if (plat_registry_read_string(key, value, buf, size) != 0) {
        errno_from_last_error();
        return -1;
    }
    return 0;
}
