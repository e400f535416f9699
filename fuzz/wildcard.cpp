// Fuzz: wildcard_match against shell_pattern_match (case folded): on patterns
// without '?', '[' or '\' both rules must agree; both run on arbitrary bytes,
// to show neither reads past its strings.
#include "common/name_match.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: pattern, a zero byte, name.
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t zero = in.find('\0');
    std::string pattern = in.substr(0, zero);
    std::string name = zero == std::string::npos ? "" : in.substr(zero + 1);
    name = name.substr(0, name.find('\0'));

    bool w = wildcard_match(name.c_str(), pattern.c_str());
    int s = shell_pattern_match(pattern.c_str(), name.c_str(), SHELL_MATCH_CASEFOLD);
    for (int flags = 0; flags < 32; flags += 7)
        shell_pattern_match(pattern.c_str(), name.c_str(), flags);

    // Where the pattern uses no '?', bracket or backslash, only '*' is
    // special to either rule.
    if (pattern.find_first_of("?[\\") == std::string::npos && w != (s == 0)) abort();
    return 0;
}
