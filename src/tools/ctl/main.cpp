// main.cpp - tavni-ctl: the desktop program's side of every local exchange.
#include "tools/ctl/commands.h"

#include "common/mem.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    mem_install_new_handler();
    CLI::App app{"tavni-ctl: schedule files, job queue, run, progress, stop, mail queue and "
                 "installation check"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("tavni-ctl ") + TAVNI_VERSION);
    register_ipc_commands(app);
    register_schedule_commands(app);
    register_mail_commands(app);
    register_init_commands(app);
    register_check_command(app);
    register_trust_commands(app);
    register_run_commands(app);
    register_snapshots_command(app);
    register_ls_command(app);
    register_diff_command(app);
    register_restore_command(app);
    register_verify_command(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        // A timer tells "the agent did not run the job" by 4, bad usage included.
        return rc != 0 && ctl_run_selected(argc, argv) ? 4 : rc;
    }
    return 0;
}
