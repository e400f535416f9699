// Fuzz: fci_open and lookups on an arbitrary index file. The input is the
// ".fci" file itself; the expected stamp is taken from its header so that
// the record area is reached. Runs in a private temporary folder.
#include "backup/fci/fci.h"

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

// The index works below the current directory; each input runs in a private
// folder and the fuzzer's own directory is restored after it (libFuzzer
// writes relative corpus paths).
char saved_cwd[4096];
std::string work_dir;

// The folder goes with the process: every test run replays this target.
void remove_work_folder() {
    std::error_code ec;
    std::filesystem::remove_all(work_dir, ec);
}

bool enter_work_folder() {
    if (work_dir.empty()) {
        std::error_code ec;
        std::filesystem::path p = std::filesystem::temp_directory_path(ec) /
                                  ("tavni-fuzz-fci-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(p, ec);
        work_dir = p.string();
        atexit(remove_work_folder);
    }
    return plat_get_cwd(saved_cwd, sizeof saved_cwd) == 0 && plat_set_cwd(work_dir.c_str()) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!enter_work_folder()) return 0;
    plat_unlink("job.fci.ro");
    plat_file out = plat_file_create("job.fci", true);
    if (out == PLAT_NO_FILE) {
        plat_set_cwd(saved_cwd);
        return 0;
    }
    plat_file_write(out, data, static_cast<uint32_t>(size));
    plat_file_close(out);

    int32_t stamp = 0;
    if (size >= 8)
        stamp = static_cast<int32_t>(data[4] | data[5] << 8 | data[6] << 16 |
                                     static_cast<uint32_t>(data[7]) << 24);
    std::unique_ptr<fci> f(new fci());
    // A failed open leaves the index marked invalid, a good one does not.
    int rc = fci_open(f.get(), "job.tbs", stamp);
    if ((rc == 0) != !f->invalid) abort();
    f->cache_limit = 2;
    bool found;
    const char* paths[] = {"C:\\a", "C:\\b\\c.txt", "/Today/x", ""};
    for (const char* p : paths)
        for (int32_t t : {0, 1000, 3600})
            fci_lookup(f.get(), p, t, 0, &found);
    fci_add(f.get(), "C:\\a", 1, 1);
    fci_finish(f.get(), 0);
    plat_unlink("job.fci.ro");
    plat_unlink("job.fci");
    plat_set_cwd(saved_cwd);
    return 0;
}
