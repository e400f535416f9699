// progress.cpp - the progress area and the terminate event.
//
// The private copy is changed under a lock (the watchdog writes "Complete"
// while the backup thread may be updating) and then encoded whole into the
// shared area with one write of the platform's, which never faults whatever
// another process did to the area. Readers in other processes take no lock
// and must accept a record caught in the middle of a copy.
#include "runtime/progress.h"

#include "runtime/log.h"
#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

static_assert(sizeof(progress_record) == PROGRESS_RECORD_SIZE, "progress record size");
static_assert(offsetof(progress_record, total_bytes) == 0, "total_bytes");
static_assert(offsetof(progress_record, done_bytes) == 8, "done_bytes");
static_assert(offsetof(progress_record, reserved1) == 16, "reserved1");
static_assert(offsetof(progress_record, items_current) == 24, "items_current");
static_assert(offsetof(progress_record, items_failed) == 32, "items_failed");
static_assert(offsetof(progress_record, items_sent) == 40, "items_sent");
static_assert(offsetof(progress_record, item_size) == 48, "item_size");
static_assert(offsetof(progress_record, item_done) == 56, "item_done");
static_assert(offsetof(progress_record, status_text) == 64, "status_text");
static_assert(offsetof(progress_record, job_name) == 304, "job_name");
static_assert(offsetof(progress_record, item_name) == 544, "item_name");
static_assert(offsetof(progress_record, created_time) == 4640, "created_time");
static_assert(offsetof(progress_record, created_tick) == 4656, "created_tick");
static_assert(offsetof(progress_record, backup_tick) == 4660, "backup_tick");
static_assert(offsetof(progress_record, reserved2) == 4664, "reserved2");

namespace {

std::mutex g_lock;
plat_shm* g_area = nullptr;
plat_event* g_event = nullptr;
progress_record g_record;

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get_u32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}
uint64_t get_u64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

// A run of items passed without work (files found current) is published at
// most this often; any other update publishes what they changed with it.
const uint32_t pass_publish_ms = 50;
uint32_t g_published_tick; // when the record was last published; under g_lock
// The tick of the last paced check of the terminate event; under g_lock.
bool g_event_checked;
uint32_t g_event_tick;

// Caller holds g_lock.
void publish() {
    if (!g_area) return;
    g_published_tick = plat_tick_ms();
    uint8_t bytes[PROGRESS_RECORD_SIZE];
    progress_encode(&g_record, bytes);
    // A failed write leaves the readers an older record; the job goes on.
    plat_shm_write(g_area, bytes, sizeof bytes);
}

// Copies at most size bytes and zero-fills the rest; no terminator when the
// text fills the field.
void set_text(char* field, size_t size, const char* text) {
    strncpy(field, text ? text : "", size);
}

} // namespace

void progress_encode(const progress_record* r, uint8_t* out) {
    put_u64(out + 0, r->total_bytes);
    put_u64(out + 8, r->done_bytes);
    put_u64(out + 16, r->reserved1);
    put_u64(out + 24, r->items_current);
    put_u64(out + 32, r->items_failed);
    put_u64(out + 40, r->items_sent);
    put_u64(out + 48, r->item_size);
    put_u64(out + 56, r->item_done);
    memcpy(out + 64, r->status_text, PROGRESS_TEXT_SIZE);
    memcpy(out + 304, r->job_name, PROGRESS_TEXT_SIZE);
    memcpy(out + 544, r->item_name, PROGRESS_ITEM_SIZE);
    for (int i = 0; i < 8; i++)
        put_u16(out + 4640 + 2 * i, r->created_time[i]);
    put_u32(out + 4656, r->created_tick);
    put_u32(out + 4660, r->backup_tick);
    put_u64(out + 4664, r->reserved2);
}

void progress_decode(const uint8_t* in, progress_record* r) {
    r->total_bytes = get_u64(in + 0);
    r->done_bytes = get_u64(in + 8);
    r->reserved1 = get_u64(in + 16);
    r->items_current = get_u64(in + 24);
    r->items_failed = get_u64(in + 32);
    r->items_sent = get_u64(in + 40);
    r->item_size = get_u64(in + 48);
    r->item_done = get_u64(in + 56);
    memcpy(r->status_text, in + 64, PROGRESS_TEXT_SIZE);
    memcpy(r->job_name, in + 304, PROGRESS_TEXT_SIZE);
    memcpy(r->item_name, in + 544, PROGRESS_ITEM_SIZE);
    for (int i = 0; i < 8; i++)
        r->created_time[i] = get_u16(in + 4640 + 2 * i);
    r->created_tick = get_u32(in + 4656);
    r->backup_tick = get_u32(in + 4660);
    r->reserved2 = get_u64(in + 4664);
}

const char* const progress_readers_file = "etc/progress.readers";

int progress_open() {
    return progress_open_names(plat_progress_area_name, plat_terminate_event_name);
}

plat_shm_readers progress_readers_setting(const char* path, bool* unknown) {
    if (unknown) *unknown = false;
    FILE* f = plat_fopen_read(path, true);
    if (!f) return PLAT_SHM_OWNER;
    // The first word that is no comment; a line longer than the buffer is
    // read on in pieces and its first piece alone counts.
    char line[256];
    char word[16] = "";
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        const char* p = line + strspn(line, " \t");
        const size_t n = strcspn(p, " \t\r\n#");
        if (n == 0) continue;
        found = true;
        if (n < sizeof word) {
            memcpy(word, p, n);
            word[n] = 0;
        }
    }
    fclose(f);
    if (!found) return PLAT_SHM_OWNER;
    if (strcmp(word, "everyone") == 0) return PLAT_SHM_EVERYONE;
    if (strcmp(word, "group") == 0) return PLAT_SHM_GROUP;
    if (unknown) *unknown = true;
    return PLAT_SHM_OWNER;
}

namespace {

// Refused stops since the event was made. A stranger must not be able to
// fill the disk with log lines.
log_refusals g_stops_refused{"stop requests"};

void note_refused_stop(void*, const plat_event_sender* sender) {
    log_refusal(&g_stops_refused,
                "Refused a stop request from user %lld (process %lld); only the agent's own user "
                "and root may stop its job.\n",
                static_cast<long long>(sender->uid), static_cast<long long>(sender->pid));
}

} // namespace

int progress_open_names(const char* area_name, const char* event_name) {
    progress_close();
    bool unknown = false;
    const plat_shm_readers readers = progress_readers_setting(progress_readers_file, &unknown);
    if (unknown)
        agent_log_printf("%s names neither \"group\" nor \"everyone\"; the progress area is "
                         "readable by the agent's user and root only.\n",
                         progress_readers_file);
    plat_shm_step failed = PLAT_SHM_MADE;
    plat_shm* area = plat_shm_create(area_name, PROGRESS_RECORD_SIZE, &failed, readers);
    if (!area) {
        const int error = plat_last_error();
        switch (failed) {
        case PLAT_SHM_SECURITY:
            agent_log_printf("InitSecDesc() failed.\n");
            break;
        case PLAT_SHM_SECURITY_ACL:
            agent_log_printf("SetSecDescDacl() failed.\n");
            break;
        case PLAT_SHM_VIEW:
            agent_log_printf("Could not map view of file (Error %d). Progress information will "
                             "not be available.\n",
                             error);
            break;
        default:
            agent_log_printf(
                "Could not create file mapping object (Error %d). Backup progress information "
                "will not be available.\n",
                error);
            break;
        }
        return -1;
    }
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_area = area;
        memset(&g_record, 0, sizeof g_record);
        plat_systime now;
        plat_local_time(&now);
        const uint16_t fields[8] = {now.year, now.month,  now.day_of_week, now.day,
                                    now.hour, now.minute, now.second,      now.milliseconds};
        memcpy(g_record.created_time, fields, sizeof fields);
        g_record.created_tick = plat_tick_ms();
        set_text(g_record.status_text, PROGRESS_TEXT_SIZE, "Initializing...");
        publish();
    }
    log_refusals_end(&g_stops_refused, false);
    plat_event* event = plat_event_create(event_name, note_refused_stop, nullptr);
    if (event)
        agent_log_printf("Successfully created hTerminateBackupEvent event\n");
    else
        agent_log_printf("CreateEvent failed (%d)\n", plat_last_error());
    std::lock_guard<std::mutex> hold(g_lock);
    g_event = event;
    g_event_checked = false;
    return 0;
}

void progress_close() {
    std::lock_guard<std::mutex> hold(g_lock);
    log_refusals_end(&g_stops_refused, g_event != nullptr);
    plat_event_close(g_event);
    g_event = nullptr;
    plat_shm_close(g_area);
    g_area = nullptr;
}

void progress_set_status(const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    set_text(g_record.status_text, PROGRESS_TEXT_SIZE, text);
    publish();
}

void progress_set_job_name(const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    set_text(g_record.job_name, PROGRESS_TEXT_SIZE, text);
    publish();
}

void progress_begin_item(const char* name, uint64_t size) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    set_text(g_record.item_name, PROGRESS_ITEM_SIZE, name);
    g_record.item_size = size;
    g_record.item_done = 0;
    publish();
}

void progress_item_bytes(uint64_t count) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    g_record.item_done = count;
    publish();
}

namespace {

void end_item(int kind) {
    g_record.done_bytes += g_record.item_size;
    g_record.item_done = g_record.item_size;
    if (kind == PROGRESS_END_CURRENT)
        g_record.items_current++;
    else if (kind == PROGRESS_END_FAILED)
        g_record.items_failed++;
    else if (kind == PROGRESS_END_SENT)
        g_record.items_sent++;
}

} // namespace

void progress_end_item(int kind) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    end_item(kind);
    publish();
}

void progress_pass_item(const char* name, uint64_t size, int kind) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    set_text(g_record.item_name, PROGRESS_ITEM_SIZE, name);
    g_record.item_size = size;
    end_item(kind);
    if (plat_tick_ms() - g_published_tick >= pass_publish_ms) publish();
}

void progress_count_failed() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    g_record.items_failed++;
    publish();
}

void progress_set_total(uint64_t bytes) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    g_record.total_bytes = bytes;
    publish();
}

void progress_set_start_tick(uint32_t tick) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    g_record.backup_tick = tick;
    publish();
}

void progress_complete() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_area) return;
    set_text(g_record.status_text, PROGRESS_TEXT_SIZE, "Complete");
    set_text(g_record.item_name, PROGRESS_ITEM_SIZE, "");
    publish();
}

// A stop asked for by the process's interrupts (plat_interrupts_catch: a
// service manager's SIGTERM, a terminal's Ctrl-C) is a signal of the
// terminate event too, consumed by the same check. Caller holds g_lock.
static uint32_t g_interrupts_seen = 0;
static bool interrupt_taken() {
    const uint32_t n = plat_interrupt_count();
    if (n == g_interrupts_seen) return false;
    g_interrupts_seen = n;
    return true;
}

bool terminate_requested() {
    std::lock_guard<std::mutex> hold(g_lock);
    const bool signalled = plat_event_check(g_event);
    return interrupt_taken() || signalled;
}

bool terminate_requested_paced() {
    std::lock_guard<std::mutex> hold(g_lock);
    const uint32_t now = plat_tick_ms();
    if (g_event_checked && now == g_event_tick) return false;
    g_event_checked = true;
    g_event_tick = now;
    const bool signalled = plat_event_check(g_event);
    return interrupt_taken() || signalled;
}
