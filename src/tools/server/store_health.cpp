// store_health.cpp - what the server says when its store refuses a write:
// whether the store's own file system has run out of room, one log line that
// says so with the store's path (at most one every few seconds, however many
// requests fail), and the last failure kept in DIR/last-failure, where
// `tavni-server status` finds it.
//
// The failure file is written once, whole, when serving starts, and later
// only overwritten in place: a full file system still takes an overwrite of
// blocks it has already given.
#include "tools/server/serving.h"

#include "platform/platform.h"

#include <cstdlib>
#include <mutex>

namespace {

// The record's fixed size: text longer than this is cut.
const size_t kFailureRecordSize = 1024;
const char kFailureHead[] = "# tavni-server last failure\n";
// Below this the store counts as full: the catalog's journal alone needs a
// few pages for any change.
const uint64_t kSpaceFloor = 1u << 20;
// One "no space left" line at most this often; the ones held back are counted.
const int64_t kSpaceLogEveryMs = 10000;

std::mutex g_failure_mu; // one writer of the failure file at a time

std::string failure_path(const std::string& dir) {
    return dir + "/last-failure";
}

// Writes the record over the file's first bytes (the file keeps its size).
void failure_write(const std::string& dir, int64_t when, const std::string& text) {
    std::string record = kFailureHead + std::to_string(when) + "\n" + text;
    for (char& ch : record)
        if (ch == 0) ch = ' ';
    if (record.size() > kFailureRecordSize - 1) record.resize(kFailureRecordSize - 1);
    record += '\n';
    record.resize(kFailureRecordSize, ' ');
    std::lock_guard<std::mutex> g(g_failure_mu);
    plat_file f = plat_file_open_write(failure_path(dir).c_str());
    if (f == PLAT_NO_FILE) return;
    plat_file_write(f, record.data(), static_cast<uint32_t>(record.size()));
    plat_file_close(f);
}

} // namespace

void srv_failure_prepare(const std::string& dir) {
    const std::string path = failure_path(dir);
    plat_file_info info;
    if (plat_file_status(path.c_str(), &info) == 0 &&
        info.size >= static_cast<int64_t>(kFailureRecordSize))
        return;
    plat_file f = plat_file_create(path.c_str(), true);
    if (f == PLAT_NO_FILE) return;
    std::string blank = std::string(kFailureHead) + "0\n";
    blank.resize(kFailureRecordSize, ' ');
    blank.back() = '\n';
    plat_file_write(f, blank.data(), static_cast<uint32_t>(blank.size()));
    plat_file_close(f);
}

bool srv_failure_read(const std::string& dir, int64_t* when, std::string* text) {
    *when = 0;
    text->clear();
    plat_file f = plat_file_open_read(failure_path(dir).c_str());
    if (f == PLAT_NO_FILE) return false;
    char buf[kFailureRecordSize + 1];
    int32_t n = plat_file_read(f, buf, kFailureRecordSize);
    plat_file_close(f);
    if (n <= 0) return false;
    std::string r(buf, static_cast<size_t>(n));
    const size_t head = sizeof kFailureHead - 1;
    if (r.compare(0, head, kFailureHead) != 0) return false;
    size_t eol = r.find('\n', head);
    if (eol == std::string::npos) return false;
    *when = strtoll(r.c_str() + head, nullptr, 10);
    *text = r.substr(eol + 1);
    while (!text->empty() && (text->back() == ' ' || text->back() == '\n'))
        text->pop_back();
    return *when > 0;
}

namespace serving {

int64_t store_free_bytes(srv_server* s) {
    // Only a store that keeps its catalog and blocks in its own folder is
    // judged by that folder's file system.
    if (!s->st->backends.catalog.empty() || !s->st->backends.blocks.empty()) return -1;
    uint64_t bytes = 0;
    if (plat_volume_free_space(s->st->dir.c_str(), &bytes) != 0) return -1;
    return static_cast<int64_t>(bytes);
}

namespace {

// Logs (rate-limited) and records one failure of the store.
void report_failure(srv_server* s, const std::string& line) {
    failure_write(s->st->dir, now_s(), line);
    bool log_now = false;
    uint64_t held_back = 0;
    {
        std::lock_guard<std::mutex> g(s->health_mu);
        const int64_t t = now_ms();
        if (s->failure_logged_ms == 0 || t - s->failure_logged_ms >= kSpaceLogEveryMs) {
            log_now = true;
            held_back = s->failures_unlogged;
            s->failures_unlogged = 0;
            s->failure_logged_ms = t;
        } else {
            s->failures_unlogged++;
        }
    }
    if (!log_now) return;
    if (held_back)
        srv_log(s, "%s (and %llu more store failures since the last line)", line.c_str(),
                static_cast<unsigned long long>(held_back));
    else
        srv_log(s, "%s", line.c_str());
}

// The store's folder as a path that means something outside this process.
std::string store_path(srv_server* s) {
    const std::string& dir = s->st->dir;
    char cwd[4096];
    if (dir.empty() || dir[0] == '/' || plat_get_cwd(cwd, sizeof cwd) != 0) return dir;
    return std::string(cwd) + "/" + dir;
}

std::string space_line(srv_server* s, int64_t free_bytes, const std::string& what) {
    return "no space left on the file system of the store " + store_path(s) + " (" +
           std::to_string(free_bytes) + " bytes free): " + what;
}

} // namespace

bool store_failed(srv_server* s, const std::string& what) {
    const int64_t free_bytes = store_free_bytes(s);
    const bool no_space = free_bytes >= 0 && static_cast<uint64_t>(free_bytes) < kSpaceFloor;
    report_failure(s, no_space ? space_line(s, free_bytes, what + " failed")
                               : "the store " + store_path(s) + " failed: " + what + " failed");
    return no_space;
}

bool store_has_room(srv_server* s, uint64_t bytes, const std::string& what) {
    const int64_t free_bytes = store_free_bytes(s);
    if (free_bytes < 0 || static_cast<uint64_t>(free_bytes) >= bytes + kSpaceFloor) return true;
    report_failure(s, space_line(s, free_bytes, what + " refused"));
    return false;
}

} // namespace serving
