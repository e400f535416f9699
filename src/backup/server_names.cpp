// server_names.cpp - server names of sources, their parent folders, and the
// share-root completion.
#include "backup/server_names.h"

#include "backup/filters.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Splits "\\server\share[\rest]"; false when the path is not of that form
// (no server or no share). *has_rest tells whether a backslash follows the share.
bool split_share(const std::string& p, std::string* server, std::string* share, bool* has_rest,
                 std::string* rest) {
    if (p.size() < 2 || p[0] != '\\' || p[1] != '\\') return false;
    const size_t server_end = p.find('\\', 2);
    if (server_end == std::string::npos || server_end == 2) return false;
    const size_t share_end = p.find('\\', server_end + 1);
    const size_t share_len =
        (share_end == std::string::npos ? p.size() : share_end) - server_end - 1;
    if (share_len == 0) return false;
    *server = p.substr(2, server_end - 2);
    *share = p.substr(server_end + 1, share_len);
    *has_rest = share_end != std::string::npos;
    *rest = *has_rest ? p.substr(share_end + 1) : std::string();
    return true;
}

int mirrored_windows_name(const std::string& p, std::string* name) {
    std::string server, share, rest;
    bool has_rest = false;
    if (p.size() >= 3 && is_letter(p[0]) && p[1] == ':' && p[2] == '\\') {
        *name = std::string(1, p[0]) + " Drive/" + p.substr(3);
    } else if (split_share(p, &server, &share, &has_rest, &rest)) {
        *name = server + " " + share + " Share/" + rest;
    } else {
        return -1;
    }
    for (char& c : *name)
        if (c == '\\') c = '/';
    return 0;
}

} // namespace

bool mirror_setting(const char* value) {
    if (!value) return false;
    const int saved = errno;
    const long v = strtol(value, nullptr, 10);
    errno = saved;
    return v != 0;
}

int server_name_form(const char* local_path, bool mirror, path_style style, std::string* name) {
    const std::string p = local_path ? local_path : "";
    const char sep = style == PATH_STYLE_WINDOWS ? '\\' : '/';
    if (mirror) {
        if (style == PATH_STYLE_WINDOWS) return mirrored_windows_name(p, name);
        if (p.empty() || p[0] != '/') return -1;
        *name = "Root" + p;
        return 0;
    }
    const size_t last = p.rfind(sep);
    if (last != std::string::npos)
        *name = p.substr(last + 1);
    else if (style == PATH_STYLE_WINDOWS && p.size() >= 2 && p[1] == ':')
        *name = p.substr(2);
    else
        *name = p;
    return 0;
}

std::vector<std::string> server_parent_folders(const std::string& remote_base,
                                               const std::string& name) {
    std::vector<std::string> folders;
    for (size_t pos = name.find('/'); pos != std::string::npos; pos = name.find('/', pos + 1))
        folders.push_back(remote_base + name.substr(0, pos));
    return folders;
}

std::string share_root_complete(const char* local_path, path_style style) {
    std::string p = local_path ? local_path : "";
    std::string server, share, rest;
    bool has_rest = false;
    if (style == PATH_STYLE_WINDOWS && split_share(p, &server, &share, &has_rest, &rest) &&
        !has_rest)
        p += '\\';
    return p;
}

const char* server_name_claim(std::vector<server_name_use>* taken, const std::string& name,
                              const char* local, path_style style) {
    for (const server_name_use& u : *taken)
        if (u.name == name)
            return path_at_or_below(u.local.c_str(), local, style) == 2 ? nullptr : u.local.c_str();
    taken->push_back(server_name_use{name, local});
    return nullptr;
}
