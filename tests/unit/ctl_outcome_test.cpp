// ctl_outcome_test.cpp - how tavni-ctl run judges a job's end from the logs
// an agent leaves, and the progress line it draws.
#include "tools/ctl/ctl_outcome.h"
#include "tools/ctl/ctl_watch.h"

#include "protocol/codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string stamped(const std::string& lines) {
    std::string out;
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        out += "2026-12-08 21:30:42.0799] " + lines.substr(at, end - at) + "\r\n";
        at = end + 1;
    }
    return out;
}

job_evidence ran(const std::string& job_lines) {
    job_evidence e;
    e.agent_exited = true;
    e.have_agent_log = true;
    e.agent_log = stamped("ipc_rx_setup(x) succeeded.\ninitial procjob('/j.tbs') completed "
                          "successfully\n");
    e.have_job_log = true;
    e.job_log = stamped(job_lines);
    return e;
}

TEST(CtlOutcome, CountsComeFromTheProgressRecordAlone) {
    job_evidence e = ran("Total number of files: 12\nBackup job completed normally.\n");
    e.have_progress = true;
    e.progress.items_sent = 12;
    job_outcome o = judge_job(e);
    EXPECT_EQ(o.code, RUN_COMPLETED);
    EXPECT_EQ(o.files_total, 12u);
    EXPECT_TRUE(o.counts_known);

    // Retries log "FILE: ERROR" lines of their own; they are no failed items.
    e = ran("FILE: ERROR: ERR_BADKEY on '/s/a'\nFILE: WARNING: Retrying file (1 of 20 "
            "attempts)\nFILE: ERROR: ERR_BADKEY on '/s/a'\nFILE: Successfully backed up "
            "'/s/a'\nITEM: ERROR (errno 13) while attempting to stat(): '/s/b'\n"
            "Backup job completed normally.\n");
    e.have_progress = true;
    e.progress.items_sent = 1;
    e.progress.items_failed = 1;
    o = judge_job(e);
    EXPECT_EQ(o.code, RUN_FAILED_ITEMS);
    EXPECT_EQ(o.failed_items, 1u);
    EXPECT_EQ(outcome_line(o, nullptr),
              "the job completed, but 1 item(s) could not be backed up (1 sent, 0 up to date, "
              "1 failed).");

    // Nothing stored at all (the only source is gone): a failure, though
    // the job log ends with the normal line.
    e = ran("ITEM: ERROR (errno 2) while attempting to stat(): '/gone'\n"
            "Backup job completed normally.\n");
    e.have_progress = true;
    e.progress.items_failed = 1;
    o = judge_job(e);
    EXPECT_EQ(o.code, RUN_FAILED);
    EXPECT_NE(o.text.find("no item could be backed up"), std::string::npos) << o.text;

    // Files the server refused for its store (error 12) are named as such.
    e = ran("FILE: ERROR: Server side failure from safe_file_wopen() with error code 12 on "
            "'/s/a'\nFILE: Successfully backed up '/s/b'\nBackup job completed normally.\n");
    e.have_progress = true;
    e.progress.items_sent = 1;
    e.progress.items_failed = 1;
    o = judge_job(e);
    EXPECT_EQ(o.code, RUN_FAILED_ITEMS);
    EXPECT_NE(outcome_line(o, nullptr).find("its disk may be full."), std::string::npos);

    // Without any record the failure lines are all there is.
    e = ran("ITEM: ERROR (errno 13) while attempting to stat(): '/s/a'\n"
            "Backup job completed normally.\n");
    o = judge_job(e);
    EXPECT_EQ(o.code, RUN_FAILED_ITEMS);
    EXPECT_FALSE(o.counts_known);
}

TEST(CtlOutcome, AQueuedJobCountsOnlyItsOwnItems) {
    progress_record r{};
    r.items_sent = 7;
    r.items_current = 3;
    r.items_failed = 2;
    r.done_bytes = 5000;
    job_counters base;
    base.sent = 5;
    base.current = 3;
    base.failed = 1;
    base.done_bytes = 4000;
    const progress_record own = progress_since(r, base);
    EXPECT_EQ(own.items_sent, 2u);
    EXPECT_EQ(own.items_current, 0u);
    EXPECT_EQ(own.items_failed, 1u);
    EXPECT_EQ(own.done_bytes, 1000u);
    // A base above the record (a reset record) never wraps.
    base.sent = 9;
    EXPECT_EQ(progress_since(r, base).items_sent, 0u);
}

TEST(CtlOutcome, StopsAndFailuresGiveTheReportsReason) {
    EXPECT_EQ(judge_job(ran("FILE: '/s/big' ...\nUser terminated the backup.\n")).code,
              RUN_STOPPED);
    job_outcome o = judge_job(ran("Unable to start user session (Error 6); aborting.\n"));
    EXPECT_EQ(o.code, RUN_FAILED);
    EXPECT_EQ(o.text, std::string(ctfs_err_text(6)));
    // A refused log-in reads as one, whatever came before it.
    o = judge_job(ran("Unable to start user session (Error 21); aborting.\n"));
    EXPECT_EQ(o.text.compare(0, 38, "the backup server refused the log-in: "), 0) << o.text;
    o = judge_job(ran("Unable to start user session (Error 12); aborting.\n"));
    EXPECT_NE(o.text.find("could not write its store"), std::string::npos) << o.text;
    o = judge_job(ran("Pre-Backup command 'x' returned non-zero exit code 3; Exit code 3; "
                      "Aborting (pre-backup command failure is fatal).\n"));
    EXPECT_EQ(o.code, RUN_FAILED);
    EXPECT_EQ(o.text, "Pre-Backup command 'x' returned non-zero exit code 3");
    // A fatal post-backup command follows a complete transfer: still a failure.
    o = judge_job(ran("Backup of files complete.\nPost-Backup command 'y' returned non-zero exit "
                      "code 1; Exit code 1; Aborting (post-backup command failure is fatal).\n"));
    EXPECT_EQ(o.code, RUN_FAILED);
    // The server not confirming the transfer is a failure, though the job
    // log ends with the normal line.
    o = judge_job(ran("The server did not confirm that the files sent by this backup are stored "
                      "(Error 4); the next backup checks them again.\n"
                      "Backup job completed normally.\n"));
    EXPECT_EQ(o.code, RUN_FAILED);
    // Its reason is a sentence of its own: the line the watch prints ends
    // with one full stop.
    progress_record last{};
    strcpy(last.job_name, "big");
    EXPECT_EQ(outcome_line(o, &last),
              "Job 'big': The backup server could not confirm that the files sent by this backup "
              "are stored; the next backup checks them again.");
    // One full stop after a reason that is a sentence of its own.
    EXPECT_EQ(outcome_line(o, nullptr).find(".."), std::string::npos) << outcome_line(o, nullptr);
    EXPECT_EQ(judge_job(ran("The schedule is disabled; aborting.\n")).code, RUN_FAILED);
    // A job log that stops short is no success.
    EXPECT_EQ(judge_job(ran("FILE: '/s/a' ...\n")).code, RUN_FAILED);
}

TEST(CtlOutcome, AgentsThatRanNoJob) {
    job_evidence e = ran("");
    e.agent_log = stamped("ipc_rx_setup(Tavni/Tavni Backup/Backup Job Mailslot) failed with error "
                          "code: 98.\n");
    e.have_job_log = false;
    EXPECT_EQ(judge_job(e).code, RUN_NOT_RUN);
    EXPECT_NE(judge_job(e).text.find("another Tavni Backup agent"), std::string::npos);
    // A folder it may not use is no other agent: the folder is named instead.
    e.agent_log = stamped("The job mailslot folder '/tmp/tavni-backup-7' is not safe to use "
                          "(Operation not permitted); no jobs can be queued.\n"
                          "ipc_rx_setup(Tavni/Tavni Backup/Backup Job Mailslot) failed with error "
                          "code: 1.\n");
    EXPECT_EQ(judge_job(e).code, RUN_NOT_RUN);
    EXPECT_EQ(judge_job(e).text, "the agent ran no job: job mailslot folder '/tmp/tavni-backup-7' "
                                 "is another user's or open to others");
    e = ran("");
    e.agent_exit = 2;
    EXPECT_EQ(judge_job(e).code, RUN_NOT_RUN);
    // A refused schedule: the job log's last line says why.
    e = ran("Parsing TBS file...\nInvalid TBS header; aborting.\n");
    e.agent_log = stamped("initial procjob('/j.tbs') completed with error code 2381\n");
    job_outcome o = judge_job(e);
    EXPECT_EQ(o.code, RUN_FAILED);
    EXPECT_NE(o.text.find("Invalid TBS header; aborting."), std::string::npos) << o.text;
    const std::string line = outcome_line(o, nullptr);
    EXPECT_EQ(line.substr(line.size() - 11), "; aborting.") << line;
    // The same for a job queued on a running agent.
    e.agent_log = stamped("procjob('/j.tbs') completed with error code 2381\n");
    EXPECT_EQ(judge_job(e).code, RUN_FAILED);
}

TEST(CtlWatch, BarCountsTheBytesOfTheCurrentItem) {
    progress_record r{};
    strcpy(r.status_text, "Backing up...");
    strcpy(r.item_name, "/data/big.bin");
    r.total_bytes = 100u << 20;
    r.item_size = 100u << 20;
    r.item_done = 50u << 20; // half of the only file, none ended yet
    r.backup_tick = 1000;
    std::string line = watch_line(r, 1, 11000, true, 79);
    EXPECT_EQ(line.compare(0, 20, "[######------]  50% "), 0) << line;
    EXPECT_NE(line.find("0/1 files 50.0 MiB/100.0 MiB 5.0 MiB/s 0:00:10 left"), std::string::npos)
        << line;
    EXPECT_LE(line.size(), 79u);
    // An ended item counts once: its bytes are in done_bytes already.
    r.done_bytes = r.item_size;
    r.item_done = r.item_size;
    r.items_sent = 1;
    line = watch_line(r, 1, 11000, false, 0);
    EXPECT_EQ(line.compare(0, 5, "100% "), 0) << line;
    EXPECT_NE(line.find("1/1 files 100.0 MiB/100.0 MiB"), std::string::npos) << line;
}

TEST(CtlWatch, ResetsByAgentsThatRanNothingArePassedOver) {
    progress_record first{}, r{};
    first.created_tick = 5;
    strcpy(first.status_text, "Backing up...");
    r = first;
    EXPECT_FALSE(progress_from_other_agent(first, r));
    r.created_tick = 9;
    strcpy(r.status_text, "Complete");
    EXPECT_TRUE(progress_from_other_agent(first, r));
    strcpy(r.status_text, "Calculating...");
    EXPECT_FALSE(progress_from_other_agent(first, r));
}

} // namespace
