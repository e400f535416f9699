// Tests of the schedule reader: the parser on plain text, the checks, the
// hand-over names, whole jobs through procjob over encrypted files, bad
// files, and the rewrite.
#include "backup/schedule/schedule.h"

#include "keys/crypt_file.h"
#include "backup/schedule/filter_value.h"
#include "backup/job.h"
#include "runtime/log.h"
#include "platform/platform.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kAcckey = "00112233445566778899aabbccddeeffAABBCCDDEEFF00112233445566778899";

std::string valid_text(const std::string& extra = "", const std::string& enabled = "1") {
    return "# Tavni Backup Schedule v2\r\n"
           "UserId=42\n"
           "AccountId=7\n"
           "Dest=/D17\n"
           "name=Nightly\n"
           "enabled=" +
           enabled +
           "\n"
           "acckey=" +
           kAcckey + "\n" + extra + "Schedule=C:\\Tavni\\Schedules\\0000002A.tbs\n";
}

// A temporary installation folder as the current directory, with the job
// log captured in a file.
class ScheduleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               ("tavni_sched_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "etc");
        fs::current_path(dir_);
        machine_key_forget();
    }
    void TearDown() override {
        job_log_close();
        schedule_release_current();
        machine_key_forget();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }

    // Parses plain text with the job log going to a file; returns the code.
    int parse(const std::string& text, schedule* s, std::string* log) {
        job_log_open("parse.log");
        schedule_init(s);
        text_reader r{text.data(), text.size(), 0};
        int rc = schedule_parse(s, text_reader_gets, &r);
        job_log_close();
        *log = slurp("parse.log");
        return rc;
    }
    int parse_and_check(const std::string& text, int* runs, std::string* log) {
        schedule s;
        int rc = parse(text, &s, log);
        if (rc == 0) {
            job_log_open("check.log");
            rc = schedule_check(&s, runs);
            job_log_close();
            *log += slurp("check.log");
        }
        schedule_release(&s);
        return rc;
    }

    void write_encrypted(const std::string& path, const std::string& text) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        crypt_file cf;
        ASSERT_EQ(crypt_file_open(&cf, f, 1), 0);
        crypt_file_write(&cf, text.data(), text.size());
        ASSERT_EQ(crypt_file_finish(&cf), 0);
        fclose(f);
    }
    int run_job(const std::string& path, std::string* log) {
        int rc = procjob(path.c_str());
        *log = slurp(path + ".log");
        return rc;
    }

    fs::path old_, dir_;
};

} // namespace

TEST_F(ScheduleTest, ParsesEveryKindOfLine) {
    std::string text = valid_text("; a comment\n"
                                  "# another Src=C:\\no\n"
                                  "src=C:\\Users\\Bob\n"
                                  "SRC=D:\\Data\r\n"
                                  "XSrc=C:\\Users\\Bob\\Temp\n"
                                  "Sync=C:\\Users\n"
                                  "filter=C:\\A|1|*.tmp\n"
                                  "filter=C:\\a\\b|0|*.doc\n"
                                  "filter=bad value\n"
                                  "Email=a@x,,b@y,\n"
                                  "schedule_email=c@z\n"
                                  "html=0\n"
                                  "unknown=whatever\n"
                                  "USERID_NOT=1\n"
                                  "precmd= cmd /c echo \n");
    schedule s;
    std::string log;
    ASSERT_EQ(parse(text, &s, &log), 0);
    EXPECT_STREQ(schedule_value(&s, SCHED_USERID), "42");
    EXPECT_STREQ(schedule_value(&s, SCHED_DEST), "/D17");
    EXPECT_STREQ(schedule_value(&s, SCHED_PRECMD), " cmd /c echo "); // not trimmed
    EXPECT_EQ(schedule_value(&s, SCHED_POSTCMD), nullptr);
    ASSERT_EQ(blob_list_count(s.sources), 2);
    EXPECT_STREQ(static_cast<char*>(blob_list_get(s.sources, 0)), "C:\\Users\\Bob");
    EXPECT_STREQ(static_cast<char*>(blob_list_get(s.sources, 1)), "D:\\Data");
    EXPECT_EQ(blob_list_count(s.excluded), 1);
    EXPECT_EQ(blob_list_count(s.sync), 1);
    EXPECT_EQ(blob_list_count(s.filters), 2);
    ASSERT_NE(s.recipients, nullptr);
    ASSERT_EQ(blob_list_count(s.recipients), 2);
    EXPECT_STREQ(static_cast<char*>(blob_list_get(s.recipients, 1)), "b@y");
    EXPECT_EQ(s.html, 0);
    EXPECT_NE(log.find("Parsing TBS file...\n"), std::string::npos);
    EXPECT_NE(log.find("Got value of 'C:\\Users\\Bob' for 'Src='\n"), std::string::npos);
    EXPECT_NE(log.find("Got redundant entry value of 'c@z' for 'schedule_email=' (IGNORING)\n"),
              std::string::npos);
    EXPECT_NE(log.find("Got value of '[masked encryption key from log output]' for 'acckey='\n"),
              std::string::npos);
    EXPECT_EQ(log.find(kAcckey), std::string::npos);
    EXPECT_EQ(log.find("whatever"), std::string::npos);

    schedule_sort_filters(s.filters);
    EXPECT_STREQ(static_cast<folder_filter*>(blob_list_get(s.filters, 0))->folder, "C:\\a\\b");
    EXPECT_STREQ(static_cast<folder_filter*>(blob_list_get(s.filters, 1))->folder, "C:\\A");
    EXPECT_EQ(schedule_number_from_line(s.last_line), 0x2A);
    schedule_release(&s);
}

TEST_F(ScheduleTest, HeaderAndEmptyText) {
    schedule s;
    std::string log;
    EXPECT_EQ(parse("", &s, &log), SCHEDULE_NO_TEXT);
    EXPECT_NE(log.find("Unable to decrypt file; aborting.\n"), std::string::npos);
    schedule_release(&s);
    EXPECT_EQ(parse("#Tavni Backup Schedule\nUserId=1\n", &s, &log), SCHEDULE_BAD_HEADER);
    EXPECT_NE(log.find("Invalid TBS header; aborting.\n"), std::string::npos);
    schedule_release(&s);
    EXPECT_EQ(parse("# tavni backup schedule\n", &s, &log), SCHEDULE_BAD_HEADER); // case matters
    schedule_release(&s);
    EXPECT_EQ(parse("# Tavni Backup Schedule", &s, &log), 0); // no line end, trailing text is fine
    schedule_release(&s);
}

TEST_F(ScheduleTest, RepeatedKeysAndRecipientRules) {
    int runs = 0;
    std::string log;
    EXPECT_EQ(parse_and_check(valid_text("NAME=again\n"), &runs, &log), SCHEDULE_TOO_MANY);
    EXPECT_NE(log.find("Got too many entries for 'name='; Aborting.\n"), std::string::npos);

    EXPECT_EQ(parse_and_check(valid_text("schedule_email=a@x\nEmail=b@y\n"), &runs, &log),
              SCHEDULE_EMAIL_CONFLICT);
    EXPECT_NE(
        log.find("FATAL: Got value for Email= when we already got value for schedule_email=\n"),
        std::string::npos);
    EXPECT_EQ(parse_and_check(valid_text("Email=a@x\nemail=b@y\n"), &runs, &log),
              SCHEDULE_EMAIL_CONFLICT);

    schedule s;
    ASSERT_EQ(
        parse(valid_text("schedule_email=a@x\nschedule_email=b@y\nhtml=0\nhtml=7\n"), &s, &log), 0);
    ASSERT_EQ(blob_list_count(s.recipients), 1);
    EXPECT_STREQ(static_cast<char*>(blob_list_get(s.recipients, 0)), "a@x");
    EXPECT_EQ(s.html, 1); // the last html= wins
    schedule_release(&s);
}

TEST_F(ScheduleTest, ChecksDefaultsEnabledAndAccountKey) {
    int runs = 0;
    std::string log;
    schedule s;
    ASSERT_EQ(parse(valid_text("autoremove=1\n"), &s, &log), 0);
    ASSERT_EQ(schedule_check(&s, &runs), 0);
    EXPECT_EQ(runs, 1);
    EXPECT_STREQ(schedule_value(&s, SCHED_AUTOREMOVE), "0");
    EXPECT_STREQ(schedule_value(&s, SCHED_MIRROR), "1");
    EXPECT_STREQ(schedule_value(&s, SCHED_FATALPRECMD), "0");
    EXPECT_STREQ(schedule_value(&s, SCHED_FATALPOSTCMD), "0");
    EXPECT_EQ(schedule_value(&s, SCHED_CMDTIMEOUT), nullptr);
    const unsigned char expect[8] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(memcmp(s.account_key, expect, 8), 0);
    EXPECT_EQ(s.account_key[10], 0xaa);
    EXPECT_EQ(s.account_key[16], 0xaa); // upper case decodes the same
    schedule_release(&s);

    for (const char* e : {"yes", "1 ", "0", "", "01"}) {
        EXPECT_EQ(parse_and_check(valid_text("", e), &runs, &log), 0) << e;
        EXPECT_EQ(runs, 0) << e;
        EXPECT_NE(log.find("The schedule is disabled; aborting.\n"), std::string::npos) << e;
    }

    std::string text = valid_text();
    std::string k63 = text;
    k63.replace(k63.find(kAcckey), 64, kAcckey.substr(0, 63));
    EXPECT_EQ(parse_and_check(k63, &runs, &log), SCHEDULE_BAD_ACCKEY);
    EXPECT_NE(log.find("Error parsing encryption key; aborting.\n"), std::string::npos);
    std::string k65 = text;
    k65.replace(k65.find(kAcckey), 64, kAcckey + "0");
    EXPECT_EQ(parse_and_check(k65, &runs, &log), SCHEDULE_BAD_ACCKEY);
    EXPECT_EQ(log.find(kAcckey.substr(0, 63)), std::string::npos);

    std::string no_sched = text.substr(0, text.find("Schedule="));
    EXPECT_EQ(parse_and_check(no_sched, &runs, &log), SCHEDULE_MISSING_KEY);
    EXPECT_NE(log.find("The required 'Schedule=' option was not scpecified; aborting.\n"),
              std::string::npos);
    // The first missing key in table order is named.
    EXPECT_EQ(parse_and_check("# Tavni Backup Schedule\nname=x\n", &runs, &log),
              SCHEDULE_MISSING_KEY);
    EXPECT_NE(log.find("'UserId='"), std::string::npos);
}

TEST_F(ScheduleTest, LongSourceLineIsReadInPieces) {
    std::string value(296, 'p');
    schedule s;
    std::string log;
    ASSERT_EQ(parse(valid_text("Src=" + value + "\nSrc=short\n"), &s, &log), 0);
    ASSERT_EQ(blob_list_count(s.sources), 2);
    EXPECT_EQ(std::string(static_cast<char*>(blob_list_get(s.sources, 0))), value.substr(0, 255));
    EXPECT_STREQ(static_cast<char*>(blob_list_get(s.sources, 1)), "short");
    schedule_release(&s);
}

TEST_F(ScheduleTest, ScheduleNumberAndMailQueueName) {
    EXPECT_EQ(schedule_number_from_line("Schedule=C:\\x\\0123abCD.tbs"), 0x0123abcd);
    EXPECT_EQ(schedule_number_from_line("a.b.FFFFFFFF.x"), 0xFFFFFFFF);
    EXPECT_EQ(schedule_number_from_line("1234567.tbs"), 0); // seven characters only
    EXPECT_EQ(schedule_number_from_line("0123456G.tbs"), 0);
    EXPECT_EQ(schedule_number_from_line("no dot here"), 0);

    char* n = schedule_mail_queue_name("job.tbs");
    EXPECT_STREQ(n, "job.tbs.eml");
    free(n);
    std::ofstream("job.tbs.eml") << "x";
    std::ofstream("job.tbs-1.eml") << "x";
    n = schedule_mail_queue_name("job.tbs");
    EXPECT_STREQ(n, "job.tbs-2.eml");
    free(n);
    for (int i = 2; i <= 9; i++)
        std::ofstream("job.tbs-" + std::to_string(i) + ".eml") << "x";
    n = schedule_mail_queue_name("job.tbs");
    EXPECT_STREQ(n, "job.tbs-9.eml");
    free(n);
}

TEST_F(ScheduleTest, WholeJobThroughProcjob) {
    write_encrypted("ok.tbs",
                    valid_text("filter=C:\\A|1|*.tmp\nfilter=c:\\b|1|*.tmp\nSrc=C:\\x\n"));
    std::string log;
    EXPECT_EQ(run_job("ok.tbs", &log), 0);
    EXPECT_NE(log.find("Initialized log file 'ok.tbs.log'\n"), std::string::npos);
    EXPECT_NE(log.find("SE_BACKUP_NAME privilege.\n"), std::string::npos);
    EXPECT_NE(log.find("SE_SECURITY_NAME privilege.\n"), std::string::npos);
    size_t complete = log.find("Parsing TBS file: complete.\n");
    size_t filter_b = log.find("Got filter: 'c:\\b'\n");
    size_t filter_a = log.find("Got filter: 'C:\\A'\n");
    size_t calling = log.find("Calling __do_backup()...\n");
    ASSERT_NE(complete, std::string::npos);
    ASSERT_NE(calling, std::string::npos);
    EXPECT_LT(complete, filter_b);
    EXPECT_LT(filter_b, filter_a);
    EXPECT_LT(filter_a, calling);
    EXPECT_EQ(log.find(kAcckey), std::string::npos);
    EXPECT_EQ(current_schedule(), nullptr); // released at the end of the job

    write_encrypted("off.tbs", valid_text("", "yes"));
    EXPECT_EQ(run_job("off.tbs", &log), 0);
    EXPECT_NE(log.find("The schedule is disabled; aborting.\n"), std::string::npos);
    EXPECT_EQ(log.find("Calling __do_backup()"), std::string::npos);
}

TEST_F(ScheduleTest, BadFilesEndWithTheirCodes) {
    std::string log;
    EXPECT_EQ(run_job("missing.tbs", &log), SCHEDULE_CANNOT_OPEN);
    EXPECT_NE(log.find("Cound not open schedule file 'missing.tbs'; aborting.\n"),
              std::string::npos);

    std::ofstream("empty.tbs", std::ios::binary).flush();
    EXPECT_EQ(run_job("empty.tbs", &log), SCHEDULE_NO_TEXT);

    write_encrypted("good.tbs", valid_text());
    std::string bytes = slurp("good.tbs");
    std::ofstream("odd.tbs", std::ios::binary) << bytes.substr(0, bytes.size() - 3);
    EXPECT_EQ(run_job("odd.tbs", &log), SCHEDULE_NO_TEXT); // its last lines would be lost
    EXPECT_NE(log.find("Unable to decrypt file; aborting.\n"), std::string::npos);
    EXPECT_EQ(log.find("Calling __do_backup()"), std::string::npos);
    std::string flipped = bytes;
    // Bad padding, every time: in CBC mode a change to the block before the
    // last one changes the same byte of the last plain block, here the
    // padding length byte (1 to 16) into one above 16.
    flipped[flipped.size() - 17] ^= 0x55;
    std::ofstream("pad.tbs", std::ios::binary) << flipped;
    EXPECT_EQ(run_job("pad.tbs", &log), SCHEDULE_NO_TEXT);
    std::ofstream("cut.tbs", std::ios::binary) << bytes.substr(0, 5);
    EXPECT_EQ(run_job("cut.tbs", &log), SCHEDULE_NO_TEXT);

    std::string random;
    for (int i = 0; i < 3000; i++)
        random += static_cast<char>(i * 197 + 11);
    std::ofstream("random.tbs", std::ios::binary) << random;
    EXPECT_EQ(run_job("random.tbs", &log), SCHEDULE_BAD_HEADER);
    EXPECT_NE(log.find("Invalid TBS header; aborting.\n"), std::string::npos);

    // A new key file: every file written with the old key is refused.
    fs::remove("etc/tavni.ak");
    machine_key_forget();
    EXPECT_EQ(run_job("good.tbs", &log), SCHEDULE_BAD_HEADER);
    EXPECT_EQ(fs::file_size("etc/tavni.ak"), 4096u);

    // A short key file or no etc folder: the cipher cannot be set up.
    fs::resize_file("etc/tavni.ak", 4000);
    machine_key_forget();
    EXPECT_EQ(run_job("good.tbs", &log), SCHEDULE_NO_CRYPTO);
    EXPECT_NE(log.find("Unable to initialize crypto on file; aborting.\n"), std::string::npos);
    fs::remove_all("etc");
    machine_key_forget();
    EXPECT_EQ(run_job("good.tbs", &log), SCHEDULE_NO_CRYPTO);
}

TEST_F(ScheduleTest, RewriteReplacesOnlyTheSources) {
    write_encrypted("r.tbs", valid_text("Src=C:\\old1\n; kept comment\nsrc=C:\\old2\n"));
    blob_list* sources = blob_list_new(4, 4, nullptr);
    blob_list_append_text(sources, "C:\\new");
    EXPECT_EQ(schedule_rewrite_sources("r.tbs", sources), REWRITE_OK);
    EXPECT_FALSE(fs::exists(".backuptmp_" + std::to_string(plat_process_id())));

    FILE* f = fopen("r.tbs", "rb");
    crypt_file cf;
    ASSERT_EQ(crypt_file_open(&cf, f, 0), 0);
    std::string text;
    char line[1024];
    while (crypt_file_gets(&cf, line, sizeof line))
        text += line;
    crypt_file_finish(&cf);
    fclose(f);
    EXPECT_EQ(text.rfind("# Tavni Backup Schedule\nUserId=42\n", 0), 0u);
    EXPECT_NE(text.find("; kept comment\n"), std::string::npos);
    EXPECT_EQ(text.find("old"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 11), "Src=C:\\new\n");

    EXPECT_EQ(schedule_rewrite_sources("absent.tbs", sources), REWRITE_CANNOT_OPEN);
    std::ofstream("empty.tbs", std::ios::binary).flush();
    EXPECT_EQ(schedule_rewrite_sources("empty.tbs", sources), REWRITE_EMPTY);
    write_encrypted("nohdr.tbs", "UserId=1\n");
    EXPECT_EQ(schedule_rewrite_sources("nohdr.tbs", sources), REWRITE_BAD_HEADER);
    EXPECT_EQ(schedule_rewrite("r.tbs"), REWRITE_NO_READER); // no job schedule
    std::string bytes = slurp("r.tbs");
    std::ofstream("cut.tbs", std::ios::binary) << bytes.substr(0, bytes.size() - 1);
    EXPECT_EQ(schedule_rewrite_sources("cut.tbs", sources), REWRITE_NO_READER);
    EXPECT_EQ(slurp("cut.tbs"), bytes.substr(0, bytes.size() - 1)); // left as it was
    blob_list_free(sources);
}

// The schedule is written back in place of whatever bears its name: a link
// planted there leads nowhere, and the file it points to stays as it was.
TEST_F(ScheduleTest, RewriteNeverWritesThroughALink) {
    write_encrypted("real.tbs", valid_text("Src=C:\\old\n"));
    const std::string before = slurp("real.tbs");
    std::error_code ec;
    fs::create_symlink("real.tbs", "r.tbs", ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    blob_list* sources = blob_list_new(4, 4, nullptr);
    blob_list_append_text(sources, "C:\\new");
    EXPECT_EQ(schedule_rewrite_sources("r.tbs", sources), REWRITE_CANNOT_REOPEN);
    blob_list_free(sources);
    EXPECT_EQ(slurp("real.tbs"), before);
    EXPECT_TRUE(fs::is_symlink("r.tbs"));
    EXPECT_FALSE(fs::exists(".backuptmp_" + std::to_string(plat_process_id())));
}
