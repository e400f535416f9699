// Tests of the remote operations against the scripted peer: payload layouts,
// size limits, e-mail parts, the user lock and its recovery, listings.
#include "protocol/find_answer.h"
#include "protocol/remote.h"
#include "protocol/wire.h"
#include "support/scripted_peer.h"
#include "support/session_fixture.h"

#include <cstring>

namespace {

class ProtocolRemote : public session_fixture {
  protected:
    void connect(scripted_peer& peer) {
        write_hosts({peer.hosts_line()});
        ctfs_path_request r{0, "/"};
        ASSERT_EQ(ctfs_mkdir(s, &r), 0);
        base_ = peer.requests().size();
    }
    std::vector<peer_request> sent(scripted_peer& peer) {
        std::vector<peer_request> all = peer.requests();
        return std::vector<peer_request>(all.begin() + static_cast<long>(base_), all.end());
    }
    size_t base_ = 0;
};

std::vector<uint8_t> entry(uint8_t type, uint32_t mtime, const std::string& name, bool wide) {
    std::vector<uint8_t> v(21);
    v[0] = type;
    put_be32(&v[1], mtime);
    put_be64(&v[5], 1000);
    put_be64(&v[13], 2000);
    if (wide) {
        v.push_back(static_cast<uint8_t>(name.size() >> 8));
    }
    v.push_back(static_cast<uint8_t>(name.size()));
    v.insert(v.end(), name.begin(), name.end());
    return v;
}

std::vector<uint8_t> listing(uint16_t count, uint32_t further, uint8_t cursor,
                             const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t> v(7);
    put_be16(&v[0], count);
    put_be32(&v[2], further);
    v[6] = cursor;
    for (const auto& e : entries)
        v.insert(v.end(), e.begin(), e.end());
    return v;
}

} // namespace

TEST_F(ProtocolRemote, FileWriteLimitsAndAnswers) {
    scripted_peer peer;
    connect(peer);
    std::vector<uint8_t> data(65492, 0x77);
    ctfs_write_request w{5, 10, 65491, data.data(), 0};
    EXPECT_EQ(ctfs_file_write(s, &w), 0); // bit 3: no answer awaited
    EXPECT_EQ(w.written, 65491);
    w.length = 65492;
    EXPECT_EQ(ctfs_file_write(s, &w), ERR_DATAMAX);
    EXPECT_EQ(w.written, 0);
    peer.push(peer_step::answer(0, {0x01, 0x02}));
    ctfs_write_request offer{5, 1, 16, data.data(), 0};
    EXPECT_EQ(ctfs_file_write(s, &offer), 0);
    EXPECT_EQ(offer.written, 0x0102);
    peer.push(peer_step::answer(ERR_UP2DATE));
    EXPECT_EQ(ctfs_file_write(s, &offer), ERR_UP2DATE);
    peer.push(peer_step::answer(0, {0x01})); // answer too short for its field
    EXPECT_EQ(ctfs_file_write(s, &offer), ERR_SEQUENCE);
    ASSERT_TRUE(peer.wait_requests(base_ + 4));
    std::vector<peer_request> r = sent(peer);
    ASSERT_EQ(r.size(), 4u); // the refused write never reached the wire
    EXPECT_EQ(r[0].payload.size(), 65495u);
    EXPECT_EQ(r[0].payload[0], 5);
    EXPECT_EQ(r[0].payload[1], 10);
    EXPECT_EQ(get_be16(&r[0].payload[2]), 65491u);
    EXPECT_EQ(r[1].payload.size(), 20u);
}

TEST_F(ProtocolRemote, EmailGoesInParts) {
    scripted_peer peer;
    connect(peer);
    std::string body(150000, 0);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = static_cast<char>('a' + i % 26);
    blob_list* to = blob_list_new(1, 1, nullptr);
    blob_list_append_text(to, "bob");
    ctfs_email_request e{0x0102030405060708LL, to, 150000, body.c_str()};
    EXPECT_EQ(ctfs_email(s, &e), 0);
    std::vector<peer_request> r = sent(peer);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].payload.size(), 60002u);
    EXPECT_EQ(r[0].payload[0], 0);
    EXPECT_EQ(get_be64(&r[0].payload[1]), 0x0102030405060708ull);
    EXPECT_EQ(r[0].payload[9], 1);
    EXPECT_EQ(r[0].payload[10], 3);
    EXPECT_EQ(get_be32(&r[0].payload[14]), 150000u);
    EXPECT_EQ(get_be16(&r[0].payload[18]), 59982u);
    EXPECT_EQ(r[1].payload[0], 2);
    EXPECT_EQ(get_be16(&r[1].payload[1]), 60000u);
    EXPECT_EQ(get_be16(&r[2].payload[1]), 30018u);
    std::string joined(r[0].payload.begin() + 20, r[0].payload.end());
    joined.append(r[1].payload.begin() + 3, r[1].payload.end());
    joined.append(r[2].payload.begin() + 3, r[2].payload.end());
    EXPECT_EQ(joined, body);

    // An empty body is one part; a refused part stops the rest.
    ctfs_email_request empty{1, to, 0, ""};
    EXPECT_EQ(ctfs_email(s, &empty), 0);
    r = sent(peer);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[3].payload.size(), 20u);
    EXPECT_EQ(get_be16(&r[3].payload[18]), 0u);
    peer.push(peer_step::answer(ERR_SERVER));
    EXPECT_EQ(ctfs_email(s, &e), ERR_SERVER);
    EXPECT_EQ(sent(peer).size(), 5u);
    blob_list_free(to);
}

TEST_F(ProtocolRemote, UserLockPayloads) {
    scripted_peer peer;
    connect(peer);
    const uint32_t id = 0x0A0B0C0D;
    ctfs_lock_request take{0, 1, &id};
    EXPECT_EQ(ctfs_user_lock(s, &take), 0);
    s->fci_stamp = 0x11223344;
    ctfs_lock_request release{5, 0, nullptr};
    EXPECT_EQ(ctfs_user_lock(s, &release), 0);
    ctfs_lock_request plain_release{1, 0, nullptr};
    EXPECT_EQ(ctfs_user_lock(s, &plain_release), 0);
    s->auth_mode = 0; // outside an agent session no stamp travels
    EXPECT_EQ(ctfs_user_lock(s, &release), 0);
    peer.hold_lock(true);
    EXPECT_EQ(ctfs_user_lock(s, &take), ERR_ACCESS);
    std::vector<peer_request> r = sent(peer);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].payload, (std::vector<uint8_t>{0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(r[1].payload, (std::vector<uint8_t>{5, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(r[2].payload, std::vector<uint8_t>{1});
    EXPECT_EQ(r[3].payload, std::vector<uint8_t>{5});
}

TEST_F(ProtocolRemote, SafeMkdirGivesUpUnderAHeldLock) {
    scripted_peer peer;
    connect(peer);
    ctfs_set_recovery(77, true);
    peer.hold_lock(true);
    peer.push(peer_step::answer(ERR_ACCESS));
    ctfs_path_request r{0, "/held"};
    safe_mkdir(s, &r);
    std::vector<peer_request> got = sent(peer);
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(got[0].type, TFS_MKDIR);
    for (size_t i = 1; i < got.size(); i++) {
        EXPECT_EQ(got[i].type, TFS_USER_LOCK);
        EXPECT_EQ(got[i].payload, (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 77}));
    }
    EXPECT_EQ(pauses(), std::vector<uint32_t>(12, kRecoveryMs));
}

TEST_F(ProtocolRemote, RecoveryRetriesAfterTheLockIsBack) {
    scripted_peer peer;
    connect(peer);
    ctfs_set_recovery(9, false);              // the FCI cache in use: flags 2
    peer.push(peer_step::answer(ERR_ACCESS)); // mkdir: lock lost
    peer.push(peer_step::answer(ERR_ACCESS)); // lock: still held elsewhere
    peer.push(peer_step::answer(0));          // lock: taken
    peer.push(peer_step::answer(ERR_EXISTS)); // mkdir again
    ctfs_path_request r{0, "/again"};
    safe_mkdir(s, &r);
    std::vector<peer_request> got = sent(peer);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1].payload[0], 2);
    EXPECT_EQ(got[3].type, TFS_MKDIR);
    EXPECT_EQ(pauses(), std::vector<uint32_t>{kRecoveryMs});

    // safe_file_wopen returns what it stopped with; a lock refusal other than 4 ends it.
    peer.push(peer_step::answer(ERR_SCKREAD));
    peer.push(peer_step::answer(ERR_USER_LOCKED));
    ctfs_wopen_request w{};
    w.open_mode = 1;
    w.path = "/f";
    EXPECT_EQ(safe_file_wopen(s, &w), ERR_USER_LOCKED);
    peer.push(peer_step::answer(ERR_UP2DATE));
    EXPECT_EQ(safe_file_wopen(s, &w), ERR_UP2DATE);
}

// A server that grants the lock but keeps refusing the request would hold
// the job in a loop without pauses: 12 grants end it with the refusal.
TEST_F(ProtocolRemote, RecoveryEndsWhenTheLockIsGrantedButTheRequestStaysRefused) {
    scripted_peer peer;
    connect(peer);
    ctfs_set_recovery(9, true);
    for (int i = 0; i < 12; i++) {
        peer.push(peer_step::answer(i % 2 ? ERR_SCKREAD : ERR_ACCESS)); // open refused
        peer.push(peer_step::answer(0));                                // lock granted
    }
    peer.push(peer_step::answer(ERR_ACCESS)); // the 13th open
    peer.push(peer_step::answer(0));          // a 13th grant would be taken here
    ctfs_wopen_request w{};
    w.open_mode = 1;
    w.path = "/f";
    EXPECT_EQ(safe_file_wopen(s, &w), ERR_ACCESS);
    std::vector<peer_request> got = sent(peer);
    EXPECT_EQ(got.size(), 25u);
    EXPECT_TRUE(pauses().empty());
}

TEST_F(ProtocolRemote, FileOpenDeleteAndListing) {
    scripted_peer peer;
    connect(peer);
    const uint8_t sec[3] = {4, 5, 6};
    ctfs_wopen_request w{1, 0x1FFFFFFFFull, "/f.txt", 0x0102030405ull, 3, sec, 0, 0, 0, 0};
    peer.push(peer_step::answer(0, {9, 0, 3, 0x40, 0, 0, 0, 0, 7}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), 0);
    EXPECT_EQ(w.handle, 9);
    EXPECT_EQ(w.known_blocks, 3);
    EXPECT_EQ(w.block_size, 0x40000000u);
    EXPECT_EQ(w.block_count, 7);
    std::vector<peer_request> r = sent(peer);
    ASSERT_EQ(r.size(), 1u);
    const std::vector<uint8_t> want = {1,   0xFF, 0xFF, 0xFF, 0xFF, 0, 6, '/', 'f',
                                       '.', 't',  'x',  't',  0,    0, 0, 1,   2,
                                       3,   4,    5,    0,    3,    4, 5, 6};
    EXPECT_EQ(r[0].payload, want);
    peer.push(peer_step::answer(0, {9, 0}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), ERR_SEQUENCE); // answer cut short
    // A layout that cannot hold the announced size is refused: no block
    // size, or too few blocks (six of 1 GiB for a file of 4.03 GiB).
    peer.push(peer_step::answer(0, {9, 0, 0, 0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), ERR_SEQUENCE);
    peer.push(peer_step::answer(0, {9, 0, 0, 0x40, 0, 0, 0, 0, 4}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), ERR_SEQUENCE);
    w.size = 0;
    peer.push(peer_step::answer(0, {9, 0, 0, 0, 0x10, 0, 0, 0, 0}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), 0); // an empty file has no blocks
    // A server may give an empty file no block size either: 0 blocks of
    // size 0 is its sound layout, and only its.
    peer.push(peer_step::answer(0, {9, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), 0);
    EXPECT_EQ(w.block_size, 0u);
    EXPECT_EQ(w.block_count, 0);
    peer.push(peer_step::answer(0, {9, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), ERR_SEQUENCE); // a block of no size
    w.size = 1;
    peer.push(peer_step::answer(0, {9, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ctfs_file_wopen(s, &w), ERR_SEQUENCE); // one byte in no block
    w.size = 0x0102030405ull;

    std::vector<uint8_t> values(24);
    put_be32(&values[0], 1);
    put_be32(&values[4], 2);
    put_be64(&values[8], 3);
    put_be64(&values[16], 4);
    peer.push(peer_step::answer(ERR_NOTEMPTY, values));
    ctfs_path_request d{1, "/gone"};
    ctfs_delete_result out{};
    EXPECT_EQ(ctfs_delete(s, &d, &out), ERR_NOTEMPTY);
    EXPECT_EQ(out.count2, 2u);
    EXPECT_EQ(out.value2, 4u);

    ctfs_find_request f{};
    f.list_flags = 0x21;
    f.path = "/docs";
    peer.push(peer_step::answer(
        0, listing(2, 5, 3,
                   {entry(1, 100, "a.txt", true), entry(2, 200, std::string(300, 'n'), true)})));
    ASSERT_EQ(ctfs_find_files(s, &f), 0);
    EXPECT_EQ(f.count, 2);
    EXPECT_EQ(f.further, 5u);
    EXPECT_EQ(f.next_cursor, 3);
    ASSERT_EQ(blob_list_count(f.entries), 2);
    auto* e0 = static_cast<ctfs_find_entry*>(blob_list_get(f.entries, 0));
    auto* e1 = static_cast<ctfs_find_entry*>(blob_list_get(f.entries, 1));
    EXPECT_STREQ(e0->name, "a.txt");
    EXPECT_EQ(e0->mtime, 100u);
    EXPECT_EQ(e0->size2, 2000u);
    EXPECT_EQ(e1->name_length, 300);
    ctfs_find_files_free(&f);
    EXPECT_EQ(f.entries, nullptr);
    r = sent(peer);
    EXPECT_EQ(r.back().payload, (std::vector<uint8_t>{0, 0x21, 0, 0, 5, '/', 'd', 'o', 'c', 's'}));
}

TEST(ProtocolFindAnswer, HostileListingsGiveNoEntries) {
    ctfs_find_request f{};
    std::vector<uint8_t> good = listing(1, 0, 0, {entry(1, 5, "x", false)});
    ASSERT_EQ(ctfs_parse_find_answer(good.data(), good.size(), 0x20, &f), 0);
    EXPECT_STREQ(static_cast<ctfs_find_entry*>(blob_list_get(f.entries, 0))->name, "x");
    ctfs_find_files_free(&f);
    // The same bytes read with 2-byte name lengths run past the payload.
    EXPECT_EQ(ctfs_parse_find_answer(good.data(), good.size(), 0x21, &f), ERR_SEQUENCE);
    EXPECT_EQ(f.entries, nullptr);
    std::vector<uint8_t> too_many = listing(60000, 0, 0, {entry(1, 5, "x", false)});
    EXPECT_EQ(ctfs_parse_find_answer(too_many.data(), too_many.size(), 0x20, &f), ERR_SEQUENCE);
    EXPECT_EQ(f.entries, nullptr);
    std::vector<uint8_t> past = listing(1, 0, 0, {entry(1, 5, "abc", false)});
    past.pop_back();
    EXPECT_EQ(ctfs_parse_find_answer(past.data(), past.size(), 0x20, &f), ERR_SEQUENCE);
    EXPECT_EQ(f.entries, nullptr);
    EXPECT_EQ(ctfs_parse_find_answer(past.data(), 6, 0x20, &f), ERR_SEQUENCE);
}
