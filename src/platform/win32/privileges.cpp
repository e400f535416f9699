// privileges.cpp - Windows: enabling a privilege of the process token.
//
// Success means only that AdjustTokenPrivileges succeeded: ERROR_NOT_ALL_ASSIGNED
// is not examined, so a privilege the account lacks still reads as enabled.
// The failure texts go to standard output, which a windowless process hides.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>

namespace {

struct handle_holder {
    HANDLE h = nullptr;
    ~handle_holder() {
        if (h) CloseHandle(h);
    }
};

} // namespace

int plat_enable_privilege(const char* name) {
    handle_holder token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token.h)) {
        token.h = nullptr;
        fputs("Failed OpenProcessToken\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    TOKEN_PRIVILEGES tp;
    if (!LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid)) {
        fputs("Failed LookupPrivilegeValue\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token.h, FALSE, &tp, sizeof tp, nullptr, nullptr)) {
        fputs("Failed AdjustTokenPrivileges\n", stdout);
        return ERROR_FUNCTION_FAILED;
    }
    return 0;
}
