// wine.h - whether the Windows build of the tests runs under Wine, for the
// few checks of Windows behaviour that Wine does not reproduce.
#pragma once

// False on Linux and on a real Windows machine.
bool under_wine();

// Wine's minidump writer cannot dump a 32-bit program that Wine runs in its
// WoW64 mode: the dump starts the debug helper on the process, which looks
// for Wine's loader information in the 32-bit process block, finds none
// there (the 64-bit loader keeps it in the 64-bit block) and fails with
// ERROR_INVALID_PARAMETER. The same call in the x86-64 build writes its dump.
// True when this process is such a program and a dump failed with that code.
bool wine_wow64_cannot_dump(int error);
extern const char k_wine_wow64_dump_reason[];
