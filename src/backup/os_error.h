// os_error.h - the system's last error as the backup's errno.
//
// The modules of the backup report failures as -1 with errno set; a failed
// platform call leaves a system code instead, which this turns into errno.
#pragma once

// Stores the platform's last error and sets errno from it
// (plat_errno_for_error); a code without an errno leaves errno alone.
// Cannot fail.
void errno_from_last_error();
// The platform code stored by the last errno_from_last_error; 0 before any.
int last_os_error_number();
