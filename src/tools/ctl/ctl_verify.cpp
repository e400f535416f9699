// ctl_verify.cpp - tavni-ctl verify: the user's stored files checked from
// this machine. Every file of the tree (now, or of a run or a time) must
// have its whole block list; with --read-data every block (or the share
// --subset N/M of them, chosen by digest) is read, checked against its
// digest, decrypted, inflated and checked against its MD5, and damage is
// named by file and block.
//
// Exit codes: 0 nothing damaged; 1 the check could not run (options,
// log-in, listing); 2 damage found.
#include "tools/ctl/commands.h"
#include "tools/ctl/ctl_fetch.h"
#include "tools/ctl/ctl_key.h"
#include "tools/ctl/ctl_reader.h"
#include "tools/ctl/ctl_restore_writer.h"
#include "tools/ctl/ctl_tree.h"

#include "common/text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

namespace {

struct verify_options {
    ctl_read_options read;
    ctl_point_options point;
    bool read_data = false;
    std::string subset;
};

// "N/M" with 1 <= N <= M; false otherwise.
bool parse_subset(const std::string& text, uint32_t* n, uint32_t* m) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= text.size() ||
        text.find_first_not_of("0123456789/") != std::string::npos || text.size() > 21)
        return false;
    const unsigned long long a = std::strtoull(text.substr(0, slash).c_str(), nullptr, 10);
    const unsigned long long b = std::strtoull(text.substr(slash + 1).c_str(), nullptr, 10);
    if (a < 1 || b < 1 || a > b || b > 0xffffffffULL) return false;
    *n = static_cast<uint32_t>(a);
    *m = static_cast<uint32_t>(b);
    return true;
}

// Whether a block falls in share n of m: by the first bytes of its digest,
// so that the shares 1/m .. m/m together cover every block once.
bool in_share(const read_block_ref& b, uint32_t n, uint32_t m) {
    const uint32_t v = static_cast<uint32_t>(b.digest[0]) << 24 |
                       static_cast<uint32_t>(b.digest[1]) << 16 |
                       static_cast<uint32_t>(b.digest[2]) << 8 | b.digest[3];
    return v % m == n - 1;
}

int do_verify(const verify_options& o) {
    ctl_point p;
    if (ctl_point_from(o.point, &p) != 0) return 1;
    uint32_t share = 1, shares = 1;
    if (!o.subset.empty() && !parse_subset(o.subset, &share, &shares))
        return ctl_fail("--subset '" + o.subset + "' is not N/M with 1 <= N <= M");
    ctl_reader r;
    if (ctl_read_open(o.read, &r) != 0) return 1;
    std::unique_ptr<decode_pool, void (*)(decode_pool*)> pool(
        decode_pool_new(decode_pool_default_workers(), r.key), decode_pool_free);
    const restore_source src = ctl_server_source(r.s);
    std::vector<std::string> files;
    tfs_result rc = ctl_walk(r.s, p, "", 0, [&](const std::string& path, const read_entry& e) {
        if (!(e.flags & READ_ENTRY_FOLDER)) files.push_back(path);
        return true;
    });
    if (rc == ERR_READ_NO_RUN)
        return ctl_fail("no run " + std::to_string(p.run) + " (tavni-ctl snapshots lists them)");
    if (rc != ERR_NONE) return ctl_read_fail("cannot list the files", rc);
    std::set<std::string> good; // digests already found whole
    unsigned long damaged_files = 0;
    uint64_t blocks = 0, stored = 0;
    for (const std::string& path : files) {
        read_blocks_page v;
        rc = read_block_list(r.s, p.run, p.at, path, &v);
        if (rc != ERR_NONE) {
            fprintf(stderr, "tavni-ctl: /%s: cannot list its blocks: %s\n", path.c_str(),
                    read_err_text(rc));
            damaged_files++;
            continue;
        }
        read_blocks_page todo = v;
        if (o.read_data) {
            // Only the blocks of the share not yet found whole are read; the
            // block count is checked on the whole list first.
            std::vector<restore_fault> faults;
            if (v.blocks.size() != (v.block_size ? (v.size + v.block_size - 1) / v.block_size : 0)) {
                fprintf(stderr, "tavni-ctl: /%s: DAMAGED: block count %zu for %llu bytes\n",
                        path.c_str(), v.blocks.size(), static_cast<unsigned long long>(v.size));
                damaged_files++;
                continue;
            }
            bool bad = false;
            for (size_t i = 0; i < v.blocks.size(); i++) {
                const read_block_ref& b = v.blocks[i];
                const std::string key = hex_lower(b.digest, 32);
                if (!in_share(b, share, shares) || good.count(key)) continue;
                // One block at a time through the shared path, as a file of
                // its own of that block's size.
                read_blocks_page one = v;
                one.blocks.assign(1, b);
                one.size = b.plain;
                one.block_size = b.plain ? b.plain : v.block_size;
                one.total = 1;
                blocks++;
                stored += b.stored;
                if (restore_decode_version(one, src, pool.get(), true, nullptr, &faults)) {
                    good.insert(key);
                    continue;
                }
                restore_fault f = faults.front();
                f.block = static_cast<int64_t>(i);
                fprintf(stderr, "tavni-ctl: /%s: DAMAGED: %s\n", path.c_str(),
                        restore_fault_text(v, f).c_str());
                bad = true;
            }
            if (bad) damaged_files++;
        } else if (v.damaged) {
            fprintf(stderr, "tavni-ctl: /%s: marked damaged by the server's verify\n", path.c_str());
            damaged_files++;
        }
    }
    printf("checked %zu files%s: %llu blocks read (%llu bytes stored), %lu damaged\n",
           files.size(), shares > 1 ? (" (share " + o.subset + ")").c_str() : "",
           static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(stored),
           damaged_files);
    return damaged_files ? 2 : 0;
}

} // namespace

void register_verify_command(CLI::App& app) {
    auto o = std::make_shared<verify_options>();
    CLI::App* cmd = app.add_subcommand(
        "verify", "check the stored files from this machine (with --read-data, every block)");
    ctl_read_add_options(cmd, &o->read);
    ctl_point_add_options(cmd, &o->point);
    cmd->add_flag("--read-data", o->read_data,
                  "read, decrypt and check every block (without it, only the block lists)");
    cmd->add_option("--subset", o->subset,
                    "with --read-data, only share N of M of the blocks (by digest): N/M");
    cmd->footer("Exit codes: 0 nothing damaged; 1 the check could not run; 2 damage found "
                "(each damaged file and block named on standard error).");
    cmd->callback([o] {
        const int rc = do_verify(*o);
        fflush(stdout);
        if (rc != 0) std::exit(rc);
    });
}
