// ctl_outcome.h - how a job ended, read from what the agent leaves behind:
// its exit code, agent.log, the job log and the last progress record seen.
// The agent's own exit code says only whether it started; the rest says what
// the job did. Pure text work: nothing here touches files or processes.
#pragma once

#include "runtime/progress.h"

#include <cstdint>
#include <string>

// Exit codes of "tavni-ctl run", for timers and cron.
enum run_exit_code {
    RUN_COMPLETED = 0,    // the job completed
    RUN_FAILED_ITEMS = 1, // completed, with items that could not be backed up
    RUN_STOPPED = 2,      // stopped by the user
    RUN_FAILED = 3,       // the job failed (text: the reason)
    RUN_NOT_RUN = 4,      // the agent did not run the job
    RUN_NOT_WAITED = 5,   // tavni-ctl stopped waiting (a second Ctrl-C); the job runs on
};

struct job_evidence {
    bool agent_exited = false; // agent_exit is known
    uint32_t agent_exit = 0;
    bool have_agent_log = false;
    std::string agent_log; // whole text of agent.log
    bool have_job_log = false;
    std::string job_log; // whole text of the job log
    bool have_progress = false;
    // The last record seen while the job ran, its counters (items and done
    // bytes) taken as this job's own: less those of the agent's earlier jobs.
    progress_record progress{};
};

struct job_outcome {
    int code = RUN_FAILED;
    std::string text; // one sentence, no line end
    std::string note; // a further sentence (with its full stop), or empty
    // The job's items as its progress record counts them (counts_known), the
    // record's counters less those of the agent's earlier jobs.
    bool counts_known = false;
    uint64_t sent = 0;
    uint64_t current = 0;
    uint64_t failed_items = 0;
    uint64_t files_total = 0; // from the job log's totals, 0 when absent
};

// Why a job could not log in, from "Unable to start user session (Error N)":
// the code's text with what it means for the user.
std::string session_failure_text(int code);

// The message of a log line without its timestamp ("YYYY-MM-DD hh:mm:ss.mmmm] ")
// and line end; a line without a timestamp is returned as it is.
std::string log_message(const std::string& line);

// Judges the evidence; never fails (an unknown end is RUN_FAILED with a text
// that points at the logs).
job_outcome judge_job(const job_evidence& e);

// "Total number of files: N" of the job log, or 0.
uint64_t job_log_total_files(const std::string& job_log);
