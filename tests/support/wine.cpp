// wine.cpp - Wine's ntdll exports wine_get_version; Windows' does not.
#include "support/wine.h"

#ifdef _WIN32
#include <windows.h>

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool wine_wow64_cannot_dump(int error) {
    BOOL wow64 = FALSE;
    return error == ERROR_INVALID_PARAMETER && under_wine() &&
           IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}
#else
bool under_wine() {
    return false;
}

bool wine_wow64_cannot_dump(int) {
    return false;
}
#endif

const char k_wine_wow64_dump_reason[] =
    "Wine's minidump writer fails for a 32-bit program in WoW64 mode "
    "(ERROR_INVALID_PARAMETER: no loader information in the 32-bit process block); "
    "the x86-64 build writes this dump";
