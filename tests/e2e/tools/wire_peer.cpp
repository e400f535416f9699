// wire_peer.cpp - a recording backup server for the end-to-end tests: it
// knows the agent's protocol as described for the service's own server (the
// frame, the key exchange, the requests with their layouts and the order a
// job sends them in) and nothing of tavni-server. It answers like a small
// server of its own (folders, listings in pages, files with their blocks'
// checksums, the stamp) and writes every request it receives to a record,
// with a line "VIOLATION ..." for each thing the agent did that the protocol
// does not allow: a malformed frame or payload, a sequence or status field
// that is not the one the protocol gives, a request out of the job's order,
// anything after the lock release.
//
// Usage: tavni-wire-peer --record FILE --port-file FILE [--control FILE]
//          [--block-size N] [--empty-block-size N] [--page N]
// The control file is read when a job begins (its first log-in): lines
// "drop-after-close N" (close the connection, unread, after the job's Nth
// file close), "refuse-release CODE" (answer the release with CODE and keep
// no stamp). Record lines: "#n cC TYPE field=value ... | more", where the
// part after " | " holds what differs between two equal jobs on two systems
// (lengths of log-in, security record and e-mail, times of the stamp).
#include "support/peer_wire.h"

#include "platform/platform.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace peer_wire;

enum : uint8_t {
    T_HANDSHAKE = 0,
    T_AUTH = 1,
    T_DELETE = 6,
    T_MKDIR = 7,
    T_FIND = 8,
    T_EMAIL = 10,
    T_WRITE = 12,
    T_CLOSE = 13,
    T_WOPEN = 17,
    T_LOCK = 21,
    RESPONSE = 128,
};

enum : uint8_t {
    OK = 0,
    E_ACCESS = 4,
    E_EXISTS = 6,
    E_INVARG = 18,
    E_UP2DATE = 17,
};

// Largest piece of block data the agent sends, and of an e-mail part.
const uint32_t kWriteMax = 65466;
const uint32_t kMailPart = 60000;

const char* type_name(uint8_t t) {
    switch (t) {
    case T_AUTH:
        return "AUTH";
    case T_DELETE:
        return "DELETE";
    case T_MKDIR:
        return "MKDIR";
    case T_FIND:
        return "FIND";
    case T_EMAIL:
        return "EMAIL";
    case T_WRITE:
        return "WRITE";
    case T_CLOSE:
        return "CLOSE";
    case T_WOPEN:
        return "WOPEN";
    case T_LOCK:
        return "LOCK";
    default:
        return "UNKNOWN";
    }
}

// A payload read field by field; any read past its end marks it short.
struct reader {
    const std::vector<uint8_t>& p;
    size_t at = 0;
    bool short_ = false;
    explicit reader(const std::vector<uint8_t>& bytes) : p(bytes) {}
    bool have(size_t n) {
        if (at + n > p.size()) short_ = true;
        return !short_;
    }
    uint64_t num(int bytes) {
        if (!have(static_cast<size_t>(bytes))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++)
            v = (v << 8) | p[at++];
        return v;
    }
    std::string text(size_t n) {
        if (!have(n)) return std::string();
        std::string s(p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(at + n));
        at += n;
        return s;
    }
    std::string text8() { return text(num(1)); }
    std::string text16() { return text(num(2)); }
    bool done() const { return !short_ && at == p.size(); }
};

// A name as the record shows it: bytes outside printable ASCII, blanks,
// "%" and "|" as %XX, so that a line stays one line and one field.
std::string shown(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c <= ' ' || c >= 0x7f || c == '%' || c == '|') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string hex_of(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

struct stored_file {
    uint32_t mtime = 0;
    uint64_t size = 0;
    uint32_t block_size = 0;
    std::vector<std::string> md5s; // closing checksums, per block
};

// A file open for writing on one connection.
struct open_file {
    std::string path;
    uint32_t mtime = 0;
    uint64_t size = 0;
    uint32_t block_size = 0;
    uint32_t blocks = 0;
    uint32_t known = 0;
    uint32_t block = 0;      // the block whose offer comes next, or whose data comes
    bool wants_data = false; // the offer of `block` was answered 0
    uint64_t data_bytes = 0; // of the block being sent
    std::vector<std::string> md5s;
};

struct controls {
    int drop_after_close = 0;
    int refuse_release = 0;
};

class peer {
  public:
    peer(std::ofstream* record, std::string control, uint32_t block_size, uint32_t empty_block_size,
         uint16_t page)
        : rec_(record), control_(std::move(control)), block_size_(block_size),
          empty_block_size_(empty_block_size), page_(page) {}

    void serve(intptr_t sock);

  private:
    // ---- record ----
    void line(const std::string& text) {
        *rec_ << text << '\n';
        rec_->flush();
    }
    void violation(const std::string& what) {
        line("VIOLATION #" + std::to_string(count_) + " c" + std::to_string(conn_) + ": " + what);
    }

    bool handshake(intptr_t sock);
    bool answer(intptr_t sock, uint8_t type, uint8_t status, const std::vector<uint8_t>& payload);
    void read_controls();

    // Each returns the answer's status and fills its payload; record gets
    // the request's fields. Silent requests return -1 (no answer).
    int on_auth(reader& r, std::string* fields, std::vector<uint8_t>* out);
    int on_lock(reader& r, std::string* fields);
    int on_mkdir(reader& r, std::string* fields);
    int on_delete(reader& r, std::string* fields, std::vector<uint8_t>* out);
    int on_find(reader& r, std::string* fields, std::vector<uint8_t>* out);
    int on_wopen(reader& r, std::string* fields, std::vector<uint8_t>* out);
    int on_write(reader& r, std::string* fields, std::vector<uint8_t>* out);
    int on_close(reader& r, std::string* fields, bool* drop);
    int on_email(reader& r, std::string* fields);

    // The job's order: what may come now.
    void expect_job_order(uint8_t type, uint8_t lock_flags);

    std::ofstream* rec_;
    std::string control_;
    uint32_t block_size_;
    uint32_t empty_block_size_;
    uint16_t page_;
    uint8_t key_[SESSION_KEY] = {};

    // process-wide
    uint64_t count_ = 0; // requests received
    int conn_ = 0;       // keyed connections
    int jobs_ = 0;
    std::map<std::string, stored_file> files_;
    std::set<std::string> folders_;
    std::map<std::string, uint32_t> stamps_; // by user id and schedule name

    // The client's status field: the status of the last answer it received
    // (0 in a new session). A log-in's answer does not count: the request
    // that made the connection goes out again as it was built before.
    uint8_t client_status_ = 0;

    // the job (from its first log-in to its release)
    bool in_job_ = false;
    bool locked_ = false;   // the job's first lock was granted
    bool fci_used_ = false; // the lock with flags 0x0a came
    int after_lock_ = -1;   // requests of the job since its first lock
    bool mailing_ = false;  // an e-mail part came: only e-mail and the release may follow
    bool released_ = false; // the job's release came: nothing may follow
    uint32_t lock_id_ = 0;
    uint32_t user_id_ = 0;
    std::string schedule_;
    int closes_ = 0;
    controls ctl_;
    uint64_t mail_left_ = 0; // e-mail body bytes still to come
    bool mail_open_ = false;

    // the connection
    bool authed_ = false;
    std::map<uint8_t, open_file> open_;
    uint8_t next_handle_ = 1;
    // listing cursors of this connection: cursor -> (folder, next index)
    std::map<uint8_t, std::pair<std::string, size_t>> cursors_;
    uint8_t next_cursor_ = 1;
    bool expect_follow_up_ = false;
    uint8_t follow_up_cursor_ = 0;
    std::string delete_due_; // the path whose kind-1 DELETE comes next
};

void peer::read_controls() {
    ctl_ = controls();
    if (control_.empty()) return;
    std::ifstream in(control_);
    std::string word;
    int value = 0;
    while (in >> word >> value) {
        if (word == "drop-after-close") ctl_.drop_after_close = value;
        if (word == "refuse-release") ctl_.refuse_release = value;
    }
}

bool peer::answer(intptr_t sock, uint8_t type, uint8_t status,
                  const std::vector<uint8_t>& payload) {
    if (type != T_AUTH) client_status_ = status;
    return send_frame(sock, key_,
                      packet(static_cast<uint8_t>(type + RESPONSE), 0, status, payload));
}

bool peer::handshake(intptr_t sock) {
    uint8_t hello[GREETING_LEN];
    if (!recv_exact(sock, hello, sizeof hello, nullptr)) return false;
    if (memcmp(hello, greeting, sizeof hello) != 0) {
        violation("greeting is not 01 30 32 02");
        return false;
    }
    if (!send_key(sock, public_pem())) return false;
    std::vector<uint8_t> plain;
    if (!recv_key_block(sock, &plain, nullptr)) return false;
    if (plain.size() != HEADER + 34) {
        violation("key block does not decrypt to the 40-byte handshake packet");
        return false;
    }
    const header h = read_header(plain.data());
    if (h.len != 34 || h.type != T_HANDSHAKE || h.seq != 0 || h.status != 0 || plain[6] != 3 ||
        plain[7] != SESSION_KEY)
        violation("handshake packet: len " + std::to_string(h.len) + " type " +
                  std::to_string(h.type) + " seq " + std::to_string(h.seq) + " status " +
                  std::to_string(h.status) + " cipher mode " + std::to_string(plain[6]) +
                  " key length " + std::to_string(plain[7]));
    uint8_t r[SESSION_KEY], s[SESSION_KEY];
    memcpy(r, plain.data() + 8, SESSION_KEY);
    RAND_bytes(s, sizeof s);
    memcpy(key_, r, sizeof key_);
    if (!send_frame(sock, key_,
                    packet(T_HANDSHAKE + RESPONSE, 0, 0, std::vector<uint8_t>(s, s + SESSION_KEY))))
        return false;
    for (int i = 0; i < SESSION_KEY; i++)
        key_[i] = static_cast<uint8_t>(r[i] ^ s[i]);
    return true;
}

void peer::expect_job_order(uint8_t type, uint8_t lock_flags) {
    // A log-in after the release begins the next job (on_auth).
    if (released_ && type != T_AUTH)
        violation(std::string(type_name(type)) + " after the lock release");
    if (!in_job_ || type == T_AUTH) return;
    if (!locked_ && type != T_LOCK)
        violation(std::string(type_name(type)) + " before the job's user lock");
    if (mailing_ && type != T_EMAIL && !(type == T_LOCK && (lock_flags & 1)))
        violation(std::string(type_name(type)) + " after the report's e-mail began");
    if (locked_) after_lock_++;
}

int peer::on_auth(reader& r, std::string* fields, std::vector<uint8_t>* out) {
    const uint8_t mode = static_cast<uint8_t>(r.num(1));
    const uint32_t user = static_cast<uint32_t>(r.num(4));
    const std::string digest = r.text(20);
    const std::string host = r.text(20);
    const uint32_t fci = static_cast<uint32_t>(r.num(4));
    const std::string job = r.text16();
    const std::string schedule = r.text16();
    *fields = "mode=" + std::to_string(mode) + " user=" + std::to_string(user) +
              " fci=" + std::to_string(fci) + " job=" + shown(job) +
              " schedule=" + shown(schedule) + " | digest=" + hex_of(digest) +
              " len=" + std::to_string(r.p.size());
    if (!r.done()) violation("AUTH payload is not mode 1 with its 53 + a + b bytes");
    if (mode != 1) violation("AUTH mode " + std::to_string(mode) + ", the agent's is 1");
    if (authed_) violation("a second AUTH on one connection");
    if (!in_job_) {
        in_job_ = true;
        jobs_++;
        locked_ = fci_used_ = mailing_ = released_ = false;
        after_lock_ = -1;
        closes_ = 0;
        user_id_ = user;
        schedule_ = schedule;
        mail_open_ = false;
        read_controls();
        line("JOB " + std::to_string(jobs_) + " begins");
        if (fci != 0) violation("the job's first AUTH says the change index is in use");
    } else {
        if (user != user_id_ || schedule != schedule_)
            violation("AUTH again with another user or schedule within the job");
        if (fci != (fci_used_ ? 1u : 0u))
            violation("AUTH again with fci " + std::to_string(fci) + " while the job " +
                      (fci_used_ ? "uses" : "does not use") + " its change index");
    }
    authed_ = true;
    // The answer: the account and user records, then the stamp.
    put_be(*out, 0, 1);
    put_text8(*out, "");
    put_be(*out, 0, 2);
    put_text8(*out, "");
    put_be(*out, 0, 2);
    put_be(*out, 1, 4);
    put_text8(*out, "Peer Account");
    put_be(*out, 0, 1);
    put_text8(*out, "");
    put_be(*out, user, 4);
    put_text8(*out, "peer");
    put_text8(*out, "");
    put_be(*out, 0, 1);
    put_be(*out, 0, 2);
    put_text8(*out, "");
    put_text8(*out, "");
    put_be(*out, 0, 8);
    put_be(*out, 0, 8);
    put_be(*out, 0, 1);
    put_be(*out, 0, 1);
    auto it = stamps_.find(std::to_string(user) + "/" + schedule);
    put_be(*out, it == stamps_.end() ? 0 : it->second, 4);
    return OK;
}

int peer::on_lock(reader& r, std::string* fields) {
    const uint8_t flags = static_cast<uint8_t>(r.num(1));
    *fields = "flags=" + std::to_string(flags);
    if (flags & 1) {
        const uint32_t stamp = static_cast<uint32_t>(r.num(4));
        *fields += " | stamp=" + std::to_string(stamp);
        if (!r.done() || flags != 5)
            violation("release is not flags 5 with the 4-byte stamp (flags " +
                      std::to_string(flags) + ", " + std::to_string(r.p.size()) + " bytes)");
        if (!locked_) violation("release of a lock the job never took");
        if (mail_open_) violation("release while an e-mail's body is incomplete");
        released_ = true;
        in_job_ = false;
        if (ctl_.refuse_release) {
            line("JOB " + std::to_string(jobs_) + " released, refused with " +
                 std::to_string(ctl_.refuse_release));
            return ctl_.refuse_release;
        }
        stamps_[std::to_string(user_id_) + "/" + schedule_] = stamp;
        line("JOB " + std::to_string(jobs_) + " released");
        return OK;
    }
    const uint16_t n = static_cast<uint16_t>(r.num(2));
    std::string ids;
    uint32_t first = 0;
    for (uint16_t i = 0; i < n; i++) {
        const uint32_t id = static_cast<uint32_t>(r.num(4));
        if (i == 0) first = id;
        ids += (i ? "," : "") + std::to_string(id);
    }
    *fields += " ids=" + ids;
    if (!r.done()) violation("lock payload is not flags, count and its ids");
    if (n != 1) violation("lock with " + std::to_string(n) + " ids, the agent takes one");
    if (!locked_) {
        if (flags != 0) violation("the job's first lock has flags " + std::to_string(flags));
        lock_id_ = first;
        locked_ = true;
        after_lock_ = 0;
        return OK;
    }
    if (first != lock_id_) violation("lock with another id than the job's first");
    if (flags == 0x0a) {
        if (fci_used_) violation("a second lock with flags 0x0a");
        if (after_lock_ != 1) violation("the lock with flags 0x0a does not follow the first lock");
        fci_used_ = true;
    } else if (flags != (fci_used_ ? 2 : 0)) {
        violation("recovery lock with flags " + std::to_string(flags) + " while the job " +
                  (fci_used_ ? "uses" : "does not use") + " its change index");
    }
    return OK;
}

int peer::on_mkdir(reader& r, std::string* fields) {
    const uint8_t kind = static_cast<uint8_t>(r.num(1));
    const std::string path = r.text16();
    *fields = "kind=" + std::to_string(kind) + " path=" + shown(path);
    if (!r.done()) violation("MKDIR payload is not kind and text16 path");
    if (kind != 0) violation("MKDIR kind " + std::to_string(kind) + ", the agent's is 0");
    if (path.empty() || path[0] != '/') violation("MKDIR of a path that is not absolute");
    if (!folders_.insert(path).second) return E_EXISTS;
    return OK;
}

// Whether path lies in folder or below it.
bool at_or_below(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

int peer::on_delete(reader& r, std::string* fields, std::vector<uint8_t>* out) {
    const uint8_t kind = static_cast<uint8_t>(r.num(1));
    const std::string path = r.text16();
    *fields = "kind=" + std::to_string(kind) + " path=" + shown(path);
    if (!r.done()) violation("DELETE payload is not kind and text16 path");
    if (kind > 1) violation("DELETE kind " + std::to_string(kind));
    // The walk removes a vanished object twice: kind 0, then kind 1.
    if (kind == 0) {
        if (!delete_due_.empty()) violation("DELETE kind 0 where kind 1 was due");
        delete_due_ = path;
    } else if (kind == 1) {
        if (delete_due_ != path) violation("DELETE kind 1 without kind 0 of the same path before");
        delete_due_.clear();
    }
    for (auto it = files_.begin(); it != files_.end();)
        it = at_or_below(it->first, path) ? files_.erase(it) : std::next(it);
    for (auto it = folders_.begin(); it != folders_.end();)
        it = at_or_below(*it, path) ? folders_.erase(it) : std::next(it);
    out->assign(24, 0);
    return OK;
}

int peer::on_find(reader& r, std::string* fields, std::vector<uint8_t>* out) {
    const uint8_t cursor = static_cast<uint8_t>(r.num(1));
    const uint8_t flags = static_cast<uint8_t>(r.num(1));
    const std::string filter = r.text8();
    const std::string path = r.text16();
    *fields = "cursor=" + std::to_string(cursor) + " flags=" + std::to_string(flags) +
              " filter=" + shown(filter) + " path=" + shown(path);
    if (!r.done()) violation("FIND payload is not cursor, flags, text8 filter, text16 path");
    if (flags != 0x20) violation("FIND flags " + std::to_string(flags) + ", the walk's are 0x20");
    if (!filter.empty()) violation("FIND with a filter");
    std::string folder;
    size_t from = 0;
    if (cursor == 0) {
        if (expect_follow_up_) violation("a new listing before the last one was read to its end");
        if (path.empty()) violation("FIND without a path and without a cursor");
        folder = path;
    } else {
        if (!expect_follow_up_ || cursor != follow_up_cursor_)
            violation("FIND with cursor " + std::to_string(cursor) + " that was not handed out");
        if (!path.empty()) violation("a follow-up FIND with a path");
        auto it = cursors_.find(cursor);
        if (it == cursors_.end()) return E_INVARG;
        folder = it->second.first;
        from = it->second.second;
        cursors_.erase(it);
    }
    // The folder's entries: its subfolders and its files, by name.
    std::map<std::string, std::vector<uint8_t>> entries;
    auto child = [&](const std::string& p) -> std::string {
        if (p.size() <= folder.size() + 1 || p.compare(0, folder.size(), folder) != 0 ||
            p[folder.size()] != '/')
            return std::string();
        const std::string name = p.substr(folder.size() + 1);
        return name.find('/') == std::string::npos ? name : std::string();
    };
    for (const std::string& f : folders_) {
        const std::string name = child(f);
        if (name.empty()) continue;
        std::vector<uint8_t> e;
        put_be(e, 1, 1);
        put_be(e, 0, 4);
        put_be(e, 0, 8);
        put_be(e, 0, 8);
        put_text8(e, name);
        entries[name] = e;
    }
    for (const auto& f : files_) {
        const std::string name = child(f.first);
        if (name.empty()) continue;
        std::vector<uint8_t> e;
        put_be(e, 0, 1);
        put_be(e, f.second.mtime, 4);
        put_be(e, f.second.size, 8);
        put_be(e, f.second.size, 8);
        put_text8(e, name);
        entries[name] = e;
    }
    std::vector<std::vector<uint8_t>> all;
    for (auto& e : entries)
        all.push_back(e.second);
    const size_t end = std::min(all.size(), from + page_);
    const uint32_t further = static_cast<uint32_t>(all.size() - end);
    uint8_t next = 0;
    if (further) {
        next = next_cursor_++;
        if (next_cursor_ == 0) next_cursor_ = 1;
        cursors_[next] = {folder, end};
    }
    expect_follow_up_ = further != 0;
    follow_up_cursor_ = next;
    put_be(*out, end - from, 2);
    put_be(*out, further, 4);
    put_be(*out, next, 1);
    for (size_t i = from; i < end; i++)
        out->insert(out->end(), all[i].begin(), all[i].end());
    return OK;
}

int peer::on_wopen(reader& r, std::string* fields, std::vector<uint8_t>* out) {
    const uint8_t mode = static_cast<uint8_t>(r.num(1));
    const uint32_t mtime = static_cast<uint32_t>(r.num(4));
    const std::string path = r.text16();
    const uint64_t size = r.num(8);
    const std::string security = r.text16();
    *fields = "mode=" + std::to_string(mode) + " mtime=" + std::to_string(mtime) +
              " size=" + std::to_string(size) + " path=" + shown(path) +
              " | sec=" + std::to_string(security.size());
    if (!r.done())
        violation("WOPEN payload is not mode, mtime, text16 path, size, text16 security");
    if (mode != 1) violation("WOPEN mode " + std::to_string(mode) + ", the agent's is 1");
    auto stored = files_.find(path);
    if (stored != files_.end() && stored->second.mtime == mtime && stored->second.size == size)
        return E_UP2DATE;
    open_file f;
    f.path = path;
    f.mtime = mtime;
    f.size = size;
    f.block_size = size == 0 ? empty_block_size_ : block_size_;
    f.blocks = size == 0 ? 0 : static_cast<uint32_t>((size + block_size_ - 1) / block_size_);
    if (f.blocks > 0xFFFF) return E_INVARG;
    if (stored != files_.end() && stored->second.block_size == f.block_size)
        f.known = std::min<uint32_t>(f.blocks, static_cast<uint32_t>(stored->second.md5s.size()));
    uint8_t h = 0;
    for (int tries = 0; tries < 255 && h == 0; tries++) {
        const uint8_t c = next_handle_++;
        if (next_handle_ == 0) next_handle_ = 1;
        if (c != 0 && !open_.count(c)) h = c;
    }
    if (h == 0) return 7; // too many open files
    open_[h] = f;
    put_be(*out, h, 1);
    put_be(*out, f.known, 2);
    put_be(*out, f.block_size, 4);
    put_be(*out, f.blocks, 2);
    *fields += " handle=" + std::to_string(h);
    return OK;
}

int peer::on_write(reader& r, std::string* fields, std::vector<uint8_t>* out) {
    const uint8_t h = static_cast<uint8_t>(r.num(1));
    const uint8_t type = static_cast<uint8_t>(r.num(1));
    const uint16_t len = static_cast<uint16_t>(r.num(2));
    const std::string data = r.text(len);
    *fields = "handle=" + std::to_string(h) + " wtype=" + std::to_string(type) +
              " len=" + std::to_string(len);
    if (!r.done()) violation("WRITE payload is not handle, type, length and that many bytes");
    const bool silent = (type & 8) != 0;
    auto it = open_.find(h);
    if (it == open_.end()) {
        violation("WRITE to handle " + std::to_string(h) + " that this connection did not open");
        return silent ? -1 : E_INVARG;
    }
    open_file& f = it->second;
    const std::string where = " (block " + std::to_string(f.block) + " of " +
                              std::to_string(f.blocks) + ", " + shown(f.path) + ")";
    if (type == 1) {
        if (f.wants_data || f.block >= f.blocks) {
            violation("an offer where block data or a close was due" + where);
            return E_INVARG;
        }
        const size_t want = f.blocks == 1 ? 0 : f.block < f.known ? 16 : 0;
        if (len != want)
            violation("offer of " + std::to_string(len) + " bytes, " + std::to_string(want) +
                      " due" + where);
        put_be(*out, len, 2); // the bytes taken
        auto stored = files_.find(f.path);
        if (len == 16 && stored != files_.end() && f.block < stored->second.md5s.size() &&
            stored->second.md5s[f.block] == data) {
            f.md5s.push_back(data);
            f.block++;
            return E_UP2DATE;
        }
        f.wants_data = true;
        f.data_bytes = 0;
        return OK;
    }
    if (type == 8) {
        if (!f.wants_data) violation("block data without an offer answered 0" + where);
        if (len > kWriteMax) violation("a data write of " + std::to_string(len) + " bytes" + where);
        f.data_bytes += len;
        return -1;
    }
    if (type == 10) {
        if (!f.wants_data) violation("a closing checksum without an offer answered 0" + where);
        const size_t want = f.blocks == 1 ? 0 : 16;
        if (len != want)
            violation("closing checksum of " + std::to_string(len) + " bytes, " +
                      std::to_string(want) + " due" + where);
        if (f.data_bytes == 0 || f.data_bytes % 16 != 0)
            violation("a block of " + std::to_string(f.data_bytes) +
                      " encrypted bytes (whole AES blocks due)" + where);
        f.md5s.push_back(data);
        f.wants_data = false;
        f.block++;
        return -1;
    }
    violation("write type " + std::to_string(type));
    return silent ? -1 : E_INVARG;
}

int peer::on_close(reader& r, std::string* fields, bool* drop) {
    const uint8_t h = static_cast<uint8_t>(r.num(1));
    *fields = "handle=" + std::to_string(h);
    if (!r.done()) violation("CLOSE payload is not the handle alone");
    closes_++;
    if (ctl_.drop_after_close && closes_ == ctl_.drop_after_close) {
        // Gone with the close unread: the file is not stored.
        *fields += " | dropped";
        *drop = true;
        return -1;
    }
    auto it = open_.find(h);
    if (it == open_.end()) {
        violation("CLOSE of handle " + std::to_string(h) + " that this connection did not open");
        return -1;
    }
    const open_file& f = it->second;
    if (!f.wants_data && f.block == f.blocks) {
        stored_file s;
        s.mtime = f.mtime;
        s.size = f.size;
        s.block_size = f.block_size;
        s.md5s = f.md5s;
        files_[f.path] = s;
        *fields += " stored=" + shown(f.path);
    } else {
        *fields += " incomplete";
    }
    open_.erase(it);
    return -1;
}

int peer::on_email(reader& r, std::string* fields) {
    const uint8_t marker = static_cast<uint8_t>(r.num(1));
    mailing_ = true;
    if (marker == 0) {
        const uint64_t schedule_id = r.num(8);
        const uint8_t n = static_cast<uint8_t>(r.num(1));
        std::string to;
        for (int i = 0; i < n; i++)
            to += (i ? "," : "") + shown(r.text8());
        const uint32_t body = static_cast<uint32_t>(r.num(4));
        const size_t field = r.at; // where the piece length sits
        const uint16_t piece = static_cast<uint16_t>(r.num(2));
        r.text(piece);
        *fields = "part=first schedule=" + std::to_string(schedule_id) + " to=" + to +
                  " | body=" + std::to_string(body) + " piece=" + std::to_string(piece);
        if (!r.done()) violation("first e-mail part is not its fields and the piece announced");
        if (mail_open_) violation("a new e-mail before the last one's body was complete");
        const size_t room = field < kMailPart ? kMailPart - field : 0;
        if (piece != std::min<uint64_t>(body, room))
            violation("first e-mail piece of " + std::to_string(piece) + " bytes, " +
                      std::to_string(std::min<uint64_t>(body, room)) + " due");
        mail_left_ = body - std::min<uint64_t>(body, piece);
        mail_open_ = mail_left_ > 0;
        return OK;
    }
    const uint16_t piece = static_cast<uint16_t>(r.num(2));
    r.text(piece);
    *fields = "part=next | piece=" + std::to_string(piece);
    if (!r.done() || marker != 2) violation("e-mail part is not marker 2, length and the piece");
    if (!mail_open_) violation("an e-mail part after the body was complete");
    if (piece != std::min<uint64_t>(mail_left_, kMailPart))
        violation("e-mail piece of " + std::to_string(piece) + " bytes, " +
                  std::to_string(std::min<uint64_t>(mail_left_, kMailPart)) + " due");
    mail_left_ -= std::min<uint64_t>(mail_left_, piece);
    mail_open_ = mail_left_ > 0;
    return OK;
}

void peer::serve(intptr_t sock) {
    if (!handshake(sock)) return;
    conn_++;
    authed_ = false;
    open_.clear();
    cursors_.clear();
    expect_follow_up_ = false;
    delete_due_.clear();
    line("CONNECTION " + std::to_string(conn_));
    for (;;) {
        frame_in in;
        if (!recv_frame(sock, &in, nullptr)) {
            line("CONNECTION " + std::to_string(conn_) + " ended by the agent");
            return;
        }
        count_++;
        std::vector<uint8_t> plain;
        const std::string bad = open_frame(key_, in, &plain);
        if (!bad.empty()) {
            violation("frame: " + bad);
            return;
        }
        const header h = read_header(plain.data());
        const std::vector<uint8_t> payload(plain.begin() + HEADER, plain.end());
        reader r(payload);
        if (h.seq != 0) violation("sequence " + std::to_string(h.seq) + ", 0 due");
        if (h.type == T_AUTH && !in_job_) client_status_ = 0; // a new job's session
        if (h.status != client_status_)
            violation("status field " + std::to_string(h.status) + ", " +
                      std::to_string(client_status_) + " due (the last answer's)");
        if (!authed_ && h.type != T_AUTH) violation("the connection's first request is no AUTH");
        uint8_t lock_flags = 0;
        if (h.type == T_LOCK && !payload.empty()) lock_flags = payload[0];
        expect_job_order(h.type, lock_flags);
        if (h.type != T_DELETE && h.type != T_AUTH && !delete_due_.empty()) {
            violation(std::string(type_name(h.type)) + " where the second DELETE was due");
            delete_due_.clear();
        }
        if (h.type != T_FIND && h.type != T_AUTH && expect_follow_up_) {
            // The walk reads a listing to its end before it goes on.
            violation(std::string(type_name(h.type)) + " before the listing was read to its end");
            expect_follow_up_ = false;
        }

        std::string fields;
        std::vector<uint8_t> out;
        bool drop = false;
        int status = -1;
        switch (h.type) {
        case T_AUTH:
            status = on_auth(r, &fields, &out);
            break;
        case T_LOCK:
            status = on_lock(r, &fields);
            break;
        case T_MKDIR:
            status = on_mkdir(r, &fields);
            break;
        case T_DELETE:
            status = on_delete(r, &fields, &out);
            break;
        case T_FIND:
            status = on_find(r, &fields, &out);
            break;
        case T_WOPEN:
            status = on_wopen(r, &fields, &out);
            break;
        case T_WRITE:
            status = on_write(r, &fields, &out);
            break;
        case T_CLOSE:
            status = on_close(r, &fields, &drop);
            break;
        case T_EMAIL:
            status = on_email(r, &fields);
            break;
        default:
            violation("request type " + std::to_string(h.type) + ", which the agent never sends");
            status = E_INVARG;
            break;
        }
        line("#" + std::to_string(count_) + " c" + std::to_string(conn_) + " " + type_name(h.type) +
             " " + fields + (status >= 0 ? " => " + std::to_string(status) : std::string()));
        if (drop) {
            line("CONNECTION " + std::to_string(conn_) + " dropped by the peer");
            return;
        }
        if (status >= 0 && !answer(sock, h.type, static_cast<uint8_t>(status), out)) return;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string record, port_file, control;
    uint32_t block_size = 65536, empty_block_size = 0;
    uint16_t page = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--record")
            record = v;
        else if (a == "--port-file")
            port_file = v;
        else if (a == "--control")
            control = v;
        else if (a == "--block-size")
            block_size = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        else if (a == "--empty-block-size")
            empty_block_size = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        else if (a == "--page")
            page = static_cast<uint16_t>(strtoul(v, nullptr, 10));
    }
    if (record.empty() || port_file.empty() || block_size == 0 || page == 0) {
        fprintf(stderr,
                "usage: %s --record FILE --port-file FILE [--control FILE] "
                "[--block-size N] [--empty-block-size N] [--page N]\n",
                argv[0]);
        return 64;
    }
    if (plat_socket_startup() != 0) return 1;
    uint16_t port = 0;
    const intptr_t listener = plat_tcp_listen("127.0.0.1", 0, &port);
    if (listener < 0) {
        fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::ofstream out(record, std::ios::app);
    peer p(&out, control, block_size, empty_block_size, page);
    {
        const std::string tmp = port_file + ".tmp";
        std::ofstream(tmp) << port << "\n";
        if (rename(tmp.c_str(), port_file.c_str()) != 0) return 1;
    }
    for (;;) {
        if (plat_socket_wait_readable(listener, 1000) != 1) continue;
        const intptr_t sock = plat_tcp_accept(listener);
        if (sock < 0) continue;
        p.serve(sock);
        plat_socket_close(sock);
    }
}
