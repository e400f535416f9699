// schedule_parser.cpp - libFuzzer target for the schedule text parser.
//
// Feeds arbitrary bytes as the decrypted text of a schedule file: header
// check, every key, filter values, recipients, the checks and the schedule
// number. No cipher is involved; the line source behaves like the reader's.
#include "backup/schedule/schedule.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    schedule s;
    schedule_init(&s);
    text_reader reader{reinterpret_cast<const char*>(data), size, 0};
    if (schedule_parse(&s, text_reader_gets, &reader) == 0) {
        int runs = 0;
        schedule_check(&s, &runs);
        schedule_sort_filters(s.filters);
        (void)schedule_number_from_line(s.last_line);
    }
    schedule_release(&s);
    return 0;
}
