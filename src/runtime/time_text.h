// time_text.h - points in time as the programs print them for a person and
// take them from a command line: the machine's local time with its offset
// from UTC, so that a listing, a run's times and the job log agree.
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DD HH:MM:SS +hhmm" in the local zone (TZ); "?" for a time the
// C library cannot convert.
std::string time_text_local(int64_t t);

// Seconds since 1970, or "YYYY-MM-DD[ HH:MM[:SS]]" (or with a T) followed
// by an offset from UTC ("+0100", "+01:00", "-05", also after a blank: the
// form time_text_local prints) or by "Z" or nothing for UTC itself. A day
// the month does not have (31 April, 29 February of a common year) is
// refused rather than read as the next month's. -1 when malformed or out of
// range.
int64_t time_text_parse(const std::string& text);

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar (m
// 1 to 12).
int64_t time_days_from_civil(int64_t y, unsigned m, unsigned d);
