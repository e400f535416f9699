// Fuzz: a pack file as it may lie on a damaged disk. The input is the whole
// file. A scan must account for every byte after the header, each whole
// record must read back, and opening for appending must either refuse or
// leave a pack that scans clean to its end. Runs in a private temporary folder.
#include "tools/server/pack_file.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

std::string pack_path;

void remove_work_folder() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(pack_path).parent_path(), ec);
}

bool make_work_folder() {
    if (!pack_path.empty()) return true;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::temp_directory_path(ec) /
                              ("tavni-fuzz-pack-" + std::to_string(std::random_device()()));
    if (!std::filesystem::create_directories(p, ec)) return false;
    pack_path = (p / "p.pack").string();
    atexit(remove_work_folder);
    return true;
}

struct seen {
    uint64_t next = PACK_HEADER_SIZE; // where the next report must start
    std::vector<pack_record_info> whole;
};

void on_record(void* ctx, const pack_record_info& r) {
    seen* s = static_cast<seen*>(ctx);
    if (r.offset != s->next || r.extent == 0) abort();
    s->next = r.offset + r.extent;
    if (r.whole) s->whole.push_back(r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!make_work_folder() || size > (64u << 20)) return 0;
    plat_unlink(pack_path.c_str());
    plat_file out = plat_file_create(pack_path.c_str(), true);
    if (out == PLAT_NO_FILE) return 0;
    plat_file_write(out, data, static_cast<uint32_t>(size));
    plat_file_close(out);

    seen s;
    pack_scan_summary sum;
    if (pack_scan(pack_path, on_record, &s, &sum) == PACK_OK) {
        const uint64_t end = size > PACK_HEADER_SIZE ? size : uint64_t{PACK_HEADER_SIZE};
        if (s.next != end) abort();
        if (s.whole.size() != sum.records) abort();
        plat_file f = plat_file_open_read(pack_path.c_str());
        std::vector<uint8_t> block;
        for (const pack_record_info& r : s.whole) {
            // Whole by its CRC; the digest may still not be the data's.
            int rc = pack_read(f, r.offset, r.length, r.digest, &block);
            if (rc != PACK_OK && rc != PACK_DAMAGED) abort();
            if (rc == PACK_OK && block.size() != r.length) abort();
        }
        plat_file_close(f);
    }

    pack_file p;
    uint64_t cut = 0;
    int rc = pack_open_append(pack_path, false, &p, &cut);
    if (rc == PACK_OK) {
        uint64_t kept = p.size;
        pack_close(&p);
        if (pack_scan(pack_path, nullptr, nullptr, &sum) != PACK_OK) abort();
        if (sum.damaged != 0 || sum.whole_end != kept || sum.file_size != kept) abort();
    } else if (p.f != PLAT_NO_FILE) {
        abort();
    }
    plat_unlink(pack_path.c_str());
    return 0;
}
