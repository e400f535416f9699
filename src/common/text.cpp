// text.cpp - hex, durations, error texts, splitting and replacing.
#include "common/text.h"

#include "common/mem.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char* hex_encode(const void* bytes, size_t count, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < count; i++) {
        out[2 * i] = digits[b[i] >> 4];
        out[2 * i + 1] = digits[b[i] & 15];
    }
    out[2 * count] = 0;
    return out;
}

std::string hex_lower(const void* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(2 * count);
    for (size_t i = 0; i < count; i++) {
        out += digits[b[i] >> 4];
        out += digits[b[i] & 15];
    }
    return out;
}

static int hex_value(unsigned char c) {
    if (c > 96) return c - 87;
    if (c <= 64) return c - 48;
    return c - 55;
}

void* hex_decode(const char* text, size_t count, void* out) {
    unsigned char* o = static_cast<unsigned char*>(out);
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < count; i++)
        o[i] = static_cast<unsigned char>((hex_value(t[2 * i]) << 4) + hex_value(t[2 * i + 1]));
    return out;
}

static void two_digits(char* at, uint32_t value) {
    if (value >= 10) at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
}

std::string size_in_units(uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    char buf[32];
    if (bytes < 1024) {
        snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
        return buf;
    }
    double v = static_cast<double>(bytes) / 1024;
    int u = 0;
    // 1023.96 KiB would print as "1024.0 KiB": such a figure takes the next unit.
    while (v >= 1023.95 && u < 5) {
        v /= 1024;
        u++;
    }
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

int duration_text(uint32_t seconds, char* out) {
    memcpy(out, "00:00:00", 9);
    if (seconds >= 3600) {
        uint32_t hours = seconds / 3600;
        seconds %= 3600;
        two_digits(out, hours > 99 ? 99 : hours);
    }
    if (seconds >= 60) {
        two_digits(out + 3, seconds / 60);
        seconds %= 60;
    }
    if (seconds) two_digits(out + 6, seconds);
    return 8;
}

const char* error_text(int errnum) {
    const int saved = errno;
    errno = 0;
    const char* text = strerror(errnum);
    // Libraries that reject a number either set errno or answer "Unknown error N".
    if (errno != 0 || !text || strncmp(text, "Unknown error", 13) == 0) text = "Unknown error";
    errno = saved;
    return text;
}

char* bytes_to_string(const void* bytes, size_t length) {
    if (!bytes) return nullptr;
    char* s = static_cast<char*>(mem_alloc(length + 1));
    memcpy(s, bytes, length);
    s[length] = 0;
    return s;
}

size_t copy_string(char* dest, const char* source) {
    size_t n = strlen(source);
    memcpy(dest, source, n + 1);
    return n;
}

void replace_all(char* text, size_t capacity, const char* pattern, const char* replacement) {
    const size_t p = strlen(pattern);
    const size_t r = strlen(replacement);
    if (p == 0) return;
    char* at = text;
    while ((at = strstr(at, pattern)) != nullptr) {
        const size_t len = strlen(text);
        if (len + r - p >= capacity) return;
        memmove(at + r, at + p, strlen(at + p) + 1);
        memcpy(at, replacement, r);
        at += r;
    }
}

blob_list* split_to_list(const char* text, const char* separator, blob_list* list) {
    if (!text || !separator || !*separator) {
        errno = EINVAL;
        return nullptr;
    }
    if (!list) list = blob_list_new(15, 15, nullptr);
    const size_t sep = strlen(separator);
    const char* piece = text;
    for (;;) {
        const char* next = strstr(piece, separator);
        size_t len = next ? static_cast<size_t>(next - piece) : strlen(piece);
        if (len) blob_list_insert(list, piece, static_cast<uint32_t>(len), blob_list_count(list));
        if (!next) break;
        piece = next + sep;
    }
    return list;
}

bool copy_fits(char* out, size_t out_size, const char* text, size_t len) {
    if (!out || len + 1 > out_size) {
        errno = ERANGE;
        return false;
    }
    memcpy(out, text, len);
    out[len] = 0;
    return true;
}

char* copy_bounded(char* dest, size_t size, const char* source) {
    if (size == 0) return dest;
    size_t n = strlen(source);
    if (n >= size) n = size - 1;
    memcpy(dest, source, n);
    dest[n] = 0;
    return dest;
}

int compare_nocase(const char* a, const char* b) {
    for (;; a++, b++) {
        int ca = tolower(static_cast<unsigned char>(*a));
        int cb = tolower(static_cast<unsigned char>(*b));
        if (ca != cb || !ca) return ca - cb;
    }
}

int compare_nocase_n(const char* a, const char* b, size_t n) {
    for (; n; n--, a++, b++) {
        int ca = tolower(static_cast<unsigned char>(*a));
        int cb = tolower(static_cast<unsigned char>(*b));
        if (ca != cb || !ca) return ca - cb;
    }
    return 0;
}
