// text.h - small text helpers shared by the schedule reader, the reporter and
// the protocol layer. None keeps state between calls.
#pragma once

#include "common/blob_list.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Two upper-case hex digits per byte, high half first, then a zero byte.
// out holds 2 * count + 1 bytes; returns out.
char* hex_encode(const void* bytes, size_t count, char* out);
// Two lower-case hex digits per byte, high half first (digests, names).
std::string hex_lower(const void* bytes, size_t count);
// Decodes 2 * count characters (not validated) into count bytes; returns out.
void* hex_decode(const char* text, size_t count, void* out);
// A size as a person reads it: "512 B", "1.5 KiB", "20.0 MiB", "3.2 GiB"
// (binary units, one decimal). Cannot fail.
std::string size_in_units(uint64_t bytes);
// "HH:MM:SS" (hours capped at 99) into out[9]; returns 8.
int duration_text(uint32_t seconds, char* out);
// strerror text, or "Unknown error"; the caller's errno is preserved. The text
// is the C library's (static, or valid until the next strerror call); copy it
// before another call.
const char* error_text(int errnum);
// New terminated copy of length bytes, which the caller frees with free();
// null for null bytes.
char* bytes_to_string(const void* bytes, size_t length);
// Copies source with its zero byte, unbounded: dest must hold it; the number
// of characters copied.
size_t copy_string(char* dest, const char* source);
// Replaces every occurrence of pattern inside a buffer of capacity bytes,
// stopping at the first replacement that would not fit (text stays
// terminated; the occurrences before it are replaced). An empty pattern
// changes nothing.
void replace_all(char* text, size_t capacity, const char* pattern, const char* replacement);
// Appends the non-empty pieces of text cut at separator to list (a new list
// of room 15, growth 15 when list is null, then the caller's to free with
// blob_list_free). Returns the list; null with EINVAL for a null text or a
// null or empty separator (a given list is then left as it was).
blob_list* split_to_list(const char* text, const char* separator, blob_list* list);
// Bounded copy that always terminates when size > 0 (size 0 writes nothing);
// a longer source is cut. Returns dest.
char* copy_bounded(char* dest, size_t size, const char* source);
// Copies the len bytes at text and a terminator into out when they fit in
// out_size: true; otherwise false with errno ERANGE and out untouched (also
// for a null out).
bool copy_fits(char* out, size_t out_size, const char* text, size_t len);
// Case-insensitive (ASCII) comparisons.
int compare_nocase(const char* a, const char* b);
int compare_nocase_n(const char* a, const char* b, size_t n);
