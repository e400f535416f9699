// Fuzz target: a log-in answer payload through its field reader. The first
// byte chooses whether the trailing FCI stamp is read.
#include "protocol/session_io.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ctfs_auth_answer a;
    ctfs_parse_auth_answer(data + 1, size - 1, (data[0] & 1) != 0, &a);
    return 0;
}
