// name_match.cpp - wildcard and shell-pattern matching.
//
// Both matchers keep one back-tracking point (the latest '*') instead of
// recursing, so a hostile pattern such as "*a*a*a*b" costs length x length
// steps, never an exponential number.
#include "common/name_match.h"

#include <cctype>
#include <cstring>

namespace {

int lower(char c) {
    return tolower(static_cast<unsigned char>(c));
}

bool in_range(int c, int lo, int hi) {
    return c >= lo && c <= hi;
}

// Matches the character c against the bracket expression that starts just
// after '['. Returns the position after the closing ']', or null when the
// expression is not closed (the '[' is then an ordinary character).
const char* match_bracket(const char* p, unsigned char c, int flags, bool* matched) {
    bool negate = false;
    if (*p == '!' || *p == '^') {
        negate = true;
        p++;
    }
    bool escape = !(flags & SHELL_MATCH_NOESCAPE);
    bool fold = (flags & SHELL_MATCH_CASEFOLD) != 0;
    bool ok = false;
    bool first = true;
    for (;;) {
        if (*p == 0) return nullptr;
        if (*p == ']' && !first) {
            p++;
            break;
        }
        first = false;
        unsigned char lo = static_cast<unsigned char>(*p);
        if (lo == '\\' && escape && p[1]) {
            p++;
            lo = static_cast<unsigned char>(*p);
        }
        p++;
        unsigned char hi = lo;
        if (*p == '-' && p[1] && p[1] != ']') {
            p++;
            hi = static_cast<unsigned char>(*p);
            if (hi == '\\' && escape && p[1]) {
                p++;
                hi = static_cast<unsigned char>(*p);
            }
            p++;
        }
        if (in_range(c, lo, hi)) ok = true;
        if (fold && (in_range(tolower(c), lo, hi) || in_range(toupper(c), lo, hi))) ok = true;
    }
    *matched = negate ? !ok : ok;
    return p;
}

} // namespace

bool wildcard_match(const char* name, const char* pattern) {
    if (!name || !pattern) return false;
    const char* n = name;
    const char* p = pattern;
    const char* star_p = nullptr; // pattern just after the latest run of '*'
    const char* star_n = nullptr; // where that run's match currently ends
    for (;;) {
        if (*p == '*') {
            while (*p == '*')
                p++;
            if (!*p) return true;
            star_p = p;
            star_n = n;
            continue;
        }
        if (!*p) {
            if (!*n) return true;
        } else if (*n && lower(*n) == lower(*p)) {
            n++;
            p++;
            continue;
        }
        if (!star_p || !*star_n) return false;
        n = ++star_n;
        p = star_p;
    }
}

int shell_pattern_match(const char* pattern, const char* string, int flags) {
    if (!pattern || !string) return 1;
    const bool pathname = (flags & SHELL_MATCH_PATHNAME) != 0;
    const bool fold = (flags & SHELL_MATCH_CASEFOLD) != 0;
    auto leading_period = [&](const char* at) {
        return (flags & SHELL_MATCH_PERIOD) && *at == '.' &&
               (at == string || (pathname && at[-1] == '/'));
    };
    auto same = [&](char a, char b) { return fold ? lower(a) == lower(b) : a == b; };

    const char* p = pattern;
    const char* s = string;
    const char* star_p = nullptr;
    const char* star_s = nullptr;
    for (;;) {
        bool ok = false;
        char c = *p;
        if (c == 0) {
            if (*s == 0) return 0;
            if ((flags & SHELL_MATCH_LEADING_DIR) && *s == '/') return 0;
        } else if (c == '*') {
            while (*p == '*')
                p++;
            if (leading_period(s)) return 1;
            if (*p == 0) {
                if (!pathname || (flags & SHELL_MATCH_LEADING_DIR)) return 0;
                return strchr(s, '/') ? 1 : 0;
            }
            star_p = p;
            star_s = s;
            continue;
        } else if (c == '?') {
            if (*s && !(pathname && *s == '/') && !leading_period(s)) {
                p++;
                s++;
                continue;
            }
        } else {
            const char* next = nullptr;
            if (c == '[' && *s) {
                bool m = false;
                const char* end = match_bracket(p + 1, static_cast<unsigned char>(*s), flags, &m);
                if (end) {
                    if (m && !(pathname && *s == '/') && !leading_period(s)) next = end;
                    ok = true; // a closed bracket was decided either way
                    if (next) {
                        p = next;
                        s++;
                        continue;
                    }
                }
            }
            if (!ok) {
                const char* lit = p;
                if (c == '\\' && !(flags & SHELL_MATCH_NOESCAPE) && p[1]) lit = p + 1;
                if (*s && same(*lit, *s)) {
                    p = lit + 1;
                    s++;
                    continue;
                }
            }
        }
        // Mismatch: let the latest '*' take one more character.
        if (!star_p || *star_s == 0) return 1;
        if (pathname && *star_s == '/') return 1;
        s = ++star_s;
        p = star_p;
    }
}
