// registry.h - reading one text value of the system registry.
//
// Linux has no registry; there every read fails as a missing value would.
#pragma once

#include <cstddef>

// 0 when the REG_SZ value exists (text terminated within buf), else -1 with
// errno set (EINVAL for a missing argument or size 0). Linux: always -1
// (ENOENT).
int registry_read_string(const char* key, const char* value, char* buf, size_t size);
