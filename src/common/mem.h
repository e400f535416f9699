// mem.h - allocation helpers that never return null.
//
// On exhaustion they write "virtual memory exhausted\n" to standard error and
// end the process with status 1; no caller checks their result. A block of
// size 0 is still a real block. Every block is the caller's, released with
// free() (mem_realloc takes over the old block, as realloc does).
#pragma once

#include <cstddef>

void* mem_alloc(size_t size);
void* mem_zalloc(size_t size);
void* mem_realloc(void* block, size_t size);
void* mem_calloc(size_t count, size_t size);
// Installs the same exhaustion behaviour for operator new.
void mem_install_new_handler();
