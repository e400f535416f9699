// retention.cpp - which runs a retention policy keeps: the runs newest first,
// each rule keeping the first run it meets in each of its buckets until it
// has kept as many as it may.
#include "tools/server/retention.h"

#include <algorithm>
#include <cstdio>

namespace {

// The civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// The day count since 1970-01-01 of a civil date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t floor_div(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned n[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : n[m - 1];
}

// The ISO 8601 week of a day count: its year and number (1 to 53).
void iso_week(int64_t day, int64_t* year, unsigned* week) {
    // 1970-01-01 was a Thursday; Monday is 0.
    const int64_t weekday = ((day % 7) + 7 + 3) % 7;
    const int64_t thursday = day - weekday + 3; // the week's year is its Thursday's
    int64_t y;
    unsigned m, d;
    civil_from_days(thursday, &y, &m, &d);
    *year = y;
    *week = static_cast<unsigned>((thursday - days_from_civil(y, 1, 1)) / 7 + 1);
}

enum bucket_kind { B_HOUR, B_DAY, B_WEEK, B_MONTH, B_YEAR, B_COUNT };

const char* const kBucketNames[B_COUNT] = {"hourly", "daily", "weekly", "monthly", "yearly"};

// The bucket of a time under a rule, as a text that also names it in a reason.
std::string bucket_of(int64_t t, bucket_kind k) {
    const int64_t day = floor_div(t, 86400);
    int64_t y;
    unsigned m, d;
    civil_from_days(day, &y, &m, &d);
    char buf[48];
    switch (k) {
    case B_HOUR:
        snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lldh", static_cast<long long>(y), m, d,
                 static_cast<long long>(floor_div(t - day * 86400, 3600)));
        break;
    case B_DAY:
        snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
        break;
    case B_WEEK: {
        int64_t wy;
        unsigned w;
        iso_week(day, &wy, &w);
        snprintf(buf, sizeof buf, "%04lld-W%02u", static_cast<long long>(wy), w);
        break;
    }
    case B_MONTH:
        snprintf(buf, sizeof buf, "%04lld-%02u", static_cast<long long>(y), m);
        break;
    default:
        snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(y));
        break;
    }
    return buf;
}

// t moved back by the span, by the calendar: a month back from March 31 is
// the last day of February.
int64_t span_before(int64_t t, const retention_span& s) {
    const int64_t day = floor_div(t, 86400);
    const int64_t second = t - day * 86400;
    int64_t y;
    unsigned m, d;
    civil_from_days(day, &y, &m, &d);
    int64_t months = y * 12 + (m - 1) - static_cast<int64_t>(s.years) * 12 - s.months;
    y = floor_div(months, 12);
    m = static_cast<unsigned>(months - y * 12) + 1;
    d = std::min(d, days_in_month(y, m));
    const int64_t back = days_from_civil(y, m, d) - static_cast<int64_t>(s.days);
    return back * 86400 + second - static_cast<int64_t>(s.hours) * 3600;
}

bool span_empty(const retention_span& s) {
    return !s.years && !s.months && !s.days && !s.hours;
}

} // namespace

bool retention_span_parse(const std::string& text, retention_span* out, std::string* err) {
    retention_span s;
    bool seen[4] = {false, false, false, false};
    size_t i = 0;
    if (text.empty()) {
        *err = "an empty span";
        return false;
    }
    while (i < text.size()) {
        uint64_t n = 0;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            n = n * 10 + static_cast<uint64_t>(text[i++] - '0');
            if (++digits > 6) {
                *err = "the span " + text + " is too long";
                return false;
            }
        }
        if (!digits || i >= text.size()) {
            *err = "the span " + text + " is not NUMBER UNIT... (units y, m, d, h)";
            return false;
        }
        const char unit = text[i++];
        const char* units = "ymdh";
        const char* at = unit ? std::char_traits<char>::find(units, 4, unit) : nullptr;
        if (!at) {
            *err =
                std::string("the span ") + text + " has the unit '" + unit + "' (units y, m, d, h)";
            return false;
        }
        const size_t k = static_cast<size_t>(at - units);
        if (seen[k]) {
            *err = std::string("the span ") + text + " gives the unit '" + unit + "' twice";
            return false;
        }
        seen[k] = true;
        uint32_t* fields[4] = {&s.years, &s.months, &s.days, &s.hours};
        *fields[k] = static_cast<uint32_t>(n);
    }
    *out = s;
    return true;
}

std::string retention_span_text(const retention_span& s) {
    std::string t;
    if (s.years) t += std::to_string(s.years) + "y";
    if (s.months) t += std::to_string(s.months) + "m";
    if (s.days) t += std::to_string(s.days) + "d";
    if (s.hours || t.empty()) t += std::to_string(s.hours) + "h";
    return t;
}

bool retention_policy_empty(const retention_policy& p) {
    return !p.last && !p.hourly && !p.daily && !p.weekly && !p.monthly && !p.yearly &&
           span_empty(p.within);
}

std::vector<retention_verdict> retention_apply(const retention_policy& p,
                                               std::vector<retention_run> runs) {
    std::sort(runs.begin(), runs.end(), [](const retention_run& a, const retention_run& b) {
        return a.started != b.started ? a.started > b.started : a.id > b.id;
    });
    std::vector<retention_verdict> out;
    if (runs.empty()) return out;
    uint32_t left[B_COUNT] = {p.hourly, p.daily, p.weekly, p.monthly, p.yearly};
    std::string last_bucket[B_COUNT];
    uint32_t last_left = p.last;
    const bool within = !span_empty(p.within);
    const int64_t since = within ? span_before(runs.front().started, p.within) : 0;
    for (size_t i = 0; i < runs.size(); i++) {
        const retention_run& r = runs[i];
        retention_verdict v;
        v.id = r.id;
        v.started = r.started;
        if (i == 0) v.reasons.push_back("newest");
        if (r.locked) v.reasons.push_back("locked");
        if (last_left > 0) {
            v.reasons.push_back("last " + std::to_string(p.last - last_left + 1));
            last_left--;
        }
        for (int k = 0; k < B_COUNT; k++) {
            if (!left[k]) continue;
            std::string b = bucket_of(r.started, static_cast<bucket_kind>(k));
            if (b == last_bucket[k]) continue;
            last_bucket[k] = b;
            left[k]--;
            v.reasons.push_back(std::string(kBucketNames[k]) + " " + b);
        }
        if (within && r.started >= since)
            v.reasons.push_back("within " + retention_span_text(p.within));
        v.keep = !v.reasons.empty();
        out.push_back(std::move(v));
    }
    return out;
}
