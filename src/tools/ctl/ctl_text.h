// ctl_text.h - times and server paths as tavni-ctl's reading verbs take
// them from a command line and print them: pure text, no system calls.
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DD HH:MM:SS UTC"; "-" for 0.
std::string ctl_time_text(int64_t t);
// Seconds since 1970, or "YYYY-MM-DD[ HH:MM[:SS]]" (or with a T, or a
// trailing Z) in UTC. -1 when malformed.
int64_t ctl_parse_time(const std::string& text);
// A server path as the read requests take it: "" for the root, else
// "a/b" without leading, trailing or doubled slashes. False for "." or
// ".." parts.
bool ctl_server_path(const std::string& in, std::string* out);
