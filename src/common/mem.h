// mem.h - allocation helpers that never return null.
//
// On exhaustion they write "virtual memory exhausted\n" to standard error and
// end the process with status 1; no caller checks their result.
#pragma once

#include <cstddef>

void* mem_alloc(size_t size);
void* mem_zalloc(size_t size);
void* mem_realloc(void* block, size_t size);
void* mem_calloc(size_t count, size_t size);
// Installs the same exhaustion behaviour for operator new.
void mem_install_new_handler();
