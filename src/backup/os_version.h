// os_version.h - which system the agent runs on, in the codes it reports.
//
// The platform family and version code travel to the server and pick the
// built-in exclusions; the system drive roots the default selections.
#pragma once

#include <cstdint>

// 1: the Windows 95 family; 2: every other system (NT family, Linux). Cached.
int platform_family();
// 1 Windows 98, 2 Me, 3 other 4.x, 4 2000, 5 XP, 6 other 5.x, 0 otherwise.
int os_version_code();
int os_version_code_for(uint32_t major, uint32_t minor);
// First three characters of the Windows folder ("C:\"); "/" on Linux. Cached;
// "C:\" when the Windows folder cannot be read. Cannot fail.
const char* system_drive_root();
