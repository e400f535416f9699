// ctl_mail.cpp - placeholder: this verb group is not built yet.
#include "tools/ctl/commands.h"

#include <CLI/CLI.hpp>

void register_mail_commands(CLI::App&) {}
