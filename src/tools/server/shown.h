// shown.h - times and sizes as the administration commands print them: a
// time in the machine's local zone with its offset from UTC, a size in
// binary units for a person at a terminal and in bytes for a script.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/time_text.h" // the times they print and take

// A size: "1.5 MiB" when units, else the exact number of bytes.
std::string srv_size_text(uint64_t bytes, bool units);
// Whether this process shows sizes in units: when its standard output is a
// terminal. Asked once.
bool srv_sizes_in_units();
