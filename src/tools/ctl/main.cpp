// main.cpp - tavni-ctl: the desktop program's side of every local exchange.
#include "tools/ctl/commands.h"

#include "common/mem.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    mem_install_new_handler();
    CLI::App app{"tavni-ctl: schedule files, job queue, progress, stop and mail queue"};
    app.require_subcommand(1);
    register_ipc_commands(app);
    register_schedule_commands(app);
    register_mail_commands(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
