// wine.cpp - Wine's ntdll exports wine_get_version; Windows' does not.
#include "support/wine.h"

#ifdef _WIN32
#include <windows.h>

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
#else
bool under_wine() {
    return false;
}
#endif
