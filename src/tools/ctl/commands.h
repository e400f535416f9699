// commands.h - the verb groups of tavni-ctl, each registered by its own file.
#pragma once

namespace CLI {
class App;
}

// queue, progress, stop: the local side of the job mailslot and progress area.
void register_ipc_commands(CLI::App& app);
// schedule encrypt|decrypt|new|show-key: schedule files under the machine key.
void register_schedule_commands(CLI::App& app);
// mail show: decrypt a mail-queue file.
void register_mail_commands(CLI::App& app);
// check: an installation folder and its schedules, before a job runs.
void register_check_command(CLI::App& app);
// run: one job with the agent in the foreground; exits with how it ended.
void register_run_commands(CLI::App& app);
// True when the command line names the run verb (its usage errors exit with 4).
bool ctl_run_selected(int argc, char** argv);
// init: make or complete an installation folder from the installed files.
void register_init_commands(CLI::App& app);
// trust-server: show or replace the pinned key of a server.
void register_trust_commands(CLI::App& app);
// snapshots, ls, diff: the user's runs and trees on the server.
void register_snapshots_command(CLI::App& app);
void register_ls_command(CLI::App& app);
void register_diff_command(CLI::App& app);
// restore, verify: files of a run decrypted on this machine, or only checked.
void register_restore_command(CLI::App& app);
void register_verify_command(CLI::App& app);
