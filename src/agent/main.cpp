// main.cpp - entry of tavni-backup: hands the command line to the agent.
//
// On Linux the program also answers --help and --version on standard output
// (exit 0, no log written); every other use goes to the agent unchanged.
#include "agent/agent.h"
#include "common/mem.h"

#include <cstdio>
#include <cstring>

namespace {

#if TAVNI_CONSOLE_HELP
const char usage[] = "Usage: tavni-backup background [SCHEDULE]\n"
                     "       tavni-backup crash\n"
                     "       tavni-backup --help | --version\n"
                     "\n"
                     "The Tavni backup agent. It has no window: run it with its installation\n"
                     "folder as the current directory (etc/hosts, etc/tavni.ak, etc/*.emt).\n"
                     "\n"
                     "  background SCHEDULE  run the backup job of the schedule file SCHEDULE,\n"
                     "                       then the jobs queued on the job mailslot\n"
                     "                       (tavni-ctl queue); without SCHEDULE, wait 30\n"
                     "                       seconds for a queued job\n"
                     "  crash                crash at once, to test the crash dump\n"
                     "\n"
                     "The process log is agent.log and each job's log is SCHEDULE.log, both in\n"
                     "the current folder. Watch a job with 'tavni-ctl progress --watch', stop\n"
                     "it with 'tavni-ctl stop'; 'tavni-ctl run SCHEDULE' runs one job in the\n"
                     "foreground and exits with how it ended.\n"
                     "\n"
                     "Exit codes: 0 the agent ran (how each job ended is in its job log and\n"
                     "report; 'tavni-ctl run' turns that into an exit code); 1 no argument;\n"
                     "2 an unknown mode; 3 the backup thread could not be started.\n"
                     "\n"
                     "Example: cd /var/lib/tavni/agent && tavni-backup background daily.tbs\n";

// 1 for --help or -h, 2 for --version, 0 otherwise.
int console_request(int argc, char** argv) {
    if (argc != 2 || !argv[1]) return 0;
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) return 1;
    if (strcmp(argv[1], "--version") == 0) return 2;
    return 0;
}
#endif

} // namespace

int main(int argc, char** argv) {
#if TAVNI_CONSOLE_HELP
    switch (console_request(argc, argv)) {
    case 1:
        fputs(usage, stdout);
        return 0;
    case 2:
        printf("tavni-backup %s\n", TAVNI_VERSION);
        return 0;
    default:
        break;
    }
#endif
    mem_install_new_handler();
    bool must_exit = false;
    int result = agent_main(argc, argv, &must_exit);
    if (must_exit) plat_exit_process(result);
    return result;
}
