// filter_value.cpp - parsing of one "filter=" value into a folder_filter.
//
// Syntax: folder|flags|pattern;pattern;... An ill-formed value (no "|", a
// folder of 300 characters or more, negative flags, no pattern) is dropped
// without a message; the value itself is always logged first.
#include "backup/schedule/filter_value.h"

#include "runtime/log.h"
#include "common/mem.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Leading decimal number as atoi reads it (blanks, sign, digits), saturated
// instead of overflowing.
long long read_decimal(const char* p, const char* end) {
    while (p < end && isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (v < INT_MAX) v = v * 10 + (*p - '0');
        p++;
    }
    if (v > INT_MAX) v = INT_MAX;
    return negative ? -v : v;
}

bool is_blank(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

void parse_filter_value(const char* value, blob_list* filters) {
    if (!value) return;
    job_log_printf("Got value of '%s' for '%s'\n", value, "filter=");
    const char* bar1 = strchr(value, '|');
    if (!bar1) return;
    size_t folder_len = static_cast<size_t>(bar1 - value);
    if (folder_len >= FILTER_FOLDER_SIZE) return;
    const char* bar2 = strchr(bar1 + 1, '|');
    if (!bar2) return;
    long long flags = read_decimal(bar1 + 1, bar2);
    if (flags < 0) return;

    folder_filter rec;
    memset(&rec, 0, sizeof rec);
    rec.flags = static_cast<int32_t>(flags);
    memcpy(rec.folder, value, folder_len);
    rec.folder[folder_len] = 0;

    int32_t room = 10;
    rec.patterns = static_cast<char**>(mem_alloc(sizeof(char*) * static_cast<size_t>(room)));
    const char* piece = bar2 + 1;
    for (;;) {
        const char* semi = strchr(piece, ';');
        const char* end = semi ? semi : piece + strlen(piece);
        const char* b = piece;
        while (b < end && is_blank(*b))
            b++;
        const char* e = end;
        while (e > b && is_blank(e[-1]))
            e--;
        if (e > b) {
            if (rec.pattern_count == room) {
                room += room / 2;
                rec.patterns = static_cast<char**>(
                    mem_realloc(rec.patterns, sizeof(char*) * static_cast<size_t>(room)));
            }
            size_t n = static_cast<size_t>(e - b);
            char* pat = static_cast<char*>(mem_alloc(n + 1));
            memcpy(pat, b, n);
            pat[n] = 0;
            rec.patterns[rec.pattern_count++] = pat;
        }
        if (!semi) break;
        piece = semi + 1;
    }

    if (rec.pattern_count == 0 || !filters) {
        for (int32_t i = 0; i < rec.pattern_count; i++)
            free(rec.patterns[i]);
        free(rec.patterns);
        return;
    }
    // The list owns a copy of the record and, through it, the patterns.
    int32_t before = blob_list_count(filters);
    if (blob_list_insert(filters, &rec, sizeof rec, before) <= before) {
        for (int32_t i = 0; i < rec.pattern_count; i++)
            free(rec.patterns[i]);
        free(rec.patterns);
    }
}

void folder_filter_destroy(void* data, uint32_t, int32_t) {
    folder_filter* f = static_cast<folder_filter*>(data);
    if (f) {
        for (int32_t i = 0; i < f->pattern_count; i++)
            free(f->patterns[i]);
        free(f->patterns);
    }
    free(data);
}
