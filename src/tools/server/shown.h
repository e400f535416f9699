// shown.h - times and sizes as the administration commands print them: a
// time in the machine's local zone with its offset from UTC, a size in
// binary units for a person at a terminal and in bytes for a script.
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DD HH:MM:SS +hhmm" in the local zone (TZ); "?" for a time the
// C library cannot convert.
std::string srv_time_text(int64_t t);
// A size: "1.5 MiB" when units, else the exact number of bytes.
std::string srv_size_text(uint64_t bytes, bool units);
// Whether this process shows sizes in units: when its standard output is a
// terminal. Asked once.
bool srv_sizes_in_units();

// A point in time as the commands take it: seconds since 1970, or
// "YYYY-MM-DD[ HH:MM[:SS]]" (or with a T) followed by an offset from UTC
// ("+0100", "+01:00", "-05", also after a blank: the form srv_time_text
// prints) or by "Z" or nothing for UTC itself. -1 when malformed or out of
// range.
int64_t srv_parse_time(const std::string& text);
