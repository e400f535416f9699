// descriptors_test.cpp - a command started by the job sees none of what the
// agent holds open: its logs, files, read streams and connections.
#include "runtime/log.h"
#include "platform/platform.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <map>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// The descriptors a child started by the platform holds, from the listing
// ls writes of its own descriptor folder ("N -> target" per line), less the
// one ls reads that folder through.
std::map<int, std::string> child_descriptors(const fs::path& dir, const char* name) {
    const fs::path out = dir / name;
    const std::string line = "sh -c \"exec ls -l /proc/self/fd > '" + out.string() + "'\"";
    plat_process* p = plat_process_start(line.c_str());
    EXPECT_NE(p, nullptr);
    std::map<int, std::string> fds;
    if (!p) return fds;
    plat_wait_result r = PLAT_WAIT_TIMEOUT;
    for (int i = 0; i < 600 && r == PLAT_WAIT_TIMEOUT; ++i)
        if (plat_process_wait(p, 100, &r) != 0) break;
    plat_process_close(p);
    EXPECT_EQ(r, PLAT_WAIT_ENDED);
    std::istringstream in(slurp(out));
    std::string entry;
    const std::regex fd_line(".* ([0-9]+) -> (.*)"), own_listing("/proc/[0-9]+/fd");
    while (std::getline(in, entry)) {
        std::smatch m;
        if (std::regex_match(entry, m, fd_line) && !std::regex_match(m[2].str(), own_listing))
            fds[std::stoi(m[1].str())] = m[2].str();
    }
    return fds;
}

} // namespace

TEST(ChildDescriptors, CommandsInheritNothingTheAgentOpened) {
    if (plat_is_windows) GTEST_SKIP() << "listed through /proc";
    temp_dir dir;
    // What the test process itself was given: not the agent's doing.
    const std::map<int, std::string> before = child_descriptors(dir.path, "before.txt");
    ASSERT_FALSE(before.empty());

    ASSERT_EQ(agent_log_open((dir.path / "agent.log").string().c_str()), 0);
    ASSERT_EQ(job_log_open((dir.path / "job.tbs.log").string().c_str()), 0);
    plat_file created = plat_file_create((dir.path / "job.fci").string().c_str(), true);
    ASSERT_NE(created, PLAT_NO_FILE);
    FILE* priv =
        plat_open_private((dir.path / "job.tbs.ts").string().c_str(), PLAT_PRIVATE_TRUNCATE);
    ASSERT_NE(priv, nullptr);
    FILE* read = plat_fopen_read((dir.path / "agent.log").string().c_str(), true);
    ASSERT_NE(read, nullptr);
    plat_file in = plat_file_open_read((dir.path / "agent.log").string().c_str());
    ASSERT_NE(in, PLAT_NO_FILE);
    uint16_t port = 0;
    intptr_t listener = plat_tcp_listen("127.0.0.1", 0, &port);
    ASSERT_NE(listener, -1);
    intptr_t client = plat_tcp_connect("127.0.0.1", port);
    ASSERT_NE(client, -1);
    intptr_t served = plat_tcp_accept(listener);
    ASSERT_NE(served, -1);

    // The same numbers (the standard output goes to another listing file).
    const std::map<int, std::string> during = child_descriptors(dir.path, "during.txt");
    for (const auto& fd : during)
        EXPECT_TRUE(before.count(fd.first)) << "inherited " << fd.first << " -> " << fd.second;
    EXPECT_EQ(during.size(), before.size());

    plat_socket_close(served);
    plat_socket_close(client);
    plat_socket_close(listener);
    plat_file_close(in);
    fclose(read);
    fclose(priv);
    plat_file_close(created);
    job_log_close();
    agent_log_close();
}
