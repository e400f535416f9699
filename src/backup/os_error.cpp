// os_error.cpp - the system's last error as the backup's errno.
//
// The stored code lets a caller report the system's own number and text
// after errno has been set from it.
#include "backup/os_error.h"

#include "platform/platform.h"

#include <cerrno>

namespace {

int os_error_number = 0; // the platform code behind the last translation

} // namespace

void errno_from_last_error() {
    int code = plat_last_error();
    os_error_number = code;
    int e = plat_errno_for_error(code);
    if (e >= 0) errno = e;
}

int last_os_error_number() {
    return os_error_number;
}
