// Tests of the job report record: call order and its guard, counters, the
// errors list, recipients and the server hand-off of success messages.
#include "report/report.h"

#include "runtime/log.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "report/mail.h"
#include "support/report_fixture.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct sent_mail {
    int64_t schedule_id;
    std::string to;
    std::string body;
};

std::vector<sent_mail> g_sent;
tfs_result g_answer = 0;
int64_t g_clock = 1700000000;

tfs_result fake_send(ctfs_session*, const ctfs_email_request* r) {
    sent_mail m;
    m.schedule_id = r->schedule_id;
    EXPECT_EQ(blob_list_count(r->recipients), 1);
    m.to = static_cast<const char*>(blob_list_get(r->recipients, 0));
    m.body.assign(r->body, r->body_length);
    g_sent.push_back(m);
    return g_answer;
}
int64_t fake_clock() {
    return g_clock;
}

// A temporary installation folder as the current directory, with small
// templates that show which one was used.
struct Reporter : report_folder_test {
    void SetUp() override {
        enter_folder("tavni_report_");
        put("etc/success_html.emt", "S-HTML #JOB# #NUM_FAILED#\r\n#ERROR_LIST#");
        put("etc/success_txt.emt", "S-TXT #JOB# #NUM_FAILED#\n#ERROR_LIST#");
        put("etc/failinfo_html.emt", "FI-HTML #ERROR_MESSAGE# #ACCNAME# #ERROR_LIST#");
        put("etc/failinfo_txt.emt", "FI-TXT #ERROR_MESSAGE# #ACCNAME# #ERROR_LIST#");
        put("etc/failnoinfo_html.emt", "FN-HTML #ERROR_MESSAGE# [#ACCNAME#] #ERROR_LIST#");
        put("etc/failnoinfo_txt.emt", "FN-TXT #ERROR_MESSAGE# [#ACCNAME#] #ERROR_LIST#");
        report_reset_for_tests();
        report_set_mail_sender_for_tests(fake_send);
        report_set_clock_for_tests(fake_clock);
        g_sent.clear();
        g_answer = 0;
        for (int i = 0; i < 20; i++)
            digest[i] = static_cast<unsigned char>(0xA0 + i);
    }
    void TearDown() override {
        report_set_clock_for_tests(nullptr);
        job_log_close();
        leave_folder();
    }
    void begin(int default_flags = 1, const char* queue = "job.tbs.eml") {
        report_begin(queue, "Nightly", recipients, 42, 7, digest, default_flags);
    }
    // A job up to counting, with the given number of failed files.
    void run_to_counting(int failures) {
        begin();
        report_session(session.get());
        report_counting(10, 1000, "/x/docs");
        for (int i = 0; i < failures; i++)
            report_file_error_errno(("/f" + std::to_string(i)).c_str(), ENOENT);
    }
};

TEST_F(Reporter, CompleteJobHandsSuccessToServer) {
    set_recipients({"1,a@example.com"});
    begin();
    EXPECT_EQ(report_state_get(), REPORT_BEGUN);
    EXPECT_STREQ(report_record()->encryption_token, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");
    EXPECT_EQ(report_record()->start_time, g_clock);
    EXPECT_EQ(report_record()->body.capacity, 131072u);
    report_session(session.get());
    EXPECT_EQ(report_state_get(), REPORT_IN_SESSION);
    EXPECT_STREQ(report_record()->account_name, "Acme");
    EXPECT_STREQ(report_record()->user_name, "bob");
    report_counting(10, 1000, "/x/docs");
    EXPECT_EQ(report_state_get(), REPORT_COUNTING);
    report_transferred();
    report_transferred();
    report_up_to_date();
    report_file_error_errno("/f", ENOENT);
    g_clock += 61;
    report_success(5000);
    EXPECT_EQ(report_state_get(), REPORT_IDLE);
    const job_report* r = report_record();
    EXPECT_EQ(r->files_transferred, 2u);
    EXPECT_EQ(r->files_up_to_date, 1u);
    EXPECT_EQ(r->files_failed, 1u);
    EXPECT_EQ(r->stop_size, 5000u);
    EXPECT_EQ(r->stop_time, g_clock);
    EXPECT_EQ(r->errors, nullptr); // freed with the report
    EXPECT_EQ(r->body.text, nullptr);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].schedule_id, 42);
    EXPECT_EQ(g_sent[0].to, "a@example.com");
    EXPECT_EQ(
        g_sent[0].body,
        std::string("S-HTML Nightly 1\n"
                    "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>"
                    "<tr><td>/f</td><td>") +
            strerror(ENOENT) + "</td></tr>\n");
    EXPECT_EQ(r->lost_messages, 0);
}

TEST_F(Reporter, SuccessAfterFailureLogsAndSilencesTheNextJob) {
    ASSERT_EQ(job_log_open((dir / "job.log").string().c_str()), 0);
    set_recipients({"1,a@example.com"});
    run_to_counting(0);
    report_fail_text("stopped");
    EXPECT_EQ(report_state_get(), REPORT_IDLE);
    report_success(0);
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    job_log_close();
    std::string log = slurp(dir / "job.log");
    EXPECT_NE(log.find("] report_success() problem at line 586\n"), std::string::npos) << log;

    // The next job of the process: every call keeps state 4, nothing is sent.
    run_to_counting(0);
    report_transferred();
    report_success(0);
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    report_fail_text("again");
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(Reporter, CallsOutOfOrderBreakTheReporter) {
    set_recipients({"1,a@example.com"});
    begin();
    report_session(session.get());
    report_transferred(); // before counting
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    report_counting(1, 1, "/d");
    report_success(0);
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    EXPECT_TRUE(g_sent.empty());

    struct {
        void (*call)();
    } wrong[] = {
        {[] { report_session(nullptr); }},
        {[] { report_counting(0, 0, ""); }},
        {[] { report_up_to_date(); }},
        {[] { report_file_error_errno("/p", 1); }},
        {[] { report_file_error_code("/p", 4); }},
        {[] { report_fail_code(4); }},
        {[] { report_success(0); }},
    };
    for (auto& w : wrong) { // each in state 0, where only report_begin is accepted
        report_reset_for_tests();
        w.call();
        EXPECT_EQ(report_state_get(), REPORT_BROKEN);
    }
    report_reset_for_tests();
    begin();
    begin(); // twice
    EXPECT_EQ(report_state_get(), REPORT_BROKEN);
}

TEST_F(Reporter, CountersAreSixtyFourBit) {
    run_to_counting(0);
    job_report* r = report_record_mutable();
    r->files_transferred = r->files_up_to_date = 0xFFFFFFFFu;
    report_transferred();
    report_up_to_date();
    EXPECT_EQ(r->files_transferred, 0x100000000ull);
    EXPECT_EQ(r->files_up_to_date, 0x100000000ull);
    r->files_failed = 0xFFFFFFFFu;
    report_file_error_code("/p", 4);
    EXPECT_EQ(r->files_failed, 0x100000000ull);
}

TEST_F(Reporter, ErrorsComeInPairs) {
    run_to_counting(0);
    errno = 1234;
    report_file_error_errno("/one", 99999);
    EXPECT_EQ(errno, 1234);
    report_file_error_code("/two", 4);
    const blob_list* e = report_record()->errors;
    ASSERT_EQ(blob_list_count(e), 4);
    EXPECT_STREQ(static_cast<const char*>(blob_list_get(e, 0)), "/one");
    EXPECT_STREQ(static_cast<const char*>(blob_list_get(e, 1)), "Unknown error");
    EXPECT_STREQ(static_cast<const char*>(blob_list_get(e, 2)), "/two");
    EXPECT_STREQ(static_cast<const char*>(blob_list_get(e, 3)), ctfs_err_text(4));
    EXPECT_EQ(report_record()->files_failed, 2u);
}

TEST_F(Reporter, RecipientFlags) {
    struct {
        std::vector<const char*> entries;
        int default_flags;
        int failures;
        std::vector<std::string> want; // "to|first word of the body"
    } cases[] = {
        {{"2,a@x"}, 1, 0, {"internal-backup-agent|S-HTML"}}, // skipped: the fallback gets HTML
        {{"2,a@x"}, 0, 1, {"a@x|S-TXT"}},
        {{"3,a@x"}, 0, 1, {"a@x|S-HTML"}},
        {{"3,a@x"}, 0, 0, {"internal-backup-agent|S-HTML"}},
        {{"0,a@x"}, 1, 0, {"a@x|S-TXT"}},
        {{"a@x"}, 1, 0, {"a@x|S-HTML"}}, // bare address: default flags
        {{"a@x"}, 0, 0, {"a@x|S-TXT"}},
        {{"2,a@x", "0,b@x"}, 1, 0, {"b@x|S-TXT"}}, // one delivered: no fallback
        {{"1,a@x", "b@x", "6,c@x"}, 0, 0, {"a@x|S-HTML", "b@x|S-TXT"}},
        {{}, 0, 0, {"internal-backup-agent|S-HTML"}},
    };
    for (auto& c : cases) {
        report_reset_for_tests();
        g_sent.clear();
        blob_list_free(recipients);
        recipients = blob_list_new(4, 4, nullptr);
        for (const char* e : c.entries)
            blob_list_append_text(recipients, e);
        report_begin("q.eml", "J", recipients, 1, 1, digest, c.default_flags);
        report_session(session.get());
        report_counting(1, 1, "/d");
        for (int i = 0; i < c.failures; i++)
            report_file_error_errno("/f", EACCES);
        report_success(1);
        std::vector<std::string> got;
        for (auto& m : g_sent)
            got.push_back(m.to + "|" + m.body.substr(0, m.body.find(' ')));
        EXPECT_EQ(got, c.want) << (c.entries.empty() ? "(none)" : c.entries[0]);
    }
    // No recipient list at all.
    report_reset_for_tests();
    g_sent.clear();
    report_begin("q.eml", "J", nullptr, 1, 1, digest, 0);
    report_session(session.get());
    report_counting(1, 1, "/d");
    report_success(1);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].to, "internal-backup-agent");
}

TEST_F(Reporter, MissingTemplateAndOversizedBody) {
    fs::remove("etc/success_txt.emt");
    set_recipients({"0,a@x"});
    run_to_counting(0);
    report_success(0);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].body, "\nEmail template missing!");

    // A body past 10 MiB is cut at a whole piece and still delivered; the
    // report then ends as usual.
    std::string t;
    for (int i = 0; i < 2500; i++)
        t += "#ERROR_LIST#"; // 30000 bytes
    put("etc/success_txt.emt", t);
    g_sent.clear();
    run_to_counting(0);
    std::string long_path(5000, 'p');
    report_file_error_errno(long_path.c_str(), EACCES);
    report_success(0);
    EXPECT_EQ(report_state_get(), REPORT_IDLE);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_LT(g_sent[0].body.size(), 10485760u);
    EXPECT_GT(g_sent[0].body.size(), 10000000u);
}

TEST_F(Reporter, NewJobForgetsThePreviousSession) {
    set_recipients({"1,a@x"});
    run_to_counting(1);
    report_success(0);
    session.reset(); // the previous job's session is gone
    begin();
    const job_report* r = report_record();
    EXPECT_EQ(r->session, nullptr);
    EXPECT_EQ(r->account_name, nullptr);
    EXPECT_EQ(r->user_name, nullptr);
    EXPECT_EQ(r->destination, nullptr);
    EXPECT_EQ(r->errors, nullptr);
    EXPECT_EQ(r->files_failed, 1u); // plain values stay until counting
}

TEST_F(Reporter, QueueFileThatCannotBeCreatedLosesOnlyThatMessage) {
    set_recipients({"1,a@x"});
    g_answer = ERR_IO; // the server refuses, so the message goes to the queue
    report_begin("no/such/folder/job.eml", "J", recipients, 1, 1, digest, 1);
    report_session(session.get());
    report_counting(1, 1, "/d");
    report_success(0);
    EXPECT_EQ(report_record()->lost_messages, 1);
    EXPECT_EQ(report_state_get(), REPORT_IDLE); // the job goes on; the next one reports
    g_answer = 0;
    g_sent.clear();
    run_to_counting(0);
    report_success(0);
    EXPECT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(report_record()->lost_messages, 0);
}

} // namespace
