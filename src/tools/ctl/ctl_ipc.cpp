// ctl_ipc.cpp - placeholder: this verb group is not built yet.
#include "tools/ctl/commands.h"

#include <CLI/CLI.hpp>

void register_ipc_commands(CLI::App&) {}
