// vouch.h - what a stamp may promise: the server's rules for vouching, per
// identity (user id + host id), for the versions that identity closed.
//
// A release with a stamp (lock flags 5) tells the agent that every file it
// counted as backed up is stored: its change index is trusted on the next run
// only when the stamp comes back at log-in. So the server stores the stamp
// only when, since that identity's previous release,
//   - every version it closed, on any connection, was committed durably
//     (the release waits for all of them, not only its own connection's);
//   - no version of it was dropped: its upload broke on the server (a block
//     that could not be staged), it was lost with a batch whose blocks or
//     catalog commit failed, or the catalog refused it (its path is a folder
//     now). A file the agent abandoned (closed before its last block, never
//     closed before the release: a local read error, a stop) or that was
//     still open when its connection ended (its close may have been on the
//     way, unread) is no failure: the agent counts a file only once a later
//     answer confirmed its close, and sends it again otherwise;
//   - no file of it is still open on another connection (a close may still
//     be on its way there);
//   - it holds the lock it releases, and it did not hold one when the
//     previous server process ended (that process may have lost closes it
//     had received, and nothing on the wire tells a new process so);
//   - its user's stamps were not cleared since the job logged in (verify
//     found damage, in this or any other process sharing the catalog): the
//     job trusted an index that may list a damaged file as current. The
//     catalog decides this last rule when it stores the stamp (stamp_vouch),
//     in one transaction with any clear.
// Otherwise the stamp is refused and any stored stamp of that user, host and
// schedule removed, so the agent's next run compares with the server instead.
// Failures are remembered across lock re-takes and lost connections and are
// forgotten at the identity's next release, whether it vouched or not.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct srv_identity {
    uint32_t user;
    uint8_t host[20];
    bool operator<(const srv_identity& o) const {
        if (user != o.user) return user < o.user;
        return memcmp(host, o.host, 20) < 0;
    }
    bool operator==(const srv_identity& o) const {
        return user == o.user && memcmp(host, o.host, 20) == 0;
    }
};

// "user 7 host 1111...": for log lines.
std::string vouch_identity_text(const srv_identity& id);

// Tickets number the closes handed to the group commit in order; a ticket is
// settled when its batch was either made durable or failed.
struct vouch_ledger {
    struct entry {
        uint64_t last_ticket = 0; // latest close handed to the commit
        int open_files = 0;       // handles open on any connection
        std::string failure;      // first reason not to vouch; empty: none
    };
    std::mutex mu;
    std::condition_variable cv; // settled tickets and closed files
    std::map<srv_identity, entry> ids;
    uint64_t settled = 0;
    bool stopping = false;
};

// A file handle of the identity was opened.
void vouch_file_opened(vouch_ledger* l, const srv_identity& id);
// It was closed complete and handed to the commit under ticket.
void vouch_file_queued(vouch_ledger* l, const srv_identity& id, uint64_t ticket);
// It was dropped without becoming a version (why: for the log and refusal).
void vouch_file_dropped(vouch_ledger* l, const srv_identity& id, const std::string& why);
// It was abandoned by the agent, which knows it failed: no reason to refuse.
void vouch_file_abandoned(vouch_ledger* l, const srv_identity& id);
// Remembers a reason not to vouch for the identity's next stamp.
void vouch_fail(vouch_ledger* l, const srv_identity& id, const std::string& why);
// True when the identity has a reason not to vouch remembered.
bool vouch_has_failure(vouch_ledger* l, const srv_identity& id);

// One version of a settled batch and whether it became durable.
struct vouch_outcome {
    srv_identity id;
    bool durable;
    std::string why; // when not durable
};
// Records a settled batch: failures first, then every ticket up to last is
// settled, and waiters wake.
void vouch_settle(vouch_ledger* l, const std::vector<vouch_outcome>& batch, uint64_t last);
// Waits until ticket is settled; false when the server stops first.
bool vouch_wait(vouch_ledger* l, uint64_t ticket);
// Wakes every waiter for good (the server stops).
void vouch_stop(vouch_ledger* l);

// The release of a lock by id, after the releasing connection dropped its
// own open files. holds_lock: whether id holds a lock now; settle_ms: how
// long to wait for files open on other connections to be closed. Waits for
// every close of id to settle, then decides: true when the stamp may be
// stored, false with *why. Either way the identity's remembered failures are
// forgotten.
bool vouch_release(vouch_ledger* l, const srv_identity& id, bool holds_lock, uint32_t settle_ms,
                   std::string* why);
