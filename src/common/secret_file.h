// secret_file.h - reading a secret (an account key, a key digest) from a file
// or from standard input, so that it never stands on a command line, where
// every user of the machine can read it in the process list.
#pragma once

#include <cstddef>
#include <string>

// Reads the text of path ("-": standard input) into *out, without one
// trailing line end ("\n" or "\r\n"). False with *err when it cannot be read
// or holds more than max bytes besides that line end; *out is then empty.
bool secret_file_read(const std::string& path, size_t max, std::string* out, std::string* err);

// Overwrites the text's bytes and empties it.
void secret_wipe(std::string* s);
