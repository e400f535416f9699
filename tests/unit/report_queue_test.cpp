// Tests of the mail-queue files: content, encryption with the machine key,
// owner-only creation, one file per queued message, the template chosen by
// the outcome, and tavni-ctl "mail show" reading them back.
#include "report/report.h"

#include "keys/crypt_file.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "report/mail.h"
#include "protocol/frame.h"
#include "support/report_fixture.h"
#include "support/scripted_peer.h"
#include "platform/platform.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

tfs_result g_answer = ERR_IO;
int g_offered = 0;
tfs_result fake_send(ctfs_session*, const ctfs_email_request*) {
    g_offered++;
    return g_answer;
}

// Runs a command line of a program of this build through the shell. cmd.exe
// keeps the quotes of a line that starts with one only when the whole line is
// quoted once more.
int run_program(const std::string& line) {
    return std::system((plat_is_windows ? "\"" + line + "\"" : program_runner() + line).c_str());
}

struct MailQueue : report_folder_test {
    void SetUp() override {
        enter_folder("tavni_queue_");
        machine_key_forget(); // the key of this installation folder
        put("etc/success_html.emt", "S-HTML #JOB#\n#ERROR_LIST#");
        put("etc/success_txt.emt", "S-TXT #JOB#\n#ERROR_LIST#");
        put("etc/failinfo_html.emt", "FI-HTML #ERROR_MESSAGE# #ACCNAME# #ERROR_LIST#");
        put("etc/failinfo_txt.emt", "FI-TXT #ERROR_MESSAGE# #ACCNAME# #ERROR_LIST#");
        put("etc/failnoinfo_html.emt", "FN-HTML #ERROR_MESSAGE# [#ACCNAME#] #ERROR_LIST#");
        put("etc/failnoinfo_txt.emt", "FN-TXT #ERROR_MESSAGE# [#ACCNAME#] #ERROR_LIST#");
        put("job.tbs", "schedule");
        report_reset_for_tests();
        report_set_mail_sender_for_tests(fake_send);
        g_answer = ERR_IO;
        g_offered = 0;
        for (int i = 0; i < 20; i++)
            digest[i] = static_cast<unsigned char>(i * 13);
    }
    void TearDown() override {
        leave_folder();
        machine_key_forget();
    }
    void begin(const char* queue = "job.tbs.eml", int64_t schedule_id = 42) {
        report_begin(queue, "Nightly", recipients, schedule_id, 4000000000u, digest, 1);
    }
    // The plain text of a queue file, read back with the machine key.
    static std::string decrypt(const fs::path& p) {
        std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(p.string().c_str(), "rb"), fclose);
        if (!f) return "(missing)";
        crypt_file cf;
        if (crypt_file_open(&cf, f.get(), 0) != 0) return "(no cipher)";
        std::string out;
        char line[4096];
        while (crypt_file_gets(&cf, line, sizeof line))
            out += line;
        crypt_file_finish(&cf);
        return out;
    }
    std::string header(const char* to, int64_t schedule_id = 42) {
        return "# Tavni Mail Queue\nOpcode=0\nScheduleId=" + std::to_string(schedule_id) +
               "\nUserId=4000000000\nEncryptionToken="
               "000D1A2734414E5B6875828F9CA9B6C3D0DDEAF7\nTo=" +
               to + "\n[message]\n";
    }
};

const char k_heading[] =
    "<tr><td class=\"rowtitle\">File</td><td class=\"rowtitle\">Error</td></tr>";

TEST_F(MailQueue, RefusedSuccessIsQueuedOwnerOnly) {
    set_recipients({"1,a@example.com"});
    begin();
    report_session(session.get());
    report_counting(3, 300, "/x/docs");
    report_file_error_errno("/f", EACCES);
    report_success(300);
    EXPECT_EQ(g_offered, 1);
    EXPECT_EQ(report_record()->lost_messages, 0);
    std::string want = header("a@example.com") + "S-HTML Nightly\n" + k_heading +
                       "<tr><td>/f</td><td>" + strerror(EACCES) + "</td></tr>\n";
    EXPECT_EQ(decrypt("job.tbs.eml"), want);
    EXPECT_NE(read_bytes("job.tbs.eml").find("Tavni"), 0u); // encrypted on disk
#ifndef _WIN32
    EXPECT_EQ(fs::status("job.tbs.eml").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST_F(MailQueue, AcceptedSuccessWritesNoFile) {
    g_answer = 0;
    set_recipients({"1,a@example.com"});
    begin();
    report_session(session.get());
    report_counting(3, 300, "/x/docs");
    report_success(300);
    EXPECT_EQ(g_offered, 1);
    EXPECT_FALSE(fs::exists("job.tbs.eml"));
}

TEST_F(MailQueue, FailureTemplateFollowsTheSession) {
    set_recipients({"1,a@example.com"});
    begin();
    report_fail_text("Unable to connect");
    EXPECT_EQ(g_offered, 0); // failures never go to the server
    EXPECT_EQ(decrypt("job.tbs.eml"),
              header("a@example.com") + "FN-HTML Unable to connect [] " + k_heading);

    fs::remove("job.tbs.eml");
    begin();
    report_session(session.get());
    report_fail_code(ERR_USER_LOCKED);
    EXPECT_EQ(decrypt("job.tbs.eml"), header("a@example.com") + "FI-HTML " +
                                          ctfs_err_text(ERR_USER_LOCKED) + " Acme " + k_heading);

    fs::remove("job.tbs.eml");
    begin();
    report_session(session.get());
    report_counting(1, 1, "/d");
    report_fail_text("stopped");
    EXPECT_EQ(decrypt("job.tbs.eml"),
              header("a@example.com") +
                  "FI-HTML stopped Acme <tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");
}

TEST_F(MailQueue, OnlyWhenErrorsDoesNotSkipBeforeCounting) {
    set_recipients({"2,a@example.com"});
    begin("job.tbs.eml", -5);
    report_session(session.get());
    report_fail_text("lock");
    EXPECT_EQ(decrypt("job.tbs.eml"), header("a@example.com", -5) + "FI-TXT lock Acme ");
}

TEST_F(MailQueue, EachQueuedMessageGetsItsOwnFile) {
    set_recipients({"1,a@x", "0,b@x", "c@x"});
    put("job.tbs.eml", "older message"); // left by an earlier job
    begin("job.tbs-1.eml");              // as the schedule reader chose it
    report_fail_text("boom");
    EXPECT_EQ(read_bytes("job.tbs.eml"), "older message");
    EXPECT_EQ(decrypt("job.tbs-1.eml"), header("a@x") + "FN-HTML boom [] " + k_heading);
    EXPECT_EQ(decrypt("job.tbs-2.eml"), header("b@x") + "FN-TXT boom [] ");
    EXPECT_EQ(decrypt("job.tbs-3.eml"), header("c@x") + "FN-HTML boom [] " + k_heading);
    EXPECT_FALSE(fs::exists("job.tbs-4.eml"));
}

TEST_F(MailQueue, NextQueueNameFollowsTheScheduleName) {
    put("s", "schedule s");
    put("s.eml", "q");
    EXPECT_EQ(report_next_queue_path("s.eml"), "s-1.eml");
    put("s-1.eml", "q");
    EXPECT_EQ(report_next_queue_path("s-1.eml"), "s-2.eml");
    // A schedule whose own name ends in "-1".
    put("t-1", "schedule t-1");
    put("t-1.eml", "q");
    EXPECT_EQ(report_next_queue_path("t-1.eml"), "t-1-1.eml");
    // All names taken: the last one is reused.
    for (int i = 1; i <= 9; i++)
        put(("s-" + std::to_string(i) + ".eml").c_str(), "q");
    EXPECT_EQ(report_next_queue_path("s.eml"), "s-9.eml");
}

TEST_F(MailQueue, UnusableKeyLeavesNoFileBehind) {
    fs::create_directories("etc/tavni.ak"); // a folder: no key can be read or made
    set_recipients({"1,a@x"});
    begin();
    report_fail_text("boom");
    EXPECT_EQ(report_record()->lost_messages, 1);
    EXPECT_EQ(report_state_get(), REPORT_IDLE);
    EXPECT_FALSE(fs::exists("job.tbs.eml"));
}

// tavni-ctl decrypts the file with the installation's key and shows it.
TEST_F(MailQueue, CtlMailShowPrintsTheFile) {
    const char* build = getenv("TAVNI_BUILD_DIR");
    if (!build) GTEST_SKIP() << "TAVNI_BUILD_DIR names the folder of tavni-ctl";
    fs::path ctl = fs::absolute(fs::path(old_cwd) / build / "tavni-ctl");
    set_recipients({"1,a@example.com"});
    begin();
    report_session(session.get());
    report_counting(3, 300, "/x/docs");
    report_success(300);
    std::string plain = decrypt("job.tbs.eml");
    ASSERT_EQ(plain.compare(0, 18, "# Tavni Mail Queue"), 0);

    fs::current_path(old_cwd); // --root names the installation folder
    std::string cmd = "\"" + ctl.string() + "\" mail show --root \"" + dir.string() +
                      "\" --html-out \"" + (dir / "body.html").string() + "\" \"" +
                      (dir / "job.tbs.eml").string() + "\" > \"" + (dir / "out.txt").string() +
                      "\"";
    ASSERT_EQ(run_program(cmd), 0) << cmd;
    EXPECT_EQ(slurp(dir / "out.txt"), plain); // standard output is text
    EXPECT_EQ(read_bytes(dir / "body.html"),
              std::string("S-HTML Nightly\n") +
                  "<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");

    // Another installation's key cannot read it.
    fs::create_directories(dir / "other" / "etc");
    std::ofstream(dir / "other" / "etc" / "tavni.ak", std::ios::binary) << std::string(4096, 'k');
    cmd = "\"" + ctl.string() + "\" mail show --root \"" + (dir / "other").string() + "\" \"" +
          (dir / "job.tbs.eml").string() + "\" > \"" + (dir / "out2.txt").string() + "\" 2>&1";
    EXPECT_NE(run_program(cmd), 0);
    fs::current_path(dir);
}

// The success message goes to a real server session: accepted, nothing is
// queued; refused, the same message lands in the queue file.
TEST_F(MailQueue, SuccessMessageThroughTheServer) {
    report_set_mail_sender_for_tests(nullptr); // the real ctfs_email
    ASSERT_EQ(ctfs_init(), 0);
    scripted_peer peer;
    put("etc/hosts", peer.hosts_line());
    auto run_job = [&](ctfs_session* s) {
        ctfs_session_init(s);
        s->auth_mode = AUTH_MODE_AGENT;
        s->cipher_mode = CTFS_CIPHER_AES;
        s->user_id = 42;
        strcpy(s->primary_list, "etc/hosts");
        strcpy(s->account.account_name, "Acme");
        strcpy(s->user.user_name, "bob");
        begin();
        report_session(s);
        report_counting(2, 20, "/x/docs");
        report_transferred();
        report_success(20);
    };
    set_recipients({"0,a@example.com"});
    peer.push(peer_step::answer(0)); // the e-mail request is accepted
    run_job(session.get());
    std::vector<peer_request> reqs;
    for (const peer_request& q : peer.requests())
        if (q.type == TFS_EMAIL) reqs.push_back(q);
    ASSERT_EQ(reqs.size(), 1u);
    const std::string body = "S-TXT Nightly\n - None!\n";
    std::vector<uint8_t> want = {0, 0, 0, 0, 0, 0, 0, 0, 42, 1, 13};
    for (char c : std::string("a@example.com"))
        want.push_back(static_cast<uint8_t>(c));
    for (uint8_t b : {0, 0, 0, static_cast<int>(body.size()), 0, static_cast<int>(body.size())})
        want.push_back(b);
    for (char c : body)
        want.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(reqs[0].payload, want);
    EXPECT_FALSE(fs::exists("job.tbs.eml"));
    ctfs_session_close(session.get());

    peer.push(peer_step::answer(ERR_ACCESS)); // refused
    run_job(session.get());
    EXPECT_EQ(decrypt("job.tbs.eml"), header("a@example.com") + body);
    ctfs_session_close(session.get());
    ctfs_cleanup();
}

} // namespace
