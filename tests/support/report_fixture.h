// report_fixture.h - the reporter's tests run in a temporary installation
// folder as the current directory, with a session of account "Acme" and user
// "bob", a recipient list and a key digest of their own.
#pragma once

#include "common/blob_list.h"
#include "common/text.h"
#include "platform/platform.h"
#include "protocol/session.h"
#include "report/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>

struct report_folder_test : ::testing::Test {
    std::filesystem::path old_cwd, dir;
    std::unique_ptr<ctfs_session> session{new ctfs_session{}};
    blob_list* recipients = nullptr;
    unsigned char digest[20] = {};

    // Makes and enters PREFIX + the test's name (and the process id, so that
    // test runs of two build folders side by side keep apart) below the
    // temporary folder, with an empty etc/; names the session's account and
    // user.
    void enter_folder(const char* prefix) {
        old_cwd = std::filesystem::current_path();
        dir =
            std::filesystem::temp_directory_path() /
            (std::string(prefix) + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
             "_" + std::to_string(plat_process_id()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "etc");
        std::filesystem::current_path(dir);
        copy_bounded(session->account.account_name, sizeof session->account.account_name, "Acme");
        copy_bounded(session->user.user_name, sizeof session->user.user_name, "bob");
    }
    // Resets the reporter and its sender, frees the recipients, and leaves
    // and removes the folder.
    void leave_folder() {
        report_reset_for_tests();
        report_set_mail_sender_for_tests(nullptr);
        blob_list_free(recipients);
        recipients = nullptr;
        std::filesystem::current_path(old_cwd);
        std::filesystem::remove_all(dir);
    }
    // Writes a file of the folder (a template, a schedule, a queue file).
    void put(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    void set_recipients(std::initializer_list<const char*> entries) {
        blob_list_free(recipients);
        recipients = blob_list_new(4, 4, nullptr);
        for (const char* e : entries)
            blob_list_append_text(recipients, e);
    }
};
