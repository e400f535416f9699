// The fault switch of the platform layer: the Nth call of an operation fails
// with the chosen error while the others pass, a persistent plan fails every
// later call, counts are exact across threads, and the environment forms are
// parsed strictly (a bad one stops the process instead of running unarmed).
#include "platform/platform.h"
#include "platform/server.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Errors as each platform numbers them.
const int k_disk_full = plat_is_windows ? 112 : 28;     // ERROR_DISK_FULL / ENOSPC
const int k_io_error = plat_is_windows ? 1117 : 5;      // ERROR_IO_DEVICE / EIO
const int k_conn_reset = plat_is_windows ? 10054 : 104; // WSAECONNRESET / ECONNRESET
const int k_access_denied = plat_is_windows ? 5 : 13;   // ERROR_ACCESS_DENIED / EACCES

struct FaultSwitch : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        if (!PLAT_FAULT_COMPILED_IN) GTEST_SKIP() << "built without TAVNI_FAULT_INJECTION";
        dir = fs::temp_directory_path() /
              ("tavni-fault-" + std::to_string(plat_process_id()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        plat_fault_arm(nullptr);
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }
    std::string at(const char* rel) const { return (dir / rel).string(); }
};

plat_fault_plan plan(plat_fault_op op, uint64_t nth, int error, bool persistent = false) {
    return plat_fault_plan{op, nth, persistent, error, PLAT_FAULT_FAIL};
}

} // namespace

TEST(FaultParse, AcceptsTheDocumentedForms) {
    plat_fault_plan p{};
    ASSERT_EQ(plat_fault_parse("write:12:28", &p), 0);
    EXPECT_EQ(p.op, PLAT_FAULT_WRITE);
    EXPECT_EQ(p.nth, 12u);
    EXPECT_FALSE(p.persistent);
    EXPECT_EQ(p.error, 28);
    EXPECT_EQ(p.action, PLAT_FAULT_FAIL);

    ASSERT_EQ(plat_fault_parse("rename:3+:5", &p), 0);
    EXPECT_EQ(p.op, PLAT_FAULT_RENAME);
    EXPECT_EQ(p.nth, 3u);
    EXPECT_TRUE(p.persistent);
    EXPECT_EQ(p.error, 5);

    ASSERT_EQ(plat_fault_parse("send:40:kill", &p), 0);
    EXPECT_EQ(p.op, PLAT_FAULT_SEND);
    EXPECT_EQ(p.nth, 40u);
    EXPECT_EQ(p.action, PLAT_FAULT_KILL);

    // Every operation by its own name, and the names read back.
    for (int op = 0; op < PLAT_FAULT_OPS; op++) {
        std::string name = plat_fault_op_name(static_cast<plat_fault_op>(op));
        ASSERT_EQ(plat_fault_parse((name + ":1:10054").c_str(), &p), 0) << name;
        EXPECT_EQ(p.op, op);
        EXPECT_EQ(p.error, 10054);
    }
    EXPECT_STREQ(plat_fault_op_name(PLAT_FAULT_OPS), "?");
}

TEST(FaultParse, RefusesEverythingElse) {
    const char* bad[] = {"",
                         "write",
                         "write:12",
                         "write:12:",
                         "write:0:28",
                         "write:12:0",
                         "write:x:28",
                         "writes:1:5",
                         "Write:1:5",
                         ":1:5",
                         "write:12:28x",
                         "write:-1:5",
                         "write:1:-5",
                         "write:1++:5",
                         "write:1:kill9",
                         "write:1: 5",
                         "write:+:5",
                         "write::5",
                         "write:1:2:3",
                         "write:1:99999999999",
                         "write:1234567890123456789:5"};
    for (const char* text : bad) {
        plat_fault_plan p{PLAT_FAULT_SYNC, 77, false, 77, PLAT_FAULT_FAIL};
        EXPECT_EQ(plat_fault_parse(text, &p), -1) << "'" << text << "'";
        EXPECT_EQ(p.nth, 77u) << "a refused text leaves the plan alone: " << text;
    }
    EXPECT_EQ(plat_fault_parse(nullptr, nullptr), -1);
}

TEST_F(FaultSwitch, TheNthWriteFailsWithTheErrorAndTheOthersPass) {
    plat_file f = plat_file_create(at("w.bin").c_str(), false);
    ASSERT_NE(f, PLAT_NO_FILE);
    plat_fault_plan p = plan(PLAT_FAULT_WRITE, 3, k_disk_full);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_file_write(f, "aa", 2), 2);
    EXPECT_EQ(plat_file_write(f, "bb", 2), 2);
    plat_set_last_error(0);
    EXPECT_EQ(plat_file_write(f, "cc", 2), -1);
    EXPECT_EQ(plat_last_error(), k_disk_full);
    EXPECT_EQ(plat_file_write(f, "dd", 2), 2);
    EXPECT_EQ(plat_fault_hits(), 1u);
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_WRITE), 4u);
    plat_file_close(f);
    // The failed call wrote nothing: it failed before reaching the system.
    std::ifstream in(at("w.bin"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), "aabbdd");
}

TEST_F(FaultSwitch, APersistentPlanFailsEveryLaterCallUntilDisarmed) {
    std::ofstream(at("a")) << "a";
    plat_fault_plan p = plan(PLAT_FAULT_RENAME, 2, k_access_denied, true);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_rename(at("a").c_str(), at("b").c_str()), 0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(plat_rename(at("b").c_str(), at("c").c_str()), -1);
        EXPECT_EQ(plat_last_error(), k_access_denied);
    }
    EXPECT_TRUE(fs::exists(at("b")));
    EXPECT_EQ(plat_fault_hits(), 3u);
    ASSERT_EQ(plat_fault_arm(nullptr), 0);
    EXPECT_EQ(plat_rename(at("b").c_str(), at("c").c_str()), 0);
}

// Each covered function counts under its operation, and a failed listing,
// status or open reports the injected error the way a refused call would.
TEST_F(FaultSwitch, EachOperationCountsAndFailsItsOwnCalls) {
    std::ofstream(at("f.txt")) << "12345";
    ASSERT_EQ(plat_fault_arm(nullptr), 0);
    plat_file_info info;
    ASSERT_EQ(plat_file_status(at("f.txt").c_str(), &info), 0);
    EXPECT_TRUE(plat_exists(at("f.txt").c_str()));
    EXPECT_TRUE(plat_is_folder(dir.string().c_str()));
    plat_dir* d = plat_dir_open(dir.string().c_str(), &info);
    ASSERT_NE(d, nullptr);
    while (plat_dir_next(d, &info) == 0) {
    }
    plat_dir_close(d);
    plat_file f = plat_file_open_read(at("f.txt").c_str());
    ASSERT_NE(f, PLAT_NO_FILE);
    char buf[8];
    EXPECT_EQ(plat_file_read(f, buf, sizeof buf), 5);
    plat_file_close(f);
    FILE* priv = plat_open_private(at("key").c_str(), PLAT_PRIVATE_TRUNCATE);
    ASSERT_NE(priv, nullptr);
    fclose(priv);

    EXPECT_GE(plat_fault_count(PLAT_FAULT_STATUS), 3u);
    EXPECT_GE(plat_fault_count(PLAT_FAULT_LIST), 4u); // the open and ".", "..", f.txt, key
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_OPEN), 2u);
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_READ), 1u);
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_WRITE), 0u);
    plat_fault_reset_counts();
    for (int op = 0; op < PLAT_FAULT_OPS; op++)
        EXPECT_EQ(plat_fault_count(static_cast<plat_fault_op>(op)), 0u);

    plat_fault_plan p = plan(PLAT_FAULT_LIST, 1, k_io_error);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_dir_open(dir.string().c_str(), &info), nullptr);
    EXPECT_EQ(plat_last_error(), k_io_error);

    p = plan(PLAT_FAULT_LIST, 2, k_io_error); // the first entry after "."
    ASSERT_EQ(plat_fault_arm(&p), 0);
    d = plat_dir_open(dir.string().c_str(), &info);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(plat_dir_next(d, &info), -1);
    EXPECT_EQ(plat_last_error(), k_io_error); // a failure, not the end of the listing
    EXPECT_EQ(plat_dir_next(d, &info), 0);
    plat_dir_close(d);

    p = plan(PLAT_FAULT_STATUS, 1, k_access_denied);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_file_status(at("f.txt").c_str(), &info), -1);
    EXPECT_EQ(plat_last_error(), k_access_denied);
    EXPECT_TRUE(plat_exists(at("f.txt").c_str()));

    p = plan(PLAT_FAULT_OPEN, 2, k_access_denied);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    f = plat_file_open_read(at("f.txt").c_str());
    EXPECT_NE(f, PLAT_NO_FILE);
    plat_file_close(f);
    EXPECT_EQ(plat_file_create(at("g.txt").c_str(), false), PLAT_NO_FILE);
    EXPECT_EQ(plat_last_error(), k_access_denied);
    EXPECT_FALSE(fs::exists(at("g.txt")));
    priv = plat_open_private(at("key").c_str(), PLAT_PRIVATE_TRUNCATE); // the third open passes
    EXPECT_NE(priv, nullptr);
    if (priv) fclose(priv);

    p = plan(PLAT_FAULT_READ, 1, k_io_error);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    f = plat_file_open_read(at("f.txt").c_str());
    ASSERT_NE(f, PLAT_NO_FILE);
    EXPECT_EQ(plat_file_read(f, buf, sizeof buf), -1);
    EXPECT_EQ(plat_last_error(), k_io_error);
    EXPECT_EQ(plat_file_read(f, buf, sizeof buf), 5); // nothing was consumed
    plat_file_close(f);

    p = plan(PLAT_FAULT_SYNC, 1, k_io_error);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_store_sync(dir.string().c_str()), -1);
    EXPECT_EQ(plat_last_error(), k_io_error);
}

// Both socket families: the agent's one-call send and receive, and the
// server's send-all and receive; the error is the socket layer's.
TEST_F(FaultSwitch, SocketsFailWithTheSocketLayersError) {
    ASSERT_EQ(plat_socket_startup(), 0);
    ASSERT_EQ(plat_net_startup(), 0);
    uint16_t port = 0;
    plat_net listener = plat_net_listen("127.0.0.1", 0, &port);
    ASSERT_NE(listener, PLAT_NET_INVALID);
    intptr_t client = plat_tcp_connect("127.0.0.1", port);
    ASSERT_NE(client, -1);
    plat_net server = plat_net_accept(listener, 10000);
    ASSERT_NE(server, PLAT_NET_INVALID);

    plat_fault_plan p = plan(PLAT_FAULT_SEND, 2, k_conn_reset);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_socket_send(client, "ab", 2), 2);
    EXPECT_EQ(plat_socket_send(client, "cd", 2), -1);
    EXPECT_EQ(plat_socket_last_error(), k_conn_reset);
    EXPECT_EQ(plat_net_send_all(server, "xy", 2, 10000), 0);
    char buf[8];
    p = plan(PLAT_FAULT_RECV, 1, k_conn_reset);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_socket_recv(client, buf, sizeof buf), -1);
    EXPECT_EQ(plat_socket_last_error(), k_conn_reset);
    EXPECT_EQ(plat_socket_recv(client, buf, sizeof buf), 2); // the data is still there
    EXPECT_EQ(plat_net_recv(server, buf, sizeof buf, 10000), 2);

    p = plan(PLAT_FAULT_SEND, 1, k_conn_reset);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_net_send_all(server, "zz", 2, 10000), -1);
    EXPECT_EQ(plat_last_error(), k_conn_reset);
    p = plan(PLAT_FAULT_RECV, 1, k_conn_reset);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_net_recv(server, buf, sizeof buf, 10), -1);
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_RECV), 1u);

    plat_socket_close(client);
    plat_net_close(server);
    plat_net_close(listener);
    plat_socket_cleanup();
}

TEST_F(FaultSwitch, ArmingRefusesPlansThatCannotFire) {
    plat_fault_plan p = plan(PLAT_FAULT_WRITE, 0, k_disk_full);
    EXPECT_EQ(plat_fault_arm(&p), -1);
    p = plan(PLAT_FAULT_WRITE, 1, 0);
    EXPECT_EQ(plat_fault_arm(&p), -1);
    p = plan(PLAT_FAULT_OPS, 1, k_disk_full);
    EXPECT_EQ(plat_fault_arm(&p), -1);
    p = plat_fault_plan{PLAT_FAULT_WRITE, 1, false, 0, PLAT_FAULT_KILL}; // a kill needs no error
    EXPECT_EQ(plat_fault_arm(&p), 0);
    EXPECT_EQ(plat_fault_arm(nullptr), 0);
}

// The server counts from many threads: every call is counted once and the
// Nth fails exactly once.
TEST_F(FaultSwitch, CountsAreExactAcrossThreads) {
    plat_fault_plan p = plan(PLAT_FAULT_SYNC, 20000, k_io_error);
    ASSERT_EQ(plat_fault_arm(&p), 0);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; i++)
                if (plat_fault_check(PLAT_FAULT_SYNC)) failed++;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(plat_fault_count(PLAT_FAULT_SYNC), 40000u);
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(plat_fault_hits(), 1u);
}

// From outside: a real program armed by TAVNI_FAULT, its counts written at
// exit by TAVNI_FAULT_COUNTS, a kill plan that ends it with SIGKILL, and a
// malformed value that stops it before it does anything.
TEST_F(FaultSwitch, TheEnvironmentArmsARealProgram) {
    const char* build = getenv("TAVNI_BUILD_DIR");
    if (!build) GTEST_SKIP() << "TAVNI_BUILD_DIR names the folder of tavni-ctl";
    const std::string ctl = fs::absolute(fs::path(build) / "tavni-ctl").string();
    const std::string q = plat_is_windows ? "\"" : "'";
    // Runs tavni-ctl with the variables set (POSIX shell or cmd); its exit code.
    auto run = [&](const std::vector<std::pair<std::string, std::string>>& env,
                   const std::string& root) {
        fs::create_directories(dir / root / "etc");
        std::string args = " schedule new --root " + q + at(root.c_str()) + q +
                           " --user-id 7 --dest /1 --name x --src " + q + dir.string() + q +
                           " --acckey " + std::string(64, 'a') + " " + q +
                           at((root + "/job.tbs").c_str()) + q + " >" + q +
                           at((root + ".out").c_str()) + q + " 2>&1";
        std::string cmd;
        if (plat_is_windows) {
            for (const auto& e : env)
                cmd += "set \"" + e.first + "=" + e.second + "\" && ";
            cmd = "\"" + cmd + q + ctl + q + args + "\"";
            return std::system(cmd.c_str());
        }
        for (const auto& e : env)
            cmd += e.first + "='" + e.second + "' ";
        cmd += program_runner() + q + ctl + q + args + "; echo $? >'" + at((root + ".rc").c_str()) +
               "'";
        std::system(cmd.c_str());
        std::ifstream rc(at((root + ".rc").c_str()));
        int code = -1;
        rc >> code;
        return code;
    };
    auto read = [&](const std::string& rel) {
        std::ifstream in(at(rel.c_str()));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };

    EXPECT_EQ(run({{"TAVNI_FAULT_COUNTS", at("counts")}}, "plain"), 0) << read("plain.out");
    EXPECT_TRUE(fs::exists(at("plain/job.tbs")));
    const std::string counts = read("counts");
    EXPECT_NE(counts.find("list "), std::string::npos) << counts;
    EXPECT_EQ(counts.find("open 0\n"), std::string::npos) << "the key and schedule were opened";

    EXPECT_NE(run({{"TAVNI_FAULT", "open:1+:13"}}, "refused"), 0);
    EXPECT_FALSE(fs::exists(at("refused/job.tbs")));

    // Killed as SIGKILL would (Linux reports 128 + 9), or TerminateProcess with 9.
    EXPECT_EQ(run({{"TAVNI_FAULT", "open:1:kill"}}, "killed"), plat_is_windows ? 9 : 128 + 9);
    EXPECT_FALSE(fs::exists(at("killed/job.tbs")));

    int n = 0;
    for (const char* bad : {"write:0:28", "nonsense", "write:1:28:"}) {
        std::string root = "bad" + std::to_string(n++);
        EXPECT_EQ(run({{"TAVNI_FAULT", bad}}, root), 2) << bad;
        EXPECT_NE(read(root + ".out").find("is not op:N[+]:error|kill"), std::string::npos)
            << read(root + ".out");
        EXPECT_FALSE(fs::exists(at((root + "/job.tbs").c_str())));
    }
}
