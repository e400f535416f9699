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

// The release is the job's last request and comes before the report: the
// server answers it once every file of the job is settled. When it refuses
// (a file could not be stored), the report counts no file as sent and says
// why; when it vouches, the report counts the file.
TEST_F(DriverTest, ReportCountsSentFilesOnlyWhenTheReleaseVouchesForThem) {
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
        peer.push(peer_step::answer(release));
        std::string path = write_schedule("mirror=0\n");
        EXPECT_EQ(procjob(path.c_str()), 0);

        // After the release only the report's e-mail goes to the server.
        std::vector<peer_request> got = peer.requests();
        size_t release_at = got.size();
        for (size_t i = 0; i < got.size(); i++)
            if (got[i].type == TFS_USER_LOCK) release_at = i;
        ASSERT_LT(release_at, got.size());
        for (size_t i = release_at + 1; i < got.size(); i++)
            EXPECT_EQ(got[i].type, TFS_EMAIL) << i;
        std::string log = job_log();
        const std::string taken_back = "The server did not confirm that the files sent by this "
                                       "backup are stored (Error 30); the next backup checks them "
                                       "again.\n";
        EXPECT_EQ(count_of(log, "FILE: Successfully backed up '" +
                                    (dir_ / "src" / "a.txt").string() + "'\n"),
                  1);
        if (release == ERR_NONE) {
            EXPECT_EQ(count_of(log, taken_back), 0);
            EXPECT_EQ(report_record()->files_transferred, 1u);
            EXPECT_EQ(report_record()->failure_message, nullptr);
        } else {
            EXPECT_EQ(count_of(log, taken_back), 1);
            EXPECT_EQ(report_record()->files_transferred, 0u);
            ASSERT_NE(report_record()->failure_message, nullptr);
            EXPECT_STREQ(report_record()->failure_message,
                         "The backup server could not confirm that the files sent by this backup "
                         "are stored; the next backup checks them again.");
        }
        fs::remove(dir_ / "job.fci");
    }
}

} // namespace
