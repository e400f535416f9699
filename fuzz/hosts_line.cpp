// hosts_line.cpp - fuzz target: one line of a server-list file ("hosts")
// through its parser. The input is the line as fgets would hand it over:
// cut at the first zero byte and at most 1023 characters.
#include "protocol/session_io.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.substr(0, line.find('\0'));
    line = line.substr(0, CTFS_SERVER_HOST_MAX);

    // A filled-in record: a host the parser leaves unterminated shows up.
    ctfs_server_entry e;
    memset(&e, 'x', sizeof e);
    if (!ctfs_parse_server_line(line.c_str(), &e)) {
        // Only a line without a colon before its end, comment or CR is refused.
        size_t cut = line.find_first_of("\n\r#");
        if (line.substr(0, cut).find(':') != std::string::npos) abort();
        return 0;
    }
    const void* end = memchr(e.host, 0, sizeof e.host);
    if (!end) abort();
    // The host is the text before the first colon, so it holds none of the
    // characters that end it.
    if (strpbrk(e.host, ":\r\n#")) abort();
    if (line.compare(0, strlen(e.host), e.host) != 0) abort();
    return 0;
}
