// session_fixture.h - a GoogleTest fixture for protocol tests: a temporary
// folder with a server-list file, an agent-mode session pointed at it, waits
// shortened, pauses recorded instead of slept, and the job log in a file.
//
//   class MyTest : public session_fixture {};
//   TEST_F(MyTest, X) { scripted_peer peer; write_hosts({peer.hosts_line()}); ... s->... }
#pragma once

#include "runtime/log.h"
#include "common/timing.h"
#include "platform/platform.h"
#include "protocol/session.h"
#include "protocol/transport.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class session_fixture : public ::testing::Test {
  protected:
    // Recorded pauses (ms) of the protocol client.
    static std::vector<uint32_t>& pauses() {
        static std::vector<uint32_t> p;
        return p;
    }
    static void record_pause(uint32_t ms) { pauses().push_back(ms); }

    // Pauses are only recorded. A receive wait is long enough for a peer that
    // a busy machine or an emulator holds back; the cases about empty waits
    // shorten it with short_waits().
    static constexpr uint32_t kRecvWaitMs = 2000;
    static constexpr uint32_t kShortRecvWaitMs = 40;
    static constexpr uint32_t kReconnectMs = 7;
    static constexpr uint32_t kRecoveryMs = 11;

    void SetUp() override {
        dir_ = unique_temp_path("proto");
        std::filesystem::create_directories(dir_);
        timing t = timing_defaults();
        t.recv_wait_ms = kRecvWaitMs;
        t.reconnect_pause_ms = kReconnectMs;
        t.lock_recovery_ms = kRecoveryMs;
        timing_set_for_tests(t);
        pauses().clear();
        ctfs_set_sleep_for_tests(record_pause);
        job_log_open((dir_ / "job.log").string().c_str());
        ASSERT_EQ(ctfs_init(), 0);
        s = new ctfs_session;
        ctfs_session_init(s);
        s->auth_mode = 1;
        s->cipher_mode = 3;
        s->user_id = 0x01020304;
        for (int i = 0; i < 20; i++) {
            s->key_digest[i] = static_cast<uint8_t>(0xD0 + i);
            s->host_id[i] = static_cast<uint8_t>(0x40 + i);
        }
        snprintf(s->job_name, sizeof s->job_name, "%s", "Daily");
        snprintf(s->schedule_name, sizeof s->schedule_name, "%s", "daily.tbs");
        hosts_ = (dir_ / "hosts").string();
        snprintf(s->primary_list, sizeof s->primary_list, "%s", hosts_.c_str());
    }

    void TearDown() override {
        ctfs_session_close(s);
        delete s;
        ctfs_cleanup();
        job_log_close();
        ctfs_set_sleep_for_tests(nullptr);
        timing_set_for_tests(timing_defaults());
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void write_file(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    void write_hosts(const std::vector<std::string>& lines) {
        std::string all;
        for (const std::string& l : lines)
            all += l;
        write_file(hosts_, all);
    }
    std::string job_log() const { return slurp(dir_ / "job.log"); }
    void short_waits() {
        timing t = timing_get();
        t.recv_wait_ms = kShortRecvWaitMs;
        timing_set_for_tests(t);
    }
    // Waits (bounded) until the server's close of the connection has arrived,
    // so that the next request finds the connection broken.
    void wait_broken() {
        for (int i = 0; i < 1000 && ctfs_socket_idle(s->socket) == 0; i++)
            plat_sleep_ms(2);
    }

    std::filesystem::path dir_;
    std::string hosts_;
    ctfs_session* s = nullptr;
};
