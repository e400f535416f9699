// retention.h - which runs a retention policy keeps.
//
// A policy keeps the newest N runs, the newest run of each of the last N
// hours, days, weeks, months and years that have runs, and every run within
// a span before the newest run. A run is kept when any rule keeps it; the
// newest run and every run whose job still holds its lock are always kept.
// Hours, days, weeks (ISO 8601: Monday to Sunday, by the week's year), months
// and years are those of UTC, so every serving process counts them alike.
// This module only decides: storing policies and forgetting runs are the
// catalog's and the admin verbs' work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A span of calendar time: "1y6m" is a year and six months.
struct retention_span {
    uint32_t years = 0, months = 0, days = 0, hours = 0;
};

struct retention_policy {
    uint32_t last = 0;
    uint32_t hourly = 0, daily = 0, weekly = 0, monthly = 0, yearly = 0;
    retention_span within;
};

// One run as the policy sees it.
struct retention_run {
    int64_t id = 0;
    int64_t started = 0; // seconds since 1970, UTC
    bool locked = false; // its job still holds the user lock
};

// What the policy made of one run, with every reason it is kept ("last 2",
// "daily 2026-12-09", "weekly 2026-W50", "within 7d", "newest", "locked").
struct retention_verdict {
    int64_t id = 0;
    int64_t started = 0;
    bool keep = false;
    std::vector<std::string> reasons;
};

// Parses a span: one or more NUMBER UNIT, unit y, m (months), d or h, each
// unit at most once ("2y", "1m15d", "36h"). False with *err.
bool retention_span_parse(const std::string& text, retention_span* out, std::string* err);
// The span as retention_span_parse reads it ("1y6m"; "0h" for none).
std::string retention_span_text(const retention_span& s);

// True when the policy has no rule: it would keep only the newest and the
// locked runs, which a caller should refuse rather than forget everything.
bool retention_policy_empty(const retention_policy& p);

// The verdict on every run, newest first (ties by the larger id first).
std::vector<retention_verdict> retention_apply(const retention_policy& p,
                                               std::vector<retention_run> runs);
