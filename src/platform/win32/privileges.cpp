// privileges.cpp - Windows: enabling a privilege of the process token.
//
// Success means only that AdjustTokenPrivileges succeeded: ERROR_NOT_ALL_ASSIGNED
// is not examined, so a privilege the account lacks still reads as enabled.
// The failure texts go to standard output, which a windowless process hides.
#include "platform/platform.h"
#include "platform/win32/handle.h"

#include <windows.h>

#include <cstdio>

int plat_enable_privilege(const char* name) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) {
        fputs("Failed OpenProcessToken\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    win32::kernel_handle token(opened);
    TOKEN_PRIVILEGES tp;
    if (!LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid)) {
        fputs("Failed LookupPrivilegeValue\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof tp, nullptr, nullptr)) {
        fputs("Failed AdjustTokenPrivileges\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    return 0;
}
