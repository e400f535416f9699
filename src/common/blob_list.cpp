// blob_list.cpp - growable array of owned byte-block copies.
//
// The sort is a fixed method (median-of-three quicksort with an explicit
// stack, then an insertion pass with a sentinel) because the order in which
// equal elements end up is part of the container's behaviour.
#include "common/blob_list.h"

#include "common/mem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

void blob_list_default_destroy(void* data, uint32_t, int32_t) { free(data); }

static blob_element* element_new(const void* data, uint32_t length) {
    blob_element* e = static_cast<blob_element*>(mem_alloc(sizeof(blob_element)));
    e->data = mem_alloc(static_cast<size_t>(length) + 1);
    if (data && length) memcpy(e->data, data, length);
    static_cast<char*>(e->data)[length] = 0;
    e->length = length;
    return e;
}

static bool valid_index(const blob_list* list, int32_t index) {
    if (index < 0 || index >= list->count) {
        errno = EINVAL;
        return false;
    }
    return true;
}

static void grow_to(blob_list* list, int32_t capacity) {
    list->slots = static_cast<blob_element**>(
        mem_realloc(list->slots, sizeof(blob_element*) * static_cast<size_t>(capacity)));
    list->capacity = capacity;
}

blob_list* blob_list_new(int32_t initial_capacity, int32_t grow_by, blob_list_destroy_fn destructor) {
    blob_list* list = static_cast<blob_list*>(mem_zalloc(sizeof(blob_list)));
    list->grow_by = grow_by < 0 ? 0 : grow_by;
    list->destructor = destructor ? destructor : blob_list_default_destroy;
    list->cursor = 0;
    if (initial_capacity > 0) grow_to(list, initial_capacity);
    return list;
}

void blob_list_free(blob_list* list) {
    if (!list) return;
    for (int32_t i = 0; i < list->count; i++) {
        list->destructor(list->slots[i]->data, list->slots[i]->length, i);
        free(list->slots[i]);
    }
    free(list->slots);
    free(list);
}

blob_list* blob_list_copy(const blob_list* source) {
    if (!source) return nullptr;
    blob_list* list = static_cast<blob_list*>(mem_zalloc(sizeof(blob_list)));
    list->grow_by = source->grow_by;
    list->destructor = source->destructor;
    list->cursor = -1;
    blob_list_append_all(list, source, 1);
    return list;
}

int32_t blob_list_insert(blob_list* list, const void* data, uint32_t length, int32_t index) {
    if (!list || index < 0 || index > list->count) {
        errno = EINVAL;
        return -1;
    }
    if (!data) { // never store an element without data
        errno = EINVAL;
        return -1;
    }
    if (list->count == list->capacity) {
        if (list->grow_by == 0) return list->count;
        grow_to(list, list->capacity + list->grow_by);
    }
    if (index < list->count)
        memmove(&list->slots[index + 1], &list->slots[index],
                sizeof(blob_element*) * static_cast<size_t>(list->count - index));
    list->slots[index] = element_new(data, length);
    return ++list->count;
}

int32_t blob_list_append_all(blob_list* dest, const blob_list* source, int at_end) {
    if (!dest) {
        errno = EINVAL;
        return -1;
    }
    if (!source || source->count == 0) return dest->count;
    const int32_t n = source->count;
    if (dest->capacity - dest->count < n) grow_to(dest, dest->capacity + n);
    int32_t at = dest->count;
    if (!at_end) {
        memmove(&dest->slots[n], &dest->slots[0], sizeof(blob_element*) * static_cast<size_t>(dest->count));
        at = 0;
    }
    for (int32_t i = 0; i < n; i++)
        dest->slots[at + i] = element_new(source->slots[i]->data, source->slots[i]->length);
    dest->count += n;
    return dest->count;
}

int blob_list_replace(blob_list* list, const void* data, uint32_t length, int32_t index) {
    if (!list || !data) {
        errno = EINVAL;
        return -1;
    }
    if (!valid_index(list, index)) return -1;
    blob_element* e = list->slots[index];
    list->destructor(e->data, e->length, index);
    e->data = mem_alloc(static_cast<size_t>(length) + 1);
    if (length) memcpy(e->data, data, length);
    static_cast<char*>(e->data)[length] = 0;
    e->length = length;
    return 0;
}

int32_t blob_list_remove(blob_list* list, int32_t start, int32_t n) {
    if (!list || list->count == 0) return -1;
    if (n < 1 || !valid_index(list, start) || !valid_index(list, start + n - 1)) {
        errno = EINVAL;
        return -1;
    }
    for (int32_t i = start; i < start + n; i++) {
        list->destructor(list->slots[i]->data, list->slots[i]->length, i);
        free(list->slots[i]);
    }
    memmove(&list->slots[start], &list->slots[start + n],
            sizeof(blob_element*) * static_cast<size_t>(list->count - start - n));
    list->count -= n;
    return list->count;
}

int32_t blob_list_find(const blob_list* list, const void* data, uint32_t length, int32_t start, int forward) {
    errno = 0;
    if (!list || list->count == 0) return -1;
    if (!valid_index(list, start)) return -1;
    for (int32_t i = start; i >= 0 && i < list->count; i += forward ? 1 : -1) {
        const blob_element* e = list->slots[i];
        if (e->length == length && (length == 0 || memcmp(e->data, data, length) == 0)) return i;
    }
    return -1;
}

int32_t blob_list_remove_match(blob_list* list, const void* data, uint32_t length) {
    int32_t i = blob_list_find(list, data, length, 0, 1);
    if (i < 0) return -1;
    return blob_list_remove(list, i, 1);
}

void* blob_list_get(const blob_list* list, int32_t index) {
    if (!list || !valid_index(list, index)) return nullptr;
    return list->slots[index]->data;
}

int64_t blob_list_get_len(const blob_list* list, int32_t index) {
    if (!list || !valid_index(list, index)) return -1;
    return list->slots[index]->length;
}

int32_t blob_list_count(const blob_list* list) { return list ? list->count : -1; }

void* blob_list_next(blob_list* list) {
    if (!list) return nullptr;
    const int32_t candidate = list->cursor + 1;
    if (candidate < 0 || candidate > list->count) {
        errno = EINVAL;
        return nullptr;
    }
    list->cursor = candidate;
    if (candidate == list->count) return nullptr;
    return list->slots[candidate]->data;
}

void* blob_list_first(blob_list* list) {
    if (!list || list->count == 0) return nullptr;
    list->cursor = -1;
    return blob_list_next(list);
}

void* blob_list_prev(blob_list* list) {
    if (!list) return nullptr;
    const int32_t candidate = list->cursor - 1;
    if (candidate < -1 || candidate >= list->count) {
        errno = EINVAL;
        return nullptr;
    }
    list->cursor = candidate;
    if (candidate == -1) return nullptr;
    return list->slots[candidate]->data;
}

void* blob_list_last(blob_list* list) {
    if (!list || list->count == 0) return nullptr;
    list->cursor = list->count;
    return blob_list_prev(list);
}

int32_t blob_list_cursor(const blob_list* list) { return list ? list->cursor : -1; }

blob_list* blob_list_set_cursor(blob_list* list, int32_t position) {
    if (list) list->cursor = position;
    return list;
}

void blob_list_set_destructor(blob_list* list, blob_list_destroy_fn destructor) {
    if (list) list->destructor = destructor ? destructor : blob_list_default_destroy;
}

blob_list_destroy_fn blob_list_destructor(const blob_list* list) { return list ? list->destructor : nullptr; }

int32_t blob_list_append_text(blob_list* list, const char* text) {
    return blob_list_insert(list, text, static_cast<uint32_t>(strlen(text)), blob_list_count(list));
}

// ---- sorting ----------------------------------------------------------------

namespace {

constexpr int32_t max_thresh = 4; // a part whose last element is at most 4 after its first is left alone

struct sort_range {
    int32_t lo, hi;
};

} // namespace

void blob_list_sort(blob_list* list, blob_list_compare_fn compare) {
    if (!list || list->count == 0 || !compare) return;
    blob_element** s = list->slots;
    const int32_t n = list->count;
    auto cmp = [&](int32_t a, int32_t b) { return compare(s[a]->data, s[b]->data); };
    auto swap = [&](int32_t a, int32_t b) {
        blob_element* t = s[a];
        s[a] = s[b];
        s[b] = t;
    };

    if (n > max_thresh) {
        sort_range stack[8 * sizeof(int32_t)];
        int top = 0;
        int32_t lo = 0, hi = n - 1;
        stack[top++] = {0, 0}; // sentinel: the sort ends when it is popped
        while (top > 0) {
            int32_t mid = lo + (hi - lo) / 2;
            // Median of three, leaving the pivot in the middle slot.
            if (cmp(mid, lo) < 0) swap(mid, lo);
            if (cmp(hi, mid) < 0) {
                swap(mid, hi);
                if (cmp(mid, lo) < 0) swap(mid, lo);
            }
            int32_t left = lo + 1;
            int32_t right = hi - 1;
            do {
                while (left < hi && cmp(left, mid) < 0) left++;
                while (right > lo && cmp(mid, right) < 0) right--;
                if (left < right) {
                    swap(left, right);
                    if (mid == left)
                        mid = right;
                    else if (mid == right)
                        mid = left;
                    left++;
                    right--;
                } else if (left == right) {
                    left++;
                    right--;
                    break;
                }
            } while (left <= right);

            // Parts lo..right and left..hi; small ones are left to the insertion pass.
            if (right - lo <= max_thresh) {
                if (hi - left <= max_thresh) {
                    sort_range r = stack[--top];
                    lo = r.lo;
                    hi = r.hi;
                } else {
                    lo = left;
                }
            } else if (hi - left <= max_thresh) {
                hi = right;
            } else if (right - lo > hi - left) {
                stack[top++] = {lo, right};
                lo = left;
            } else {
                stack[top++] = {left, hi};
                hi = right;
            }
        }
    }

    // Insertion pass: the smallest of the first min(5, n) elements becomes the
    // sentinel at the front, so the inner loop needs no bound check.
    const int32_t end = n - 1;
    int32_t smallest = 0;
    const int32_t thresh = end < max_thresh ? end : max_thresh;
    for (int32_t run = 1; run <= thresh; run++)
        if (cmp(run, smallest) < 0) smallest = run;
    if (smallest != 0) swap(smallest, 0);
    for (int32_t run = 2; run <= end; run++) {
        int32_t at = run - 1;
        while (at >= 0 && cmp(run, at) < 0) at--; // bound only matters for an inconsistent comparison
        at++;
        if (at != run) {
            blob_element* moving = s[run];
            memmove(&s[at + 1], &s[at], sizeof(blob_element*) * static_cast<size_t>(run - at));
            s[at] = moving;
        }
    }
}
