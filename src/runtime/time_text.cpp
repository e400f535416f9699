// time_text.cpp - local times with their offset, and their parsing (see
// time_text.h). The calendar sums are our own: timegm is not on every C
// library, and the Windows one prints a zone's name for %z.
#include "runtime/time_text.h"

#include "platform/platform.h"

#include <cstdio>

int64_t time_days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

namespace {

bool digits_at(const std::string& s, size_t at, size_t n, int* out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = v;
    return true;
}

// The offset that ends a time, from rest on: "" or "Z" (UTC), or [ ]+hh,
// +hhmm, +hh:mm (or -). Seconds east of UTC into *east; false when the
// text is anything else.
bool parse_offset(const std::string& s, size_t rest, int* east) {
    *east = 0;
    if (rest == s.size()) return true;
    if (s.compare(rest, std::string::npos, "Z") == 0) return true;
    if (s[rest] == ' ') rest++;
    if (rest >= s.size() || (s[rest] != '+' && s[rest] != '-')) return false;
    const int sign = s[rest] == '-' ? -1 : 1;
    rest++;
    int hours = 0, minutes = 0;
    if (!digits_at(s, rest, 2, &hours)) return false;
    rest += 2;
    if (rest < s.size()) {
        if (s[rest] == ':') rest++;
        if (!digits_at(s, rest, 2, &minutes) || rest + 2 != s.size()) return false;
    }
    if (hours > 14 || minutes > 59) return false;
    *east = sign * (hours * 3600 + minutes * 60);
    return true;
}

} // namespace

std::string time_text_local(int64_t t) {
    plat_systime tm;
    if (!plat_local_time_of(t, &tm)) return "?";
    // The offset is what the local clock reads past UTC at t.
    const int64_t local = time_days_from_civil(tm.year, tm.month, tm.day) * 86400 +
                          tm.hour * 3600 + tm.minute * 60 + tm.second;
    const int64_t east = local - t;
    const int64_t mag = east < 0 ? -east : east;
    if (mag > 24 * 3600) return "?";
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u %c%02d%02d", tm.year, tm.month, tm.day,
             tm.hour, tm.minute, tm.second, east < 0 ? '-' : '+',
             static_cast<int>(mag / 3600), static_cast<int>(mag % 3600 / 60));
    return buf;
}

int64_t time_text_parse(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos) {
        if (s.size() > 12) return -1;
        int64_t v = 0;
        for (char c : s)
            v = v * 10 + (c - '0');
        return v;
    }
    // Every character must be used: a trailing "9pm" or a missing field is
    // refused, not read as midnight.
    int y, mo, d, h = 0, mi = 0, se = 0;
    if (s.size() < 10 || !digits_at(s, 0, 4, &y) || s[4] != '-' || !digits_at(s, 5, 2, &mo) ||
        s[7] != '-' || !digits_at(s, 8, 2, &d))
        return -1;
    size_t rest = 10;
    if (rest < s.size() && (s[rest] == ' ' || s[rest] == 'T') && digits_at(s, rest + 1, 2, &h)) {
        if (rest + 3 >= s.size() || s[rest + 3] != ':' || !digits_at(s, rest + 4, 2, &mi))
            return -1;
        rest += 6;
        if (rest < s.size() && s[rest] == ':') {
            if (!digits_at(s, rest + 1, 2, &se)) return -1;
            rest += 3;
        }
    }
    int east = 0;
    if (!parse_offset(s, rest, &east)) return -1;
    static const int month_days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > month_days[mo - 1] || h > 23 || mi > 59 ||
        se > 60)
        return -1;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap) return -1;
    const int64_t t = time_days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                      h * 3600 + mi * 60 + se - east;
    return t < 0 ? -1 : t;
}
