// ctl_watch.h - the live display of a running job, shared by "progress
// --watch" and "run": a redrawn bar on a terminal, plain periodic lines
// otherwise. Figures come from the progress area (bytes, items) and, when the
// schedule is known, from its job log (the number of files counted).
#pragma once

#include "runtime/progress.h"

#include <cstdint>
#include <string>

// AREA_DENIED: an agent's area is there, but this user may not read it.
enum area_read { AREA_READ, AREA_MISSING, AREA_SHORT, AREA_DENIED };

// Takes one read-only copy of the progress area. AREA_SHORT (with *got, the
// bytes there were) for an area shorter than a record: never half-read.
area_read progress_area_read(progress_record* record, long* got);

struct watch_display {
    bool terminal = false;
    std::string job_log;      // the job log to read the file count from; may be empty
    uint64_t files_total = 0; // 0 until the job log has counted
    uint32_t job_log_tick = 0;
    uint32_t plain_tick = 0;
    std::string plain_status;
    bool line_open = false; // a bar is on the screen without its line end
};

// The figures of one record as words: the bar line on a terminal (at most
// width columns) or a plain line. now_tick: plat_tick_ms() of the moment.
std::string watch_line(const progress_record& r, uint64_t files_total, uint32_t now_tick,
                       bool terminal, size_t width);

// Shows r: redraws the bar, or prints a plain line when the status changed
// or some seconds passed since the last one.
void watch_show(watch_display* w, const progress_record& r);
// Ends a bar's line so that the next text starts on a line of its own.
void watch_end_line(watch_display* w);
// True when r was written by an agent other than the one that wrote first
// and says only what an agent that could not get the job mailslot writes
// ("Initializing...", "Complete"): such an agent resets the shared record and
// ends at once, and its record says nothing about the job being followed.
bool progress_from_other_agent(const progress_record& first, const progress_record& r);
// True when the record's status is "Complete".
bool progress_is_complete(const progress_record& r);
// The first max bytes of a text file into *out; false when it cannot be opened.
bool read_text_file(const std::string& path, size_t max, std::string* out);

// The counters of a progress record that add up over an agent's jobs: a
// job's own figures are the record's less those at the job's start.
struct job_counters {
    uint64_t sent = 0;
    uint64_t current = 0;
    uint64_t failed = 0;
    uint64_t done_bytes = 0;
};
job_counters counters_of(const progress_record& r);
// r with base taken away from its adding counters (never below zero).
progress_record progress_since(const progress_record& r, const job_counters& base);

struct job_outcome;
// "Job 'NAME': TEXT (N sent, M up to date, K failed)." for the end of a job;
// last may be null when no record was seen.
std::string outcome_line(const job_outcome& o, const progress_record* last);
