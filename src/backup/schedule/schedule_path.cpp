// schedule_path.cpp - which file a tool means by the schedule it was given.
#include "backup/schedule/schedule_path.h"

#include <filesystem>
#include <system_error>

std::string schedule_path_in(const std::string& root, const std::string& given) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p(given);
    const fs::path in_root = fs::path(root.empty() ? "." : root) / p;
    if (!fs::exists(p, ec) && p.is_relative() && fs::exists(in_root, ec)) return in_root.string();
    return given;
}
