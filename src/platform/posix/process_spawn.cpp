// process_spawn.cpp - Linux: the hidden child process of the command runner.
//
// The command line is split into words here (blanks separate, double quotes
// group; no shell, as CreateProcessA would not use one either) and the program
// is looked up on PATH before spawning, so that a missing program is a start
// failure with ENOENT rather than a child that exits 127. The child gets its
// own process group, so termination also ends what the command started.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct plat_process {
    pid_t pid;
    bool reaped;
    int status;
    bool terminated;
    uint32_t terminate_code;
};

namespace {

// Polling step of a wait; the caller's slice decides how long it waits.
const uint32_t k_poll_step_ms = 5;

std::vector<std::string> split_words(const char* line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (const char* c = line; *c; ++c) {
        if (*c == '"') {
            quoted = !quoted;
            in_word = true; // "" is an empty word
        } else if (!quoted && (*c == ' ' || *c == '\t')) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += *c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

// 0 when path is an executable regular file; else the error number.
int check_program(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EACCES;
    if (access(path.c_str(), X_OK) != 0) return errno;
    return 0;
}

// Resolves the program as execvp would; 0, or the error number (ENOENT when
// nothing of that name exists, EACCES when only unusable files do).
int find_program(const std::string& name, std::string* found) {
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string::npos) {
        *found = name;
        return check_program(name);
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    int result = ENOENT;
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        int e = check_program(candidate);
        if (e == 0) {
            *found = candidate;
            return 0;
        }
        if (e == EACCES) result = EACCES;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return result;
}

struct spawn_attr_holder {
    posix_spawnattr_t attr;
    bool ready = false;
    ~spawn_attr_holder() {
        if (ready) posix_spawnattr_destroy(&attr);
    }
};

} // namespace

plat_process* plat_process_start(const char* command_line) {
    std::vector<std::string> words = split_words(command_line ? command_line : "");
    if (words.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::string program;
    int e = find_program(words[0], &program);
    if (e != 0) {
        errno = e;
        return nullptr;
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    spawn_attr_holder holder;
    if ((e = posix_spawnattr_init(&holder.attr)) != 0) {
        errno = e;
        return nullptr;
    }
    holder.ready = true;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&holder.attr, &none);
    posix_spawnattr_setsigdefault(&holder.attr, &all);
    posix_spawnattr_setpgroup(&holder.attr, 0);
    posix_spawnattr_setflags(&holder.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                               POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    e = posix_spawnp(&pid, program.c_str(), nullptr, &holder.attr, argv.data(), environ);
    if (e != 0) {
        errno = e;
        return nullptr;
    }
    plat_process* p = new plat_process();
    p->pid = pid;
    p->reaped = false;
    p->status = 0;
    p->terminated = false;
    p->terminate_code = 0;
    return p;
}

int plat_process_wait(plat_process* p, uint32_t ms, plat_wait_result* result) {
    const uint32_t start = plat_tick_ms();
    for (;;) {
        if (p->reaped) {
            *result = PLAT_WAIT_ENDED;
            return 0;
        }
        int status = 0;
        pid_t r = waitpid(p->pid, &status, WNOHANG);
        if (r == p->pid) {
            p->reaped = true;
            p->status = status;
            continue;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            *result = PLAT_WAIT_FAILED;
            return 0;
        }
        const uint32_t elapsed = plat_tick_ms() - start;
        if (elapsed >= ms) {
            *result = PLAT_WAIT_TIMEOUT;
            return 0;
        }
        const uint32_t left = ms - elapsed;
        plat_sleep_ms(left < k_poll_step_ms ? left : k_poll_step_ms);
    }
}

int plat_process_exit_code(plat_process* p, uint32_t* code) {
    if (!p->reaped) {
        errno = EBUSY; // still running
        return -1;
    }
    if (p->terminated)
        *code = p->terminate_code;
    else if (WIFEXITED(p->status))
        *code = static_cast<uint32_t>(WEXITSTATUS(p->status));
    else if (WIFSIGNALED(p->status))
        *code = 128u + static_cast<uint32_t>(WTERMSIG(p->status));
    else
        *code = 0xFFFFFFFFu;
    return 0;
}

int plat_process_terminate(plat_process* p, uint32_t code) {
    if (p->reaped) return 0;
    if (kill(-p->pid, SIGKILL) != 0 && kill(p->pid, SIGKILL) != 0) return -1;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(p->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    p->reaped = true;
    p->status = status;
    if (r == p->pid && WIFEXITED(status)) return 0; // it ended by itself first
    p->terminated = true;
    p->terminate_code = code;
    return 0;
}

void plat_process_close(plat_process* p) {
    if (!p) return;
    if (!p->reaped) {
        int status = 0;
        waitpid(p->pid, &status, WNOHANG);
    }
    delete p;
}

plat_redirection plat_redirection_disable(void** old_state) {
    *old_state = nullptr;
    return PLAT_REDIRECTION_ABSENT;
}

plat_redirection plat_redirection_revert(void*) {
    return PLAT_REDIRECTION_ABSENT;
}
