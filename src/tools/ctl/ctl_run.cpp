// ctl_run.cpp - "tavni-ctl run": one job with the agent in the foreground, for
// a person at a terminal or for a timer. It starts the agent in the
// installation folder, shows the job's progress while it runs, and then tells
// how the job ended, by words and by exit code (ctl_outcome.h).
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_outcome.h"
#include "tools/ctl/ctl_watch.h"

#include "agent/ipc.h"
#include "common/owner.h"
#include "platform/platform.h"

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

// Progress is looked at this often while the agent runs, and more often
// until its area is first seen: a short job may end within a few of these.
const uint32_t poll_ms = 200;
const uint32_t first_poll_ms = 10;
// A log is read whole up to this size; the lines that judge a job come
// early (agent.log) or are found anywhere in the first part read.
const size_t max_log = 64u << 20;

struct run_options {
    std::string root;
    std::string agent;
    std::string schedule;
};

int not_run(const std::string& message) {
    fprintf(stderr, "tavni-ctl: %s\n", message.c_str());
    return RUN_NOT_RUN;
}

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

bool read_new_log(const std::string& path, const std::string& head_before, std::string* text) {
    if (!read_text_file(path, max_log, text)) return false;
    return !text->empty() && text->substr(0, text->find('\n')) != head_before;
}

// The mail-queue files of the schedule (name.eml, name-1.eml ... name-9.eml).
std::vector<std::string> queue_files(const std::string& schedule) {
    std::vector<std::string> out{schedule + ".eml"};
    for (int i = 1; i <= 9; i++)
        out.push_back(schedule + "-" + std::to_string(i) + ".eml");
    return out;
}

int run_job(const run_options& o) {
    std::error_code ec;
    const std::string schedule = absolute(o.schedule);
    if (!fs::is_regular_file(schedule, ec))
        return not_run("the schedule file '" + schedule + "' does not exist.");
    const std::string root =
        o.root.empty() ? fs::path(schedule).parent_path().string() : absolute(o.root);
    if (!fs::is_regular_file(fs::path(root) / "etc" / "tavni.ak", ec))
        return not_run("'" + root +
                       "' is not an installation folder: it has no etc/tavni.ak (name the folder "
                       "with --root).");
    if (!fs::is_regular_file(fs::path(root) / "etc" / "hosts", ec))
        return not_run("'" + root +
                       "' has no etc/hosts: write the backup server there as HOST:PORT.");
    const std::string agent = o.agent.empty() ? default_agent() : absolute(o.agent);
    if (!fs::is_regular_file(agent, ec))
        return not_run("the agent '" + agent + "' does not exist (name it with --agent PATH).");
    // The command line is split at blanks and grouped by double quotes: a
    // path holding a quote cannot be passed whole.
    if (agent.find('"') != std::string::npos || schedule.find('"') != std::string::npos)
        return not_run("a path that holds a double quote cannot be passed to the agent.");

    // One agent per machine owns the job mailslot; a second would run nothing
    // and disturb the first one's progress display.
    if (ipc_tx_setup(plat_job_mailslot_name, -1) == IPC_OK) {
        ipc_tx_close();
        return not_run("another Tavni Backup agent is running; run again once it has ended "
                       "(or queue the job on it with: tavni-ctl queue SCHEDULE).");
    }

    const std::string agent_log = (fs::path(root) / "agent.log").string();
    const std::string job_log = schedule + ".log";
    const std::string agent_head = first_line(agent_log);
    const std::string job_head = first_line(job_log);
    const fs::file_time_type started = fs::file_time_type::clock::now();

    // The agent takes its current directory as its installation folder.
    char cwd[4096];
    if (plat_get_cwd(cwd, sizeof cwd) != 0) cwd[0] = 0;
    if (plat_set_cwd(root.c_str()) != 0)
        return not_run("cannot enter the installation folder '" + root + "'.");
    const std::string command = "\"" + agent + "\" background \"" + schedule + "\"";
    const uint32_t spawned = plat_tick_ms();
    plat_process* child = plat_process_start(command.c_str());
    const int start_error = plat_last_error();
    if (cwd[0]) plat_set_cwd(cwd);
    if (!child) {
        char text[256];
        return not_run("cannot start the agent '" + agent +
                       "': " + plat_error_text(start_error, text, sizeof text));
    }

    watch_display w;
    w.terminal = plat_stdout_is_terminal();
    w.job_log = job_log;
    job_evidence e;
    plat_wait_result waited = PLAT_WAIT_TIMEOUT;
    bool seen_ours = false;
    progress_record first{};
    // Once our agent's area is open it is held: the handle outlives the
    // agent, so the record it wrote last is read after its end, whenever
    // the last look before it came.
    owner<plat_shm, plat_shm_close> area;
    auto look = [&] {
        if (!area) area.reset(plat_shm_open(plat_progress_area_name));
        if (!area) return;
        uint8_t bytes[PROGRESS_RECORD_SIZE];
        if (plat_shm_read(area.get(), bytes, sizeof bytes) != PROGRESS_RECORD_SIZE) return;
        progress_record r;
        progress_decode(bytes, &r);
        // A record made before our agent started is an older one (its area
        // is let go); a later reset is another agent's that ran nothing. The
        // agent stamps the area with the same millisecond clock.
        if (!seen_ours) {
            if (r.created_tick - spawned >= 0x80000000u) {
                area.reset();
                return;
            }
            first = r;
            seen_ours = true;
        } else if (progress_from_other_agent(first, r)) {
            return;
        }
        e.have_progress = true;
        e.progress = r;
    };
    for (;;) {
        look();
        if (e.have_progress) watch_show(&w, e.progress);
        if (plat_process_wait(child, seen_ours ? poll_ms : first_poll_ms, &waited) != 0 ||
            waited != PLAT_WAIT_TIMEOUT)
            break;
    }
    e.agent_exited = waited == PLAT_WAIT_ENDED && plat_process_exit_code(child, &e.agent_exit) == 0;
    plat_process_close(child);
    if (area) look();
    area.reset();
    if (e.have_progress) watch_show(&w, e.progress);
    watch_end_line(&w);

    e.have_agent_log = read_new_log(agent_log, agent_head, &e.agent_log);
    if (!e.have_agent_log) e.agent_log.clear();
    e.have_job_log = read_new_log(job_log, job_head, &e.job_log);
    if (!e.have_job_log) e.job_log.clear();
    job_outcome outcome = judge_job(e);
    if (!e.agent_exited && outcome.code != RUN_NOT_RUN) {
        outcome.code = RUN_NOT_RUN;
        outcome.text = "the agent's end could not be awaited";
    }

    const std::string line = outcome_line(outcome, e.have_progress ? &e.progress : nullptr);
    if (outcome.code >= RUN_FAILED)
        fprintf(stderr, "tavni-ctl: %s\n", line.c_str());
    else
        printf("%s\n", line.c_str());
    if (outcome.code != RUN_NOT_RUN && e.have_job_log) printf("Job log: %s\n", job_log.c_str());
    for (const std::string& q : queue_files(schedule)) {
        if (fs::is_regular_file(q, ec) && fs::last_write_time(q, ec) >= started && !ec)
            printf("The report was queued in '%s'; 'tavni-ctl mail send' delivers it.\n",
                   q.c_str());
    }
    fflush(stdout);
    return outcome.code;
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
        "run", "Run one job with the agent in the foreground, show its progress, and exit with "
               "how it ended");
    run->add_option("--root", o->root,
                    "installation folder (holding etc/tavni.ak and etc/hosts) that the agent runs "
                    "in (default: the schedule file's folder)");
    run->add_option("--agent", o->agent,
                    "the agent's program (default: tavni-backup next to tavni-ctl)");
    run->add_option("SCHEDULE", o->schedule, "schedule file to run")->required();
    run->footer("Exit codes:\n"
                "  0  the job completed\n"
                "  1  the job completed, but some items could not be backed up (see the job log)\n"
                "  2  the job was stopped by the user (tavni-ctl stop)\n"
                "  3  the job failed; the reason is printed (also a job that completed but\n"
                "     whose files the server did not confirm at the lock release)\n"
                "  4  the agent did not run the job: it could not start, another agent is\n"
                "     running, or the command line or installation folder is wrong\n"
                "On a terminal a progress bar is shown; otherwise a plain line every few "
                "seconds.\n"
                "The job log is SCHEDULE.log; reports that the server did not take are queued\n"
                "beside the schedule for 'tavni-ctl mail send'.\n"
                "Examples:\n"
                "  tavni-ctl run /opt/tavni/nightly.tbs\n"
                "  tavni-ctl run --root /opt/tavni /etc/tavni/jobs/nightly.tbs\n"
                "  crontab: 30 2 * * * /opt/tavni/tavni-ctl run /opt/tavni/nightly.tbs");
    run->callback([o] {
        int rc = run_job(*o);
        fflush(stdout);
        std::exit(rc);
    });
}
