// name_match.h - the two name-matching rules of the agent.
//
// wildcard_match is the folder filters' rule (only '*' is special, case never
// matters); shell_pattern_match follows the POSIX fnmatch rules and serves the
// built-in "*.lnk" exclusion and the name pattern of the folder scan.
#pragma once

enum {
    SHELL_MATCH_PATHNAME = 0x01,    // '/' only matched by a '/' in the pattern
    SHELL_MATCH_NOESCAPE = 0x02,    // backslash is an ordinary character
    SHELL_MATCH_PERIOD = 0x04,      // a leading '.' must be matched explicitly
    SHELL_MATCH_LEADING_DIR = 0x08, // the match may end before a '/'
    SHELL_MATCH_CASEFOLD = 0x10,    // letters compared without regard to case
};

// True when name matches pattern: '*' matches any run (the empty one too),
// every other character matches itself without regard to case. Cannot fail;
// runs in time proportional to the product of the lengths.
bool wildcard_match(const char* name, const char* pattern);

// 0 when string matches pattern, 1 when not. Patterns know '*', '?', bracket
// expressions ("[a-z]", "[!x]", "[^x]") and backslash escapes; an unclosed
// '[' is an ordinary character. Null arguments do not match.
int shell_pattern_match(const char* pattern, const char* string, int flags);
