// Child processes of the platform layer: word splitting, exit codes,
// termination, missing programs, and the owner-only file writer.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct process_holder {
    plat_process* p;
    ~process_holder() { plat_process_close(p); }
};

// Waits (bounded) for the child to end; its result of the last wait.
plat_wait_result wait_end(plat_process* p) {
    plat_wait_result r = PLAT_WAIT_TIMEOUT;
    for (int i = 0; i < 600 && r == PLAT_WAIT_TIMEOUT; ++i)
        if (plat_process_wait(p, 100, &r) != 0) return PLAT_WAIT_FAILED;
    return r;
}

// Exit code of a command run to its end, or -1000 when it did not run.
long long run_exit_code(const std::string& line) {
    process_holder h{plat_process_start(line.c_str())};
    if (!h.p) return -1000;
    if (wait_end(h.p) != PLAT_WAIT_ENDED) return -1000;
    uint32_t code = 0;
    if (plat_process_exit_code(h.p, &code) != 0) return -1000;
    return static_cast<long long>(code);
}

fs::path temp_dir(const char* name) {
    fs::path d = fs::temp_directory_path() /
                 (std::string("tavni_") + name + "_" + std::to_string(std::random_device{}()));
    fs::remove_all(d);
    fs::create_directories(d);
    return d;
}

} // namespace

TEST(PlatProcess, ExitCodesAndWordSplitting) {
    if (plat_is_windows) {
        EXPECT_EQ(run_exit_code("cmd /c exit 3"), 3);
        EXPECT_EQ(run_exit_code("cmd /c exit 0"), 0);
        return;
    }
    EXPECT_EQ(run_exit_code("true"), 0);
    EXPECT_EQ(run_exit_code("sh -c \"exit 7\""), 7);
    // Runs of blanks and tabs separate like one blank; leading and trailing ones vanish.
    EXPECT_EQ(run_exit_code("  sh \t -c   \"exit 4\"  "), 4);
    // Quotes group blanks into one word; "" is an empty word of its own.
    EXPECT_EQ(run_exit_code("sh -c \"exit $#\" zero \"a b\" c"), 2);
    EXPECT_EQ(run_exit_code("sh -c \"exit $#\" zero \"\" c"), 2);
    // Quoted and unquoted pieces without a blank between them make one word.
    EXPECT_EQ(run_exit_code("sh -c \"exit ${#1}\" zero a\"b c\"d"), 5);
    // No shell between: shell syntax reaches the program as plain words.
    EXPECT_EQ(run_exit_code("sh -c \"exit $#\" zero '>' '|' ;"), 3);
    // A child ended by a signal reads as 128 + the signal number.
    EXPECT_EQ(run_exit_code("sh -c \"kill -9 $$\""), 137);
}

TEST(PlatProcess, MissingProgramIsNotStarted) {
    const char* lines[] = {"tavni-no-such-program-4711", "tavni-no-such-program-4711 with args",
                           plat_is_windows ? "C:\\no\\such\\dir\\prog.exe" : "/no/such/dir/prog",
                           "", "   "};
    for (const char* line : lines) {
        plat_set_last_error(0);
        plat_process* p = plat_process_start(line);
        EXPECT_EQ(p, nullptr) << line;
        plat_process_close(p);
        if (*line) {
            EXPECT_EQ(plat_last_error(), 2) << line; // the "file not found" code on both platforms
        }
    }
}

TEST(PlatProcess, NotExecutableFileIsNotStarted) {
    if (plat_is_windows) GTEST_SKIP() << "execute rights are a POSIX notion";
    fs::path d = temp_dir("noexec");
    fs::path f = d / "script";
    std::ofstream(f) << "#!/bin/sh\nexit 0\n";
    fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write);
    plat_process* p = plat_process_start(f.string().c_str());
    EXPECT_EQ(p, nullptr);
    plat_process_close(p);
    EXPECT_EQ(plat_last_error(), 13); // EACCES
    fs::remove_all(d);
}

TEST(PlatProcess, TerminateEndsTheChildAndItsCommands) {
    fs::path d = temp_dir("kill");
    fs::path pid_file = d / "pid";
    // Linux: the shell records its own id, then a background sleep's, then
    // waits. Windows: ping waits a second between its 30 echoes.
    std::string line = plat_is_windows
                           ? std::string("ping -n 30 127.0.0.1")
                           : "sh -c \"echo $$ > " + pid_file.string() + "; sleep 30 & echo $! >> " +
                                 pid_file.string() + "; wait\"";
    process_holder h{plat_process_start(line.c_str())};
    ASSERT_NE(h.p, nullptr);
    plat_wait_result r = PLAT_WAIT_ENDED;
    std::string pids[2];
    ASSERT_EQ(plat_process_wait(h.p, 10, &r), 0);
    ASSERT_EQ(r, PLAT_WAIT_TIMEOUT);
    if (!plat_is_windows) {
        for (int i = 0; i < 500; ++i) { // until both ids are written
            ASSERT_EQ(plat_process_wait(h.p, 10, &r), 0);
            ASSERT_EQ(r, PLAT_WAIT_TIMEOUT);
            std::ifstream in(pid_file);
            if (in >> pids[0] >> pids[1]) break;
        }
        ASSERT_FALSE(pids[1].empty());
        ASSERT_TRUE(fs::exists("/proc/" + pids[0]));
    }

    ASSERT_EQ(plat_process_terminate(h.p, 0xFFFFFFFFu), 0);
    ASSERT_EQ(plat_process_wait(h.p, 0, &r), 0);
    EXPECT_EQ(r, PLAT_WAIT_ENDED);
    uint32_t code = 0;
    ASSERT_EQ(plat_process_exit_code(h.p, &code), 0);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    // Terminating an ended child is not an error.
    EXPECT_EQ(plat_process_terminate(h.p, 1), 0);
    if (plat_is_windows) {
        fs::remove_all(d);
        return;
    }
    EXPECT_FALSE(fs::exists("/proc/" + pids[0])) << "the child is still there";
    // The command's own child goes with its process group; the signal reaches
    // it asynchronously, so look (bounded) until it is gone or a zombie.
    std::string state = "S";
    for (int i = 0; i < 200 && state != "Z" && state != "gone"; ++i) {
        std::ifstream stat("/proc/" + pids[1] + "/stat");
        std::string pid, comm;
        if (!(stat >> pid >> comm >> state)) state = "gone";
        if (state != "Z" && state != "gone") plat_sleep_ms(10);
    }
    EXPECT_TRUE(state == "Z" || state == "gone") << "the command's child still runs";
    fs::remove_all(d);
}

TEST(PlatProcess, RedirectionIsAbsentOnLinux) {
    if (plat_is_windows) GTEST_SKIP() << "present or absent by Windows version";
    void* state = reinterpret_cast<void*>(1);
    EXPECT_EQ(plat_redirection_disable(&state), PLAT_REDIRECTION_ABSENT);
    EXPECT_EQ(plat_redirection_revert(state), PLAT_REDIRECTION_ABSENT);
}

static int write_private(const char* path, const void* data, size_t len) {
    FILE* f = plat_open_private(path, PLAT_PRIVATE_TRUNCATE);
    if (!f) return -1;
    size_t n = fwrite(data, 1, len, f);
    return (fclose(f) == 0 && n == len) ? 0 : -1;
}

TEST(PlatOwnerOnlyFile, WritesAndNarrowsRights) {
    fs::path d = temp_dir("owner");
    fs::path f = d / "key.bin";
    const char data[] = "secret\0bytes";
    ASSERT_EQ(write_private(f.string().c_str(), data, sizeof data), 0);
    {
        std::ifstream in(f, std::ios::binary);
        std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(back, std::string(data, sizeof data));
    }
    if (!plat_is_windows) {
        EXPECT_EQ(fs::status(f).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        // A file left with wide rights is truncated and narrowed.
        fs::permissions(f, fs::perms::all);
        ASSERT_EQ(write_private(f.string().c_str(), "x", 1), 0);
        EXPECT_EQ(fs::status(f).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::file_size(f), 1u);
    }
    EXPECT_EQ(write_private((d / "no" / "such" / "dir").string().c_str(), "x", 1), -1);
    fs::remove_all(d);
}
