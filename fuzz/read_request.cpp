// read_request.cpp - fuzz target: the read requests' decoder on arbitrary
// payloads (the server's side) and the decoders of their answers (the
// control tool's side). The first byte picks the request type or answer.
#include "protocol/read_wire.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    const uint8_t* p = data + 1;
    const size_t n = size - 1;
    read_request rq;
    if (read_decode_request(static_cast<uint8_t>(TFS_READ_RUNS + pick % 4), p, n, &rq) == 0) {
        // What a request carries stays within its limits.
        if (rq.folder.path.size() > READ_NAME_MAX || rq.folder.after.size() > READ_NAME_MAX ||
            rq.blocks.path.size() > READ_NAME_MAX || rq.block.length > READ_CHUNK_MAX)
            __builtin_trap();
    }
    switch (pick / 4 % 4) {
    case 0: {
        read_runs_page page;
        read_decode_runs(p, n, &page);
        break;
    }
    case 1: {
        read_folder_page page;
        if (read_decode_folder(p, n, &page) && page.entries.size() > READ_FOLDER_PAGE_MAX)
            __builtin_trap();
        break;
    }
    case 2: {
        read_blocks_page page;
        if (read_decode_blocks(p, n, &page) && page.first + page.blocks.size() > page.total)
            __builtin_trap();
        break;
    }
    default: {
        read_chunk c;
        if (read_decode_chunk(p, n, &c) && c.length) {
            // The data pointer must lie inside the answer.
            volatile uint8_t last = c.data[c.length - 1];
            (void)last;
        }
        break;
    }
    }
    return 0;
}
