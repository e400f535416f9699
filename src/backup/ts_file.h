// ts_file.h - the schedule digest file "<schedule>.ts" and the file MD5.
//
// The digest file holds "md5=" and the 16-byte MD5 of the schedule file as
// it was at the end of the last job (20 bytes, no line end). The job driver
// compares it with the schedule before trusting the change index, and
// rewrites it after the transfer. On Linux it is readable by its owner only.
#pragma once

#include <cstddef>
#include <string>

enum { TS_FILE_SIZE = 20, TS_READ_MAX = 1024 };

// MD5 of a whole file read in binary, 4096 bytes at a time. 0 with out set,
// or -1 (cannot be opened or read) with out untouched.
int file_md5(const char* path, unsigned char out[16]);

// "<schedule path>.ts".
std::string ts_file_path(const char* schedule_path);

enum ts_check_result {
    TS_NONE,      // no digest file, or it does not begin with "md5=": nothing to compare
    TS_SAME,      // the schedule is unchanged since the digest was written
    TS_DIFFERENT, // changed, or not provably unchanged (short digest, unreadable schedule)
};

// Compares the digest file of schedule_path (at most TS_READ_MAX bytes read)
// with the schedule's MD5. A file that begins with "md5=" but is shorter
// than 20 bytes counts as different: it cannot prove the schedule unchanged.
ts_check_result ts_file_check(const char* schedule_path);

// Writes the digest file for schedule_path: created or truncated, owner-only
// on Linux. 0, or -1 when the schedule cannot be read (nothing is written,
// so no digest of the wrong content is left) or the file cannot be written.
int ts_file_write(const char* schedule_path);
