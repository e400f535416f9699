// wine.h - whether the Windows build of the tests runs under Wine, for the
// few checks of Windows behaviour that Wine does not reproduce.
#pragma once

// False on Linux and on a real Windows machine.
bool under_wine();
