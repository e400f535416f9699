// local_tree.h - a temporary folder of real files and folders for the tests
// of the local file system modules; removed with its contents, locked
// folders included.
#pragma once

#include "platform/platform.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

struct TempDir {
    std::filesystem::path path;
    // "tavni-lfs-" and six characters, made by mkdir so that tests running
    // as parallel processes never share one (the long-path test counts on
    // the name's length).
    TempDir() {
        static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
        unsigned seed = static_cast<unsigned>(plat_process_id()) * 2654435761u;
        for (unsigned attempt = 0;; attempt++) {
            unsigned v = seed + attempt * 40503u;
            std::string name = "tavni-lfs-";
            for (int i = 0; i < 6; i++, v /= 36)
                name += digits[v % 36];
            path = std::filesystem::temp_directory_path() / name;
            std::error_code ec;
            // New, or a failure other than the name being taken: done.
            if (std::filesystem::create_directory(path, ec) || ec) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        for (auto& e : std::filesystem::recursive_directory_iterator(
                 path, std::filesystem::directory_options::skip_permission_denied, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    // rel uses '/'; the paths returned use the platform's separator.
    std::string file(const std::string& rel, const std::string& body = "x") {
        std::filesystem::path p = path / std::filesystem::path(rel).make_preferred();
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << body;
        return p.string();
    }
    std::string dir(const std::string& rel) {
        std::filesystem::path p = path / std::filesystem::path(rel).make_preferred();
        std::filesystem::create_directories(p);
        return p.string();
    }
};
