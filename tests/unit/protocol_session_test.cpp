// Tests of the transport and the session set-up against the scripted peer:
// on-demand connection and reconnection, the receive waits, server lists,
// the key exchange and the log-in.
#include "protocol/remote.h"
#include "protocol/session_io.h"
#include "protocol/wire.h"
#include "support/scripted_peer.h"
#include "support/session_fixture.h"

#include <cstring>

namespace {

class ProtocolSession : public session_fixture {
  protected:
    tfs_result mkdir(const char* path = "/docs") {
        ctfs_path_request r{0, path};
        return ctfs_mkdir(s, &r);
    }
};

std::vector<uint8_t> header_plain(uint16_t len, uint8_t type, size_t payload) {
    std::vector<uint8_t> p(6 + payload, 0x33);
    ctfs_header_write(p.data(), ctfs_header{len, type, 0, 0});
    return p;
}

} // namespace

TEST_F(ProtocolSession, FirstConnectionWithoutPauseReconnectionAfterOne) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    EXPECT_EQ(mkdir(), 0);
    EXPECT_TRUE(pauses().empty());
    EXPECT_EQ(s->connections, 1u);
    std::vector<peer_request> r = peer.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type, TFS_SESSION_AUTH);
    EXPECT_EQ(r[1].type, TFS_MKDIR);
    EXPECT_EQ(r[1].payload, (std::vector<uint8_t>{0, 0, 5, '/', 'd', 'o', 'c', 's'}));

    peer_step answered_then_closed = peer_step::answer(0);
    answered_then_closed.close_after = true;
    peer.push(answered_then_closed);
    EXPECT_EQ(mkdir("/a"), 0);
    EXPECT_TRUE(pauses().empty());
    wait_broken();
    // The server has gone: the next request pauses once and reconnects.
    EXPECT_EQ(mkdir("/b"), 0);
    EXPECT_EQ(pauses(), std::vector<uint32_t>{kReconnectMs});
    EXPECT_EQ(s->connections, 2u);
    r = peer.requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[3].type, TFS_SESSION_AUTH);
    EXPECT_EQ(r[4].connection, 2);
    EXPECT_EQ(r[4].payload.back(), 'b');
}

// A server that refuses the connection (down, or not up yet) is a lost
// connection: tried once more after the pause, with a job-log line, before
// the request fails. Servers that all turn the connection away before their
// key are tried again in the connect's own rounds, and not once more on top.
TEST_F(ProtocolSession, ARefusedConnectionIsTriedOnceMoreAfterThePause) {
    std::string gone_line;
    {
        scripted_peer gone;
        gone_line = gone.hosts_line();
    }
    write_hosts({gone_line});
    const char* retry_line = "No backup server completed the connection (Error 5); trying again in";
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_EQ(pauses(), std::vector<uint32_t>{kReconnectMs});
    EXPECT_EQ(count_of(job_log(), retry_line), 1u);

    scripted_peer busy;
    write_hosts({busy.hosts_line()});
    peer_greeting closed;
    closed.close_at_once = true;
    for (int i = 0; i < 10; i++)
        busy.push_greeting(closed);
    EXPECT_EQ(mkdir(), ERR_IO);
    EXPECT_EQ(busy.accepted(), static_cast<int>(1 + timing_get().closed_early_rounds));
    EXPECT_EQ(count_of(job_log(), retry_line), 1u) << job_log();
}

TEST_F(ProtocolSession, ResponseTypeAndSequenceAreChecked) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    ctfs_find_request f{};
    f.list_flags = 0x20;
    f.path = "/x";
    peer.push(peer_step::answer(0, {0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ctfs_find_files(s, &f), 0); // type 136, sequence 0 echoed
    ASSERT_NE(f.entries, nullptr);
    EXPECT_EQ(blob_list_count(f.entries), 0);
    ctfs_find_files_free(&f);
    peer_step wrong_type = peer_step::answer(0, {0, 0, 0, 0, 0, 0, 0});
    wrong_type.type = 135;
    peer.push(wrong_type);
    EXPECT_EQ(ctfs_find_files(s, &f), ERR_SEQUENCE);
    EXPECT_EQ(f.entries, nullptr);
    peer_step wrong_seq = peer_step::answer(0);
    wrong_seq.seq = 3;
    peer.push(wrong_seq);
    EXPECT_EQ(mkdir(), ERR_SEQUENCE);
}

TEST_F(ProtocolSession, RequestWithoutAnswerReadsNothing) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    EXPECT_EQ(ctfs_file_close(s, 3), 0);
    EXPECT_EQ(mkdir(), 0);
    // A read for the close would wait in vain until it gave up. (Single
    // empty waits may come of a busy machine: the waits here are short.)
    EXPECT_EQ(count_of(job_log(), "Maximum timeout"), 0u);
    std::vector<peer_request> r = peer.requests();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[2].type, TFS_FILE_CLOSE);
    EXPECT_EQ(r[2].payload, std::vector<uint8_t>{3});
}

TEST_F(ProtocolSession, BadFramesAreReadFailures) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    peer_step bad_crc = peer_step::answer(0);
    bad_crc.crc_xor = 0x10;
    peer.push(bad_crc);
    EXPECT_EQ(mkdir(), ERR_SCKREAD);
    // Each further hostile answer comes on a fresh connection.
    std::vector<peer_step> hostile = {
        peer_step::raw({0, 0, 0, 0, 0, 0}),             // K = 65536: larger than the frame buffer
        peer_step::plain(header_plain(10, 135, 65510)), // plaintext larger than the session buffer
        peer_step::plain(header_plain(100, 135, 4)),    // header length beyond the decrypted bytes
    };
    for (const peer_step& h : hostile) {
        peer_step drop = peer_step::close();
        peer.push(drop);
        EXPECT_EQ(mkdir(), ERR_SCKREAD); // server closes: read failure
        wait_broken();
        peer.push(h);
        EXPECT_EQ(mkdir(), ERR_SCKREAD);
    }
}

TEST_F(ProtocolSession, SixEmptyWaitsGiveUp) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    // Only the stalled request's waits count: on a busy machine the first
    // answer may itself take longer than one shortened wait.
    const size_t before = job_log().size();
    short_waits();
    peer.push(peer_step::stall());
    EXPECT_EQ(mkdir(), ERR_SCKREAD);
    std::string log = job_log().substr(before);
    EXPECT_EQ(count_of(log, "] select(): Timed out after 5 seconds.\n"), 6u);
    EXPECT_EQ(
        count_of(log, "] select(): Maximum timeout reached (5 x 6 = 30 seconds); giving up.\n"),
        1u);
}

// The sequence never advances, so an answer is known by its place alone. An
// answer that comes after the request gave up (a slow server) or an answer
// to another request must never be taken for the answer of a later request
// of the same type, nor counted as one (the answer count confirms the closes
// sent before it): the connection is dropped, and the later request gets its
// own answer on a new one.
TEST_F(ProtocolSession, ALateOrStrayAnswerIsNeverTakenForALaterOne) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    uint32_t answers = s->answers;
    short_waits();
    peer.push(peer_step::late(ERR_EXISTS)); // "/a" is answered only after its wait ended
    EXPECT_EQ(mkdir("/a"), ERR_SCKREAD);
    EXPECT_EQ(s->socket, PLAT_SOCKET_NONE);
    timing t = timing_get();
    t.recv_wait_ms = kRecvWaitMs;
    timing_set_for_tests(t);
    peer.push(peer_step::answer(0));
    EXPECT_EQ(mkdir("/b"), 0); // not the late ERR_EXISTS
    EXPECT_EQ(s->answers, answers + 1);
    EXPECT_EQ(s->connections, 2u);
    EXPECT_EQ(pauses(), std::vector<uint32_t>{kReconnectMs});

    // An answer of another type: the one after it on that connection would
    // be the stray's, so the next request goes on a new connection too.
    answers = s->answers;
    peer_step stray = peer_step::answer(ERR_EXISTS);
    stray.type = TFS_DELETE + TFS_RESPONSE;
    peer.push(stray);
    EXPECT_EQ(mkdir("/c"), ERR_SEQUENCE);
    peer.push(peer_step::answer(0));
    EXPECT_EQ(mkdir("/d"), 0);
    EXPECT_EQ(s->answers, answers + 1);
    EXPECT_EQ(s->connections, 3u);
    std::vector<peer_request> r = peer.requests();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r.back().connection, 3);
    EXPECT_EQ(r.back().payload.back(), 'd');
}

TEST_F(ProtocolSession, DataAfterEmptyWaitsResetsTheCount) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ASSERT_EQ(mkdir(), 0);
    // Three parts, each after about three and a half empty waits: ten and a
    // half in all, but never six in a row.
    short_waits();
    peer_step slow = peer_step::answer(0, std::vector<uint8_t>(40, 1));
    slow.pieces = 3;
    slow.piece_delay_ms = kShortRecvWaitMs * 7 / 2;
    peer.push(slow);
    EXPECT_EQ(mkdir(), 0);
    std::string log = job_log();
    EXPECT_GE(count_of(log, "Timed out after 5 seconds"), 6u);
    EXPECT_EQ(count_of(log, "Maximum timeout"), 0u);
}

TEST(ProtocolServerList, LinesFollowTheFileFormat) {
    ctfs_server_entry e;
    EXPECT_FALSE(ctfs_parse_server_line("# only a comment\n", &e));
    ASSERT_TRUE(ctfs_parse_server_line("alpha:4000 # main\n", &e));
    EXPECT_STREQ(e.host, "alpha");
    EXPECT_EQ(e.port, 4000);
    ASSERT_TRUE(ctfs_parse_server_line("  beta:4001   \r\n", &e));
    EXPECT_STREQ(e.host, "  beta");
    EXPECT_EQ(e.port, 4001);
    ASSERT_TRUE(ctfs_parse_server_line("gamma:", &e));
    EXPECT_EQ(e.port, 0);
    EXPECT_FALSE(ctfs_parse_server_line("nocolon 4000", &e));
}

TEST_F(ProtocolSession, ServerListsAndTheirFailures) {
    write_hosts({"# servers\n", "alpha:4000 # main\n", "  beta:4001   \n", "gamma:4002\n"});
    ASSERT_EQ(ctfs_read_server_lists(s), 0);
    const ctfs_server_table* t = ctfs_servers();
    ASSERT_EQ(t->primary.count, 2);
    EXPECT_STREQ(t->primary.entries[0].host, "alpha");
    EXPECT_EQ(t->primary.entries[1].port, 4001);
    EXPECT_STREQ(t->primary.entries[1].host, "  beta");

    // Port 0 fails without a connection attempt; nothing else listed: 5.
    EXPECT_EQ(ctfs_tcp_connect("127.0.0.1", 0), -1);
    write_hosts({"127.0.0.1:\n"});
    EXPECT_EQ(mkdir(), ERR_IO);
    write_hosts({"# nothing\n"});
    EXPECT_EQ(mkdir(), ERR_IO);

    // A missing primary file gives 1 even with a secondary list.
    scripted_peer peer;
    std::string second = (dir_ / "hosts2").string();
    write_file(second, peer.hosts_line());
    snprintf(s->secondary_list, sizeof s->secondary_list, "%s", second.c_str());
    std::filesystem::remove(hosts_);
    EXPECT_EQ(mkdir(), ERR_BADPATH);
    EXPECT_EQ(peer.accepted(), 0);

    // The secondary list is tried first; an empty primary takes its copy.
    scripted_peer other;
    write_hosts({other.hosts_line()});
    EXPECT_EQ(mkdir(), 0);
    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(other.accepted(), 0);
}

TEST_F(ProtocolSession, SocketLayerMustBeStarted) {
    scripted_peer peer;
    write_hosts({peer.hosts_line()});
    ctfs_cleanup();
    EXPECT_FALSE(ctfs_started());
    EXPECT_EQ(mkdir(), ERR_SEQUENCE);
    ASSERT_EQ(ctfs_init(), 0);
    s->cipher_mode = 4;
    EXPECT_EQ(mkdir(), ERR_ACCESS);
    EXPECT_EQ(peer.accepted(), 0);
}

TEST_F(ProtocolSession, KeyLengthLimit) {
    // The key is read from memory: a leftover key file changes nothing.
    const char* leftover = "temp_pem_file.pem";
    bool made = !std::filesystem::exists(leftover);
    if (made) write_file(leftover, "stale");
    scripted_peer refusing, good;
    peer_greeting too_long;
    too_long.key_length = 512;
    refusing.push_greeting(too_long);
    write_hosts({refusing.hosts_line(), good.hosts_line()});
    EXPECT_EQ(mkdir(), 0);
    EXPECT_EQ(refusing.accepted(), 1);
    EXPECT_EQ(refusing.connections(), 0);
    EXPECT_EQ(good.connections(), 1);

    ASSERT_EQ(ctfs_build_auth_request(s), 0);
    refusing.push_greeting(too_long);
    EXPECT_EQ(ctfs_handshake(s, "127.0.0.1", refusing.port()), ERR_INVARG);
    peer_greeting longest;
    longest.key_length = 511;
    refusing.push_greeting(longest);
    ASSERT_EQ(ctfs_build_auth_request(s), 0);
    EXPECT_EQ(ctfs_handshake(s, "127.0.0.1", refusing.port()), 0);
    EXPECT_EQ(refusing.connections(), 1);
    if (made) std::filesystem::remove(leftover);
}

TEST_F(ProtocolSession, MalformedHandshakeAnswerKeepsThePendingRequest) {
    scripted_peer bad, good;
    write_hosts({bad.hosts_line(), good.hosts_line()});
    peer_greeting short_answer, with_status, with_seq;
    short_answer.answer_length = 31;
    with_status.answer_status = 1;
    with_seq.answer_seq = 1;
    for (const peer_greeting& g : {short_answer, with_status, with_seq}) {
        bad.push_greeting(g);
        ASSERT_EQ(ctfs_build_auth_request(s), 0);
        std::vector<uint8_t> pending(s->buf, s->buf + 6 + s->len);
        EXPECT_EQ(ctfs_handshake(s, "127.0.0.1", bad.port()), ERR_ACCESS);
        EXPECT_EQ(std::vector<uint8_t>(s->buf, s->buf + 6 + s->len), pending);
        EXPECT_EQ(s->type, TFS_SESSION_AUTH);
    }
    // The half-keyed connection is not used: the next request connects anew.
    EXPECT_EQ(s->cipher, nullptr);

    // Through the server list: the next server receives the same request.
    bad.push_greeting(short_answer);
    EXPECT_EQ(mkdir(), 0);
    std::vector<peer_request> r = good.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type, TFS_SESSION_AUTH);
    EXPECT_EQ(r[0].payload.size(), 53u + 5 + 9);
    EXPECT_EQ(r[1].type, TFS_MKDIR);
}

TEST_F(ProtocolSession, AgentLogInSendsItsFieldsAndTakesTheAnswer) {
    scripted_peer peer;
    peer_auth_fields f;
    f.fci_stamp = 0x5F000001;
    f.account_name = std::string(200, 'A');
    f.user_name = std::string(30, 'u');
    f.user_text2 = std::string(40, '2');
    f.user_text3 = std::string(60, '3');
    peer.set_auth_fields(f);
    write_hosts({peer.hosts_line()});
    s->job_name[0] = 0; // an empty job name: a 2-byte zero length, no text
    ASSERT_EQ(mkdir(), 0);
    std::vector<peer_request> r = peer.requests();
    ASSERT_GE(r.size(), 1u);
    const std::vector<uint8_t>& p = r[0].payload;
    ASSERT_EQ(p.size(), 53u + 9);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(get_be32(&p[1]), 0x01020304u);
    EXPECT_EQ(p[5], 0xD0);
    EXPECT_EQ(p[25], 0x40);
    EXPECT_EQ(get_be32(&p[45]), 0u);
    EXPECT_EQ(get_be16(&p[49]), 0u);
    EXPECT_EQ(get_be16(&p[51]), 9u);
    EXPECT_EQ(std::string(p.begin() + 53, p.end()), "daily.tbs");

    EXPECT_EQ(s->fci_stamp, 0x5F000001u);
    EXPECT_EQ(strlen(s->account.account_name), 125u);
    EXPECT_EQ(strlen(s->user.user_name), 20u);
    EXPECT_EQ(strlen(s->user.user_text2), 25u);
    EXPECT_EQ(strlen(s->user.user_text3), 42u);
    EXPECT_STREQ(s->user_name, s->user.user_name);
    EXPECT_EQ(s->user.user_number, 42u);
    EXPECT_EQ(s->user.user_value2, 12u);
    EXPECT_EQ(s->option, 1u);
}

TEST_F(ProtocolSession, RepeatByteCausesASecondLogIn) {
    scripted_peer peer;
    peer.set_auto_auth(false);
    peer_auth_fields first, second;
    first.repeat = 1;
    first.user_name = "first";
    second.user_name = "second";
    peer.push(peer_step::answer(0, peer_auth_answer(first)));
    peer.push(peer_step::answer(0, peer_auth_answer(second)));
    write_hosts({peer.hosts_line()});
    EXPECT_EQ(mkdir(), 0);
    std::vector<peer_request> r = peer.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].type, TFS_SESSION_AUTH);
    EXPECT_EQ(r[1].type, TFS_SESSION_AUTH);
    EXPECT_EQ(r[1].connection, 2);
    EXPECT_EQ(r[2].type, TFS_MKDIR);
    EXPECT_EQ(r[2].connection, 2);
    EXPECT_STREQ(s->user_name, "second");
}

TEST_F(ProtocolSession, LogInFailures) {
    scripted_peer peer;
    peer.set_auto_auth(false);
    write_hosts({peer.hosts_line()});
    peer.push(peer_step::answer(ERR_AUTH_FAILURE));
    EXPECT_EQ(mkdir(), ERR_AUTH_FAILURE);
    // An answer cut short fails the log-in (each cut of a whole answer).
    std::vector<uint8_t> whole = peer_auth_answer(peer_auth_fields());
    for (size_t cut : {size_t(0), size_t(10), whole.size() - 1}) {
        ctfs_drop_connection(s); // a refused log-in leaves the connection open
        peer.push(peer_step::answer(0, std::vector<uint8_t>(whole.begin(), whole.begin() + cut)));
        EXPECT_EQ(mkdir(), ERR_SEQUENCE) << cut;
    }
    // Once the FCI is announced, the stamp is neither read nor required.
    s->fci_started = 1;
    s->fci_stamp = 99;
    peer_auth_fields no_stamp;
    no_stamp.with_stamp = false;
    ctfs_drop_connection(s);
    peer.push(peer_step::answer(0, peer_auth_answer(no_stamp)));
    peer.push(peer_step::answer(0));
    EXPECT_EQ(mkdir(), 0);
    EXPECT_EQ(s->fci_stamp, 99u);
    std::vector<peer_request> r = peer.requests();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(get_be32(&r[r.size() - 2].payload[45]), 1u); // fci_started sent as 1
}

TEST_F(ProtocolSession, OtherLogInModes) {
    snprintf(s->user_name, sizeof s->user_name, "%s", "bob");
    snprintf(s->password, sizeof s->password, "%s", "pw");
    snprintf(s->web_token, sizeof s->web_token, "%s", "tok");
    s->auth_mode = 0;
    ASSERT_EQ(ctfs_build_auth_request(s), 0);
    ASSERT_EQ(s->len, 1 + 4 + 3 + 20 + 20);
    EXPECT_EQ(s->buf[6], 0);
    EXPECT_EQ(s->buf[7], 3);
    EXPECT_EQ(s->buf[11], 2);
    EXPECT_EQ(s->buf[14], 0xD0);
    EXPECT_EQ(s->buf[34], 0x40);
    s->auth_mode = 3;
    ASSERT_EQ(ctfs_build_auth_request(s), 0);
    EXPECT_EQ(s->len, 21);
    s->auth_mode = 4;
    ASSERT_EQ(ctfs_build_auth_request(s), 0);
    EXPECT_EQ(s->len, 1 + 4 + 3 + 4);
    EXPECT_EQ(s->buf[6 + 8], 3);
    s->auth_mode = 2;
    EXPECT_EQ(ctfs_build_auth_request(s), ERR_INVARG);

    // Mode 3 hands the answer's text to the caller.
    scripted_peer peer;
    peer.set_auto_auth(false);
    write_hosts({peer.hosts_line()});
    s->auth_mode = 3;
    peer.push(peer_step::answer(0, {5, 't', 'o', 'k', 'e', 'n'}));
    char text[4];
    EXPECT_EQ(ctfs_session_auth(s, text, sizeof text), 0);
    EXPECT_STREQ(text, "tok");
    s->auth_mode = 9;
    EXPECT_EQ(ctfs_session_auth(s, nullptr, 0), ERR_INVARG);
}
