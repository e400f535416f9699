// Fuzz: wildcard_match against shell_pattern_match (case folded) on patterns
// of letters, digits, '.' and '*', where both rules must agree; both run on
// arbitrary bytes too, to show neither reads past its strings.
#include "common/name_match.h"

#include <cctype>
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

    auto simple = [](const std::string& t, bool star) {
        for (unsigned char c : t)
            if (!(isalnum(c) || c == '.' || c == '_' || (star && c == '*'))) return false;
        return true;
    };
    if (simple(pattern, true) && simple(name, false) && w != (s == 0)) abort();
    return 0;
}
