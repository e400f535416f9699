// ctl_text.cpp - times and server paths of the reading verbs (see
// ctl_text.h).
#include "tools/ctl/ctl_text.h"

#include "protocol/read_wire.h"

#include <cstdlib>
#include <ctime>

std::string ctl_time_text(int64_t t) {
    if (t == 0) return "-";
    const time_t tt = static_cast<time_t>(t);
    const struct tm* tm = gmtime(&tt);
    if (!tm) return "?";
    char buf[40];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", tm);
    return buf;
}

namespace {

// Days from 1970-01-01 to y-m-d of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

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

} // namespace

int64_t ctl_parse_time(const std::string& text) {
    std::string s = text;
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos)
        return s.size() > 12 ? -1 : std::strtoll(s.c_str(), nullptr, 10);
    if (!s.empty() && s.back() == 'Z') s.pop_back();
    int y, mo, d, h = 0, mi = 0, se = 0;
    if (!digits_at(s, 0, 4, &y) || s.size() < 10 || s[4] != '-' || !digits_at(s, 5, 2, &mo) ||
        s[7] != '-' || !digits_at(s, 8, 2, &d))
        return -1;
    size_t at = 10;
    if (at < s.size()) {
        if ((s[at] != ' ' && s[at] != 'T') || !digits_at(s, at + 1, 2, &h) ||
            at + 3 >= s.size() || s[at + 3] != ':' || !digits_at(s, at + 4, 2, &mi))
            return -1;
        at += 6;
        if (at < s.size() && (s[at] != ':' || !digits_at(s, at + 1, 2, &se))) return -1;
        if (at < s.size()) at += 3;
    }
    static const int month_days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (at != s.size() || y < 1970 || mo < 1 || mo > 12 || d < 1 || d > month_days[mo - 1] ||
        h > 23 || mi > 59 || se > 59)
        return -1;
    // 29 February only in a leap year: another would be read as 1 March.
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo == 2 && d == 29 && !leap) return -1;
    return days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
           h * 3600 + mi * 60 + se;
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
