// ctl_outcome.cpp - how a job ended, judged from the agent's logs and its last
// progress record. The agent exits with 0 whatever its job did, so the job
// log's lines say how the job ended; the counts of items come from the
// progress record alone, which counts a failed item exactly when the report
// records it (and every such item has its line in the job log).
#include "tools/ctl/ctl_outcome.h"

#include "protocol/codes.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<std::string> messages_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(log_message(text.substr(at, end - at)));
        at = end + 1;
    }
    return out;
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool contains(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

// The reason a failure report gives, where a job-log line names it.
bool failure_reason(const std::string& m, std::string* reason) {
    // A server refused for its key: the line names it and both keys.
    const char changed[] = "Server identity changed: ";
    if (starts_with(m, changed)) {
        std::string what = m.substr(sizeof changed - 1);
        *reason = "the backup server's identity changed: " +
                  what.substr(0, what.find("; not logging in")) +
                  "; nothing was sent to it (tavni-ctl trust-server accepts a deliberate change)";
        return true;
    }
    const char session[] = "Unable to start user session (Error ";
    if (starts_with(m, session)) {
        int code = atoi(m.c_str() + sizeof session - 1);
        *reason = session_failure_text(code);
        return true;
    }
    if (starts_with(m, "Maximum number of attempts to obtain user lock exhausted")) {
        *reason =
            std::string(ctfs_err_text(ERR_ACCESS)) + " (the user lock stayed with another session)";
        return true;
    }
    if (contains(m, "MASSIVELY FATAL ERROR")) {
        *reason = "Massively fatal internal error! Backup aborted.";
        return true;
    }
    if (starts_with(m,
                    "The server did not confirm that the files sent by this backup are stored")) {
        *reason = "The backup server could not confirm that the files sent by this backup are "
                  "stored; the next backup checks them again.";
        return true;
    }
    // A fatal pre- or post-backup command: "TEXT; [Exit code N; ]Aborting ...".
    if (contains(m, "failure is fatal)")) {
        size_t cut = m.find("; ");
        *reason = m.substr(0, cut);
        return true;
    }
    return false;
}

// The final line of a failed item or a retry's note (no count is taken from
// these: they only stand in when no progress record was seen).
bool is_item_error(const std::string& m) {
    if (contains(m, "MASSIVELY FATAL ERROR")) return false;
    return starts_with(m, "ITEM: ERROR") || starts_with(m, "FILE: ERROR") ||
           starts_with(m, "DIRECTORY: ERROR") || starts_with(m, "PRESYNC: ERROR") ||
           starts_with(m, "FILE: File does not exist");
}

// "procjob('...') completed with error code N" of agent.log: the schedule was
// refused before the job began.
bool refused_code(const std::vector<std::string>& agent, int* code) {
    for (const std::string& m : agent) {
        size_t at = m.find("') completed with error code ");
        if ((starts_with(m, "initial procjob('") || starts_with(m, "procjob('")) &&
            at != std::string::npos) {
            *code = atoi(m.c_str() + at + strlen("') completed with error code "));
            return true;
        }
    }
    return false;
}

} // namespace

std::string session_failure_text(int code) {
    const std::string text = ctfs_err_text(code);
    switch (code) {
    case ERR_BADPATH:
        return text + " (etc/hosts is missing from the installation folder)";
    case ERR_IO:
        return text + " (no backup server of etc/hosts completed the connection: check the "
                      "address and that the server runs)";
    case ERR_FSACCESS:
        return text + " (the backup server could not write its store: see its log; its disk "
                      "may be full)";
    case ERR_AUTH_FAILURE:
        return "the backup server refused the log-in: " + text +
               " (the schedule's UserId= or account key is not the one the server has for the "
               "user)";
    case ERR_ACCOUNT_STATUS_INACTIVE:
    case ERR_USER_LOCKED:
        return "the backup server refused the log-in: " + text;
    default:
        return text;
    }
}

std::string log_message(const std::string& line) {
    std::string m = line;
    while (!m.empty() && (m.back() == '\r' || m.back() == '\n'))
        m.pop_back();
    // "2026-12-08 20:49:25.0123] ": digits, dashes, a blank, colons, a dot.
    size_t close = m.find("] ");
    if (close == std::string::npos || close < 10) return m;
    for (size_t i = 0; i < close; i++) {
        char c = m[i];
        if (!(isdigit(static_cast<unsigned char>(c)) || c == '-' || c == ':' || c == '.' ||
              c == ' '))
            return m;
    }
    return m.substr(close + 2);
}

uint64_t job_log_total_files(const std::string& job_log) {
    uint64_t total = 0;
    for (const std::string& m : messages_of(job_log))
        if (starts_with(m, "Total number of files: "))
            total = strtoull(m.c_str() + strlen("Total number of files: "), nullptr, 10);
    return total;
}

job_outcome judge_job(const job_evidence& e) {
    job_outcome o;
    const std::vector<std::string> agent = messages_of(e.agent_log);
    const std::vector<std::string> job = messages_of(e.job_log);
    o.files_total = job_log_total_files(e.job_log);
    if (e.have_progress) {
        o.counts_known = true;
        o.sent = e.progress.items_sent;
        o.current = e.progress.items_current;
        o.failed_items = e.progress.items_failed;
    }

    if (e.agent_exited && (e.agent_exit == 1 || e.agent_exit == 2)) {
        o.code = RUN_NOT_RUN;
        o.text =
            "the agent refused its command line (exit code " + std::to_string(e.agent_exit) + ")";
        return o;
    }
    for (const std::string& m : agent) {
        // Comes before the set-up's failure, which it explains.
        if (starts_with(m, "The job mailslot folder '") && contains(m, "' is not safe to use")) {
            o.code = RUN_NOT_RUN;
            o.text = "the agent ran no job: " + m.substr(4, m.find("' is not safe") - 4 + 1) +
                     " is another user's or open to others";
            return o;
        }
        if (starts_with(m, "ipc_rx_setup(") && contains(m, ") failed with error code")) {
            o.code = RUN_NOT_RUN;
            o.text = "another Tavni Backup agent holds the job mailslot, so this one ran no job; "
                     "run again once it has ended";
            return o;
        }
        if (m == "ctfs_init() failed.") {
            o.code = RUN_NOT_RUN;
            o.text = "the agent could not start its network layer and ran no job";
            return o;
        }
        if (starts_with(m, "Error creating backup thread")) {
            o.code = RUN_NOT_RUN;
            o.text = "the agent could not start its backup thread and ran no job";
            return o;
        }
    }
    if (e.agent_exited && e.agent_exit != 0) {
        o.code = RUN_NOT_RUN;
        o.text =
            "the agent ended with exit code " + std::to_string(e.agent_exit) + " (see agent.log)";
        return o;
    }

    int refused = 0;
    if (refused_code(agent, &refused)) {
        o.code = RUN_FAILED;
        o.text = "the agent refused the schedule (error code " + std::to_string(refused) + ")";
        // The job log's last line says why ("Invalid TBS header; aborting.", ...).
        for (auto it = job.rbegin(); it != job.rend(); ++it)
            if (!it->empty()) {
                o.text += ": " + *it;
                break;
            }
        return o;
    }
    if (!e.have_job_log) {
        o.code = RUN_FAILED;
        o.text = "the job log was not written, so how the job ended is unknown (see agent.log)";
        for (const std::string& m : agent)
            if (starts_with(m, "Could not open log file"))
                o.text = "the agent could not write the job log (" + m +
                         "), so how the job ended is unknown";
        return o;
    }

    bool completed = false, stopped = false, disabled = false, store_refused = false;
    std::string reason;
    uint64_t error_lines = 0;
    for (const std::string& m : job) {
        if (starts_with(m, "FILE: ERROR: Server side failure from") &&
            contains(m, "error code 12 on"))
            store_refused = true;
        if (m == "Backup job completed normally.") completed = true;
        if (m == "User terminated the backup." || m == "User terminated backup." ||
            starts_with(m, "Successfully terminated the pre-backup command process."))
            stopped = true;
        if (m == "The schedule is disabled; aborting.") disabled = true;
        if (is_item_error(m)) error_lines++;
        std::string r;
        if (failure_reason(m, &r) && reason.empty()) reason = r;
    }
    if (stopped) {
        o.code = RUN_STOPPED;
        o.text = "the job was stopped by the user";
        return o;
    }
    if (disabled) {
        o.code = RUN_FAILED;
        o.text = "the schedule is disabled (enabled= is not 1), so the job did not run";
        return o;
    }
    if (!reason.empty()) {
        o.code = RUN_FAILED;
        o.text = reason;
        return o;
    }
    if (!completed) {
        o.code = RUN_FAILED;
        o.text = "the job did not complete";
        for (auto it = job.rbegin(); it != job.rend(); ++it)
            if (!it->empty()) {
                o.text += "; the job log ends with: " + *it;
                break;
            }
        return o;
    }
    if (!e.have_progress) {
        // No record was seen (an agent without its progress area): the job
        // log's failure lines are all there is.
        o.failed_items = error_lines;
    }
    if (store_refused)
        o.note = "The backup server could not store them (error 12): see its log; its disk "
                 "may be full.";
    if (o.failed_items > 0 && o.counts_known && o.sent == 0 && o.current == 0) {
        // Nothing of the selection is stored: no success in any sense.
        o.code = RUN_FAILED;
        o.text = "no item could be backed up: " + std::to_string(o.failed_items) +
                 " item(s) failed";
        return o;
    }
    o.code = o.failed_items > 0 ? RUN_FAILED_ITEMS : RUN_COMPLETED;
    o.text = o.failed_items > 0 ? "the job completed, but " + std::to_string(o.failed_items) +
                                      " item(s) could not be backed up"
                                : "the job completed";
    return o;
}
