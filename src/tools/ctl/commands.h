// commands.h - the verb groups of tavni-ctl, each registered by its own file.
#pragma once

namespace CLI {
class App;
}

// queue, progress, stop: the local side of the job mailslot and progress area.
void register_ipc_commands(CLI::App& app);
// schedule encrypt|decrypt|new: schedule files under the machine key.
void register_schedule_commands(CLI::App& app);
// mail show: decrypt a mail-queue file.
void register_mail_commands(CLI::App& app);
