// server_request.cpp - fuzz target: the server's request decoder and path
// check on arbitrary plain packets.
#include "tools/server/wire.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    srv_request rq;
    if (srv_decode_request(data, size, &rq) == 0) {
        std::string norm;
        srv_normalize_path(rq.path, true, &norm);
        if (rq.data && rq.data_len) {
            // The data pointer must lie inside the packet.
            volatile uint8_t first = rq.data[0];
            volatile uint8_t last = rq.data[rq.data_len - 1];
            (void)first;
            (void)last;
        }
        (void)srv_request_silent(rq);
    }
    return 0;
}
