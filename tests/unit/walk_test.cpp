// Tests of the folder walk against the scripted peer: a first run, the
// mirror listing with its one-hour rule and case-sensitive names, exclusions,
// links, folder filters, the change index, and the mirror deletions that an
// interrupted listing or an over-long path must not make.
#include "support/backup_fixture.h"

#include "backup/block_pool.h"

#include "backup/fci/fci.h"
#include "backup/filters.h"
#include "backup/schedule/filter_value.h"
#include "backup/job.h"
#include "backup/schedule/schedule.h"
#include "protocol/remote.h"

using namespace backup_test;

namespace {

const char kRemote[] = "/Dest/src";

// Every case runs with the blocks done by the backup thread (1) and by a
// pool of workers (3): what the peer sees must not differ.
class Walk : public backup_fixture, public ::testing::WithParamInterface<uint32_t> {
  protected:
    void SetUp() override {
        backup_fixture::SetUp();
        if (GetParam() > 1) {
            ctx.pool = block_pool_new(GetParam(), key_);
            ASSERT_NE(ctx.pool, nullptr);
        }
    }
    int walk(const std::string& local, const std::string& remote = kRemote,
             const folder_filter* filter = nullptr) {
        return walk_folder(&ctx, local.c_str(), remote.c_str(), filter);
    }
    void mirror(const std::string& local) { blob_list_append_text(sync_, local.c_str()); }
    uint32_t mtime_of(const std::string& rel) {
        return static_cast<uint32_t>(status_of(src(rel)).mtime);
    }
    // The answers that send a small file: its open (one block) and the
    // offer of that block; the data, checksum and close go unanswered.
    static void one_block(scripted_peer& peer, uint8_t handle) {
        peer.push(peer_step::answer(0, wopen_answer(handle, 0, 4096, 1)));
        peer.push(offer_answer());
    }
    static std::string remote(const std::string& rel) { return std::string(kRemote) + "/" + rel; }
    static std::vector<std::string> open_paths(const scripted_peer& peer) {
        std::vector<std::string> out;
        for (const open_seen& o : opens(peer))
            out.push_back(o.path);
        return out;
    }
    // Waits until the peer has seen every request of the walk (the last
    // ones may be file closes, which get no answer).
    static void settle(const scripted_peer& peer) {
        size_t n = 0;
        for (int i = 0; i < 40 && (n == 0 || peer.requests().size() != n); i++) {
            n = peer.requests().size();
            plat_sleep_ms(10);
        }
    }
};

typedef std::vector<std::string> names;

} // namespace

TEST_P(Walk, FirstRunSendsEveryFileAndMakesEveryFolder) {
    scripted_peer peer;
    use(peer);
    write("a.txt", "alpha");
    write("b/c.txt", "charlie");
    write("z.txt", "");
    peer.push(peer_step::answer(0)); // folder src
    peer.push(peer_step::answer(0, wopen_answer(1, 0, 4096, 1)));
    peer.push(offer_answer());
    peer.push(peer_step::answer(ERR_EXISTS)); // folder b: already there is fine
    peer.push(peer_step::answer(0, wopen_answer(2, 0, 4096, 1)));
    peer.push(offer_answer());
    peer.push(peer_step::answer(0, wopen_answer(3, 0, 4096, 0))); // empty: no blocks
    EXPECT_EQ(walk(src()), 0);
    wait_closes(peer, 3);

    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{kRemote, remote("b")}));
    EXPECT_EQ(open_paths(peer), (names{remote("a.txt"), remote("b/c.txt"), remote("z.txt")}));
    EXPECT_EQ(blocks_sent(peer), (names{"alpha", "charlie"}));
    EXPECT_TRUE(of_type(peer, TFS_FIND_FILES).empty()); // not mirrored
    EXPECT_EQ(report()->files_transferred, 3u);
    EXPECT_EQ(progress().items_sent, 3u);
    EXPECT_EQ(job_log().find("SYNC: "), std::string::npos);
}

TEST_P(Walk, ServerListingShowsFilesCurrentWithinTheHourRule) {
    scripted_peer peer;
    use(peer);
    for (const char* n : {"eq", "plus", "minus", "m3599", "p3601", "size"})
        write(n, "0123456789");
    mirror(src());
    peer.push(peer_step::answer(0));
    // The listing comes in two pieces; the second is asked for by cursor.
    peer.push(peer_step::answer(0, listing_answer({{"eq", mtime_of("eq"), 10},
                                                   {"plus", mtime_of("plus") + 3600, 10},
                                                   {"minus", mtime_of("minus") - 3600, 10}},
                                                  4, 9)));
    peer.push(peer_step::answer(0, listing_answer({{"m3599", mtime_of("m3599") - 3599, 10},
                                                   {"p3601", mtime_of("p3601") + 3601, 10},
                                                   {"size", mtime_of("size"), 11},
                                                   {"gone", 5, 1}})));
    one_block(peer, 1); // m3599
    one_block(peer, 2); // p3601
    one_block(peer, 3); // size
    EXPECT_EQ(walk(src()), 0);
    settle(peer);

    std::vector<peer_request> finds = of_type(peer, TFS_FIND_FILES);
    ASSERT_EQ(finds.size(), 2u);
    // cursor, flags, filter (8-bit length), path (16-bit length)
    bytes first{0, 0x20, 0, 0, static_cast<uint8_t>(strlen(kRemote))};
    first.insert(first.end(), kRemote, kRemote + strlen(kRemote));
    EXPECT_EQ(finds[0].payload, first);
    EXPECT_EQ(finds[1].payload, (bytes{9, 0x20, 0, 0, 0}));

    EXPECT_EQ(open_paths(peer), (names{remote("m3599"), remote("p3601"), remote("size")}));
    EXPECT_EQ(paths(peer, TFS_DELETE), (names{"0:" + remote("gone"), "1:" + remote("gone")}));
    EXPECT_EQ(report()->files_up_to_date, 3u);
    EXPECT_EQ(report()->files_transferred, 3u);
    EXPECT_EQ(progress().items_current, 3u);
    std::string log = job_log();
    EXPECT_NE(log.find("PRESYNC: Added 'eq' to list of files in folder '" + src() + "'\n"),
              std::string::npos);
    EXPECT_NE(log.find("SYNC: Synchronizing '" + src() + "'\n"), std::string::npos);
    EXPECT_NE(log.find("SYNC OBJECT: '" + remote("gone") + "' is gone; deleting from server.\n"),
              std::string::npos);

    EXPECT_TRUE(walk_entry_current(1000, 5, 1000, 5));
    EXPECT_TRUE(walk_entry_current(4600, 5, 1000, 5));
    EXPECT_TRUE(walk_entry_current(1000, 5, 4600, 5));
    EXPECT_FALSE(walk_entry_current(4599, 5, 1000, 5));
    EXPECT_FALSE(walk_entry_current(1000, 5, 4601, 5));
    EXPECT_FALSE(walk_entry_current(1000, 0x100000005ull, 1000, 5)); // 64-bit sizes
}

TEST_P(Walk, RefusedFolderOrListingLimitsWhatTheWalkDoes) {
    scripted_peer peer;
    use(peer);
    write("kept/k.txt", "k");
    write("refused/r.txt", "r");
    mirror(src());
    peer.push(peer_step::answer(0));          // src
    peer.push(peer_step::answer(ERR_NOTDIR)); // the listing: no mirroring this run
    peer.push(peer_step::answer(0));          // kept (mirrored too, as below src)
    peer.push(peer_step::answer(ERR_NOTDIR)); // its listing
    one_block(peer, 1);                       // kept/k.txt
    peer.push(peer_step::answer(ERR_ACCESS)); // refused: its files are not sent
    EXPECT_EQ(walk(src()), 0);
    settle(peer);
    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{kRemote, remote("kept"), remote("refused")}));
    EXPECT_EQ(open_paths(peer), (names{remote("kept/k.txt")}));
    EXPECT_TRUE(of_type(peer, TFS_DELETE).empty());
    EXPECT_EQ(report()->files_failed, 1u);
    EXPECT_NE(report_errors().find(remote("refused")), std::string::npos);
    EXPECT_NE(job_log().find("SYNC: Synchronizing '" + src() + "'\n"), std::string::npos);
}

TEST_P(Walk, FolderWhoseAnswerIsLostWithTheConnectionIsMadeOnTheNext) {
    scripted_peer peer;
    use(peer);
    write("b/c.txt", "charlie");
    peer.push(peer_step::answer(0)); // src
    peer.push(peer_step::close());   // b: the server goes away before it answers
    peer.push(peer_step::answer(0)); // b, on the next connection
    one_block(peer, 1);              // b/c.txt
    EXPECT_EQ(walk(src()), 0);
    wait_closes(peer, 1);
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{kRemote, remote("b"), remote("b")}));
    EXPECT_EQ(open_paths(peer), (names{remote("b/c.txt")}));
    EXPECT_EQ(report()->files_failed, 0u);
    EXPECT_NE(job_log().find("DIRECTORY: WARNING: The connection to the server was lost while "
                             "making '" +
                             src("b") + "'; retrying (1 of 20 attempts)\n"),
              std::string::npos);
}

TEST_P(Walk, NamesDifferingInCaseAreSentAndTheOtherCaseDeleted) {
    scripted_peer peer;
    use(peer);
    write("Report.txt", "r");
    mirror(src());
    peer.push(peer_step::answer(0));
    peer.push(peer_step::answer(0, listing_answer({{"report.txt", mtime_of("Report.txt"), 1}})));
    one_block(peer, 1);
    walk(src());
    settle(peer);
    EXPECT_EQ(open_paths(peer), (names{remote("Report.txt")}));
    EXPECT_EQ(paths(peer, TFS_DELETE),
              (names{"0:" + remote("report.txt"), "1:" + remote("report.txt")}));
}

TEST_P(Walk, ExcludedFoldersStayAndLinksAreNeitherFollowedNorKept) {
    if (plat_is_windows) GTEST_SKIP() << "symbolic links need a privilege on Windows";
    scripted_peer peer;
    use(peer);
    write("skip/inner.txt", "x");
    fs::create_directories(dir_ / "outside");
    std::ofstream(dir_ / "outside" / "o.txt") << "o";
    fs::create_directory_symlink(dir_ / "outside", dir_ / "src" / "link");
    // A pipe is passed over, not opened (which would wait for a writer).
    ASSERT_EQ(0, std::system(("mkfifo '" + src("pipe") + "'").c_str()));
    blob_list_append_text(excluded_, src("skip").c_str());
    mirror(src());
    peer.push(peer_step::answer(0));
    peer.push(peer_step::answer(
        0, listing_answer({{"skip", 0, 0, 1}, {"link", 0, 0, 1}, {"old.txt", 7, 3}})));
    walk(src());
    settle(peer);

    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{kRemote}));
    EXPECT_TRUE(opens(peer).empty());
    EXPECT_EQ(paths(peer, TFS_DELETE), (names{"0:" + remote("link"), "1:" + remote("link"),
                                              "0:" + remote("old.txt"), "1:" + remote("old.txt")}));
    EXPECT_NE(job_log().find("Ignoring '" + src("link") + "' as it is a reparse point.\n"),
              std::string::npos);
}

TEST_P(Walk, FoldersWithTheirOwnFilterAreLeftToThatFilter) {
    scripted_peer peer;
    use(peer);
    write("plain.txt", "p");
    write("filtered/x.txt", "x");
    parse_filter_value((src() + "|0|*.txt").c_str(), filters_);
    parse_filter_value((src("filtered") + "|0|*.txt").c_str(), filters_);
    schedule_sort_filters(filters_);

    // A plain walk of a folder that has a filter does nothing at all...
    EXPECT_EQ(walk(src()), 0);
    EXPECT_TRUE(peer.requests().empty());

    // ...and the walk under the root's filter leaves the inner filtered folder
    // to its own filter; filtered files make their "/Today/" parents.
    const folder_filter* root = find_folder_filter(filters_, src().c_str());
    ASSERT_NE(root, nullptr);
    peer.push(peer_step::answer(0)); // /Dest/Today/src
    one_block(peer, 1);
    EXPECT_EQ(walk(src(), "/Dest/Today/src", root), 0);
    settle(peer);
    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{"/Dest/Today/src"}));
    EXPECT_EQ(open_paths(peer), (names{"/Dest/Today/src/plain.txt"}));
    EXPECT_NE(job_log().find("Ignoring: '" + src("filtered") + "' (filter)\n"), std::string::npos);
}

TEST_P(Walk, FoldersAndFilesTheIndexKnowsAreNotAskedForAgain) {
    char saved[4096];
    ASSERT_EQ(plat_get_cwd(saved, sizeof saved), 0);
    ASSERT_EQ(plat_set_cwd(dir_.string().c_str()), 0); // the index sorts below the cwd
    const std::string sched = (dir_ / "job.tbs").string();
    {
        fci f{};
        fci_open(&f, sched.c_str(), 100);
        fci_add(&f, src().c_str(), 0, 0);
        fci_finish(&f, 100);
    }
    scripted_peer peer;
    use(peer);
    write("sub/k.txt", "k");
    write("top.txt", "t");
    fci g{};
    ASSERT_EQ(fci_open(&g, sched.c_str(), 100), 0);
    ctx.index = &g;
    peer.push(peer_step::answer(0)); // sub only: src is known
    one_block(peer, 1);
    one_block(peer, 2);
    walk(src());
    wait_closes(peer, 2);
    EXPECT_EQ(paths(peer, TFS_MKDIR), (names{remote("sub")}));
    // The job's last request (the lock release) confirms the last close.
    peer.push(peer_step::answer(0));
    ctfs_lock_request release{5, 0, nullptr};
    EXPECT_EQ(ctfs_user_lock(s, &release), 0);
    backup_settle_closes(&ctx);
    fci_finish(&g, 200);

    // The next run finds every folder and file in the index it wrote.
    fci h{};
    ASSERT_EQ(fci_open(&h, sched.c_str(), 200), 0);
    ctx.index = &h;
    const size_t before = peer.requests().size();
    walk(src());
    EXPECT_EQ(peer.requests().size(), before);
    EXPECT_NE(job_log().find("FILE: Current; Not backing up: '" + src("top.txt") + "'\n"),
              std::string::npos);
    EXPECT_EQ(report()->files_up_to_date, 2u);
    fci_release(&h);
    ctx.index = nullptr;
    plat_set_cwd(saved);
}

TEST_P(Walk, OverLongPathsAreSkippedAndKeptOnTheServer) {
    if (plat_is_windows) GTEST_SKIP() << "the folders would pass the 260-character limit";
    scripted_peer peer;
    use(peer);
    std::string deep;
    for (int i = 0; i < 4; i++)
        deep += (deep.empty() ? "" : "/") + std::string(200, static_cast<char>('d' + i));
    mkdir(deep);
    const std::string local = src(deep);
    const std::string long_name(1024 - local.size() - 2, 'n'); // reaches 1024 exactly
    ASSERT_LT(long_name.size(), 256u);
    std::ofstream(local + "/" + long_name) << "long";
    mirror(local);
    peer.push(peer_step::answer(0));
    peer.push(peer_step::answer(0, listing_answer({{long_name, 1, 4}, {"gone", 1, 1}})));
    walk(local, "/Dest/deep");
    settle(peer);
    EXPECT_TRUE(opens(peer).empty());
    EXPECT_EQ(paths(peer, TFS_DELETE), (names{"0:/Dest/deep/gone", "1:/Dest/deep/gone"}));
}

TEST_P(Walk, ListingCutShortByTheUserDeletesNothing) {
    // The termination flag is never cleared, so the stop runs in a child.
    if (!can_restart_self()) GTEST_SKIP() << "a death test's child cannot start under the emulator";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            scripted_peer peer;
            use(peer);
            write("a", "a");
            write("b", "b");
            write("c", "c");
            mirror(src());
            peer.push(peer_step::answer(0));
            peer.push(peer_step::answer(0, listing_answer({{"a", mtime_of("a"), 1},
                                                           {"b", 1, 1},
                                                           {"c", mtime_of("c"), 1},
                                                           {"gone", 1, 1}})));
            signal_terminate();
            int rc = walk(src());
            settle(peer);
            std::string log = job_log();
            const bool ok =
                rc == 0 && termination_flag() && of_type(peer, TFS_DELETE).empty() &&
                opens(peer).empty() && report()->files_up_to_date == 1 &&
                log.find("User terminated backup.\n") != std::string::npos &&
                log.find("SYNC: Listing of '" + src() +
                         "' did not complete; NOT deleting from server.\n") != std::string::npos &&
                walk(src()) == 0 && of_type(peer, TFS_MKDIR).size() == 1; // later walks return
            if (!ok) fprintf(stderr, "log:\n%s\n", log.c_str());
            fflush(stderr);
            progress_close(); // the named area and event outlive a process that does not close them
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A server that names an entry twice (overlapping pages, or a faulty
// server): every copy of a name that exists locally is accounted for, so
// the mirror deletes only the name that is really gone.
TEST_P(Walk, NameListedTwiceIsNotDeletedWhileItExists) {
    scripted_peer peer;
    use(peer);
    write("same.txt", "s");
    mirror(src());
    peer.push(peer_step::answer(0)); // src
    peer.push(peer_step::answer(
        0, listing_answer({{"same.txt", mtime_of("same.txt"), 1}, {"gone.txt", 1, 1}}, 2, 5)));
    peer.push(peer_step::answer(
        0, listing_answer({{"same.txt", mtime_of("same.txt"), 1}, {"same.txt", 9, 9}})));
    EXPECT_EQ(walk(src()), 0);
    settle(peer);
    EXPECT_TRUE(opens(peer).empty()); // current by the listing
    EXPECT_EQ(paths(peer, TFS_DELETE),
              (names{"0:" + remote("gone.txt"), "1:" + remote("gone.txt")}));
}

// A server that keeps sending pages is followed only up to the limit; the
// folder is then a failed item, its files are still sent, and nothing of it
// is deleted.
TEST_P(Walk, EndlessListingIsRefusedAndDeletesNothing) {
    scripted_peer peer;
    use(peer);
    write("kept.txt", "k");
    mirror(src());
    ctx.listing_limit = 5;
    peer.push(peer_step::answer(0)); // src
    for (int page = 0; page < 2; page++)
        peer.push(peer_step::answer(0, listing_answer({{"x" + std::to_string(page) + "a", 1, 1},
                                                       {"x" + std::to_string(page) + "b", 1, 1},
                                                       {"x" + std::to_string(page) + "c", 1, 1}},
                                                      1000000, 7)));
    one_block(peer, 1); // kept.txt
    EXPECT_EQ(walk(src()), 0);
    wait_closes(peer, 1);
    EXPECT_EQ(of_type(peer, TFS_FIND_FILES).size(), 2u);
    EXPECT_TRUE(of_type(peer, TFS_DELETE).empty());
    EXPECT_EQ(open_paths(peer), (names{remote("kept.txt")}));
    EXPECT_EQ(report()->files_failed, 1u);
    EXPECT_NE(report_errors().find(src()), std::string::npos);
    EXPECT_NE(job_log().find("PRESYNC: ERROR: The server listed more than 5 entries for folder '" +
                             src() + "'; NOT synchronizing it.\n"),
              std::string::npos);
}

// Once a run deletes on the server, the previous index must not be trusted
// again, even when the run is killed before it writes the next one: the
// next run (which reuses the ".ro" of an unfinished run) finds it invalid.
TEST_P(Walk, DeletingOnTheServerDisownsThePreviousIndex) {
    char saved[4096];
    ASSERT_EQ(plat_get_cwd(saved, sizeof saved), 0);
    ASSERT_EQ(plat_set_cwd(dir_.string().c_str()), 0); // the index sorts below the cwd
    const std::string sched = (dir_ / "job.tbs").string();
    write("kept.txt", "k");
    {
        fci f{};
        fci_open(&f, sched.c_str(), 100);
        fci_add(&f, src().c_str(), 0, 0);
        fci_add(&f, src("kept.txt").c_str(), static_cast<int32_t>(mtime_of("kept.txt")), 1);
        fci_add(&f, src("moved.txt").c_str(), 1000, 1);
        fci_finish(&f, 100);
    }
    scripted_peer peer;
    use(peer);
    mirror(src());
    fci g{};
    ASSERT_EQ(fci_open(&g, sched.c_str(), 100), 0);
    ctx.index = &g;
    peer.push(peer_step::answer(
        0, listing_answer({{"kept.txt", mtime_of("kept.txt"), 1}, {"moved.txt", 1000, 1}})));
    EXPECT_EQ(walk(src()), 0);
    settle(peer);
    EXPECT_EQ(paths(peer, TFS_DELETE),
              (names{"0:" + remote("moved.txt"), "1:" + remote("moved.txt")}));
    fci_release(&g); // the run is killed here: no next index
    ctx.index = nullptr;

    fci h{};
    EXPECT_NE(fci_open(&h, sched.c_str(), 100), 0);
    fci_release(&h);

    // A run that changes nothing keeps the previous index for the next one.
    {
        fci f{};
        fci_open(&f, sched.c_str(), 100);
        fci_add(&f, src().c_str(), 0, 0);
        fci_add(&f, src("kept.txt").c_str(), static_cast<int32_t>(mtime_of("kept.txt")), 1);
        fci_finish(&f, 200);
    }
    fci k{};
    ASSERT_EQ(fci_open(&k, sched.c_str(), 200), 0);
    ctx.index = &k;
    walk(src()); // the listing (default answer) is empty: nothing to delete
    settle(peer);
    fci_release(&k);
    ctx.index = nullptr;
    fci m{};
    EXPECT_EQ(fci_open(&m, sched.c_str(), 200), 0);
    fci_release(&m);
    plat_set_cwd(saved);
}

INSTANTIATE_TEST_SUITE_P(Workers, Walk, ::testing::Values(1u, 3u));
