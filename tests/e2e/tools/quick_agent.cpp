// quick_agent.cpp - the agent with shortened waits, for end-to-end tests that
// must see the watchdog act: the agent itself offers no way to change them.
//
// Usage: tavni-backup-quick WATCHDOG_MS JOB_WAIT_MS MODE [SCHEDULE]
#include "agent/agent.h"
#include "common/mem.h"
#include "common/timing.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s WATCHDOG_MS JOB_WAIT_MS MODE [SCHEDULE]\n", argv[0]);
        return 64;
    }
    mem_install_new_handler();
    timing t = timing_defaults();
    t.watchdog_slice_ms = static_cast<uint32_t>(strtoul(argv[1], nullptr, 10));
    t.job_wait_scale_ms = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
    timing_set_for_tests(t);
    // The agent sees its own name and then the mode word and schedule.
    std::vector<const char*> args{argv[0]};
    for (int i = 3; i < argc; i++)
        args.push_back(argv[i]);
    bool must_exit = false;
    int result = agent_main(static_cast<int>(args.size()), args.data(), &must_exit);
    if (must_exit) plat_exit_process(result);
    return result;
}
