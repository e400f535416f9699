// main.cpp - tavni-ctl: the desktop program's side of every local exchange.
#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"tavni-ctl: schedule files, job queue, progress, stop and mail queue"};
    app.require_subcommand(1);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
