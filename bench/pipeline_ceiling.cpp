// pipeline_ceiling.cpp - the single-core ceiling of a backup: every file of a
// tree read in 1 MiB blocks through MD5, zlib level 9, AES-256-CBC (the
// stream chain), then cut into 65466-byte writes that are framed (AES-256-CBC
// and CRC-32) as the transport would, without any network.
//
//   bench_pipeline_ceiling FOLDER     prints bytes, seconds and MB/s
#include "backup/streams.h"
#include "platform/platform.h"
#include "protocol/frame.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t k_key[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                           17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
enum { BLOCK = 1048576, PIECE = 65466 };

uint64_t g_bytes = 0;
uint64_t g_framed = 0;

void run_file(const std::string& path, int64_t size, ctfs_cipher* cipher,
              std::vector<uint8_t>& piece) {
    plat_file f = plat_file_open_read(path.c_str());
    if (f == PLAT_NO_FILE) return;
    for (int64_t off = 0; off < size || (size == 0 && off == 0); off += BLOCK) {
        uint32_t len =
            static_cast<uint32_t>(size - off < int64_t{BLOCK} ? size - off : int64_t{BLOCK});
        uint8_t md5[16];
        data_stream* s = encrypt_stream_new(
            compress_stream_new(digest_stream_new(file_read_stream_new(f, off, len, nullptr), md5)),
            k_key);
        for (;;) {
            int32_t n = s->read(s, piece.data() + 10, PIECE);
            if (n < 0) break;
            // A data write: 6-byte packet header, handle, type, length, data.
            g_framed += ctfs_frame_seal(cipher, piece.data(), static_cast<size_t>(n) + 10);
            if (n == 0) break;
        }
        data_stream_free(s);
        g_bytes += len;
        if (size == 0) break;
    }
    plat_file_close(f);
}

void walk(const std::string& folder, ctfs_cipher* cipher, std::vector<uint8_t>& piece) {
    plat_file_info e;
    plat_dir* d = plat_dir_open(folder.c_str(), &e);
    if (!d) return;
    do {
        if (!strcmp(e.name, ".") || !strcmp(e.name, "..")) continue;
        std::string child = folder + plat_path_sep + e.name;
        if (e.attributes & PLAT_ATTR_REPARSE) continue;
        if (e.attributes & PLAT_ATTR_DIRECTORY)
            walk(child, cipher, piece);
        else
            run_file(child, e.size, cipher, piece);
    } while (plat_dir_next(d, &e) == 0);
    plat_dir_close(d);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    ctfs_cipher* cipher = ctfs_cipher_new(3, k_key);
    std::vector<uint8_t> piece(PIECE + 16, 0);
    auto t0 = std::chrono::steady_clock::now();
    walk(argv[1], cipher, piece);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("pipeline ceiling: %llu bytes in %.2f s = %.1f MB/s (framed %llu bytes)\n",
           static_cast<unsigned long long>(g_bytes), s, g_bytes / s / 1e6,
           static_cast<unsigned long long>(g_framed));
    ctfs_cipher_free(cipher);
    return 0;
}
