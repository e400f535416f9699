// filter_value.cpp - placeholder until the schedule reader lands.
#include "agent/backup/filter_value.h"

#include <cstdlib>

void parse_filter_value(const char*, blob_list*) {}

void folder_filter_destroy(void* data, uint32_t, int32_t) {
    folder_filter* f = static_cast<folder_filter*>(data);
    for (int32_t i = 0; i < f->pattern_count; i++) free(f->patterns[i]);
    free(f->patterns);
    free(data);
}
