// replay_main.cpp - replays the inputs of corpus folders through a fuzz
// target's LLVMFuzzerTestOneInput without libFuzzer, so that every saved input
// stays checked by the ordinary test run (and sanitized in sanitizer builds).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional, as in libFuzzer: a target that needs set-up defines it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// Every regular file of dir, sorted so that runs are repeatable.
bool list_inputs(const std::filesystem::path& dir, std::vector<std::filesystem::path>* out) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return false;
    for (const auto& e : it)
        if (e.is_regular_file(ec)) out->push_back(e.path());
    std::sort(out->begin(), out->end());
    return true;
}

bool read_input(const std::filesystem::path& file, std::vector<uint8_t>* out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    size_t total = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> inputs;
        if (!list_inputs(argv[i], &inputs)) {
            fprintf(stderr, "cannot read the corpus folder %s\n", argv[i]);
            return 1;
        }
        // A target without seeds would pass without having run at all.
        if (inputs.empty()) {
            fprintf(stderr, "the corpus folder %s holds no inputs\n", argv[i]);
            return 1;
        }
        for (const auto& file : inputs) {
            std::vector<uint8_t> bytes;
            if (!read_input(file, &bytes)) {
                fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 1;
            }
            // Said before the call: a crash inside it leaves this as the last line.
            fprintf(stderr, "replaying %s (%zu bytes)\n", file.string().c_str(), bytes.size());
            fflush(stderr);
            // A heap copy of exactly the input's size, so that a sanitizer sees
            // any read past its end (an empty input gets no readable byte).
            std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
            std::copy(bytes.begin(), bytes.end(), exact.get());
            int rc = LLVMFuzzerTestOneInput(exact.get(), bytes.size());
            // libFuzzer reserves every value but 0 and -1 (reject the input).
            if (rc != 0 && rc != -1) {
                fprintf(stderr, "%s: the target returned %d\n", file.string().c_str(), rc);
                return 1;
            }
            total++;
        }
    }
    fprintf(stderr, "replayed %zu inputs without a fault\n", total);
    return 0;
}
