// mem.cpp - allocation helpers that end the process on exhaustion.
#include "common/mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

[[noreturn]] static void exhausted() {
    fputs("virtual memory exhausted\n", stderr);
    fflush(stderr);
    exit(1);
}

void* mem_alloc(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) exhausted();
    return p;
}

void* mem_zalloc(size_t size) {
    void* p = mem_alloc(size);
    memset(p, 0, size);
    return p;
}

void* mem_realloc(void* block, size_t size) {
    void* p = realloc(block, size ? size : 1);
    if (!p) exhausted();
    return p;
}

void* mem_calloc(size_t count, size_t size) {
    void* p = calloc(count ? count : 1, size ? size : 1);
    if (!p) exhausted();
    return p;
}

void mem_install_new_handler() { std::set_new_handler([] { exhausted(); }); }
