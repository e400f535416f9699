// ctl_text.h - times and server paths as tavni-ctl's reading verbs take
// them from a command line and print them: pure text, no system calls.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/time_text.h" // time_text_parse for --at

// A time as the job log's reader sees it (time_text_local); "-" for 0.
std::string ctl_time_text(int64_t t);
// A server path as the read requests take it: "" for the root, else
// "a/b" without leading, trailing or doubled slashes. False for "." or
// ".." parts.
bool ctl_server_path(const std::string& in, std::string* out);
