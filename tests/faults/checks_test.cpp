// The sweeps are only as good as their checks: each check must flag the
// state it guards against and stay quiet on a sound one. The states here are
// made by hand on a real store; the point picker is checked for its promises.
#include "faults/fault_world.h"
#include "platform/server.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace faults {
namespace {

bool flags(const std::vector<violation>& found, int invariant, const std::string& file_end) {
    for (const violation& v : found)
        if (v.invariant == invariant && v.file.size() >= file_end.size() &&
            v.file.compare(v.file.size() - file_end.size(), file_end.size(), file_end) == 0)
            return true;
    return false;
}

std::string all(const std::vector<violation>& found) {
    std::string s;
    for (const violation& v : found)
        s += describe(v) + "\n";
    return s;
}

TEST(FaultChecks, FlagWhatTheyGuardAndPassASoundStore) {
    if (!PLAT_FAULT_COMPILED_IN) GTEST_SKIP() << "built without TAVNI_FAULT_INJECTION";
    world w("Checks");
    std::string why;
    ASSERT_TRUE(w.build(&why)) << why;
    const std::string completed = "x] Backup job completed normally.\n";

    // The snapshot is the store and tree of a clean backup: nothing to flag.
    w.restore_snapshot();
    std::vector<violation> found;
    w.check_run("sound", "", &found);
    w.check_trusted_index("sound", &found);
    run_outcome clean;
    clean.log = completed;
    w.check_settled("sound", clean, &found);
    EXPECT_TRUE(found.empty()) << all(found);

    // A file changed behind the index's back (same size and time): the run
    // that claims it backed up, the next run that would skip it, and the
    // restore all disagree with the server.
    const fs::path p1 = w.mirrored() / "pics" / "p1.bin";
    plat_file_info before;
    ASSERT_EQ(plat_file_status(p1.string().c_str(), &before), 0);
    {
        std::fstream f(p1.string(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(10);
        f.write("CHANGED", 7);
    }
    plat_set_file_mtime(p1.string().c_str(), before.mtime);
    found.clear();
    w.check_run("claim", "t] FILE: Successfully backed up '" + p1.string() + "'\n", &found);
    EXPECT_TRUE(flags(found, 1, "pics/p1.bin")) << all(found);
    found.clear();
    w.check_trusted_index("skip", &found);
    EXPECT_TRUE(flags(found, 3, "pics/p1.bin")) << all(found);
    found.clear();
    w.check_settled("restore", clean, &found);
    EXPECT_TRUE(flags(found, 3, "pics/p1.bin")) << all(found);

    // A mirrored delete of something that is still there.
    w.restore_snapshot();
    const fs::path one = w.mirrored() / "one.bin";
    found.clear();
    w.check_run("delete",
                "t] SYNC OBJECT: '/1/Today/Root" + one.string() +
                    "' is gone; deleting from server.\n",
                &found);
    EXPECT_TRUE(flags(found, 2, "m/one.bin")) << all(found);

    // A file only on the server, one only here, and a failed item.
    fs::rename(w.mirrored() / "a.txt", w.aside() / "a.txt");
    std::ofstream(w.mirrored() / "extra.txt") << "extra";
    run_outcome failed;
    failed.log = "t] FILE: ERROR Backing up 'x' (errno=5)\n" + completed;
    failed.files_failed = 1;
    found.clear();
    w.check_settled("settled", failed, &found);
    EXPECT_TRUE(flags(found, 3, "m/a.txt")) << all(found);
    EXPECT_TRUE(flags(found, 3, "m/extra.txt")) << all(found);
    bool failed_item = false;
    for (const violation& v : found)
        failed_item = failed_item || v.found.find("errno=5") != std::string::npos;
    EXPECT_TRUE(failed_item) << all(found);

    // A damaged block: verify finds it.
    w.restore_snapshot();
    fs::path block;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(w.store_dir() / "blocks"))
        if (e.is_regular_file() && e.path().parent_path().filename() != "tmp" &&
            fs::file_size(e.path()) > 64)
            block = e.path();
    ASSERT_FALSE(block.empty());
    {
        std::fstream f(block.string(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(32);
        f.write("\xff\xff\xff\xff", 4);
    }
    found.clear();
    w.check_run("damage", "", &found);
    bool damaged = false;
    for (const violation& v : found)
        damaged = damaged || v.found.find("DAMAGED") != std::string::npos;
    EXPECT_TRUE(damaged) << all(found);
}

TEST(FaultChecks, PointPickerKeepsItsPromises) {
    uint64_t counts[PLAT_FAULT_OPS] = {};
    uint64_t skip[PLAT_FAULT_OPS] = {};
    counts[PLAT_FAULT_STATUS] = 41;
    counts[PLAT_FAULT_OPEN] = 280;
    counts[PLAT_FAULT_RENAME] = 1;
    counts[PLAT_FAULT_SEND] = 64;
    skip[PLAT_FAULT_SEND] = 4;
    std::vector<plat_fault_op> ops;
    for (int i = 0; i < PLAT_FAULT_OPS; i++)
        ops.push_back(static_cast<plat_fault_op>(i));
    uint64_t total = 0;

    std::vector<fault_point> a = pick_points(counts, skip, ops, 20, false, false, true, &total);
    EXPECT_EQ(total, 41u + 280u + 1u + 60u);
    EXPECT_EQ(a.size(), 20u);
    std::set<std::string> seen;
    for (const fault_point& p : a) {
        EXPECT_TRUE(seen.insert(p.text()).second) << "twice: " << p.text();
        EXPECT_TRUE(p.in_server);
        EXPECT_EQ(p.plan.action, PLAT_FAULT_FAIL);
        EXPECT_EQ(p.plan.error, sweep_error(p.plan.op));
        EXPECT_GT(p.plan.nth, skip[p.plan.op]);
        EXPECT_LE(p.plan.nth, counts[p.plan.op]);
    }
    // First and last call of each operation; the rare one is not crowded out.
    for (const char* must : {"status:1:13", "status:41:13", "open:1:13", "open:280:13",
                             "rename:1:13", "send:5:104", "send:64:104"})
        EXPECT_TRUE(seen.count(must)) << must;
    // The same points every time.
    std::vector<fault_point> again = pick_points(counts, skip, ops, 20, false, false, true, &total);
    ASSERT_EQ(again.size(), a.size());
    for (size_t i = 0; i < a.size(); i++)
        EXPECT_EQ(a[i].text(), again[i].text());

    std::vector<fault_point> k = pick_points(counts, skip, ops, 20, true, true, false, &total);
    EXPECT_EQ(k.size(), 20u);
    size_t opens = 0;
    for (const fault_point& p : k) {
        EXPECT_EQ(p.plan.action, PLAT_FAULT_KILL);
        EXPECT_FALSE(p.in_server);
        opens += p.plan.op == PLAT_FAULT_OPEN;
    }
    EXPECT_GE(opens, 10u); // the busiest operation gets the most of a spread

    // A budget above the total takes every point.
    std::vector<fault_point> every =
        pick_points(counts, skip, {PLAT_FAULT_STATUS}, 100, false, false, false, &total);
    EXPECT_EQ(every.size(), 41u);
    EXPECT_EQ(total, 41u);
}

} // namespace
} // namespace faults
