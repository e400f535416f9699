// ctl_schedule.cpp - placeholder: this verb group is not built yet.
#include "tools/ctl/commands.h"

#include <CLI/CLI.hpp>

void register_schedule_commands(CLI::App&) {}
