// ctl_ipc.cpp - tavni-ctl queue, progress and stop: the local side of the job
// mailslot, the progress area and the terminate event.
#include "tools/ctl/commands.h"

#include "agent/ipc.h"
#include "common/json.h"
#include "common/text.h"
#include "runtime/progress.h"
#include "tools/ctl/ctl_outcome.h"
#include "tools/ctl/ctl_watch.h"
#include "platform/platform.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

void queue_job(const std::string& given, bool as_is, int64_t agent_uid) {
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

[[noreturn]] void fail_short(long got) {
    char message[160];
    snprintf(message, sizeof message,
             "the progress area holds %ld of its %d bytes; it was damaged or is being rebuilt "
             "(try again).",
             got < 0 ? 0 : got, PROGRESS_RECORD_SIZE);
    fail(1, message);
}

[[noreturn]] void fail_denied() {
    fail(1, "the progress area is readable only by its agent's user and root: run tavni-ctl as "
            "that user or as root, or let the agent's installation open the area to others "
            "(etc/progress.readers holding \"group\" or \"everyone\").");
}

// A text field ends at its NUL or at the field's end, whichever comes first.
int text_len(const char* field, size_t size) {
    return static_cast<int>(strnlen(field, size));
}

void print_progress(const progress_record& r) {
    printf("Status:  %.*s\n", text_len(r.status_text, PROGRESS_TEXT_SIZE), r.status_text);
    printf("Job:     %.*s\n", text_len(r.job_name, PROGRESS_TEXT_SIZE), r.job_name);
    printf("Item:    %.*s\n", text_len(r.item_name, PROGRESS_ITEM_SIZE), r.item_name);
    printf("Items:   %llu sent, %llu current, %llu failed\n",
           static_cast<unsigned long long>(r.items_sent),
           static_cast<unsigned long long>(r.items_current),
           static_cast<unsigned long long>(r.items_failed));
    // A person at a terminal reads units; a script reading a pipe, bytes.
    auto size = [](uint64_t v) {
        return plat_stdout_is_terminal() ? size_in_units(v) : std::to_string(v);
    };
    printf("Bytes:   %s of %s (item %s of %s)\n", size(r.done_bytes).c_str(),
           size(r.total_bytes).c_str(), size(r.item_done).c_str(), size(r.item_size).c_str());
}

std::string field_text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

void print_progress_json(const progress_record& r) {
    json_object j;
    j.add("status", field_text(r.status_text, PROGRESS_TEXT_SIZE));
    j.add("job", field_text(r.job_name, PROGRESS_TEXT_SIZE));
    j.add("item", field_text(r.item_name, PROGRESS_ITEM_SIZE));
    j.add("items_sent", static_cast<uint64_t>(r.items_sent));
    j.add("items_up_to_date", static_cast<uint64_t>(r.items_current));
    j.add("items_failed", static_cast<uint64_t>(r.items_failed));
    j.add("bytes_done", static_cast<uint64_t>(r.done_bytes));
    j.add("bytes_total", static_cast<uint64_t>(r.total_bytes));
    j.add("item_bytes_done", static_cast<uint64_t>(r.item_done));
    j.add("item_bytes", static_cast<uint64_t>(r.item_size));
    printf("%s\n", j.text().c_str());
}

struct progress_options {
    bool watch = false;
    bool json = false;
    bool wait = false;
    uint32_t wait_seconds = 0; // 0: no limit
    std::string schedule;      // its job log gives the file count and the outcome
};

// Waits for an agent's progress area to appear; false when the time ran out.
bool wait_for_area(const progress_options& o, progress_record* r, long* got) {
    const uint32_t start = plat_tick_ms();
    area_read rr;
    while ((rr = progress_area_read(r, got)) != AREA_READ) {
        if (rr == AREA_DENIED) fail_denied();
        if (o.wait_seconds != 0 && plat_tick_ms() - start >= o.wait_seconds * 1000u) return false;
        plat_sleep_ms(watch_interval_ms);
    }
    return true;
}

void show_progress(const progress_options& o) {
    progress_record r;
    long got = 0;
    area_read rr = progress_area_read(&r, &got);
    if (rr == AREA_MISSING && o.wait && !wait_for_area(o, &r, &got)) {
        char message[120];
        snprintf(message, sizeof message, "no Tavni Backup agent appeared within %u seconds.",
                 static_cast<unsigned>(o.wait_seconds));
        fail(1, message);
    }
    if (rr == AREA_MISSING && !o.wait)
        fail(1, "no progress information: no Tavni Backup agent is running (use --wait to wait "
                "for one).");
    if (rr == AREA_DENIED) fail_denied();
    if (rr == AREA_SHORT) fail_short(got);
    if (o.json) {
        print_progress_json(r);
        return;
    }
    if (!o.watch) {
        print_progress(r);
        return;
    }
    watch_display w;
    w.terminal = plat_stdout_is_terminal();
    if (!o.schedule.empty()) w.job_log = o.schedule + ".log";
    bool ended = false;
    const progress_record first = r;
    for (;;) {
        watch_show(&w, r);
        if (progress_is_complete(r)) break;
        plat_sleep_ms(watch_interval_ms);
        // A short area is the agent's to mend at its next update: the last
        // record stays on screen meanwhile.
        progress_record next;
        while ((rr = progress_area_read(&next, &got)) == AREA_SHORT)
            plat_sleep_ms(watch_interval_ms);
        if (rr == AREA_DENIED) fail_denied();
        if (rr == AREA_MISSING) {
            ended = true;
            break;
        }
        if (!progress_from_other_agent(first, next)) r = next;
    }
    watch_end_line(&w);
    if (ended) printf("The agent has ended.\n");
    job_evidence e;
    e.have_progress = true;
    e.progress = r;
    job_outcome outcome;
    if (!o.schedule.empty()) {
        e.have_job_log = read_text_file(w.job_log, 64u << 20, &e.job_log);
        if (e.have_job_log) {
            outcome = judge_job(e);
        } else {
            outcome.code = RUN_FAILED;
            outcome.text = "the job log '" + w.job_log + "' cannot be read";
        }
    } else {
        // Without the job log only the record speaks.
        outcome.code = r.items_failed > 0 ? RUN_FAILED_ITEMS : RUN_COMPLETED;
        outcome.counts_known = true;
        outcome.sent = r.items_sent;
        outcome.current = r.items_current;
        outcome.failed_items = r.items_failed;
        outcome.text = "the job ended; name its schedule with --schedule to learn whether it "
                       "completed";
    }
    printf("%s\n", outcome_line(outcome, &r).c_str());
    fflush(stdout);
    // A script that watched a job learns how it ended: the exit codes of
    // tavni-ctl run.
    std::exit(outcome.code);
}

void stop_job() {
    plat_event* event = plat_event_open(plat_terminate_event_name);
    if (!event) fail(1, "no Tavni Backup agent is running (the terminate event does not exist).");
    int64_t owner = -1;
    const bool accepted = plat_event_accepts_caller(event, &owner);
    // A stop the agent will refuse is sent all the same: the agent's log
    // then says who asked.
    int rc = plat_event_signal(event);
    plat_event_close(event);
    if (rc != 0) fail(1, "the terminate event could not be signalled.");
    if (!accepted)
        fail(1, ("the running agent is user " + std::to_string(owner) +
                 "'s; it takes a stop only from its own user and root, and refuses this one "
                 "(its process log names the refused request).")
                    .c_str());
    printf("Stop requested.\n");
}

} // namespace

void register_ipc_commands(CLI::App& app) {
    static std::string queue_path;
    static bool queue_as_is = false;
    static int64_t queue_uid = -1;
    CLI::App* queue =
        app.add_subcommand("queue", "Queue a schedule file on the running agent's job mailslot");
    queue->add_option("path", queue_path, "schedule file to run, e.g. /opt/tavni/job.tbs")
        ->required();
    queue->add_flag("--as-is", queue_as_is,
                    "send the path unchanged (relative paths are made absolute otherwise), "
                    "e.g. --as-is job.tbs for a path relative to the agent's folder");
    queue
        ->add_option("--agent-uid", queue_uid,
                     "Linux: queue on the agent of this user id (default: one's own user's; "
                     "only root's and one's own agent take the job), e.g. --agent-uid 1000")
        ->check(CLI::Range(int64_t{0}, int64_t{4294967294LL}));
    queue->footer("The agent must be running (tavni-backup in its installation folder); it runs\n"
                  "queued jobs one after another. Exit code 1 when no agent takes the job.\n"
                  "Examples:\n"
                  "  tavni-ctl queue /opt/tavni/job.tbs\n"
                  "  sudo tavni-ctl queue --agent-uid 1000 /home/bob/tavni/job.tbs  # bob's agent\n"
                  "Check the schedule first with: tavni-ctl check --root /opt/tavni job.tbs");
    queue->callback([] { queue_job(queue_path, queue_as_is, queue_uid); });

    static progress_options po;
    static std::vector<std::string> wait_value;
    CLI::App* progress = app.add_subcommand("progress", "Show the running agent's progress area");
    progress->add_flag("--watch,-w", po.watch,
                       "follow the job until the agent completes: a bar on a terminal (files, "
                       "bytes, rate, time left), a plain line every few seconds otherwise; then "
                       "how the job ended");
    CLI::Option* wait =
        progress
            ->add_option("--wait", wait_value,
                         "wait up to SECONDS (no limit when none are given) for an agent to "
                         "start, instead of failing at once")
            ->expected(0, 1)
            ->type_name("[SECONDS]");
    progress
        ->add_flag("--json", po.json,
                   "print the record once as one JSON object: status, job, item, items_sent, "
                   "items_up_to_date, items_failed, bytes_done, bytes_total, item_bytes_done, "
                   "item_bytes (sizes in bytes)")
        ->excludes("--watch");
    progress->add_option("--schedule", po.schedule,
                         "the running job's schedule file: its job log gives the number of files "
                         "and how the job ended");
    progress->footer("With --watch the exit code says how the job ended, as for tavni-ctl run:\n"
                     "0 completed, 1 completed with failed items, 2 stopped, 3 failed (with\n"
                     "--schedule, from its job log; without it, only the failed items count).\n"
                     "Examples:\n"
                     "  tavni-ctl progress\n"
                     "  tavni-ctl progress --watch --wait 60 --schedule /opt/tavni/nightly.tbs");
    progress->callback([wait] {
        po.wait = wait->count() > 0;
        // "--wait" alone leaves no value, or an empty one.
        if (!wait_value.empty() && !wait_value[0].empty()) {
            char* end = nullptr;
            unsigned long v = strtoul(wait_value[0].c_str(), &end, 10);
            if (*end || v > 86400 * 7)
                fail(2, "--wait takes a number of seconds (up to one week).");
            po.wait_seconds = static_cast<uint32_t>(v);
        }
        show_progress(po);
    });

    CLI::App* stop = app.add_subcommand("stop", "Ask the running agent to stop its job");
    stop->footer("Signals the agent's terminate event; the agent ends the running job at its\n"
                 "next check and logs that it was stopped. It takes no options.\n"
                 "Example:\n"
                 "  tavni-ctl stop && tavni-ctl progress\n"
                 "Exit code 1 when no agent is running.");
    stop->callback([] { stop_job(); });
}
