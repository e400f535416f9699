// blob_list.h - the one generic container of the system.
//
// A growable array of owned copies of byte blocks, with a per-list element
// destructor, a built-in cursor, search by content and sorting. Every stored
// copy carries one extra zero byte, so text comes back terminated. Failures
// set errno to EINVAL where noted; allocation failure ends the process.
#pragma once

#include <cstdint>

typedef void (*blob_list_destroy_fn)(void* data, uint32_t length, int32_t index);
typedef int (*blob_list_compare_fn)(const void* a, const void* b);

struct blob_element {
    void* data;
    uint32_t length;
};

struct blob_list {
    int32_t count;
    int32_t grow_by;
    int32_t capacity;
    int32_t cursor;
    blob_element** slots;
    blob_list_destroy_fn destructor;
};

// The default destructor: frees the data block.
void blob_list_default_destroy(void* data, uint32_t length, int32_t index);

blob_list* blob_list_new(int32_t initial_capacity, int32_t grow_by, blob_list_destroy_fn destructor);
void blob_list_free(blob_list* list);
blob_list* blob_list_copy(const blob_list* source);
// @return the new count; -1 (EINVAL) for a null list or a bad index; the
// unchanged count when the list is full and cannot grow.
int32_t blob_list_insert(blob_list* list, const void* data, uint32_t length, int32_t index);
int32_t blob_list_append_all(blob_list* dest, const blob_list* source, int at_end);
int blob_list_replace(blob_list* list, const void* data, uint32_t length, int32_t index);
int32_t blob_list_remove(blob_list* list, int32_t start, int32_t n);
int32_t blob_list_remove_match(blob_list* list, const void* data, uint32_t length);
int32_t blob_list_find(const blob_list* list, const void* data, uint32_t length, int32_t start, int forward);
void* blob_list_get(const blob_list* list, int32_t index);
int64_t blob_list_get_len(const blob_list* list, int32_t index);
int32_t blob_list_count(const blob_list* list);
void* blob_list_first(blob_list* list);
void* blob_list_next(blob_list* list);
void* blob_list_prev(blob_list* list);
void* blob_list_last(blob_list* list);
int32_t blob_list_cursor(const blob_list* list);
blob_list* blob_list_set_cursor(blob_list* list, int32_t position);
void blob_list_sort(blob_list* list, blob_list_compare_fn compare);
void blob_list_set_destructor(blob_list* list, blob_list_destroy_fn destructor);
blob_list_destroy_fn blob_list_destructor(const blob_list* list);

// Appends a string (without its terminator) at the end; the new count.
int32_t blob_list_append_text(blob_list* list, const char* text);
