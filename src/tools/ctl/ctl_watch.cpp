// ctl_watch.cpp - the live display of a running job: bar, counts, rate and
// time left from the progress area; the number of files from the job log.
#include "tools/ctl/ctl_watch.h"
#include "tools/ctl/ctl_outcome.h"

#include "common/owner.h"
#include "common/text.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using file_holder = owner<FILE, fclose>;

// A plain line at least this often while the status stays the same.
const uint32_t plain_interval_ms = 5000;
// The job log is read again for its file count at most this often.
const uint32_t job_log_interval_ms = 1000;
// The counting lines come early in a job log; this much holds them.
const size_t job_log_head = 1u << 20;

size_t text_len(const char* field, size_t size) {
    return strnlen(field, size);
}

std::string field(const char* text, size_t size) {
    return std::string(text, text_len(text, size));
}

// The bytes done: ended items plus the part of the current one sent so far
// (an ended item's bytes are in done_bytes already).
uint64_t bytes_done(const progress_record& r) {
    uint64_t done = r.done_bytes;
    if (r.item_done < r.item_size) done += r.item_done;
    return done;
}

std::string duration(uint64_t seconds) {
    char buf[32];
    if (seconds >= 100 * 3600) return "99:59:59+";
    snprintf(buf, sizeof buf, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
             static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    return buf;
}

} // namespace

area_read progress_area_read(progress_record* record, long* got) {
    plat_shm* area = plat_shm_open(plat_progress_area_name);
    if (!area)
        return plat_error_is_access_denied(plat_last_error()) ? AREA_DENIED : AREA_MISSING;
    uint8_t bytes[PROGRESS_RECORD_SIZE];
    *got = plat_shm_read(area, bytes, sizeof bytes);
    plat_shm_close(area);
    if (*got != PROGRESS_RECORD_SIZE) return AREA_SHORT;
    progress_decode(bytes, record);
    return AREA_READ;
}

bool progress_from_other_agent(const progress_record& first, const progress_record& r) {
    if (r.created_tick == first.created_tick &&
        memcmp(r.created_time, first.created_time, sizeof r.created_time) == 0)
        return false;
    return strncmp(r.status_text, "Initializing...", PROGRESS_TEXT_SIZE) == 0 ||
           progress_is_complete(r);
}

bool progress_is_complete(const progress_record& r) {
    return strncmp(r.status_text, "Complete", PROGRESS_TEXT_SIZE) == 0;
}

bool read_text_file(const std::string& path, size_t max, std::string* out) {
    file_holder f(fopen(path.c_str(), "rb"));
    if (!f) return false;
    out->clear();
    char buf[8192];
    size_t n;
    while (out->size() < max && (n = fread(buf, 1, sizeof buf, f.get())) > 0)
        out->append(buf, n < max - out->size() ? n : max - out->size());
    return true;
}

job_counters counters_of(const progress_record& r) {
    job_counters c;
    c.sent = r.items_sent;
    c.current = r.items_current;
    c.failed = r.items_failed;
    c.done_bytes = r.done_bytes;
    return c;
}

progress_record progress_since(const progress_record& r, const job_counters& base) {
    progress_record out = r;
    auto less = [](uint64_t v, uint64_t b) { return v >= b ? v - b : 0; };
    out.items_sent = less(r.items_sent, base.sent);
    out.items_current = less(r.items_current, base.current);
    out.items_failed = less(r.items_failed, base.failed);
    out.done_bytes = less(r.done_bytes, base.done_bytes);
    return out;
}

std::string watch_line(const progress_record& r, uint64_t files_total, uint32_t now_tick,
                       bool terminal, size_t width) {
    const uint64_t done = bytes_done(r);
    unsigned percent = 0;
    if (progress_is_complete(r))
        percent = 100;
    else if (r.total_bytes > 0)
        percent = static_cast<unsigned>(done >= r.total_bytes ? 100 : done * 100 / r.total_bytes);
    const uint64_t files_done = r.items_sent + r.items_current + r.items_failed;
    const std::string status = field(r.status_text, PROGRESS_TEXT_SIZE);

    // Compact, so that bar, figures, rate and time left fit 79 columns.
    std::string figures = std::to_string(files_done);
    if (files_total > 0) figures += "/" + std::to_string(files_total);
    figures += " files " + size_in_units(done) + "/" + size_in_units(r.total_bytes);
    if (r.items_failed > 0) figures += " " + std::to_string(r.items_failed) + " failed";
    // The rate counts from the start of the backup phase, which the agent
    // stamps with the same millisecond clock.
    if (status == "Backing up..." && r.backup_tick != 0) {
        const uint32_t elapsed = now_tick - r.backup_tick;
        if (elapsed >= 1000 && elapsed < 0x80000000u) {
            const uint64_t rate = done * 1000 / elapsed;
            figures += " " + size_in_units(rate) + "/s";
            if (rate > 0 && r.total_bytes > done)
                figures += " " + duration((r.total_bytes - done) / rate) + " left";
        }
    }

    char head[64];
    if (terminal) {
        const int bar_width = 12;
        char bar[bar_width + 1];
        const int filled = static_cast<int>(percent) * bar_width / 100;
        for (int i = 0; i < bar_width; i++)
            bar[i] = i < filled ? '#' : '-';
        bar[bar_width] = 0;
        snprintf(head, sizeof head, "[%s] %3u%% ", bar, percent);
    } else {
        snprintf(head, sizeof head, "%3u%% ", percent);
    }
    // While files are sent the bar says so; other phases are named.
    std::string line = std::string(head);
    if (!terminal || status != "Backing up...") line += status + " ";
    line += figures;
    // The item's tail names it best; on a terminal it is cut to keep one line.
    std::string item = field(r.item_name, PROGRESS_ITEM_SIZE);
    if (!item.empty()) {
        if (terminal) {
            const size_t room = line.size() + 1 < width ? width - line.size() - 1 : 0;
            if (room < 8)
                item.clear();
            else if (item.size() > room)
                item = "..." + item.substr(item.size() - (room - 3));
        }
        if (!item.empty()) line += " " + item;
    }
    if (terminal && line.size() > width) line.resize(width);
    return line;
}

void watch_show(watch_display* w, const progress_record& r) {
    const uint32_t now = plat_tick_ms();
    if (!w->job_log.empty() && w->files_total == 0 &&
        (w->job_log_tick == 0 || now - w->job_log_tick >= job_log_interval_ms)) {
        w->job_log_tick = now | 1;
        std::string text;
        if (read_text_file(w->job_log, job_log_head, &text)) {
            size_t at = text.find("Total number of files: ");
            if (at != std::string::npos)
                w->files_total = strtoull(text.c_str() + at + 23, nullptr, 10);
        }
    }
    if (w->terminal) {
        // Clear the line, then draw.
        printf("\r\033[K%s", watch_line(r, w->files_total, now, true, 79).c_str());
        w->line_open = true;
        fflush(stdout);
        return;
    }
    const std::string status = field(r.status_text, PROGRESS_TEXT_SIZE);
    if (status == w->plain_status && now - w->plain_tick < plain_interval_ms) return;
    w->plain_status = status;
    w->plain_tick = now;
    printf("%s\n", watch_line(r, w->files_total, now, false, 0).c_str());
    fflush(stdout);
}

void watch_end_line(watch_display* w) {
    if (w->line_open) printf("\n");
    w->line_open = false;
    fflush(stdout);
}

std::string outcome_line(const job_outcome& o, const progress_record* last) {
    std::string line;
    if (last && last->job_name[0])
        line = "Job '" + field(last->job_name, PROGRESS_TEXT_SIZE) + "': ";
    line += o.text;
    const bool any = o.sent + o.current + o.failed_items > 0;
    if (o.counts_known && (any || o.code == RUN_COMPLETED || o.code == RUN_FAILED_ITEMS ||
                           o.code == RUN_STOPPED))
        line += " (" + std::to_string(o.sent) + " sent, " + std::to_string(o.current) +
                " up to date, " + std::to_string(o.failed_items) + " failed)";
    // One full stop, also after a reason that is a sentence of its own.
    if (line.empty() || line.back() != '.') line += ".";
    if (!o.note.empty()) line += " " + o.note;
    return line;
}
