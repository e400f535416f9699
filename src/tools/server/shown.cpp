// shown.cpp - times and sizes of the administration commands (shown.h).
#include "tools/server/shown.h"

#include "common/text.h"
#include "platform/platform.h"

#include <cstdio>
#include <ctime>

std::string srv_size_text(uint64_t bytes, bool units) {
    return units ? size_in_units(bytes) : std::to_string(bytes);
}

bool srv_sizes_in_units() {
    static const bool units = plat_stdout_is_terminal();
    return units;
}
