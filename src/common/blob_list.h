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

// The default destructor: free()s the data block (every stored copy comes
// from mem_alloc). A list's destructor is called once for each element the
// list lets go of (remove, replace, free) with the element's data, length and
// index at that moment; the element record itself is freed by the list.
void blob_list_default_destroy(void* data, uint32_t length, int32_t index);

// A new empty list the caller frees with blob_list_free. Room for
// initial_capacity elements (none when 0 or less), growing by grow_by (a
// negative value counts as 0: the list never grows past its room). A null
// destructor means blob_list_default_destroy. Never null.
blob_list* blob_list_new(int32_t initial_capacity, int32_t grow_by,
                         blob_list_destroy_fn destructor);
// Calls the destructor on every element, then frees the list; null is allowed.
void blob_list_free(blob_list* list);
// A new list (caller frees with blob_list_free) holding copies of source's
// elements, with its growth step and destructor; its cursor stands before the
// first element. Null for a null source. Elements are copied byte for byte:
// for elements that own further memory (a destructor other than the
// default) both lists would free it, so such lists are never copied.
blob_list* blob_list_copy(const blob_list* source);
// Stores a copy of length bytes of data before position index (index ==
// count appends); data stays the caller's. The new count; -1 (EINVAL) for a
// null list, null data or a bad index; the unchanged count when the list is
// full and cannot grow.
int32_t blob_list_insert(blob_list* list, const void* data, uint32_t length, int32_t index);
// Copies every element of source to the end of dest (at_end != 0) or to its
// front, growing dest as needed whatever its growth step. The new count
// (unchanged for a null or empty source); -1 (EINVAL) for a null dest.
// Byte copies, as blob_list_copy.
int32_t blob_list_append_all(blob_list* dest, const blob_list* source, int at_end);
// Destroys element index and stores a copy of data in its place. 0; -1
// (EINVAL) for a null list, null data or a bad index, the list unchanged.
int blob_list_replace(blob_list* list, const void* data, uint32_t length, int32_t index);
// Destroys the n elements from start on and closes the gap; the new count.
// -1 for a null or empty list, and (EINVAL) when n < 1 or the range leaves
// the list, which is then unchanged. The cursor is not adjusted.
int32_t blob_list_remove(blob_list* list, int32_t start, int32_t n);
// Removes the first element equal to data (same length and bytes); the new
// count, or -1 when none matches (errno 0) or on bad arguments.
int32_t blob_list_remove_match(blob_list* list, const void* data, uint32_t length);
// Index of the first element equal to data, searching from start towards the
// end (forward != 0) or the front. -1 when none matches and for a null or
// empty list (errno then 0), or (EINVAL) for a bad start. data may be null only
// when length is 0.
int32_t blob_list_find(const blob_list* list, const void* data, uint32_t length, int32_t start,
                       int forward);
// The element's stored data (terminated by the extra zero byte), owned by
// the list and valid until the element is removed, replaced or the list
// freed. Null (EINVAL) for a null list or a bad index.
void* blob_list_get(const blob_list* list, int32_t index);
// The element's length without the extra zero byte; -1 (EINVAL) as above.
int64_t blob_list_get_len(const blob_list* list, int32_t index);
// The number of elements; -1 for a null list.
int32_t blob_list_count(const blob_list* list);
// The cursor walk. Each returns the data at the new cursor position (owned by
// the list, as blob_list_get), or null when the cursor leaves the elements:
// next stops one past the end, prev one before the front (position -1), and
// a further step from there fails with EINVAL and leaves the cursor put.
// first and last answer null, cursor untouched, for a null or empty list.
void* blob_list_first(blob_list* list);
void* blob_list_next(blob_list* list);
void* blob_list_prev(blob_list* list);
void* blob_list_last(blob_list* list);
// The cursor position; -1 for a null list (also a real position: before the
// first element).
int32_t blob_list_cursor(const blob_list* list);
// Sets the cursor unchecked (the next step checks it); returns list.
blob_list* blob_list_set_cursor(blob_list* list, int32_t position);
// Sorts the elements by compare, called with two elements' data. Nothing for
// a null or empty list or a null compare. Not stable, but the order of equal
// elements is always the same for the same input.
void blob_list_sort(blob_list* list, blob_list_compare_fn compare);
// Replaces the destructor for elements let go from now on (null: the
// default); nothing for a null list.
void blob_list_set_destructor(blob_list* list, blob_list_destroy_fn destructor);
// The list's destructor; null for a null list.
blob_list_destroy_fn blob_list_destructor(const blob_list* list);

// Appends a copy of a string (without its terminator) at the end; the new
// count, or as blob_list_insert. text must not be null.
int32_t blob_list_append_text(blob_list* list, const char* text);
