// main.cpp - entry of tavni-backup: hands the command line to the agent.
#include "agent/agent.h"
#include "common/mem.h"

int main(int argc, char** argv) {
    mem_install_new_handler();
    bool must_exit = false;
    int result = agent_main(argc, argv, &must_exit);
    if (must_exit) plat_exit_process(result);
    return result;
}
