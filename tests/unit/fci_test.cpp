// The file change index across runs: files on disk in a temporary folder that
// is the current directory (the sort folder lives below it).
#include "backup/fci/fci.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Fci : public ::testing::Test {
  protected:
    fs::path dir;
    char saved_cwd[4096];
    std::unique_ptr<fci> f{new fci()};
    const char* sched = "job.tbs";

    void SetUp() override {
        ASSERT_EQ(0, plat_get_cwd(saved_cwd, sizeof saved_cwd));
        dir = fs::temp_directory_path() /
              ("tavni-fci-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(0, plat_set_cwd(dir.string().c_str()));
    }
    void TearDown() override {
        fci_release(f.get());
        plat_set_cwd(saved_cwd);
        fs::remove_all(dir);
    }
    std::vector<uint8_t> file_bytes(const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    void write_file(const char* name, const std::vector<uint8_t>& b) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    // One finished run that stores the given paths, leaving job.fci with stamp.
    void build_index(const std::vector<std::string>& paths, int32_t stamp, int32_t mtime = 1000) {
        fci_open(f.get(), sched, 0);
        for (const std::string& p : paths)
            ASSERT_EQ(0, fci_add(f.get(), p.c_str(), mtime, 77));
        fci_finish(f.get(), stamp);
    }
    bool hit(const char* path, int32_t mtime, int64_t size) {
        bool found = true;
        EXPECT_EQ(0, fci_lookup(f.get(), path, mtime, size, &found));
        return found;
    }
};

std::vector<uint8_t> header(uint32_t version, int32_t stamp) {
    std::vector<uint8_t> h(8);
    for (int i = 0; i < 4; i++) {
        h[i] = static_cast<uint8_t>(version >> (8 * i));
        h[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(stamp) >> (8 * i));
    }
    return h;
}

std::vector<std::string> many_paths(int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; i++)
        v.push_back("C:\\Data\\folder" + std::to_string(i % 97) + "\\file" + std::to_string(i) +
                    ".txt");
    return v;
}

} // namespace

TEST(FciFormat, RecordLayoutIsLittleEndian) {
    fci_record r = {};
    for (int i = 0; i < 20; i++)
        r.digest[i] = static_cast<uint8_t>(i);
    r.mtime = -2;
    r.size_low = 0x04030201;
    r.size_high = 0x08070605;
    uint8_t raw[32];
    fci_record_encode(&r, raw);
    EXPECT_EQ(19, raw[19]);
    EXPECT_EQ(0xFE, raw[20]);
    EXPECT_EQ(0xFF, raw[23]);
    EXPECT_EQ(0x01, raw[24]);
    EXPECT_EQ(0x08, raw[31]);
    fci_record back;
    fci_record_decode(raw, &back);
    EXPECT_EQ(0, memcmp(&r, &back, sizeof r));

    char out[64];
    ASSERT_TRUE(fci_path_for("dir/job.tbs", out, sizeof out));
    EXPECT_STREQ("dir/job.fci", out);
    ASSERT_TRUE(fci_path_for("my.dir/job", out, sizeof out));
    EXPECT_STREQ("my.dir/job.fci", out);
    EXPECT_FALSE(fci_path_for("a-long-schedule-name.tbs", out, 8));
}

TEST_F(Fci, FirstRunBuildsTheIndexTheNextUsesIt) {
    EXPECT_EQ(-1, fci_open(f.get(), sched, 100));
    EXPECT_STREQ("FCI invalid: unintialized", f->last_error);
    EXPECT_TRUE(f->invalid);
    EXPECT_TRUE(fs::is_directory(dir / "$FCISORT$"));
    EXPECT_FALSE(hit("C:\\a.txt", 1000, 77)); // invalid: every lookup misses
    ASSERT_EQ(0, fci_add(f.get(), "C:\\a.txt", 1000, 77));
    ASSERT_EQ(0, fci_add(f.get(), "C:\\b.txt", 2000, 5000000000LL));
    ASSERT_EQ(0, fci_add(f.get(), "C:\\four.bin", 3000, 1LL << 32)); // low half 0
    ASSERT_EQ(0, fci_add(f.get(), "/Today/x", 0, 0));
    fci_finish(f.get(), 100);
    fci_finish(f.get(), 100); // a second finish does nothing
    EXPECT_FALSE(fs::exists(dir / "$FCISORT$"));
    std::vector<uint8_t> b = file_bytes("job.fci");
    ASSERT_EQ(8u + 4 * 32, b.size());
    EXPECT_EQ(header(1, 100), std::vector<uint8_t>(b.begin(), b.begin() + 8));
    for (int i = 0; i < 3; i++)
        EXPECT_LT(memcmp(&b[8 + 32 * i], &b[8 + 32 * (i + 1)], 20), 0) << "sorted by digest";
    if (!plat_is_windows) {
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
                  fs::status(dir / "job.fci").permissions());
    }

    fci_release(f.get());
    ASSERT_EQ(0, fci_open(f.get(), sched, 100));
    EXPECT_FALSE(fs::exists(dir / "job.fci"));
    EXPECT_TRUE(fs::exists(dir / "job.fci.ro"));
    EXPECT_TRUE(hit("C:\\a.txt", 1000, 77));
    EXPECT_TRUE(hit("C:\\b.txt", 2000, 5000000000LL));
    EXPECT_FALSE(hit("C:\\b.txt", 2000, 5000000000LL + 1));
    // The size is kept whole: the same size less 4 GiB (what a 32-bit slip
    // would keep) is another size.
    EXPECT_FALSE(hit("C:\\b.txt", 2000, 5000000000LL - (1LL << 32)));
    EXPECT_TRUE(hit("/Today/x", 0, 0));
    EXPECT_FALSE(hit("C:\\c.txt", 0, 0));
    EXPECT_TRUE(hit("C:\\four.bin", 3000, 1LL << 32));
    EXPECT_FALSE(hit("C:\\four.bin", 3000, 0));
    EXPECT_FALSE(hit("C:\\four.bin", 3000, (1LL << 32) - 1));
}

TEST_F(Fci, OneHourEitherWayIsTheSameTimeAndCaseMatters) {
    build_index({"C:\\Data\\x.doc"}, 7, 1000000);
    ASSERT_EQ(0, fci_open(f.get(), sched, 7));
    EXPECT_TRUE(hit("C:\\Data\\x.doc", 1000000, 77));
    EXPECT_TRUE(hit("C:\\Data\\x.doc", 1000000 + 3600, 77));
    EXPECT_TRUE(hit("C:\\Data\\x.doc", 1000000 - 3600, 77));
    EXPECT_FALSE(hit("C:\\Data\\x.doc", 1000000 + 3601, 77));
    EXPECT_FALSE(hit("C:\\Data\\x.doc", 1000000 - 3601, 77));
    EXPECT_FALSE(hit("C:\\Data\\x.doc", 1000000, 78));
    EXPECT_FALSE(hit("c:\\data\\x.doc", 1000000, 77));
}

TEST_F(Fci, APathAddedTwiceGivesTwoAdjacentRecords) {
    fci_open(f.get(), sched, 0);
    fci_add(f.get(), "C:\\a", 10, 1);
    fci_add(f.get(), "C:\\z", 10, 1);
    fci_add(f.get(), "C:\\a", 20000, 2);
    fci_finish(f.get(), 9);
    std::vector<uint8_t> b = file_bytes("job.fci");
    ASSERT_EQ(8u + 3 * 32, b.size());
    int first = memcmp(&b[8], &b[40], 20) == 0 ? 0 : 1; // the pair starts at record 0 or 1
    EXPECT_EQ(0, memcmp(&b[8 + 32 * first], &b[8 + 32 * (first + 1)], 20));
    fci_release(f.get());
    ASSERT_EQ(0, fci_open(f.get(), sched, 9));
    EXPECT_TRUE(hit("C:\\a", 10, 1));
    EXPECT_TRUE(hit("C:\\a", 20000, 2));
    EXPECT_FALSE(hit("C:\\a", 20000, 1));
}

TEST_F(Fci, StampMismatchAndBadHeadersMakeItInvalid) {
    build_index({"C:\\a"}, 100);
    EXPECT_EQ(-1, fci_open(f.get(), sched, 101));
    EXPECT_STREQ("FCI invalid: out of sync: client(100) != server(101)", f->last_error);
    EXPECT_EQ(0, f->stamp);
    EXPECT_FALSE(fs::exists(dir / "job.fci.ro"));
    EXPECT_FALSE(hit("C:\\a", 1000, 77));
    fci_finish(f.get(), 0);

    struct Case {
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    std::vector<uint8_t> wrong_version = header(2, 5);
    wrong_version.resize(8 + 32);
    std::vector<uint8_t> ragged = header(1, 5);
    ragged.resize(8 + 33);
    const Case cases[] = {
        {{1, 0, 0}, "FCI invalid: reading header failed: "},
        {wrong_version, "FCI invalid: unknown version 2"},
        {ragged, "FCI invalid: record set of 33 bytes is not whole records"},
        {header(1, 5), "FCI invalid: empty record set"},
    };
    for (const Case& c : cases) {
        fci_release(f.get());
        write_file("job.fci", c.bytes);
        EXPECT_EQ(-1, fci_open(f.get(), sched, 5)) << c.reason;
        EXPECT_EQ(0, strncmp(c.reason, f->last_error, strlen(c.reason))) << f->last_error;
        EXPECT_TRUE(f->invalid);
        EXPECT_FALSE(hit("C:\\a", 1000, 77));
        fci_finish(f.get(), 0);
        fs::remove(dir / "job.fci.ro");
    }
}

TEST_F(Fci, HeaderOnlyIndexIsReplacedAtFinish) {
    write_file("job.fci", header(1, 5));
    EXPECT_EQ(-1, fci_open(f.get(), sched, 5));
    EXPECT_STREQ("FCI invalid: empty record set", f->last_error);
    EXPECT_TRUE(fs::exists(dir / "job.fci.ro"));
    fci_add(f.get(), "C:\\new", 1, 2);
    fci_finish(f.get(), 6);
    EXPECT_FALSE(fs::exists(dir / "job.fci.ro"));
    EXPECT_EQ(8u + 32, file_bytes("job.fci").size());
    fci_release(f.get());
    ASSERT_EQ(0, fci_open(f.get(), sched, 6));
    EXPECT_TRUE(hit("C:\\new", 1, 2));
}

TEST_F(Fci, UnfinishedRunLeavesTheReadOnlyFileForTheNext) {
    build_index({"C:\\keep"}, 50);
    ASSERT_EQ(0, fci_open(f.get(), sched, 50));
    fci_add(f.get(), "C:\\other", 1, 1);
    fci_release(f.get()); // the run ends without fci_finish
    EXPECT_TRUE(fs::exists(dir / "job.fci.ro"));
    EXPECT_FALSE(fs::exists(dir / "job.fci"));
    EXPECT_TRUE(fs::exists(dir / "$FCISORT$"));
    // A stray ".fci" beside the ".ro" is dropped; the ".ro" is used.
    write_file("job.fci", header(1, 999));
    ASSERT_EQ(0, fci_open(f.get(), sched, 50));
    EXPECT_FALSE(fs::exists(dir / "job.fci"));
    EXPECT_TRUE(hit("C:\\keep", 1000, 77));
    EXPECT_TRUE(fs::is_empty(dir / "$FCISORT$")); // the old sort files were cleared
    // Finishing with stamp 0 keeps the ".ro" too.
    fci_finish(f.get(), 0);
    EXPECT_TRUE(fs::exists(dir / "job.fci.ro"));
    EXPECT_FALSE(fs::exists(dir / "$FCISORT$"));
}

// Stamp 0 is no stamp: neither a server that vouches for nothing (or a
// changed schedule) nor a disowned index may make it valid.
TEST_F(Fci, StampZeroIsNeverValid) {
    write_file("job.fci", [] {
        std::vector<uint8_t> b = header(1, 0);
        b.resize(8 + 32);
        return b;
    }());
    EXPECT_EQ(-1, fci_open(f.get(), sched, 0));
    EXPECT_STREQ("FCI invalid: no stamp", f->last_error);
    EXPECT_FALSE(fs::exists(dir / "job.fci.ro"));
}

// Disowning clears the stamp of the ".ro" on disk at once, so that a run
// killed afterwards leaves nothing the next run trusts; this run's lookups
// go on.
TEST_F(Fci, DisownedIndexIsNotTrustedAfterAKill) {
    build_index({"C:\\keep"}, 50);
    ASSERT_EQ(0, fci_open(f.get(), sched, 50));
    EXPECT_EQ(0, fci_disown(f.get()));
    std::vector<uint8_t> ro = file_bytes("job.fci.ro");
    ro.resize(8);
    EXPECT_EQ(header(1, 0), ro);
    EXPECT_TRUE(hit("C:\\keep", 1000, 77));
    EXPECT_EQ(0, fci_disown(f.get())); // once per run
    fci_release(f.get());              // killed: no fci_finish
    EXPECT_EQ(-1, fci_open(f.get(), sched, 50));
    EXPECT_FALSE(hit("C:\\keep", 1000, 77));
    fci_release(f.get());

    // A finished run is not affected: its new index carries the new stamp.
    build_index({"C:\\keep"}, 60);
    ASSERT_EQ(0, fci_open(f.get(), sched, 60));
    fci_disown(f.get());
    fci_add(f.get(), "C:\\keep", 1000, 77);
    fci_finish(f.get(), 61);
    fci_release(f.get());
    ASSERT_EQ(0, fci_open(f.get(), sched, 61));
    EXPECT_TRUE(hit("C:\\keep", 1000, 77));
}

TEST_F(Fci, ManyPagesThroughASmallCache) {
    std::vector<std::string> paths = many_paths(20000); // 157 pages
    build_index(paths, 3);
    ASSERT_EQ(0, fci_open(f.get(), sched, 3));
    EXPECT_EQ(157u, f->page_count);
    f->cache_limit = 4;
    for (size_t i = 0; i < paths.size(); i += 7)
        EXPECT_TRUE(hit(paths[i].c_str(), 1000, 77)) << i;
    EXPECT_EQ(4u, fci_cache_pages(f.get()));
    for (size_t i = 0; i < 200; i++)
        EXPECT_FALSE(hit(("C:\\nope" + std::to_string(i)).c_str(), 1000, 77));
    // Repeating one lookup is served from the cache.
    uint64_t reads = f->page_reads;
    hit(paths[1].c_str(), 1000, 77);
    uint64_t after_first = f->page_reads;
    hit(paths[1].c_str(), 1000, 77);
    EXPECT_EQ(after_first, f->page_reads);
    EXPECT_LE(after_first - reads, 1u);
}

TEST_F(Fci, PageThatCannotBeReadInvalidatesTheRun) {
    std::vector<std::string> paths = many_paths(2000); // 16 pages
    build_index(paths, 3);
    ASSERT_EQ(0, fci_open(f.get(), sched, 3));
    fs::resize_file(dir / "job.fci.ro", 8 + 4096); // only page 0 is left
    int rc = 0;
    bool found = false;
    for (const std::string& p : paths) {
        rc = fci_lookup(f.get(), p.c_str(), 1000, 77, &found);
        if (rc != 0) break;
    }
    EXPECT_EQ(-1, rc);
    EXPECT_FALSE(found);
    EXPECT_TRUE(f->invalid);
    EXPECT_EQ(0, strncmp("FCI error: agent/backup/fci:553 - reading page_id ", f->last_error, 50))
        << f->last_error;
    EXPECT_EQ(0, fci_lookup(f.get(), paths[0].c_str(), 1000, 77, &found));
    EXPECT_FALSE(found);
    // The next index is still built.
    fci_add(f.get(), "C:\\after", 1, 1);
    fci_finish(f.get(), 4);
    EXPECT_EQ(8u + 32, file_bytes("job.fci").size());
}

TEST_F(Fci, SortFolderThatCannotBeMadeLeavesTheRunGoing) {
    write_file("$FCISORT$", {1}); // a file where the folder should be
    EXPECT_EQ(-1, fci_open(f.get(), sched, 1));
    EXPECT_EQ(-1, fci_add(f.get(), "C:\\a", 1, 1));
    EXPECT_EQ(0, strncmp("FCI error: opening sort file ", f->last_error, 29)) << f->last_error;
    bool found = true;
    EXPECT_EQ(0, fci_lookup(f.get(), "C:\\a", 1, 1, &found));
    EXPECT_FALSE(found);
    fci_finish(f.get(), 2);
    EXPECT_EQ(header(1, 2), file_bytes("job.fci"));
}

namespace {

std::vector<uint8_t> sha1_of(const std::string& s) {
    std::vector<uint8_t> d(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(s.data(), s.size(), d.data(), &len, EVP_sha1(), nullptr);
    d.resize(len);
    return d;
}

} // namespace

// Paths whose records open a page, close one, and end the index are found
// through a one-page cache that has to change pages at every lookup.
TEST_F(Fci, RecordsAtPageEdgesAreFoundThroughAOnePageCache) {
    std::vector<std::string> paths = many_paths(128 * 5 + 17); // 6 pages, the last one short
    build_index(paths, 5);
    std::vector<std::pair<std::vector<uint8_t>, std::string>> sorted;
    for (const std::string& p : paths)
        sorted.emplace_back(sha1_of(p), p);
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(0, fci_open(f.get(), sched, 5));
    ASSERT_EQ(6u, f->page_count);
    f->cache_limit = 1;
    std::vector<size_t> edges;
    for (size_t p = 0; p < 6; p++) {
        edges.push_back(p * 128);                  // the lead record
        edges.push_back(p * 128 + 1);              // the first one only the page holds
        if (p < 5) edges.push_back(p * 128 + 127); // the page's last
    }
    edges.push_back(sorted.size() - 1);
    for (int round = 0; round < 2; round++) {
        for (size_t i : edges) {
            const std::string& p = sorted[i].second;
            EXPECT_TRUE(hit(p.c_str(), 1000, 77)) << "record " << i;
            EXPECT_TRUE(hit(p.c_str(), 1000 + 3600, 77)) << "record " << i;
            EXPECT_FALSE(hit(p.c_str(), 1001, 77)) << "record " << i;
            EXPECT_FALSE(hit(p.c_str(), 1000, 78)) << "record " << i;
        }
    }
    EXPECT_EQ(1u, fci_cache_pages(f.get()));
    // Below the first lead and above the last record.
    for (int i = 0; i < 300; i++)
        EXPECT_FALSE(hit(("C:\\absent\\" + std::to_string(i)).c_str(), 1000, 77));
}

// A lookup and then an add of the same path digest it once; any other path,
// even one that starts like it, is digested afresh.
TEST_F(Fci, TheLastDigestServesOnlyTheSamePath) {
    build_index({"C:\\other"}, 8);
    ASSERT_EQ(0, fci_open(f.get(), sched, 8));
    bool found = true;
    ASSERT_EQ(0, fci_lookup(f.get(), "C:\\dir\\a", 10, 1, &found));
    const uint64_t after_lookup = f->digests;
    ASSERT_EQ(0, fci_add(f.get(), "C:\\dir\\a", 10, 1));
    EXPECT_EQ(after_lookup, f->digests);
    ASSERT_EQ(0, fci_lookup(f.get(), "C:\\dir\\ab", 20, 2, &found));
    ASSERT_EQ(0, fci_add(f.get(), "C:\\dir\\b", 30, 3)); // not the path looked up
    ASSERT_EQ(0, fci_add(f.get(), "C:\\dir\\ab", 20, 2));
    ASSERT_EQ(0, fci_add(f.get(), "C:\\dir\\", 40, 4)); // a prefix of the last
    fci_finish(f.get(), 9);
    ASSERT_EQ(0, fci_open(f.get(), sched, 9));
    EXPECT_TRUE(hit("C:\\dir\\a", 10, 1));
    EXPECT_TRUE(hit("C:\\dir\\b", 30, 3));
    EXPECT_TRUE(hit("C:\\dir\\ab", 20, 2));
    EXPECT_TRUE(hit("C:\\dir\\", 40, 4));
    EXPECT_FALSE(hit("C:\\dir\\b", 20, 2));
    std::vector<uint8_t> b = file_bytes("job.fci.ro");
    ASSERT_EQ(8u + 4 * 32, b.size());
    std::vector<std::vector<uint8_t>> stored;
    for (int i = 0; i < 4; i++)
        stored.emplace_back(b.begin() + 8 + 32 * i, b.begin() + 8 + 32 * i + 20);
    for (const char* p : {"C:\\dir\\a", "C:\\dir\\b", "C:\\dir\\ab", "C:\\dir\\"})
        EXPECT_NE(std::find(stored.begin(), stored.end(), sha1_of(p)), stored.end()) << p;
}
