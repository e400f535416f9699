// ctl_ipc.cpp - tavni-ctl queue, progress and stop: the local side of the job
// mailslot, the progress area and the terminate event.
#include "tools/ctl/commands.h"

#include "agent/ipc.h"
#include "runtime/progress.h"
#include "platform/platform.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

// Redraws of `progress --watch` per second.
const uint32_t watch_interval_ms = 200;

[[noreturn]] void fail(int code, const char* message) {
    fprintf(stderr, "tavni-ctl: %s\n", message);
    fflush(stdout);
    std::exit(code);
}

// The agent runs in its installation folder: a relative path is made
// absolute here, where the caller meant it.
std::string absolute_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.string();
}

void queue_job(const std::string& given, bool as_is, long agent_uid) {
    const std::string path = as_is ? given : absolute_path(given);
    if (path.empty()) fail(2, "an empty path cannot be queued.");
    if (path.size() + 1 > IPC_MESSAGE_MAX)
        fail(2, "the path is longer than 1023 characters; the agent cannot take it.");
    int rc = ipc_tx_setup(plat_job_mailslot_name, agent_uid);
    if (rc == IPC_TX_OPEN_FAILED)
        fail(1, "no Tavni Backup agent is running (the job mailslot cannot be opened).");
    if (rc != IPC_OK)
        fail(1, "the agent's job mailslot does not take messages now (its queue may be full).");
    rc = ipc_tx_write(path.c_str(), path.size() + 1);
    ipc_tx_close();
    if (rc != IPC_OK) fail(1, "the job could not be written to the job mailslot.");
    printf("Queued '%s'.\n", path.c_str());
}

enum read_result { AREA_READ, AREA_MISSING, AREA_SHORT };

// Takes one copy of the area, read-only. An area shorter than a record was
// damaged by someone other than the agent: it is reported, never half-read.
read_result read_progress(progress_record* record, long* got) {
    plat_shm* area = plat_shm_open(plat_progress_area_name);
    if (!area) return AREA_MISSING;
    uint8_t bytes[PROGRESS_RECORD_SIZE];
    *got = plat_shm_read(area, bytes, sizeof bytes);
    plat_shm_close(area);
    if (*got != PROGRESS_RECORD_SIZE) return AREA_SHORT;
    progress_decode(bytes, record);
    return AREA_READ;
}

[[noreturn]] void fail_short(long got) {
    char message[160];
    snprintf(message, sizeof message,
             "the progress area holds %ld of its %d bytes; it was damaged or is being rebuilt "
             "(try again).",
             got < 0 ? 0 : got, PROGRESS_RECORD_SIZE);
    fail(1, message);
}

// A text field ends at its NUL or at the field's end, whichever comes first.
int text_len(const char* field, size_t size) {
    return static_cast<int>(strnlen(field, size));
}

bool is_complete(const progress_record& r) {
    return strncmp(r.status_text, "Complete", PROGRESS_TEXT_SIZE) == 0;
}

void print_progress(const progress_record& r) {
    printf("Status:  %.*s\n", text_len(r.status_text, PROGRESS_TEXT_SIZE), r.status_text);
    printf("Job:     %.*s\n", text_len(r.job_name, PROGRESS_TEXT_SIZE), r.job_name);
    printf("Item:    %.*s\n", text_len(r.item_name, PROGRESS_ITEM_SIZE), r.item_name);
    printf("Items:   %llu sent, %llu current, %llu failed\n",
           static_cast<unsigned long long>(r.items_sent),
           static_cast<unsigned long long>(r.items_current),
           static_cast<unsigned long long>(r.items_failed));
    printf("Bytes:   %llu of %llu (item %llu of %llu)\n",
           static_cast<unsigned long long>(r.done_bytes),
           static_cast<unsigned long long>(r.total_bytes),
           static_cast<unsigned long long>(r.item_done),
           static_cast<unsigned long long>(r.item_size));
}

void draw_bar(const progress_record& r) {
    const int width = 30;
    unsigned percent = 0;
    if (is_complete(r))
        percent = 100;
    else if (r.total_bytes > 0)
        percent = static_cast<unsigned>(
            r.done_bytes >= r.total_bytes ? 100 : r.done_bytes * 100 / r.total_bytes);
    char bar[width + 1];
    int filled = static_cast<int>(percent) * width / 100;
    for (int i = 0; i < width; i++)
        bar[i] = i < filled ? '#' : '-';
    bar[width] = 0;
    // Clear the line, then draw; the item is cut to keep one line.
    printf("\r\033[K[%s] %3u%%  %.*s  %.*s", bar, percent,
           text_len(r.status_text, PROGRESS_TEXT_SIZE), r.status_text,
           text_len(r.item_name, 60) < 60 ? text_len(r.item_name, 60) : 60, r.item_name);
    fflush(stdout);
}

void show_progress(bool watch) {
    progress_record r;
    long got = 0;
    read_result rr = read_progress(&r, &got);
    if (rr == AREA_MISSING) fail(1, "no progress information: no Tavni Backup agent is running.");
    if (rr == AREA_SHORT) fail_short(got);
    if (!watch) {
        print_progress(r);
        return;
    }
    for (;;) {
        draw_bar(r);
        if (is_complete(r)) break;
        plat_sleep_ms(watch_interval_ms);
        // A short area is the agent's to mend at its next update: the last
        // record stays on screen meanwhile.
        while ((rr = read_progress(&r, &got)) == AREA_SHORT)
            plat_sleep_ms(watch_interval_ms);
        if (rr == AREA_MISSING) {
            printf("\nThe agent has ended.\n");
            return;
        }
    }
    printf("\n");
}

void stop_job() {
    plat_event* event = plat_event_open(plat_terminate_event_name);
    if (!event) fail(1, "no Tavni Backup agent is running (the terminate event does not exist).");
    int rc = plat_event_signal(event);
    plat_event_close(event);
    if (rc != 0) fail(1, "the terminate event could not be signalled.");
    printf("Stop requested.\n");
}

} // namespace

void register_ipc_commands(CLI::App& app) {
    static std::string queue_path;
    static bool queue_as_is = false;
    static long queue_uid = -1;
    CLI::App* queue =
        app.add_subcommand("queue", "Queue a schedule file on the running agent's job mailslot");
    queue->add_option("path", queue_path, "schedule file to run")->required();
    queue->add_flag("--as-is", queue_as_is,
                    "send the path unchanged (relative paths are made absolute otherwise)");
    queue
        ->add_option("--agent-uid", queue_uid,
                     "Linux: queue on the agent of this user id (default: one's own user's; "
                     "only root's and one's own agent take the job)")
        ->check(CLI::NonNegativeNumber);
    queue->callback([] { queue_job(queue_path, queue_as_is, queue_uid); });

    static bool watch = false;
    CLI::App* progress = app.add_subcommand("progress", "Show the running agent's progress area");
    progress->add_flag("--watch,-w", watch, "redraw a progress bar until the agent completes");
    progress->callback([] { show_progress(watch); });

    CLI::App* stop = app.add_subcommand("stop", "Ask the running agent to stop its job");
    stop->callback([] { stop_job(); });
}
