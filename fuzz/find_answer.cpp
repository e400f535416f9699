// Fuzz target: a folder-listing answer payload through its reader. The first
// byte is the request's list flags (bit 0: 2-byte name lengths).
#include "protocol/find_answer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ctfs_find_request r{};
    if (ctfs_parse_find_answer(data + 1, size - 1, data[0], &r) == 0) ctfs_find_files_free(&r);
    return 0;
}
