// filter_value.h - one parsed "filter=" line of a schedule.
#pragma once

#include "common/blob_list.h"

#include <cstdint>

enum { FILTER_EXCLUDE = 1, FILTER_INHERIT = 2, FILTER_FOLDER_SIZE = 300 };

struct folder_filter {
    int32_t flags;                   // FILTER_EXCLUDE, FILTER_INHERIT; never negative
    char folder[FILTER_FOLDER_SIZE]; // as written in the line
    char** patterns;                 // owned array of owned strings
    int32_t pattern_count;           // at least 1 in a stored record
};

// Parses "folder|flags|pat;pat;..." and appends the record to filters (a list
// whose destructor is folder_filter_destroy), which then owns it and its
// patterns. Logs the value to the job log first; an ill-formed value, a null
// list or a list that cannot take the record stores nothing and frees what
// was made, without a message. A null value does nothing.
void parse_filter_value(const char* value, blob_list* filters);
// List destructor for folder_filter elements: frees the patterns, their
// array and the record.
void folder_filter_destroy(void* data, uint32_t length, int32_t index);
