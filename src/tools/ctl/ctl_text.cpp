// ctl_text.cpp - times and server paths of the reading verbs (see
// ctl_text.h).
#include "tools/ctl/ctl_text.h"

#include "runtime/time_text.h"
#include "protocol/read_wire.h"

#include <cstdlib>
#include <ctime>

std::string ctl_time_text(int64_t t) {
    return t == 0 ? "-" : time_text_local(t);
}


bool ctl_server_path(const std::string& in, std::string* out) {
    out->clear();
    size_t pos = 0;
    while (pos <= in.size()) {
        size_t end = in.find('/', pos);
        if (end == std::string::npos) end = in.size();
        const std::string part = in.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty()) continue;
        if (part == "." || part == "..") return false;
        if (!out->empty()) *out += '/';
        *out += part;
    }
    return out->size() <= READ_NAME_MAX;
}
