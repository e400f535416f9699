// protocol_deadline_test.cpp - a peer that trickles its bytes cannot hold
// the client: the key exchange and each answer have a deadline whatever the
// five-second waits say, and the user's stop ends any wait of the protocol
// client within one slice.
#include "protocol/remote.h"
#include "support/scripted_peer.h"
#include "support/session_fixture.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_stop_calls{0};
bool stop_at_once() {
    g_stop_calls++;
    return true;
}

class ProtocolDeadline : public session_fixture {
  protected:
    void TearDown() override {
        ctfs_set_stop_check(nullptr);
        session_fixture::TearDown();
    }
    tfs_result mkdir(const char* path = "/docs") {
        ctfs_path_request r{0, path};
        return ctfs_mkdir(s, &r);
    }
    void set_timing(uint32_t exchange_ms, uint32_t answer_ms, uint32_t poll_ms) {
        timing t = timing_get();
        t.exchange_deadline_ms = exchange_ms;
        t.answer_deadline_ms = answer_ms;
        t.stop_poll_ms = poll_ms;
        timing_set_for_tests(t);
    }
};

} // namespace

TEST_F(ProtocolDeadline, ATrickledAnswerEndsAtItsDeadline) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    // Eight parts, each well inside one receive wait: the empty waits never
    // add up, only the deadline ends it.
    short_waits();
    set_timing(30000, 300, 1000);
    peer_step slow = peer_step::answer(0, std::vector<uint8_t>(40, 1));
    slow.pieces = 8;
    slow.piece_delay_ms = 80;
    peer.push(slow);
    const size_t before = job_log().size();
    EXPECT_EQ(mkdir("/slow"), ERR_SCKREAD);
    std::string log = job_log().substr(before);
    EXPECT_NE(log.find("] recv(): Not complete within 1 seconds, however the bytes came in; "
                       "giving up.\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Maximum timeout"), std::string::npos);
}

TEST_F(ProtocolDeadline, ATrickledKeyExchangeEndsAtItsDeadline) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    peer_greeting trickle;
    trickle.key_byte_delay_ms = 20; // several seconds for the whole key
    // A connection broken by its deadline is lost like any other: tried once
    // more after the pause, here trickled again.
    peer.push_greeting(trickle);
    peer.push_greeting(trickle);
    set_timing(300, 60000, 1000);
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_EQ(peer.connections(), 0);
    EXPECT_EQ(pauses().size(), 1u);
    EXPECT_NE(job_log().find("recv(): Not complete within 1 seconds"), std::string::npos)
        << job_log();
    // The next connection, at the normal pace, goes through.
    set_timing(30000, 60000, 1000);
    EXPECT_EQ(mkdir(), 0);
}

TEST_F(ProtocolDeadline, AStopEndsAWaitAndThePausesAfterIt) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    // The server says nothing; the stop comes in the first slice of the wait,
    // long before the first five-second wait would end.
    set_timing(30000, 60000, 20);
    g_stop_calls = 0;
    ctfs_set_stop_check(stop_at_once);
    peer.push(peer_step::stall());
    const size_t before = job_log().size();
    EXPECT_EQ(mkdir("/stalled"), ERR_SCKREAD);
    EXPECT_TRUE(s->stopped);
    EXPECT_GE(g_stop_calls.load(), 1);
    EXPECT_EQ(job_log().find("Timed out", before), std::string::npos);
    EXPECT_EQ(s->socket, PLAT_SOCKET_NONE); // half an answer may follow: dropped
    // A stopped session reconnects without its pause, and its lock recovery
    // waits no more.
    ctfs_set_stop_check(nullptr);
    EXPECT_EQ(mkdir("/after"), 0);
    EXPECT_TRUE(pauses().empty());
    ctfs_set_recovery(9, true);
    peer.hold_lock(true);
    peer.push(peer_step::answer(ERR_ACCESS));
    ctfs_path_request r{0, "/locked"};
    safe_mkdir(s, &r);
    EXPECT_TRUE(pauses().empty());
}

TEST_F(ProtocolDeadline, AStopEndsTheKeyExchangeAndNoFurtherServerIsTried) {
    scripted_peer first, second;
    write_hosts({first.hosts_line(), second.hosts_line()});
    peer_greeting trickle;
    trickle.key_byte_delay_ms = 200;
    first.push_greeting(trickle);
    set_timing(30000, 60000, 20);
    ctfs_set_stop_check(stop_at_once);
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_TRUE(s->stopped);
    EXPECT_EQ(second.accepted(), 0);
}

TEST_F(ProtocolDeadline, AServerThatClosesBeforeItsKeyIsTriedAgainAfterAPause) {
    scripted_peer busy;
    write_hosts({busy.hosts_line()});
    peer_greeting turned_away;
    turned_away.close_at_once = true;
    busy.push_greeting(turned_away);
    busy.push_greeting(turned_away);
    EXPECT_EQ(mkdir(), 0);
    EXPECT_EQ(pauses(), (std::vector<uint32_t>{kReconnectMs, kReconnectMs}));
    EXPECT_EQ(busy.accepted(), 3);
    EXPECT_NE(job_log().find("Every server closed the connection before its key exchange; trying "
                             "again in 0 seconds (2 of 4)."),
              std::string::npos)
        << job_log();
    // A server that keeps turning the job away fails it after the rounds.
    ctfs_drop_connection(s);
    pauses().clear();
    for (int i = 0; i < 10; i++)
        busy.push_greeting(turned_away);
    EXPECT_EQ(mkdir("/again"), ERR_IO);
    EXPECT_EQ(pauses().size(), 1u + 4u); // the reconnection's own pause, then the rounds
}
