// ctl_values.cpp - checks of schedule values before they are written or run.
//
// The agent reads most values without complaint and acts on what it read:
// these checks catch, up front, what it would read differently than meant.
#include "tools/ctl/ctl_values.h"

#include "backup/filters.h"
#include "backup/schedule/filter_value.h"
#include "backup/server_names.h"
#include "common/blob_list.h"
#include "common/owner.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool is_blank(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// Flags of a recipient or a filter: one decimal number 0 to 3.
bool flags_ok(const std::string& s) {
    return s.size() == 1 && s[0] >= '0' && s[0] <= '3';
}

} // namespace

bool ctl_user_id_ok(const std::string& value, uint32_t* id, std::string* why) {
    if (!all_digits(value)) {
        *why = "'" + value + "' is not a decimal number";
        return false;
    }
    if (value.size() > 10 || std::stoull(value) > 0xFFFFFFFFull) {
        *why = "'" + value + "' is larger than 4294967295";
        return false;
    }
    if (id) *id = static_cast<uint32_t>(std::stoul(value));
    return true;
}

// A drive path ("C:\\Data") or a share path ("\\\\server\\share\\x").
static bool windows_absolute(const std::string& path) {
    const bool drive = path.size() >= 3 && isalpha(static_cast<unsigned char>(path[0])) &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    const bool share = path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
    return drive || share;
}

bool ctl_local_path_ok(const std::string& path, std::string* why) {
    std::error_code ec;
    const std::filesystem::path p(path);
    // A Windows path written here for a Windows agent (which reads its
    // drives, not this system's) is checked by that agent, as it runs.
    if (!p.is_absolute() && windows_absolute(path)) return true;
    if (path.empty() || !p.is_absolute()) {
        *why = "'" + path + "' is not an absolute path";
        return false;
    }
    const auto st = std::filesystem::status(p, ec);
    if (!std::filesystem::exists(st)) {
        *why = "'" + path + "' does not exist";
        return false;
    }
    if (!std::filesystem::is_directory(st) && !std::filesystem::is_regular_file(st)) {
        *why = "'" + path + "' is neither a folder nor a file";
        return false;
    }
    return true;
}

bool ctl_dest_ok(const std::string& dest, std::string* why) {
    if (dest.empty() || dest[0] != '/') {
        *why = "'" + dest + "' is not an absolute server path (it must begin with '/')";
        return false;
    }
    if (dest.find('\\') != std::string::npos) {
        *why = "'" + dest + "' holds a backslash; server paths use '/'";
        return false;
    }
    return true;
}

bool ctl_address_ok(const std::string& address, std::string* why) {
    const size_t at = address.find('@');
    bool ok = at != std::string::npos && at > 0 && at + 1 < address.size() &&
              address.find('@', at + 1) == std::string::npos;
    for (char c : address)
        if (is_blank(c) || static_cast<unsigned char>(c) < 32 ||
            std::string(",;<>\"()[]\\").find(c) != std::string::npos)
            ok = false;
    if (ok) {
        const std::string domain = address.substr(at + 1);
        if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
            ok = false;
    }
    if (!ok) *why = "'" + address + "' is not an e-mail address (NAME@DOMAIN)";
    return ok;
}

bool ctl_email_list_ok(const std::string& value, std::string* why) {
    size_t start = 0, count = 0;
    for (;;) {
        const size_t comma = value.find(',', start);
        const std::string piece =
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!piece.empty()) {
            if (all_digits(piece)) {
                *why = "'" + piece +
                       "' is not an address: Email= takes addresses only, and flags are given "
                       "with --schedule-email FLAGS,ADDRESS";
                return false;
            }
            if (!ctl_address_ok(piece, why)) return false;
            count++;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (count == 0) {
        *why = "no address in '" + value + "'";
        return false;
    }
    return true;
}

bool ctl_recipient_ok(const std::string& value, std::string* why) {
    const size_t comma = value.find(',');
    if (comma == std::string::npos) return ctl_address_ok(value, why);
    if (!flags_ok(value.substr(0, comma))) {
        *why = "'" + value.substr(0, comma) + "' in '" + value +
               "' is not a flag number 0 to 3 (1: HTML, 2: only when files failed)";
        return false;
    }
    return ctl_address_ok(value.substr(comma + 1), why);
}

bool ctl_filter_ok(const std::string& value, std::string* why) {
    const size_t bar1 = value.find('|');
    const size_t bar2 = bar1 == std::string::npos ? bar1 : value.find('|', bar1 + 1);
    if (bar2 == std::string::npos) {
        *why = "'" + value + "' is not FOLDER|FLAGS|PATTERNS";
        return false;
    }
    if (bar1 == 0 || bar1 >= FILTER_FOLDER_SIZE) {
        *why = "the folder of '" + value + "' is empty or longer than 299 characters";
        return false;
    }
    if (!flags_ok(value.substr(bar1 + 1, bar2 - bar1 - 1))) {
        *why = "the flags of '" + value +
               "' are not a number 0 to 3 (1: skip matching files, 2: inherit)";
        return false;
    }
    bool pattern = false;
    for (size_t i = bar2 + 1; i < value.size(); i++)
        if (value[i] != ';' && !is_blank(value[i])) pattern = true;
    if (!pattern) {
        *why = "'" + value + "' names no pattern";
        return false;
    }
    return true;
}

bool ctl_hex_key_ok(const std::string& value) {
    if (value.size() != 64) return false;
    for (char c : value)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool ctl_server_names_ok(const std::vector<std::string>& src, const std::vector<std::string>& xsrc,
                         const std::vector<std::string>& filters, const std::string& mirror,
                         std::string* why) {
    std::vector<std::string> items(src);
    for (const std::string& f : filters)
        items.push_back(f.substr(0, f.find('|')));
    // Paths written here for a Windows agent name its drives and shares.
    path_style style = native_path_style();
    for (const std::string& p : items)
        if (!std::filesystem::path(p).is_absolute() && windows_absolute(p))
            style = PATH_STYLE_WINDOWS;
    owner<blob_list, blob_list_free> excluded(
        blob_list_new(static_cast<int32_t>(xsrc.size()) + 1, 1, blob_list_default_destroy));
    for (const std::string& x : xsrc)
        blob_list_append_text(excluded.get(), x.c_str());
    const bool mirrored = mirror_setting(mirror.empty() ? "1" : mirror.c_str());
    std::vector<server_name_use> taken;
    for (const std::string& p : items) {
        std::string name;
        if (server_name_form(p.c_str(), mirrored, style, &name) != 0) continue;
        if (is_excluded_source(excluded.get(), p.c_str(), style)) continue;
        const char* holder = server_name_claim(&taken, name, p.c_str(), style);
        if (holder) {
            *why = "'" + std::string(holder) + "' and '" + p +
                   "' would both be stored on the server as '" + name +
                   "' (without mirroring a folder is stored under its last name), and the "
                   "agent refuses the second";
            return false;
        }
    }
    return true;
}
