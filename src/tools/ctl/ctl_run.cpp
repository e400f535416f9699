// ctl_run.cpp - "tavni-ctl run": one job with the agent, for a person at a
// terminal or for a timer. With no agent running it starts one in the
// installation folder; while one runs (another job, another timer) it queues
// the job on that agent's job mailslot, as the desktop program does, and
// waits for its turn. It shows the job's progress while it runs, passes a
// Ctrl-C (or a service manager's SIGTERM) on as a stop request, and then
// tells how the job ended, by words and by exit code (ctl_outcome.h).
#include "tools/ctl/commands.h"
#include "common/json.h"
#include "tools/ctl/ctl_outcome.h"
#include "tools/ctl/ctl_watch.h"

#include "agent/ipc.h"
#include "common/owner.h"
#include "platform/platform.h"
#include "runtime/time_text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Progress is looked at this often while the job runs, and more often until
// its agent's area is first seen: a short job may end within a few of these.
const uint32_t poll_ms = 200;
const uint32_t first_poll_ms = 10;
// A log is read whole up to this size; the lines that judge a job come
// early (agent.log) or are found anywhere in the first part read.
const size_t max_log = 64u << 20;

struct run_options {
    std::string root;
    std::string agent;
    std::string schedule;
    bool no_wait = false;
    bool json = false;
};

// What one run of the verb found, for the words and the JSON alike.
struct run_result {
    job_outcome outcome;
    std::string job_name;
    bool queued = false;   // the job went to an agent that was running already
    bool have_job_log = false;
    std::vector<std::string> reports; // mail-queue files this job wrote
};

std::string absolute(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The agent next to this program: tavni-backup, with our own suffix (.exe).
std::string default_agent() {
    char self[4096];
    if (plat_exe_path(self, sizeof self) != 0) return "tavni-backup";
    fs::path p(self);
    return (p.parent_path() / ("tavni-backup" + p.extension().string())).string();
}

// The first line of a file, to tell a log written by this run from one left
// by an earlier run (each agent start and each job begins its log anew, and
// the first line carries the time to the millisecond).
std::string first_line(const std::string& path) {
    std::string text;
    if (!read_text_file(path, 4096, &text)) return std::string();
    return text.substr(0, text.find('\n'));
}

// The mail-queue files of the schedule (name.eml, name-1.eml ... name-9.eml).
std::vector<std::string> queue_files(const std::string& schedule) {
    std::vector<std::string> out{schedule + ".eml"};
    for (int i = 1; i <= 9; i++)
        out.push_back(schedule + "-" + std::to_string(i) + ".eml");
    return out;
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool is_idle_status(const progress_record& r) {
    return strncmp(r.status_text, "Checking for additional jobs...", PROGRESS_TEXT_SIZE) == 0 ||
           progress_is_complete(r);
}

// agent.log of the installation folder, read from where it stood when the
// job was handed over: its new lines, or all of it once the agent that
// writes it started anew.
struct log_cursor {
    std::string path;
    std::string head;
    size_t from = 0;
};

log_cursor cursor_at_end(const std::string& path) {
    log_cursor c;
    c.path = path;
    std::string text;
    if (read_text_file(path, max_log, &text)) {
        c.head = text.substr(0, text.find('\n'));
        c.from = text.size();
    }
    return c;
}

// The whole log (when it is the one the cursor began in or a newer one) and
// the messages written since the cursor.
std::vector<std::string> messages_since(const log_cursor& c, std::string* whole) {
    std::vector<std::string> out;
    whole->clear();
    if (!read_text_file(c.path, max_log, whole)) return out;
    size_t at = whole->substr(0, whole->find('\n')) == c.head ? c.from : 0;
    if (at > whole->size()) at = 0;
    while (at < whole->size()) {
        size_t end = whole->find('\n', at);
        if (end == std::string::npos) break; // a line still being written
        out.push_back(log_message(whole->substr(at, end - at)));
        at = end + 1;
    }
    return out;
}

// Follows one job of an agent, from agent.log, the job log and the progress
// area, until it has ended.
struct job_follow {
    std::string schedule;
    std::string job_log;
    std::string job_head; // the job log's first line before the job
    log_cursor agent;
    bool initial = false; // the agent's initial job (an agent of our own)

    bool started = false;
    bool ended = false;
    bool skipped = false;       // the agent dropped it: the same job had just run
    bool agent_log_ours = false; // agent.log names the job: the end is read there
    bool saw_busy = false;      // a non-idle status after the start (no agent.log)

    // The counters at the job's start (items of the agent's earlier jobs).
    bool have_base = false;
    job_counters base;
    bool idle_valid = false; // counters of an idle agent before the start
    job_counters idle;

    bool have_record = false;
    progress_record record{};
};

void follow_logs(job_follow* f) {
    std::string whole;
    const std::string begin = std::string(f->initial ? "initial " : "") + "procjob('" +
                              f->schedule + "') begin";
    const std::string done = std::string(f->initial ? "initial " : "") + "procjob('" +
                             f->schedule + "') completed";
    std::string last_job;
    for (const std::string& m : messages_since(f->agent, &whole)) {
        if (m == begin) {
            f->started = true;
            f->agent_log_ours = true;
        } else if (f->started && f->agent_log_ours && starts_with(m, done)) {
            f->ended = true;
        } else if (!f->started &&
                   m == "The job that just completed was queued to run again; Skipping." &&
                   last_job == f->schedule) {
            f->skipped = true;
        }
        // The job a skip refers to is the one whose end was logged last.
        const size_t open = m.find("procjob('");
        const size_t close = m.rfind("') completed");
        if (open != std::string::npos && close != std::string::npos && close > open + 9)
            last_job = m.substr(open + 9, close - open - 9);
    }
    if (!f->started && !f->job_head.empty() && first_line(f->job_log) != f->job_head)
        f->started = true;
    if (!f->started && f->job_head.empty() && !first_line(f->job_log).empty())
        f->started = true;
}

// Takes one record into the follow: the job's counters are the record's
// less the base; the base is the record of a moment between the end of the
// agent's previous job and the first item of this one.
void follow_record(job_follow* f, const progress_record& r) {
    f->have_record = true;
    f->record = r;
    if (!f->started) {
        const job_counters c = counters_of(r);
        if (is_idle_status(r)) {
            f->idle = c;
            f->idle_valid = true;
        } else if (f->idle_valid && (c.sent != f->idle.sent || c.current != f->idle.current ||
                                     c.failed != f->idle.failed)) {
            f->idle_valid = false; // another job ran items meanwhile
        }
        return;
    }
    if (!is_idle_status(r)) f->saw_busy = true;
    if (f->have_base || f->initial) return;
    // Items end only after the job log's "Starting backup of files...": a
    // record read before the log shows that line holds none of this job's.
    std::string text;
    if (read_text_file(f->job_log, 1u << 20, &text) &&
        text.find("Starting backup of files...") == std::string::npos) {
        f->base = counters_of(r);
        f->have_base = true;
    } else if (f->idle_valid) {
        // The agent was seen idle after its previous job and before this one.
        f->base = f->idle;
        f->have_base = true;
    }
}

// Interrupts (Ctrl-C, SIGTERM) while a job is followed: the first asks the
// agent to stop the job, the second leaves the job running.
struct interrupts {
    uint32_t seen = 0;
    int count = 0;
    bool stop_pending = false; // asked for before the job began
    bool quiet = false;
};

void stop_job_now(interrupts* in) {
    owner<plat_event, plat_event_close> event(plat_event_open(plat_terminate_event_name));
    if (!event || plat_event_signal(event.get()) != 0) {
        if (!in->quiet)
            fprintf(stderr, "tavni-ctl: the agent's terminate event cannot be signalled; the job "
                            "runs on.\n");
        return;
    }
    if (!in->quiet)
        fprintf(stderr, "tavni-ctl: stop requested; waiting for the job to end (press Ctrl-C "
                        "again to stop waiting and leave it running).\n");
}

// Takes the interrupts that arrived; true once tavni-ctl should stop waiting.
bool take_interrupts(interrupts* in, bool job_started) {
    const uint32_t n = plat_interrupt_count();
    while (in->seen != n) {
        in->seen++;
        in->count++;
        if (in->count == 1) {
            if (job_started) {
                stop_job_now(in);
            } else {
                in->stop_pending = true;
                if (!in->quiet)
                    fprintf(stderr, "tavni-ctl: the job waits in the agent's queue; it is stopped "
                                    "when it begins (press Ctrl-C again to stop waiting).\n");
            }
        } else {
            return true;
        }
    }
    if (in->stop_pending && job_started) {
        in->stop_pending = false;
        stop_job_now(in);
    }
    return false;
}

// The progress area of the agent being followed, held once seen, so that the
// record it wrote last is read after its end.
struct area_reader {
    owner<plat_shm, plat_shm_close> area;
    bool own_agent = false; // only a record made after spawned counts
    uint32_t spawned = 0;
    bool seen = false;
    progress_record first{};

    bool read(progress_record* out) {
        if (!area) area.reset(plat_shm_open(plat_progress_area_name));
        if (!area) return false;
        uint8_t bytes[PROGRESS_RECORD_SIZE];
        if (plat_shm_read(area.get(), bytes, sizeof bytes) != PROGRESS_RECORD_SIZE) return false;
        progress_record r;
        progress_decode(bytes, &r);
        if (!seen) {
            // A record made before our agent started is an older one (its
            // area is let go); the agent stamps it with the same clock.
            if (own_agent && r.created_tick - spawned >= 0x80000000u) {
                area.reset();
                return false;
            }
            first = r;
            seen = true;
        } else if (progress_from_other_agent(first, r)) {
            // Another agent that ran nothing reset the shared record.
            return false;
        }
        *out = r;
        return true;
    }
};

enum follow_end { FOLLOW_ENDED, FOLLOW_LOST, FOLLOW_DETACHED };

bool agent_running() {
    plat_mailslot* m = plat_mailslot_open(plat_job_mailslot_name);
    if (!m) return false;
    plat_mailslot_close(m);
    return true;
}

int64_t civil_ms(int y, int mo, int d, int h, int mi, int sec, int ms) {
    return ((time_days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) *
                60 +
            mi) * 60000 +
           sec * 1000 + ms;
}

// Whether the running agent is the one of this installation folder: its
// progress area was made just after the first line of the folder's agent.log
// (both carry the local time), and that log does not say the agent ended.
// Only such an agent may be handed the job: another folder's agent reads
// schedules with its own machine key and servers.
bool running_agent_is_ours(const std::string& agent_log) {
    progress_record r;
    long got = 0;
    if (progress_area_read(&r, &got) != AREA_READ) return false;
    std::string text;
    if (!read_text_file(agent_log, max_log, &text)) return false;
    int y, mo, d, h, mi, sec, frac;
    if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d]", &y, &mo, &d, &h, &mi, &sec, &frac) != 7)
        return false;
    if (text.find("Backup thread exited") != std::string::npos) return false;
    const int64_t logged = civil_ms(y, mo, d, h, mi, sec, frac);
    const uint16_t* t = r.created_time;
    const int64_t made = civil_ms(t[0], t[1], t[3], t[4], t[5], t[6], t[7]);
    return made >= logged && made - logged <= 60000;
}

// Follows the job until it ends. child: our own agent (null for a job queued
// on a running one). LOST: the job never began and the agent is gone (its
// queue was closed just as the job came).
follow_end follow_job(job_follow* f, plat_process* child, area_reader* reader, interrupts* in,
                      watch_display* w, bool show, job_evidence* e) {
    for (;;) {
        follow_logs(f);
        progress_record r;
        const bool have = reader->read(&r);
        if (have) follow_record(f, r);
        if (take_interrupts(in, f->started)) return FOLLOW_DETACHED;
        // A queued job's figures are shown once they can be told from those
        // of the agent's earlier jobs.
        if (show && f->started && have && (f->initial || f->have_base))
            watch_show(w, f->initial ? r : progress_since(r, f->base));
        if (f->ended || f->skipped) break;

        bool gone;
        if (child) {
            plat_wait_result waited = PLAT_WAIT_TIMEOUT;
            gone = plat_process_wait(child, reader->seen ? poll_ms : first_poll_ms, &waited) != 0 ||
                   waited != PLAT_WAIT_TIMEOUT;
            if (gone) {
                e->agent_exited = waited == PLAT_WAIT_ENDED &&
                                  plat_process_exit_code(child, &e->agent_exit) == 0;
            }
        } else {
            // A job log read elsewhere than the agent's own folder: its end
            // is the agent going idle after having been busy with it.
            if (f->started && !f->agent_log_ours && f->saw_busy && have && is_idle_status(r)) break;
            plat_sleep_ms(poll_ms);
            gone = !agent_running();
        }
        if (gone) {
            follow_logs(f);
            progress_record last;
            if (reader->read(&last)) follow_record(f, last);
            if (!f->started && !child) return FOLLOW_LOST;
            break;
        }
    }
    return FOLLOW_ENDED;
}

// Our agent has ended our job and waits a moment for queued ones: while it
// only waits, its end is awaited too, so that the next run finds the
// machine's agent gone rather than about to go. A job queued on it meanwhile
// is its caller's to follow.
void await_idle_end(plat_process* child, area_reader* reader, interrupts* in, job_evidence* e) {
    const uint32_t start = plat_tick_ms();
    while (plat_tick_ms() - start < 60000) {
        plat_wait_result waited = PLAT_WAIT_TIMEOUT;
        if (plat_process_wait(child, poll_ms, &waited) != 0 || waited != PLAT_WAIT_TIMEOUT) {
            e->agent_exited = waited == PLAT_WAIT_ENDED &&
                              plat_process_exit_code(child, &e->agent_exit) == 0;
            return;
        }
        progress_record r;
        if (plat_interrupt_count() != in->seen) return;
        if (reader->read(&r) && !is_idle_status(r)) return;
    }
}

int not_run(run_result* res, const std::string& message) {
    res->outcome.code = RUN_NOT_RUN;
    res->outcome.text = message;
    return RUN_NOT_RUN;
}

// Queues the job on the running agent; false when no agent took it.
bool queue_on_agent(const std::string& schedule) {
    if (ipc_tx_setup(plat_job_mailslot_name, -1) != IPC_OK) return false;
    const int rc = ipc_tx_write(schedule.c_str(), schedule.size() + 1);
    ipc_tx_close();
    return rc == IPC_OK;
}

struct run_context {
    const run_options* o;
    std::string schedule, root, agent, job_log, agent_log;
    interrupts in;
    watch_display w;
};

void gather(run_context* rc, job_follow* f, area_reader* reader, job_evidence* e,
            run_result* res) {
    std::string text;
    e->have_job_log = f->started && read_text_file(rc->job_log, max_log, &text);
    if (e->have_job_log) e->job_log = text;
    // Only the lines of agent.log since the job was handed over speak of it.
    std::string whole;
    std::string lines;
    for (const std::string& m : messages_since(f->agent, &whole))
        lines += m + "\n";
    e->have_agent_log = !whole.empty();
    e->agent_log = lines;
    if (reader->seen && f->have_record && (f->have_base || f->initial)) {
        e->have_progress = true;
        e->progress = progress_since(f->record, f->have_base ? f->base : job_counters());
    }
    res->have_job_log = e->have_job_log;
    if (f->have_record)
        res->job_name = std::string(f->record.job_name,
                                    strnlen(f->record.job_name, PROGRESS_TEXT_SIZE));
}

// Starts our own agent for the job; NOT_RUN with the reason when it cannot.
int start_agent(run_context* rc, run_result* res, plat_process** child, uint32_t* spawned) {
    std::error_code ec;
    if (!fs::is_regular_file(rc->agent, ec))
        return not_run(res, "the agent '" + rc->agent +
                                "' does not exist (name it with --agent PATH).");
    // The command line is split at blanks and grouped by double quotes: a
    // path holding a quote cannot be passed whole.
    if (rc->agent.find('"') != std::string::npos || rc->schedule.find('"') != std::string::npos)
        return not_run(res, "a path that holds a double quote cannot be passed to the agent.");
    // The agent takes its current directory as its installation folder.
    char cwd[4096];
    if (plat_get_cwd(cwd, sizeof cwd) != 0) cwd[0] = 0;
    if (plat_set_cwd(rc->root.c_str()) != 0)
        return not_run(res, "cannot enter the installation folder '" + rc->root + "'.");
    const std::string command = "\"" + rc->agent + "\" background \"" + rc->schedule + "\"";
    *spawned = plat_tick_ms();
    *child = plat_process_start(command.c_str());
    const int start_error = plat_last_error();
    if (cwd[0]) plat_set_cwd(cwd);
    if (!*child) {
        char text[256];
        return not_run(res, "cannot start the agent '" + rc->agent +
                                "': " + plat_error_text(start_error, text, sizeof text));
    }
    return RUN_COMPLETED;
}

// One attempt: our own agent, or the running one's queue. *again: the
// agent's queue closed before it took the job (or another agent took the
// machine's mailslot first): try once more.
int run_once(run_context* rc, run_result* res, bool* again) {
    *again = false;
    const run_options& o = *rc->o;
    job_follow f;
    f.schedule = rc->schedule;
    f.job_log = rc->job_log;
    f.job_head = first_line(rc->job_log);
    f.agent = cursor_at_end(rc->agent_log);
    area_reader reader;
    job_evidence e;
    plat_process* child = nullptr;

    bool queued = false;
    if (agent_running()) {
        if (running_agent_is_ours(rc->agent_log)) {
            queued = queue_on_agent(rc->schedule);
        } else {
            // Another folder's agent holds the machine's job mailslot: the
            // job waits for it to end and then gets an agent of its own.
            if (!o.json) {
                printf("The agent of another installation folder is running; waiting for it to "
                       "end.\n");
                // Said while waiting, also to a pipe or a file.
                fflush(stdout);
            }
            while (agent_running()) {
                if (plat_interrupt_count() != rc->in.seen)
                    return not_run(res, "the job was not started: tavni-ctl was interrupted "
                                        "while another installation's agent ran.");
                plat_sleep_ms(poll_ms);
            }
        }
    }
    res->queued = queued;
    if (queued) {
        if (!o.json) {
            printf("Another job is running; queued '%s' on the running agent.\n",
                   rc->schedule.c_str());
            fflush(stdout);
        }
        if (o.no_wait) {
            res->outcome.code = RUN_COMPLETED;
            res->outcome.text = "the job was queued on the running agent";
            return RUN_COMPLETED;
        }
    } else {
        uint32_t spawned = 0;
        const int started = start_agent(rc, res, &child, &spawned);
        if (started != RUN_COMPLETED) return started;
        f.initial = true;
        reader.own_agent = true;
        reader.spawned = spawned;
        if (o.no_wait) {
            plat_process_close(child);
            res->outcome.code = RUN_COMPLETED;
            res->outcome.text = "the agent was started with the job";
            return RUN_COMPLETED;
        }
    }
    const follow_end end = follow_job(&f, child, &reader, &rc->in, &rc->w, !o.json, &e);
    if (child && end == FOLLOW_ENDED) await_idle_end(child, &reader, &rc->in, &e);
    plat_process_close(child);
    watch_end_line(&rc->w);
    if (end == FOLLOW_LOST) {
        *again = true;
        return RUN_NOT_RUN;
    }
    if (end == FOLLOW_DETACHED) {
        res->outcome.code = RUN_NOT_WAITED;
        res->outcome.text = "tavni-ctl stopped waiting; the job goes on in the agent ('tavni-ctl "
                            "progress' shows it, 'tavni-ctl stop' stops it)";
        return RUN_NOT_WAITED;
    }
    if (f.skipped) {
        // The same schedule had just run: that run is the answer.
        f.started = true;
    }
    gather(rc, &f, &reader, &e, res);
    job_outcome outcome = judge_job(e);
    // Our agent found the job mailslot taken: another agent started just now.
    if (!queued && outcome.code == RUN_NOT_RUN && !f.started &&
        e.agent_log.find("ipc_rx_setup(") != std::string::npos &&
        e.agent_log.find(") failed with error code") != std::string::npos) {
        *again = true;
        return RUN_NOT_RUN;
    }
    if (child == nullptr && !f.started && outcome.code != RUN_NOT_RUN) {
        outcome.code = RUN_NOT_RUN;
        outcome.text = "the running agent did not run the job";
    }
    if (f.skipped)
        outcome.text = "the agent had just run this schedule and did not run it again; that "
                       "run: " + outcome.text;
    res->outcome = outcome;
    return outcome.code;
}

int run_job(const run_options& o, run_result* res) {
    run_context rc;
    rc.o = &o;
    std::error_code ec;
    rc.schedule = absolute(o.schedule);
    if (!fs::is_regular_file(rc.schedule, ec))
        return not_run(res, "the schedule file '" + rc.schedule + "' does not exist.");
    if (rc.schedule.size() + 1 > IPC_MESSAGE_MAX)
        return not_run(res, "the schedule's path is longer than 1023 characters.");
    rc.root = o.root.empty() ? fs::path(rc.schedule).parent_path().string() : absolute(o.root);
    if (!fs::is_regular_file(fs::path(rc.root) / "etc" / "tavni.ak", ec))
        return not_run(res, "'" + rc.root +
                                "' is not an installation folder: it has no etc/tavni.ak (name "
                                "the folder with --root).");
    if (!fs::is_regular_file(fs::path(rc.root) / "etc" / "hosts", ec))
        return not_run(res, "'" + rc.root +
                                "' has no etc/hosts: write the backup server there as HOST:PORT.");
    rc.agent = o.agent.empty() ? default_agent() : absolute(o.agent);
    rc.job_log = rc.schedule + ".log";
    rc.agent_log = (fs::path(rc.root) / "agent.log").string();
    rc.w.terminal = !o.json && plat_stdout_is_terminal();
    rc.w.job_log = rc.job_log;
    rc.in.quiet = o.json;
    // From here a Ctrl-C or a SIGTERM is a stop request, not our end.
    plat_interrupts_catch();
    const fs::file_time_type began = fs::file_time_type::clock::now();

    int code = RUN_NOT_RUN;
    for (int attempt = 0; attempt < 5; attempt++) {
        bool again = false;
        code = run_once(&rc, res, &again);
        if (!again) break;
        if (attempt == 4)
            not_run(res, "the job could not be handed to an agent: agents kept starting and "
                         "ending meanwhile; run it again.");
    }
    if (res->have_job_log) {
        for (const std::string& q : queue_files(rc.schedule))
            if (fs::is_regular_file(q, ec) && fs::last_write_time(q, ec) >= began && !ec)
                res->reports.push_back(q);
    }
    return res->outcome.code;
    (void)code;
}

const char* outcome_word(int code) {
    switch (code) {
    case RUN_COMPLETED:
        return "completed";
    case RUN_FAILED_ITEMS:
        return "completed_with_failed_items";
    case RUN_STOPPED:
        return "stopped";
    case RUN_FAILED:
        return "failed";
    case RUN_NOT_WAITED:
        return "not_waited";
    default:
        return "not_run";
    }
}

void print_json(const run_options& o, const run_result& res) {
    const job_outcome& oc = res.outcome;
    json_object j;
    j.add("schedule", absolute(o.schedule));
    j.add("job", res.job_name);
    j.add("exit_code", static_cast<int64_t>(oc.code));
    j.add("outcome", o.no_wait && oc.code == RUN_COMPLETED
                         ? (res.queued ? "queued" : "started")
                         : outcome_word(oc.code));
    j.add("reason", oc.text);
    j.add_bool("queued", res.queued);
    if (oc.counts_known) {
        j.add("sent", oc.sent);
        j.add("up_to_date", oc.current);
        j.add("failed", oc.failed_items);
    } else {
        j.add_null("sent");
        j.add_null("up_to_date");
        j.add_null("failed");
    }
    j.add("files_total", oc.files_total);
    if (res.have_job_log)
        j.add("job_log", absolute(o.schedule) + ".log");
    else
        j.add_null("job_log");
    j.add_list("queued_reports", res.reports);
    printf("%s\n", j.text().c_str());
}

void print_words(const run_options& o, const run_result& res) {
    const job_outcome& oc = res.outcome;
    if (o.no_wait && oc.code == RUN_COMPLETED) {
        printf("%s.\n", res.queued ? "Queued; the job runs when the agent's current job has ended"
                                   : "Started the agent with the job; 'tavni-ctl progress' "
                                     "shows it");
        return;
    }
    if (oc.code == RUN_NOT_RUN || oc.code == RUN_NOT_WAITED) {
        fprintf(stderr, "tavni-ctl: %s\n", oc.text.c_str());
        return;
    }
    progress_record named{};
    snprintf(named.job_name, sizeof named.job_name, "%s", res.job_name.c_str());
    const std::string line = outcome_line(oc, &named);
    if (oc.code >= RUN_FAILED)
        fprintf(stderr, "tavni-ctl: %s\n", line.c_str());
    else
        printf("%s\n", line.c_str());
    if (res.have_job_log) printf("Job log: %s.log\n", absolute(o.schedule).c_str());
    for (const std::string& q : res.reports)
        printf("The report was queued in '%s'; 'tavni-ctl mail send' delivers it.\n", q.c_str());
}

} // namespace

bool ctl_run_selected(int argc, char** argv) {
    // The first word that is not an option names the verb.
    for (int i = 1; i < argc; i++)
        if (argv[i][0] != '-') return strcmp(argv[i], "run") == 0;
    return false;
}

void register_run_commands(CLI::App& app) {
    auto o = std::make_shared<run_options>();
    CLI::App* run = app.add_subcommand(
        "run", "Run one job with the agent, show its progress, and exit with how it ended; "
               "queues it on the agent that is running, if one is");
    run->add_option("--root", o->root,
                    "installation folder (holding etc/tavni.ak and etc/hosts) that the agent runs "
                    "in (default: the schedule file's folder)");
    run->add_option("--agent", o->agent,
                    "the agent's program (default: tavni-backup next to tavni-ctl)");
    run->add_flag("--no-wait", o->no_wait,
                  "return as soon as the job is queued or the agent started (exit code 0)");
    run->add_flag("--json", o->json,
                  "print the outcome as one JSON object instead of words, and no progress");
    run->add_option("SCHEDULE", o->schedule, "schedule file to run")->required();
    run->footer(
        "While another job runs (another timer, another run), the job is queued on that\n"
        "agent's job mailslot and waits for its turn.\n"
        "Ctrl-C (or SIGTERM) asks the agent to stop the job and waits for its end; a second\n"
        "one stops waiting and leaves the job running (exit code 5).\n"
        "Exit codes:\n"
        "  0  the job completed (with --no-wait: it was queued or the agent started)\n"
        "  1  the job completed, but some items could not be backed up (see the job log)\n"
        "  2  the job was stopped (tavni-ctl stop, Ctrl-C, SIGTERM)\n"
        "  3  the job failed; the reason is printed (also when no item could be backed up,\n"
        "     and a job whose files the server did not confirm at the lock release)\n"
        "  4  the agent did not run the job: it could not start, or the command line or\n"
        "     installation folder is wrong\n"
        "  5  tavni-ctl stopped waiting (a second Ctrl-C); the job goes on in the agent\n"
        "On a terminal a progress bar is shown; otherwise a plain line every few seconds.\n"
        "The job log is SCHEDULE.log; reports that the server did not take are queued\n"
        "beside the schedule for 'tavni-ctl mail send'.\n"
        "--json prints: schedule, job, exit_code, outcome (completed,\n"
        "completed_with_failed_items, stopped, failed, not_run, not_waited, queued,\n"
        "started), reason, queued, sent, up_to_date, failed (null when not known),\n"
        "files_total, job_log (null when none was written), queued_reports.\n"
        "Examples:\n"
        "  tavni-ctl run /opt/tavni/nightly.tbs\n"
        "  tavni-ctl run --root /opt/tavni /etc/tavni/jobs/nightly.tbs\n"
        "  tavni-ctl run --json /opt/tavni/nightly.tbs\n"
        "  crontab: 30 2 * * * /opt/tavni/tavni-ctl run /opt/tavni/nightly.tbs");
    run->callback([o] {
        run_result res;
        const int rc = run_job(*o, &res);
        if (o->json)
            print_json(*o, res);
        else
            print_words(*o, res);
        fflush(stdout);
        fflush(stderr);
        std::exit(rc);
    });
}
