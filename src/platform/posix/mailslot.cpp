// mailslot.cpp - Linux: the job mailslot as a Unix datagram socket in a folder
// that only the agent's user (or root) can write.
//
// The name is owned through an exclusive lock on a file beside the socket, so
// a second agent of the same user is refused while the first lives, and a
// socket left by a killed agent is replaced. The kernel tells the receiver
// who sent each datagram: only the receiver's own user and root are obeyed.
// A receiver thread drains the socket into a bounded queue, so that far more
// jobs wait than the kernel's datagram queue holds; when that queue is full
// the thread stops reading and senders fail instead of losing messages.
#include "platform/platform.h"
#include "platform/posix/credentials_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

const char* const plat_job_mailslot_name = "Tavni/Tavni Backup/Backup Job Mailslot";

namespace {

// Longest message kept whole; a longer one is kept as its length only and
// always reads as too long (a job path is at most 1024 bytes).
const size_t keep_max = 4096;
// How long a sender waits for room in the receiver's socket queue. The
// receiver thread empties it at once unless its own queue is full.
const long send_wait_ms = 3000;

// Room for the sender's credentials and for descriptors a hostile sender
// may attach (they are closed unused).
const size_t control_space = CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(16 * sizeof(int));

struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner() {
        if (fd >= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
        }
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

uid_t own_uid() {
    return geteuid();
}

// Whether path is a folder (not a link) that uid owns and no one else may
// write.
bool owned_folder(const std::string& path, uid_t uid) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 022) == 0;
}

// The folder of a user's mailslots: root's under /run; another user's in
// the login session's runtime folder when that exists and is safe, else
// below /tmp. The same rule on both sides, whatever their environment, so
// that a sender started from cron finds the agent started at login.
std::string folder_of(uid_t uid) {
    if (uid == 0) return "/run/tavni-backup";
    const std::string runtime = "/run/user/" + std::to_string(uid);
    if (owned_folder(runtime, uid)) return runtime + "/tavni-backup";
    return "/tmp/tavni-backup-" + std::to_string(uid);
}

// Where a user's mailslots go when folder_of's folder below /tmp is taken by
// someone else (anyone may make a folder there first): ".tavni-backup" in
// the user's home folder (from the user database, not the environment, so
// that cron and login agree) when that is the user's own, else fresh
// folders "/tmp/tavni-backup-UID.XXXXXX", which only the user can have made
// with that owner; a sender finds them by their name and owner.
std::string home_fallback(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw, *found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_dir ||
        pw.pw_dir[0] != '/')
        return std::string();
    const std::string home = pw.pw_dir;
    if (!owned_folder(home, uid)) return std::string();
    return home + "/.tavni-backup";
}

std::string tmp_fallback_prefix(uid_t uid) {
    return "/tmp/tavni-backup-" + std::to_string(uid) + ".";
}

// The fresh fallback folders below /tmp that uid made, in name order.
std::vector<std::string> tmp_fallbacks(uid_t uid) {
    std::vector<std::string> out;
    const std::string prefix = tmp_fallback_prefix(uid);
    const std::string stem = prefix.substr(5); // without "/tmp/"
    DIR* d = opendir("/tmp");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (strncmp(e->d_name, stem.c_str(), stem.size()) != 0) continue;
        std::string path = std::string("/tmp/") + e->d_name;
        if (owned_folder(path, uid)) out.push_back(path);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// The folders a sender tries for uid's mailslots, in order.
std::vector<std::string> folders_to_try(uid_t uid) {
    std::vector<std::string> out{folder_of(uid)};
    if (uid == 0) return out;
    const std::string home = home_fallback(uid);
    if (!home.empty()) out.push_back(home);
    for (const std::string& t : tmp_fallbacks(uid))
        out.push_back(t);
    return out;
}

// Checks the folder (and makes it when asked): a real folder, not a link,
// owned by uid, writable by no one else. 0, or -1 with errno.
int check_folder(const std::string& path, uid_t uid, bool create) {
    if (create) {
        // Root's folder is searchable by everyone so that strangers' messages
        // reach the receiver, which refuses them with a log line; a user's
        // folder is that user's alone.
        if (mkdir(path.c_str(), uid == 0 ? 0755 : 0700) != 0 && errno != EEXIST) return -1;
    }
    // O_PATH: a folder its owner keeps unreadable to us is checked all the
    // same (its owner, not a refused open, says whose it is).
    fd_owner dir(open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) return -1; // ENOTDIR or ELOOP for a link or anything else
    struct stat st;
    if (fstat(dir.fd, &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    if (st.st_uid != uid || (st.st_mode & 022) != 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

// The file name of a mailslot inside its folder: the name with its
// separators turned into dots.
bool file_name(const char* name, std::string* out) {
    if (!name || !name[0] || name[0] == '.') {
        errno = EINVAL;
        return false;
    }
    std::string s(name);
    for (char& c : s)
        if (c == '/' || c == '\\') c = '.';
    *out = s;
    return true;
}


struct message {
    long length; // the sender's length; past keep_max the bytes are not kept
    std::vector<char> bytes;
};

} // namespace

struct plat_mailslot {
    int fd = -1;
    bool receiver = false;
    // Receiver only.
    int lock_fd = -1;
    int wake[2] = {-1, -1};
    std::string path;
    plat_mailslot_refused_fn on_refused = nullptr;
    void* context = nullptr;
    pthread_t thread{};
    bool thread_started = false;
    std::mutex lock;
    std::condition_variable room;
    std::deque<message> queue;
    bool stopping = false;
};

namespace {

bool trusted(uid_t uid) {
    return uid == 0 || uid == own_uid();
}

// Takes what is waiting on the socket into the queue, checking each sender,
// until the socket is empty or the queue full. Caller holds m->lock.
void drain(plat_mailslot* m) {
    char data[keep_max];
    while (m->queue.size() < PLAT_MAILSLOT_QUEUE_MAX) {
        iovec iov{data, sizeof data};
        alignas(cmsghdr) char control[control_space];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        // MSG_TRUNC: the real length of a datagram longer than the buffer.
        ssize_t n = recvmsg(m->fd, &mh, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // empty (EAGAIN), or nothing more to be had now
        }
        ucred sender{};
        const bool have_sender = plat_take_sender(&mh, &sender);
        if (!have_sender || !trusted(sender.uid)) {
            if (m->on_refused) {
                plat_mailslot_sender who{have_sender ? static_cast<int64_t>(sender.uid) : -1,
                                         have_sender ? static_cast<int64_t>(sender.pid) : -1};
                m->on_refused(m->context, &who);
            }
            continue;
        }
        message msg;
        msg.length = static_cast<long>(n);
        if (static_cast<size_t>(n) <= sizeof data) msg.bytes.assign(data, data + n);
        m->queue.push_back(std::move(msg));
    }
}

void* receive_loop(void* arg) {
    plat_mailslot* m = static_cast<plat_mailslot*>(arg);
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(m->lock);
            // A full queue is left to the reader; the socket's own queue then
            // fills and senders are told.
            m->room.wait(hold,
                         [m] { return m->stopping || m->queue.size() < PLAT_MAILSLOT_QUEUE_MAX; });
            if (m->stopping) return nullptr;
        }
        pollfd fds[2] = {{m->fd, POLLIN, 0}, {m->wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        if (fds[1].revents) return nullptr;
        std::lock_guard<std::mutex> hold(m->lock);
        drain(m);
    }
}

void release_receiver(plat_mailslot* m) {
    if (m->thread_started) {
        {
            std::lock_guard<std::mutex> hold(m->lock);
            m->stopping = true;
        }
        m->room.notify_all();
        const char stop = 0;
        ssize_t ignored = write(m->wake[1], &stop, 1);
        (void)ignored;
        pthread_join(m->thread, nullptr);
    }
    // The socket and the lock file go while the lock still says whose they
    // are.
    if (!m->path.empty()) {
        unlink(m->path.c_str());
        unlink((m->path + ".lock").c_str());
    }
    for (int fd : {m->fd, m->wake[0], m->wake[1], m->lock_fd})
        if (fd >= 0) close(fd);
}

// The user id asked for, or this process's own for -1; false for a number
// that is no user id (uid_t is 32 bits, and its all-ones value means none).
bool uid_of(int64_t agent_uid, uid_t* uid) {
    if (agent_uid < 0) {
        *uid = own_uid();
        return true;
    }
    if (agent_uid >= static_cast<int64_t>(static_cast<uid_t>(-1))) return false;
    *uid = static_cast<uid_t>(agent_uid);
    return true;
}

// The fallback folder this process chose for its own mailslots; kept so
// that a later call finds the same one rather than making another.
std::mutex g_fallback_lock;
std::string g_fallback;

// The folder for uid's mailslots: folder_of's, or, when that one is someone
// else's (or others may write it) and uid is this process's own user (and
// not root), a fallback: the home folder's, an earlier fresh one, or a new
// one when create. *passed_over gets the folder passed over (empty when
// none). 0 with *out set, or -1 with errno (*out: the folder that failed).
int choose_folder(uid_t uid, bool create, std::string* out, std::string* passed_over) {
    passed_over->clear();
    *out = folder_of(uid);
    if (check_folder(*out, uid, create) == 0) return 0;
    const int error = errno;
    if (uid == 0 || uid != own_uid() ||
        (error != EPERM && error != ELOOP && error != ENOTDIR && error != EACCES)) {
        errno = error;
        return -1;
    }
    *passed_over = *out;
    std::lock_guard<std::mutex> hold(g_fallback_lock);
    std::vector<std::string> candidates;
    if (!g_fallback.empty()) candidates.push_back(g_fallback);
    const std::string home = home_fallback(uid);
    if (!home.empty()) candidates.push_back(home);
    for (const std::string& t : tmp_fallbacks(uid))
        candidates.push_back(t);
    for (const std::string& c : candidates)
        if (check_folder(c, uid, create && c == home) == 0) {
            *out = g_fallback = c;
            return 0;
        }
    if (create) {
        std::string tmpl = tmp_fallback_prefix(uid) + "XXXXXX";
        if (mkdtemp(&tmpl[0]) && check_folder(tmpl, uid, false) == 0) {
            *out = g_fallback = tmpl;
            return 0;
        }
    }
    *out = *passed_over;
    errno = error;
    return -1;
}

void copy_out(const std::string& text, char* buf, size_t size) {
    if (!buf || size == 0) return;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buf, text.data(), n);
    buf[n] = 0;
}

} // namespace

int plat_mailslot_folder(int64_t agent_uid, bool create, char* path, size_t size, char* passed_over,
                         size_t passed_size) {
    copy_out(std::string(), passed_over, passed_size);
    uid_t uid;
    if (!uid_of(agent_uid, &uid)) {
        if (path && size > 0) path[0] = 0;
        errno = EINVAL;
        return -1;
    }
    if (uid != own_uid()) {
        // Another user's: the first of the folders their agent may use that
        // passes the check, else the usual one.
        for (const std::string& folder : folders_to_try(uid))
            if (check_folder(folder, uid, false) == 0) {
                copy_out(folder, path, size);
                return 0;
            }
        const std::string folder = folder_of(uid);
        copy_out(folder, path, size);
        return check_folder(folder, uid, false);
    }
    std::string folder, passed;
    int rc = choose_folder(uid, create, &folder, &passed);
    copy_out(folder, path, size);
    copy_out(passed, passed_over, passed_size);
    return rc;
}

plat_mailslot* plat_mailslot_create(const char* name, plat_mailslot_refused_fn on_refused,
                                    void* context) {
    std::string file;
    if (!file_name(name, &file)) return nullptr;
    const uid_t uid = own_uid();
    std::string folder, passed;
    if (choose_folder(uid, true, &folder, &passed) != 0) return nullptr;
    const std::string path = folder + "/" + file;
    sockaddr_un addr;
    socklen_t len;
    if (!plat_local_address(path, &addr, &len)) return nullptr;

    // The folder is this user's alone, so nothing in it can be a stranger's
    // link; O_NOFOLLOW all the same. The owner removes the lock file when it
    // closes: a lock taken on a file that was removed meanwhile is no lock
    // on the name, and is taken again on the file that stands there now.
    const std::string lock_path = path + ".lock";
    fd_owner lock_fd;
    for (int attempt = 0;; attempt++) {
        fd_owner candidate(
            open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (candidate.fd < 0) return nullptr;
        if (flock(candidate.fd, LOCK_EX | LOCK_NB) != 0) {
            errno = EADDRINUSE; // another agent of this user owns the name
            return nullptr;
        }
        struct stat held, named;
        if (fstat(candidate.fd, &held) != 0) return nullptr;
        if (stat(lock_path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            lock_fd.fd = candidate.release();
            break;
        }
        if (attempt == 3) {
            errno = EADDRINUSE;
            return nullptr;
        }
    }
    // Left by an agent that was killed: its lock went with it.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;

    fd_owner sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) return nullptr;
    // Before the name exists, so that every datagram carries its sender.
    const int on = 1;
    if (setsockopt(sock.fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return nullptr;
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return nullptr;
    // Anyone who can reach root's folder may send (and is refused by
    // credentials, visibly); a user's socket is theirs alone. The folder
    // admits no one else's links, so the path is safe to use here.
    if (chmod(path.c_str(), uid == 0 ? 0666 : 0600) != 0) {
        int saved = errno;
        unlink(path.c_str());
        errno = saved;
        return nullptr;
    }

    plat_mailslot* m = new plat_mailslot;
    m->fd = sock.release();
    m->receiver = true;
    m->lock_fd = lock_fd.release();
    m->path = path;
    m->on_refused = on_refused;
    m->context = context;
    if (pipe2(m->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int saved = errno;
        release_receiver(m);
        delete m;
        errno = saved;
        return nullptr;
    }
    // The receiver thread takes no signals meant for the process.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int rc = pthread_create(&m->thread, nullptr, receive_loop, m);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        release_receiver(m);
        delete m;
        errno = rc;
        return nullptr;
    }
    m->thread_started = true;
    return m;
}

plat_mailslot* plat_mailslot_open(const char* name, int64_t agent_uid) {
    std::string file;
    if (!file_name(name, &file)) return nullptr;
    uid_t uid;
    if (!uid_of(agent_uid, &uid)) return nullptr;
    // The usual folder first, then the fallbacks an agent of that user may
    // have had to take. A folder that fails the check holds no agent of that
    // user's; a socket left by a killed agent refuses the connection.
    int error = ENOENT;
    for (const std::string& folder : folders_to_try(uid)) {
        if (check_folder(folder, uid, false) != 0) {
            error = errno;
            continue;
        }
        sockaddr_un addr;
        socklen_t len;
        if (!plat_local_address(folder + "/" + file, &addr, &len)) return nullptr;
        fd_owner sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (sock.fd < 0) return nullptr;
        timeval wait{send_wait_ms / 1000, (send_wait_ms % 1000) * 1000};
        if (setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) return nullptr;
        if (connect(sock.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
            error = errno;
            continue;
        }
        plat_mailslot* m = new plat_mailslot;
        m->fd = sock.release();
        return m;
    }
    errno = error;
    return nullptr;
}

long plat_mailslot_read(plat_mailslot* m, void* buf, size_t size) {
    if (!m || !m->receiver || (!buf && size != 0)) {
        errno = EBADF;
        return -1;
    }
    message msg;
    {
        std::lock_guard<std::mutex> hold(m->lock);
        // What a sender has written is readable at once, whether or not the
        // receiver thread has run since.
        if (m->queue.empty()) drain(m);
        if (m->queue.empty()) {
            errno = EAGAIN;
            return -1;
        }
        msg = std::move(m->queue.front());
        m->queue.pop_front();
    }
    m->room.notify_all();
    if (static_cast<size_t>(msg.length) > size ||
        msg.bytes.size() != static_cast<size_t>(msg.length)) {
        errno = EMSGSIZE;
        return PLAT_MAILSLOT_TOO_LONG;
    }
    if (msg.length > 0) memcpy(buf, msg.bytes.data(), static_cast<size_t>(msg.length));
    return msg.length;
}

int plat_mailslot_write(plat_mailslot* m, const void* data, size_t len) {
    if (!m || m->receiver) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        // Blocking, for send_wait_ms at most: the receiver thread makes room.
        ssize_t n = send(m->fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (static_cast<size_t>(n) != len) {
            errno = EMSGSIZE;
            return -1;
        }
        return 0;
    }
}

void plat_mailslot_close(plat_mailslot* m) {
    if (!m) return;
    if (m->receiver)
        release_receiver(m);
    else
        close(m->fd);
    delete m;
}
