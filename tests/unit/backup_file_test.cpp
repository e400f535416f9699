// Tests of the per-file backup against the scripted peer: the open request
// with its security record, the block exchange for 0, 1 and 3 blocks (data
// decrypted and inflated as the server would), retries, the folders below
// "/Today/", and the sound handling of short reads and reconnections.
#include "support/backup_fixture.h"

#include "backup/block_pool.h"

#include "backup/fci/fci.h"
#include "backup/schedule/filter_value.h"
#include "backup/job.h"
#include "protocol/remote.h"

#include <random>

using namespace backup_test;

namespace {

// Every case runs with the blocks done by the backup thread (1) and by a
// pool of workers (3): what the peer sees must not differ.
class BackupFile : public backup_fixture, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void SetUp() override {
        backup_fixture::SetUp();
        if (GetParam() > 1) {
            ctx.pool = block_pool_new(GetParam(), key_);
            ASSERT_NE(ctx.pool, nullptr);
        }
    }
    void run(const std::string& rel, const std::string& remote,
             const folder_filter* filter = nullptr) {
        plat_file_info st = status_of(src(rel));
        backup_file(&ctx, src(rel).c_str(), remote.c_str(), &st, filter);
    }
};

std::string noise(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

} // namespace

TEST_P(BackupFile, ZeroBlocksClosesAtOnceAndCountsSent) {
    scripted_peer peer;
    use(peer);
    write("empty.txt", "");
    peer.push(peer_step::answer(0, wopen_answer(3, 0, 4096, 0)));
    run("empty.txt", "/Dest/empty.txt");
    ASSERT_TRUE(peer.wait_requests(3)); // log-in, open, close

    std::vector<open_seen> o = opens(peer);
    ASSERT_EQ(o.size(), 1u);
    plat_file_info st = status_of(src("empty.txt"));
    EXPECT_EQ(o[0].mode, 1);
    EXPECT_EQ(o[0].mtime, static_cast<uint32_t>(st.mtime));
    EXPECT_EQ(o[0].path, "/Dest/empty.txt");
    EXPECT_EQ(o[0].size, 0u);
    if (!plat_is_windows) {
        // The Linux security record: kind 4, length 12, owner, group, mode.
        ASSERT_EQ(o[0].security.size(), 17u);
        EXPECT_EQ(o[0].security[0], 4);
        EXPECT_EQ(o[0].security[1], 12);
    } else {
        ASSERT_FALSE(o[0].security.empty());
        EXPECT_EQ(o[0].security[0], 3); // a self-relative security descriptor
    }
    EXPECT_TRUE(writes(peer).empty());
    std::vector<peer_request> closes = of_type(peer, TFS_FILE_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].payload, bytes{3});

    EXPECT_EQ(report()->files_transferred, 1u);
    EXPECT_EQ(report()->files_failed, 0u);
    EXPECT_EQ(progress().items_sent, 1u);
    std::string log = job_log();
    EXPECT_NE(log.find("FILE: '" + src("empty.txt") + "' ...\n"), std::string::npos);
    EXPECT_NE(log.find("FILE: Successfully backed up '" + src("empty.txt") + "'\n"),
              std::string::npos);
}

// A server may answer an empty file with no block size at all: the file is
// closed at once and counts as sent, as with any other layout of 0 blocks.
TEST_P(BackupFile, ZeroBlocksOfSizeZeroCountSent) {
    scripted_peer peer;
    use(peer);
    write("empty.txt", "");
    peer.push(peer_step::answer(0, wopen_answer(4, 0, 0, 0)));
    run("empty.txt", "/Dest/empty.txt");
    ASSERT_TRUE(peer.wait_requests(3)); // log-in, open, close
    EXPECT_TRUE(writes(peer).empty());
    std::vector<peer_request> closes = of_type(peer, TFS_FILE_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].payload, bytes{4});
    EXPECT_EQ(report()->files_transferred, 1u);
    EXPECT_EQ(report()->files_failed, 0u);
    EXPECT_EQ(job_log().find("ERROR"), std::string::npos);
}

TEST_P(BackupFile, OneBlockSendsEmptyOfferAndEmptyChecksum) {
    scripted_peer peer;
    use(peer);
    const std::string content = noise(150000, 1); // several data writes
    write("one.bin", content);
    peer.push(peer_step::answer(0, wopen_answer(5, 0, 1u << 20, 1)));
    peer.push(offer_answer());
    run("one.bin", "/Dest/one.bin");
    wait_closes(peer);

    std::vector<write_seen> w = writes(peer);
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w.front().type, BACKUP_WRITE_OFFER);
    EXPECT_TRUE(w.front().data.empty());
    EXPECT_EQ(w.back().type, BACKUP_WRITE_CHECKSUM);
    EXPECT_TRUE(w.back().data.empty());
    for (size_t i = 1; i + 1 < w.size(); i++) {
        EXPECT_EQ(w[i].type, BACKUP_WRITE_DATA);
        EXPECT_EQ(w[i].handle, 5);
        EXPECT_LE(w[i].data.size(), 65466u);
    }
    std::vector<std::string> blocks = blocks_sent(peer);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], content);
    EXPECT_EQ(report()->files_transferred, 1u);
    progress_record p = progress();
    EXPECT_EQ(p.items_sent, 1u);
    EXPECT_EQ(p.done_bytes, content.size());
}

TEST_P(BackupFile, ThreeBlocksWithTwoKnownOffersTheirMd5s) {
    scripted_peer peer;
    use(peer);
    const std::string content = noise(10000, 2);
    write("three.bin", content);
    peer.push(peer_step::answer(0, wopen_answer(7, 2, 4096, 3)));
    peer.push(offer_answer(ERR_UP2DATE));
    peer.push(offer_answer(ERR_UP2DATE));
    peer.push(offer_answer());
    run("three.bin", "/Dest/three.bin");
    wait_closes(peer);

    const uint8_t* p = reinterpret_cast<const uint8_t*>(content.data());
    std::vector<write_seen> w = writes(peer);
    ASSERT_GE(w.size(), 5u);
    EXPECT_EQ(w[0].type, BACKUP_WRITE_OFFER);
    EXPECT_EQ(std::string(w[0].data.begin(), w[0].data.end()), md5_of(p, 4096));
    EXPECT_EQ(w[1].type, BACKUP_WRITE_OFFER);
    EXPECT_EQ(std::string(w[1].data.begin(), w[1].data.end()), md5_of(p + 4096, 4096));
    EXPECT_EQ(w[2].type, BACKUP_WRITE_OFFER);
    EXPECT_TRUE(w[2].data.empty());
    EXPECT_EQ(w.back().type, BACKUP_WRITE_CHECKSUM);
    EXPECT_EQ(std::string(w.back().data.begin(), w.back().data.end()),
              md5_of(p + 8192, 10000 - 8192));
    std::vector<std::string> blocks = blocks_sent(peer);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], content.substr(8192));
    EXPECT_EQ(report()->files_transferred, 1u);
}

TEST_P(BackupFile, KnownBlockThatTheServerStillWantsCarriesTheOfferedMd5) {
    scripted_peer peer;
    use(peer);
    const std::string content = noise(6000, 3);
    write("two.bin", content);
    peer.push(peer_step::answer(0, wopen_answer(2, 1, 4096, 2)));
    peer.push(offer_answer()); // known block 0, but the server asks for it
    peer.push(offer_answer());
    run("two.bin", "/Dest/two.bin");
    wait_closes(peer);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(content.data());
    std::vector<write_seen> w = writes(peer);
    std::vector<std::string> checksums;
    for (const write_seen& x : w)
        if (x.type == BACKUP_WRITE_CHECKSUM) checksums.emplace_back(x.data.begin(), x.data.end());
    ASSERT_EQ(checksums.size(), 2u);
    EXPECT_EQ(checksums[0], md5_of(p, 4096));
    EXPECT_EQ(checksums[1], md5_of(p + 4096, 6000 - 4096));
    std::vector<std::string> blocks = blocks_sent(peer);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0] + blocks[1], content);
}

TEST_P(BackupFile, RetriesAfterRefusedWritesAndGivesUpAfterTwenty) {
    scripted_peer peer;
    use(peer);
    write("r.txt", "retry me");
    // One refused key, then a clean attempt: the file is sent once, whole.
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, 1)));
    peer.push(offer_answer(ERR_BADKEY));
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 4096, 1)));
    peer.push(offer_answer());
    run("r.txt", "/Dest/r.txt");
    wait_closes(peer);
    EXPECT_EQ(opens(peer).size(), 2u);
    std::vector<std::string> blocks = blocks_sent(peer);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], "retry me");
    EXPECT_EQ(report()->files_transferred, 1u);
    std::string log = job_log();
    EXPECT_NE(log.find("FILE: ERROR: ERR_BADKEY on '" + src("r.txt") + "'\n"), std::string::npos);
    EXPECT_NE(log.find("FILE: WARNING: Retrying file (1 of 20 attempts)\n"), std::string::npos);

    // Twenty refused reads: given up with ERR_BADKEY as the reason, and the
    // remote file is not closed on that path.
    write("g.txt", "give up");
    for (int i = 0; i < 20; i++) {
        peer.push(peer_step::answer(0, wopen_answer(9, 0, 4096, 1)));
        peer.push(offer_answer(ERR_SCKREAD));
    }
    const size_t closes_before = of_type(peer, TFS_FILE_CLOSE).size();
    run("g.txt", "/Dest/g.txt");
    EXPECT_EQ(opens(peer).size(), 22u);
    log = job_log();
    EXPECT_EQ(count_of(log, "FILE: ERROR: ERR_SCKREAD on '" + src("g.txt") + "'\n"), 20u);
    EXPECT_NE(log.find("FILE: WARNING: Retrying file (20 of 20 attempts)\n"), std::string::npos);
    EXPECT_EQ(log.find("FILE: WARNING: Retrying file (21 of 20 attempts)\n"), std::string::npos);
    EXPECT_NE(log.find("FILE: ERROR: Exceeded maximum retries (20) while processing '" +
                       src("g.txt") + "'. Giving up on this file.\n"),
              std::string::npos);
    EXPECT_EQ(of_type(peer, TFS_FILE_CLOSE).size(), closes_before);
    EXPECT_EQ(report()->files_transferred, 1u);
    EXPECT_EQ(report()->files_failed, 1u);
    EXPECT_NE(report_errors().find(src("g.txt")), std::string::npos);
    EXPECT_EQ(progress().items_failed, 1u);
}

TEST_P(BackupFile, ServerRefusalsFailTheFileOnce) {
    scripted_peer peer;
    use(peer);
    write("a.txt", "a");
    write("b.txt", "b");
    peer.push(peer_step::answer(ERR_NOTFILE)); // the open itself
    peer.push(peer_step::answer(0, wopen_answer(4, 0, 4096, 1)));
    peer.push(offer_answer(ERR_IO)); // the offer
    run("a.txt", "/Dest/a.txt");
    run("b.txt", "/Dest/b.txt");
    std::string log = job_log();
    EXPECT_NE(log.find("FILE: ERROR: Server side failure from safe_file_wopen() with error code 3 "
                       "on '" +
                       src("a.txt") + "'\n"),
              std::string::npos);
    EXPECT_NE(log.find("FILE: ERROR: Server side failure from ctfs_file_write() @ 326 with error "
                       "code 5 on '" +
                       src("b.txt") + "'\n"),
              std::string::npos);
    EXPECT_NE(log.find("FILE: Failed backing up '" + src("b.txt") + "' (TBS error code -2)\n"),
              std::string::npos);
    EXPECT_EQ(report()->files_failed, 2u);
    // Each failed file is counted once in the progress area.
    EXPECT_EQ(progress().items_failed, 2u);
}

TEST_P(BackupFile, UpToDateOpenAndMissingLocalFile) {
    scripted_peer peer;
    use(peer);
    write("same.txt", "same");
    write("gone.txt", "gone");
    plat_file_info gone = status_of(src("gone.txt"));
    fs::remove(dir_ / "src" / "gone.txt");
    peer.push(peer_step::answer(ERR_UP2DATE));
    peer.push(peer_step::answer(0, wopen_answer(6, 0, 4096, 1)));
    run("same.txt", "/Dest/same.txt");
    backup_file(&ctx, src("gone.txt").c_str(), "/Dest/gone.txt", &gone, nullptr);
    wait_closes(peer);
    std::string log = job_log();
    EXPECT_NE(log.find("FILE: File was reported to be changed, but is in fact up to date: '" +
                       src("same.txt") + "'\n"),
              std::string::npos);
    EXPECT_NE(log.find("FILE: File does not exist: '" + src("gone.txt") + "'\n"),
              std::string::npos);
    std::vector<peer_request> closes = of_type(peer, TFS_FILE_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].payload, bytes{6});
    EXPECT_EQ(report()->files_up_to_date, 1u);
    EXPECT_EQ(report()->files_failed, 0u); // a vanished file is only logged
    EXPECT_TRUE(writes(peer).empty());
}

TEST_P(BackupFile, FilteredFilesNeedTodayParents) {
    scripted_peer peer;
    use(peer);
    write("f.txt", "filtered");
    write("skip.doc", "not matched");
    parse_filter_value((src() + "|0|*.txt").c_str(), filters_);
    const folder_filter* f = static_cast<const folder_filter*>(blob_list_get(filters_, 0));
    ASSERT_NE(f, nullptr);

    run("skip.doc", "/Dest/Today/x/skip.doc", f);
    run("f.txt", "/Dest/Daily/x/f.txt", f);
    EXPECT_NE(job_log().find("FILE: Skipping '" + src("skip.doc") + "' due to filter.\n"),
              std::string::npos);
    EXPECT_NE(job_log().find("FILE: ERROR: Failed to generate filter parent directories while "
                             "on '" +
                             src("f.txt") + "'\n"),
              std::string::npos);
    EXPECT_TRUE(peer.requests().empty()); // nothing was sent for either file

    // Parents are made once per job, shallowest first, compared without
    // regard to case; a refused folder gives -2 with the file's path recorded.
    EXPECT_EQ(make_today_parents(&ctx, "/Dest/Today/a/b/f.txt"), 0);
    EXPECT_EQ(make_today_parents(&ctx, "/Dest/Today/A/c/g.txt"), 0);
    EXPECT_EQ(make_today_parents(&ctx, "no-slash"), -1);
    EXPECT_EQ(make_today_parents(&ctx, "/Dest/Today/file.txt"), -1);
    peer.push(peer_step::answer(ERR_EXISTS));
    EXPECT_EQ(make_today_parents(&ctx, "/Dest/Today/e/f.txt"), 0);
    peer.push(peer_step::answer(ERR_ACCESS));
    EXPECT_EQ(make_today_parents(&ctx, "/Dest/Today/x/y.txt"), -2);
    EXPECT_EQ(paths(peer, TFS_MKDIR),
              (std::vector<std::string>{"/Dest/Today/a", "/Dest/Today/a/b", "/Dest/Today/A/c",
                                        "/Dest/Today/e", "/Dest/Today/x"}));
    EXPECT_NE(report_errors().find("/Dest/Today/x/y.txt"), std::string::npos);
    EXPECT_EQ(blob_list_count(ctx.today_folders), 4);
}

TEST_P(BackupFile, ShortReadInsideABlockFailsTheFile) {
    scripted_peer peer;
    use(peer);
    write("shrunk.bin", noise(100, 4));
    plat_file_info st = status_of(src("shrunk.bin"));
    st.size = 5000; // the file shrank after its status was read
    peer.push(peer_step::answer(0, wopen_answer(8, 0, 4096, 2)));
    peer.push(offer_answer());
    backup_file(&ctx, src("shrunk.bin").c_str(), "/Dest/shrunk.bin", &st, nullptr);
    wait_closes(peer);

    // No closing checksum follows an incomplete block, no second block is
    // offered, and the file is not counted as sent.
    for (const write_seen& w : writes(peer))
        EXPECT_NE(w.type, BACKUP_WRITE_CHECKSUM);
    EXPECT_EQ(writes(peer).size(), 1u); // the offer of block 0 only
    EXPECT_EQ(of_type(peer, TFS_FILE_CLOSE).size(), 1u);
    EXPECT_EQ(report()->files_transferred, 0u);
    EXPECT_EQ(report()->files_failed, 1u);
    EXPECT_NE(
        job_log().find("FILE: Failed backing up '" + src("shrunk.bin") + "' (TBS error code -2)\n"),
        std::string::npos);
}

TEST_P(BackupFile, TransferSpanningAReconnectionStartsAgain) {
    scripted_peer peer;
    use(peer);
    const std::string content = noise(300000, 5); // several data writes
    write("big.bin", content);
    // The connection breaks when the first block is offered: the file starts
    // again with an open on the next connection. (A break right after the
    // answer would race the data writes, which may all fit in the socket's
    // buffers before it shows; the pending close catches that case.)
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 1u << 20, 1)));
    peer.push(peer_step::close());
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 1u << 20, 1)));
    peer.push(offer_answer());
    run("big.bin", "/Dest/big.bin");
    wait_closes(peer);

    EXPECT_EQ(peer.connections(), 2);
    std::vector<open_seen> o = opens(peer);
    ASSERT_EQ(o.size(), 2u);
    // The second connection holds one whole transfer from its open.
    std::vector<peer_request> all = peer.requests();
    std::vector<write_seen> second;
    bool opened = false;
    for (const peer_request& r : all) {
        if (r.connection != 2) continue;
        if (r.type == TFS_FILE_WOPEN) opened = true;
        if (opened && r.type == TFS_FILE_WRITE)
            second.push_back(
                {r.payload[0], r.payload[1], bytes(r.payload.begin() + 4, r.payload.end())});
    }
    ASSERT_GE(second.size(), 3u);
    bytes cipher;
    for (const write_seen& w : second)
        if (w.type == BACKUP_WRITE_DATA) cipher.insert(cipher.end(), w.data.begin(), w.data.end());
    std::string plain;
    ASSERT_TRUE(open_block(key_, cipher, &plain));
    EXPECT_EQ(plain, content);
    EXPECT_EQ(report()->files_transferred, 1u);
    EXPECT_EQ(progress().items_sent, 1u);
    std::string log = job_log();
    EXPECT_NE(log.find("FILE: WARNING: Retrying file (1 of 20 attempts)\n"), std::string::npos);
    EXPECT_EQ(count_of(log, "FILE: Successfully backed up"), 1u);
}

TEST_P(BackupFile, TerminateEventStopsBeforeTheBlockData) {
    // The termination flag is never cleared, so the stop runs in a child.
    if (!can_restart_self()) GTEST_SKIP() << "a death test's child cannot start under the emulator";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            scripted_peer peer;
            use(peer);
            write("t.txt", "stop");
            peer.push(peer_step::answer(0, wopen_answer(4, 0, 4096, 1)));
            peer.push(offer_answer());
            signal_terminate();
            run("t.txt", "/Dest/t.txt");
            wait_closes(peer);
            std::string log = job_log();
            bool ok = log.find("User terminated the backup.\n") != std::string::npos &&
                      log.find("FILE: User terminated backup while processing '" + src("t.txt") +
                               "'\n") != std::string::npos &&
                      termination_flag() && writes(peer).size() == 1 &&
                      report()->files_transferred == 0 &&
                      // A stopped file is no failed item: the report does not list it.
                      progress().items_failed == 0;
            if (!ok) fprintf(stderr, "log:\n%s\n", log.c_str());
            fflush(stderr);
            progress_close(); // the named area and event outlive a process that does not close them
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {

// A job's change index in the fixture's folder: opened empty, finished with
// stamp 2, then read back to ask what the job recorded.
class ConfirmedCloses : public BackupFile {
  protected:
    void SetUp() override {
        BackupFile::SetUp();
        ASSERT_EQ(plat_get_cwd(saved_, sizeof saved_), 0);
        ASSERT_EQ(plat_set_cwd(dir_.string().c_str()), 0); // the index sorts below the cwd
        sched_ = (dir_ / "job.tbs").string();
        fci_open(&index_, sched_.c_str(), 1);
        ctx.index = &index_;
    }
    void TearDown() override {
        fci_release(&index_);
        ctx.index = nullptr;
        plat_set_cwd(saved_);
        BackupFile::TearDown();
    }
    // Ends the job as the driver does (the peer grants locks): the closes
    // settled, the new index finished, the release; an index whose last
    // closes the release did not confirm is withdrawn.
    void end_job() {
        backup_confirm_closes(&ctx);
        backup_settle_closes(&ctx);
        fci_finish(&index_, 2);
        ctfs_lock_request release{5, 0, nullptr};
        EXPECT_EQ(ctfs_user_lock(s, &release), 0);
        if (!backup_release_confirms(&ctx)) fci_withdraw(&index_);
    }
    bool recorded(const std::string& rel) {
        fci f{};
        if (fci_open(&f, sched_.c_str(), 2) != 0) return false;
        plat_file_info st = status_of(src(rel));
        bool found = false;
        fci_lookup(&f, src(rel).c_str(), static_cast<int32_t>(st.mtime), st.size, &found);
        fci_release(&f); // the index stays (as ".ro") for the next question
        return found;
    }

    void unread_close(uint16_t blocks);

    char saved_[4096];
    std::string sched_;
    fci index_{};
};

} // namespace

// A server that reads a small file's close and drops the connection before
// processing it never stored the file: the close is not confirmed, so the
// file is sent again on the new connection and counted once.
void ConfirmedCloses::unread_close(uint16_t blocks) {
    scripted_peer peer;
    use(peer);
    const std::string first = blocks ? "one.txt" : "empty.txt";
    write(first, blocks ? "1" : "");
    write("next.txt", "next");
    peer.grant_locks(true);
    peer.drop_after_close(1);
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, blocks)));
    if (blocks) peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 4096, 1))); // next.txt, connection 2
    peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(3, 0, 4096, blocks))); // first, again
    if (blocks) peer.push(offer_answer());
    run(first, "/Dest/" + first);
    run("next.txt", "/Dest/next.txt");
    end_job();

    std::vector<open_seen> o = opens(peer);
    ASSERT_EQ(o.size(), 3u);
    EXPECT_EQ(o[2].path, "/Dest/" + first);
    std::vector<peer_request> all = peer.requests();
    EXPECT_EQ(all.back().type, TFS_USER_LOCK);
    EXPECT_EQ(all.back().connection, 2);
    EXPECT_NE(job_log().find("FILE: WARNING: The server did not confirm the close of '" +
                             src(first) +
                             "' before the connection was lost; sending the file again.\n"),
              std::string::npos);
    EXPECT_EQ(report()->files_transferred, 2u);
    EXPECT_TRUE(recorded(first));
    EXPECT_TRUE(recorded("next.txt"));
}

TEST_P(ConfirmedCloses, UnreadCloseOfAnEmptyFileIsSentAgain) {
    unread_close(0);
}

TEST_P(ConfirmedCloses, UnreadCloseOfAOneBlockFileIsSentAgain) {
    unread_close(1);
}

// The last close of a job is confirmed only by the release's answer, which
// comes after the index is written; when the release had to reconnect, the
// new index is withdrawn, so that the next run checks the file (and every
// other) with the server. The report, sent before, is not touched.
TEST_P(ConfirmedCloses, LastCloseLostWithTheConnectionStaysOutOfTheIndex) {
    scripted_peer peer;
    use(peer);
    write("last.txt", "last");
    write("kept.txt", "kept");
    peer.grant_locks(true);
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, 1)));
    peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 4096, 1)));
    peer.push(offer_answer());
    run("kept.txt", "/Dest/kept.txt");
    wait_closes(peer, 1);
    peer.drop_after_close(1);
    run("last.txt", "/Dest/last.txt");
    wait_closes(peer, 2);
    end_job();

    EXPECT_EQ(peer.connections(), 2);
    EXPECT_FALSE(recorded("last.txt"));
    EXPECT_FALSE(recorded("kept.txt")); // the whole index is withdrawn
    EXPECT_NE(job_log().find("FILE: WARNING: The server did not confirm the close of '" +
                             src("last.txt") + "'; the next run checks the file again.\n"),
              std::string::npos);
    EXPECT_EQ(count_of(job_log(), "FILE: WARNING"), 1u);
    EXPECT_EQ(report()->files_transferred, 2u);
}

// The same job with the release answered on the connection that carried the
// last close: that answer confirms it, and the index stands with both files.
TEST_P(ConfirmedCloses, TheReleaseConfirmsTheLastClose) {
    scripted_peer peer;
    use(peer);
    write("last.txt", "last");
    write("kept.txt", "kept");
    peer.grant_locks(true);
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, 1)));
    peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 4096, 1)));
    peer.push(offer_answer());
    run("kept.txt", "/Dest/kept.txt");
    run("last.txt", "/Dest/last.txt");
    wait_closes(peer, 2);
    end_job();

    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(peer.requests().back().type, TFS_USER_LOCK);
    EXPECT_TRUE(recorded("kept.txt"));
    EXPECT_TRUE(recorded("last.txt"));
    EXPECT_EQ(count_of(job_log(), "FILE: WARNING"), 0u);
}

// A close is confirmed only by an answer the server sent after reading it.
// An answer that comes after its request gave up waiting was sent before
// whatever the agent sent after the time-out, and the sequence field cannot
// tell it from a later answer of the same type: the connection is dropped
// at the time-out, so it is never read. The close sent before it counts as
// lost with that connection, and its file is sent again.
TEST_P(ConfirmedCloses, AnAnswerThatCameTooLateConfirmsNoClose) {
    // One wait of four seconds: long for a peer that is only held back by a
    // busy machine, and the one that is silent on purpose costs no more.
    timing t = timing_get();
    t.recv_wait_ms = 4000;
    t.recv_wait_count = 1;
    timing_set_for_tests(t);
    scripted_peer peer;
    use(peer);
    write("first.txt", "1");
    write("second.txt", "2");
    peer.grant_locks(true);
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, 1))); // first.txt
    peer.push(offer_answer());
    peer.push(peer_step::late(0, wopen_answer(2, 0, 4096, 1)));   // second.txt: too late
    peer.push(peer_step::answer(0, wopen_answer(3, 0, 4096, 1))); // second.txt on connection 2
    peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(4, 0, 4096, 1))); // first.txt again
    peer.push(offer_answer());
    run("first.txt", "/Dest/first.txt");
    run("second.txt", "/Dest/second.txt");
    end_job();

    std::vector<open_seen> o = opens(peer);
    ASSERT_EQ(o.size(), 4u);
    EXPECT_EQ(o[1].path, "/Dest/second.txt");
    EXPECT_EQ(o[2].path, "/Dest/second.txt");
    EXPECT_EQ(o[3].path, "/Dest/first.txt");
    // After the time-out nothing more went over the first connection: its
    // last request is the open that was answered too late.
    std::vector<peer_request> all = peer.requests();
    size_t last_on_first = 0;
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].connection == 1) last_on_first = i;
    const std::vector<uint8_t>& late = all[last_on_first].payload;
    EXPECT_EQ(all[last_on_first].type, TFS_FILE_WOPEN);
    ASSERT_GE(late.size(), 7u + 16u);
    EXPECT_EQ(std::string(late.begin() + 7, late.begin() + 7 + 16), "/Dest/second.txt");
    for (size_t i = last_on_first + 1; i < all.size(); i++)
        EXPECT_EQ(all[i].connection, 2) << i;
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_NE(job_log().find("FILE: WARNING: The server did not confirm the close of '" +
                             src("first.txt") +
                             "' before the connection was lost; sending the file again.\n"),
              std::string::npos);
    EXPECT_EQ(report()->files_transferred, 2u);
    EXPECT_TRUE(recorded("first.txt"));
    EXPECT_TRUE(recorded("second.txt"));
}

INSTANTIATE_TEST_SUITE_P(Workers, BackupFile, ::testing::Values(1u, 3u));

INSTANTIATE_TEST_SUITE_P(Workers, ConfirmedCloses, ::testing::Values(1u, 3u));
