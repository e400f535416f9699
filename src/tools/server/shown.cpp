// shown.cpp - times and sizes of the administration commands (shown.h).
#include "tools/server/shown.h"

#include "common/text.h"
#include "platform/platform.h"

#include <cstdio>
#include <ctime>

std::string srv_time_text(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[48];
    if (!localtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm))
        return "?";
    return buf;
}

std::string srv_size_text(uint64_t bytes, bool units) {
    return units ? size_in_units(bytes) : std::to_string(bytes);
}

bool srv_sizes_in_units() {
    static const bool units = plat_stdout_is_terminal();
    return units;
}

namespace {

bool digits(const std::string& s, size_t at, size_t n) {
    if (at + n > s.size()) return false;
    for (size_t i = at; i < at + n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int number(const std::string& s, size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; i++)
        v = v * 10 + (s[i] - '0');
    return v;
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
    if (!digits(s, rest, 2)) return false;
    const int hours = number(s, rest, 2);
    rest += 2;
    int minutes = 0;
    if (rest < s.size()) {
        if (s[rest] == ':') rest++;
        if (!digits(s, rest, 2) || rest + 2 != s.size()) return false;
        minutes = number(s, rest, 2);
    }
    if (hours > 14 || minutes > 59) return false;
    *east = sign * (hours * 3600 + minutes * 60);
    return true;
}

} // namespace

int64_t srv_parse_time(const std::string& text) {
    const std::string& s = text;
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos)
        return s.size() > 12 ? -1 : std::stoll(s);
    // Every character must be used: a trailing "9pm" or a missing field is
    // refused, not read as midnight.
    if (!digits(s, 0, 4) || s.size() < 10 || s[4] != '-' || !digits(s, 5, 2) || s[7] != '-' ||
        !digits(s, 8, 2))
        return -1;
    struct tm tm = {};
    tm.tm_year = number(s, 0, 4);
    tm.tm_mon = number(s, 5, 2);
    tm.tm_mday = number(s, 8, 2);
    size_t rest = 10;
    if (rest < s.size() && (s[rest] == ' ' || s[rest] == 'T') && digits(s, rest + 1, 2)) {
        if (rest + 3 >= s.size() || s[rest + 3] != ':' || !digits(s, rest + 4, 2)) return -1;
        tm.tm_hour = number(s, rest + 1, 2);
        tm.tm_min = number(s, rest + 4, 2);
        rest += 6;
        if (rest < s.size() && s[rest] == ':') {
            if (!digits(s, rest + 1, 2)) return -1;
            tm.tm_sec = number(s, rest + 1, 2);
            rest += 3;
        }
    }
    int east = 0;
    if (!parse_offset(s, rest, &east)) return -1;
    // timegm would carry a 13th month or a 61st minute into the next one.
    if (tm.tm_year < 1970 || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
        tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const int64_t t = static_cast<int64_t>(timegm(&tm)) - east;
    return t < 0 ? -1 : t;
}
