// Tests of the job driver against a scripted server: the user-lock ladder and
// the phases that end a job early. Each test runs in its own temporary
// installation folder (the agent works relative to its current directory).
#include "keys/crypt_file.h"
#include "backup/job.h"
#include "runtime/log.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "protocol/codes.h"
#include "protocol/session.h"
#include "report/report.h"
#include "support/backup_fixture.h"
#include "support/scripted_peer.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_EQ(plat_get_cwd(cwd, sizeof cwd), 0);
        old_cwd_ = cwd;
        dir_ = fs::temp_directory_path() / ("tavni-driver-" + std::to_string(plat_process_id()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "etc");
        fs::create_directories(dir_ / "src");
        std::ofstream(dir_ / "src" / "a.txt") << "a";
        ASSERT_EQ(plat_set_cwd(dir_.string().c_str()), 0);
        machine_key_forget();
        timing t = timing_defaults();
        t.user_lock_sleep_ms = 1;
        t.recv_wait_ms = 200;
        t.reconnect_pause_ms = 1;
        timing_set_for_tests(t);
        ASSERT_EQ(ctfs_init(), 0);
    }
    void TearDown() override {
        ctfs_cleanup();
        timing_set_for_tests(timing_defaults());
        plat_set_cwd(old_cwd_.c_str());
        fs::remove_all(dir_);
    }

    // Writes an encrypted schedule with the given extra lines; its path.
    std::string write_schedule(const std::string& extra) {
        std::string text =
            "# Tavni Backup Schedule\nUserId=7\nAccountId=1\nSchedule=1\nDest=/3\nname=driver\n"
            "enabled=1\nacckey=" +
            std::string(64, 'a') + "\nSrc=" + (dir_ / "src").string() + "\n" + extra;
        std::string path = (dir_ / "job.tbs").string();
        FILE* f = fopen(path.c_str(), "wb");
        crypt_file cf;
        EXPECT_EQ(crypt_file_open(&cf, f, 1), 0);
        crypt_file_write(&cf, text.data(), text.size());
        crypt_file_finish(&cf);
        fclose(f);
        return path;
    }

    void write_hosts(const scripted_peer& peer) {
        std::ofstream(dir_ / "etc" / "hosts") << peer.hosts_line();
    }

    std::string job_log() { return slurp(dir_ / "job.tbs.log"); }

    fs::path dir_;
    std::string old_cwd_;
};

TEST_F(DriverTest, LockHeldForTheWholeMinuteGivesTwelveRetriesAndReportsFour) {
    scripted_peer peer;
    peer.hold_lock(true);
    write_hosts(peer);
    std::string path = write_schedule("");
    EXPECT_EQ(procjob(path.c_str()), 0);

    std::string log = job_log();
    for (int left = 12; left >= 1; left--)
        EXPECT_EQ(count_of(log, "Could not obtain user lock (user already logged in?); Sleeping 5 "
                                "seconds and trying " +
                                    std::to_string(left) + " more times...\n"),
                  1)
            << left;
    EXPECT_EQ(
        count_of(log, "Maximum number of attempts to obtain user lock exhausted; aborting.\n"), 1);
    EXPECT_EQ(count_of(log, "Starting backup of files"), 0);
    int locks = 0;
    for (const peer_request& r : peer.requests())
        if (r.type == TFS_USER_LOCK) locks++;
    EXPECT_EQ(locks, 13);
    ASSERT_NE(report_record()->failure_message, nullptr);
    EXPECT_STREQ(report_record()->failure_message, ctfs_err_text(ERR_ACCESS));
    EXPECT_EQ(report_state_get(), REPORT_IDLE);
}

TEST_F(DriverTest, RefusedLogInEndsTheJobWithTheServersCode) {
    scripted_peer peer;
    peer.set_auto_auth(false);
    peer.push(peer_step::answer(ERR_AUTH_FAILURE));
    write_hosts(peer);
    std::string path = write_schedule("");
    EXPECT_EQ(procjob(path.c_str()), 0);
    EXPECT_EQ(count_of(job_log(), "Unable to start user session (Error 21); aborting.\n"), 1);
    ASSERT_NE(report_record()->failure_message, nullptr);
    EXPECT_STREQ(report_record()->failure_message, "Authentication error");
}

TEST_F(DriverTest, CountsTheSelectionBeforeTheSession) {
    fs::create_directories(dir_ / "src" / "sub");
    std::ofstream(dir_ / "src" / "sub" / "b.txt") << "bb";
    scripted_peer peer;
    peer.hold_lock(true);
    write_hosts(peer);
    std::string path = write_schedule("Src=" + (dir_ / "missing").string() +
                                      "\nXSrc=" + (dir_ / "src" / "sub").string() + "\n");
    EXPECT_EQ(procjob(path.c_str()), 0);
    std::string log = job_log();
    EXPECT_EQ(count_of(log, "Processing top-level directory: '" + (dir_ / "src").string() + "'\n"),
              1);
    EXPECT_EQ(count_of(log, "Total number of files: 2\n"), 1); // a.txt and the missing source
    EXPECT_EQ(count_of(log, "Total number of missing items: 1\n"), 1);
    EXPECT_EQ(count_of(log, "Total size of files: 1 bytes\n"), 1); // sub/ is excluded
    EXPECT_EQ(count_of(log, "Total number of directories: 1\n"), 1);
}

// The end of a job goes to the server in a fixed order: the report's e-mail
// while the lock is held, then the lock release with the new index's stamp,
// and nothing after it. The report cannot know the release's answer: it
// counts the file as sent either way. A refused release (a file the server
// could not store) is said in the job log, and the new index does not vouch
// for anything (its stamp is cleared), so the next run checks every file.
TEST_F(DriverTest, ReportAndItsMailGoBeforeTheReleaseWhichIsTheLastRequest) {
    std::ofstream(dir_ / "etc" / "success_txt.emt") << "S #JOB# #NUM_TRANSFERED#";
    std::ofstream(dir_ / "etc" / "success_html.emt") << "S #JOB# #NUM_TRANSFERED#";
    for (uint8_t release : {ERR_NONE, ERR_SERVER}) {
        SCOPED_TRACE(static_cast<int>(release));
        report_reset_for_tests();
        scripted_peer peer;
        write_hosts(peer);
        peer.push(peer_step::answer(0)); // the lock
        peer.push(peer_step::answer(0)); // folder /3
        peer.push(peer_step::answer(0)); // folder /3/src
        peer.push(peer_step::answer(0, backup_test::wopen_answer(1, 0, 4096, 1)));
        peer.push(backup_test::offer_answer());
        peer.push(peer_step::answer(0)); // the e-mail, one part
        peer.push(peer_step::answer(release));
        std::string path = write_schedule("mirror=0\nEmail=bob@example.com\n");
        EXPECT_EQ(procjob(path.c_str()), 0);

        std::vector<peer_request> got = peer.requests();
        ASSERT_GE(got.size(), 3u);
        const peer_request& last = got.back();
        EXPECT_EQ(last.type, TFS_USER_LOCK);
        ASSERT_EQ(last.payload.size(), 5u); // flags 5 and the stamp
        EXPECT_EQ(last.payload[0], 5);
        EXPECT_EQ(got[got.size() - 2].type, TFS_EMAIL);
        EXPECT_EQ(got[got.size() - 3].type, TFS_FILE_CLOSE);
        const uint32_t stamp = (uint32_t{last.payload[1]} << 24) | (last.payload[2] << 16) |
                               (last.payload[3] << 8) | last.payload[4];

        std::string log = job_log();
        const std::string refused = "The server did not confirm that the files sent by this "
                                    "backup are stored (Error 30); the next backup checks them "
                                    "again.\n";
        EXPECT_EQ(count_of(log, "FILE: Successfully backed up '" +
                                    (dir_ / "src" / "a.txt").string() + "'\n"),
                  1);
        EXPECT_EQ(report_record()->files_transferred, 1u);
        EXPECT_EQ(report_record()->failure_message, nullptr);
        EXPECT_LT(log.find("Backup of files complete.\n"), log.find("Logged out user.\n"));
        EXPECT_EQ(count_of(log, "Backup job completed normally.\n"), 1);
        std::ifstream fci(dir_ / "job.fci", std::ios::binary);
        uint8_t head[8] = {};
        ASSERT_TRUE(fci.read(reinterpret_cast<char*>(head), sizeof head));
        const uint32_t kept =
            head[4] | (head[5] << 8) | (head[6] << 16) | (uint32_t{head[7]} << 24);
        if (release == ERR_NONE) {
            EXPECT_EQ(count_of(log, refused), 0);
            EXPECT_EQ(kept, stamp);
        } else {
            EXPECT_EQ(count_of(log, refused), 1);
            EXPECT_LT(log.find(refused), log.find("Logged out user.\n"));
            EXPECT_EQ(kept, 0u);
        }
        fci.close();
        fs::remove(dir_ / "job.fci");
    }
}

} // namespace
