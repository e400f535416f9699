// smtp_settings.cpp - checks of the relay's address and the sender, and the
// owner-only log-in file.
#include "tools/server/smtp_settings.h"

#include "common/owner.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const size_t kLineMax = 1024; // longer lines of the log-in file are refused, not cut

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
        b++;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        e--;
    return s.substr(b, e - b);
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

bool smtp_url_check(const std::string& url, std::string* err) {
    const char* scheme = starts_with(url, "smtp://")    ? "smtp://"
                         : starts_with(url, "smtps://") ? "smtps://"
                                                        : nullptr;
    if (!scheme) {
        *err = "the relay must be given as smtp://HOST[:PORT] (STARTTLS when the relay offers "
               "it) or smtps://HOST[:PORT]";
        return false;
    }
    const std::string rest = url.substr(strlen(scheme));
    if (rest.empty() || rest.size() > 255) {
        *err = "the relay address " + url + " names no host, or is too long";
        return false;
    }
    for (unsigned char c : rest)
        if (c <= ' ' || c >= 0x7f || c == '/' || c == '?' || c == '#' || c == '@') {
            *err = "the relay address " + url +
                   " may hold only a host and a port (the log-in goes in --smtp-credentials)";
            return false;
        }
    // A port, when given, is 1 to 65535; an IPv6 host is bracketed.
    size_t colon = rest.rfind(':');
    size_t bracket = rest.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        const std::string port = rest.substr(colon + 1);
        if (colon == 0 || port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
            std::stoul(port) > 65535) {
            *err = "the relay address " + url + " has no valid host or port";
            return false;
        }
    }
    return true;
}

bool smtp_address_ok(const std::string& text) {
    if (text.empty() || text.size() > 254) return false;
    const size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) return false;
    for (unsigned char c : text)
        if (c <= ' ' || c >= 0x7f || c == '<' || c == '>' || c == '"' || c == '\\' || c == '(' ||
            c == ')' || c == ',' || c == ';' || c == ':')
            return false;
    return true;
}

bool smtp_credentials_load(const std::string& path, smtp_config* cfg, std::string* err) {
    cfg->user.clear();
    cfg->password.clear();
    // Mode of the file as named: others must have no access to it.
    uint8_t kind = 0;
    uint32_t len = 0;
    uint8_t sec[64];
    if (plat_file_security(path.c_str(), &kind, &len, sec, sizeof sec) != 0) {
        *err = "cannot read the relay's log-in file " + path + ": " + strerror(errno);
        return false;
    }
    // Linux: owner uid, group gid and mode; the file itself, not a link.
    if (kind == 4 && len >= 12 && (le32(sec + 8) & 0170000) != 0100000) {
        *err = "the relay's log-in file " + path +
               " is not a regular file (give the file itself, not a link)";
        return false;
    }
    if (kind == 4 && len >= 12 && (le32(sec + 8) & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof mode, "%03o", le32(sec + 8) & 0777);
        *err = "the relay's log-in file " + path + " may be read by others (mode " + mode +
               "): make it owner-only (chmod 600 " + path + ")";
        return false;
    }
    owner<FILE, fclose> f(plat_fopen_read(path.c_str(), true));
    if (!f) {
        *err = "cannot read the relay's log-in file " + path + ": " + strerror(errno);
        return false;
    }
    char buf[kLineMax + 2];
    int number = 0;
    bool have_user = false, have_password = false;
    while (fgets(buf, sizeof buf, f.get())) {
        number++;
        const size_t n = strlen(buf);
        const std::string where = path + ": line " + std::to_string(number);
        if (n > kLineMax) {
            *err = where + " is too long";
            return false;
        }
        const std::string text = trimmed(std::string(buf, n));
        if (text.empty() || text[0] == '#') continue;
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            *err = where + " is not \"name=value\"";
            return false;
        }
        const std::string name = trimmed(text.substr(0, eq));
        const std::string value = trimmed(text.substr(eq + 1));
        if (name == "user") {
            cfg->user = value;
            have_user = true;
        } else if (name == "password") {
            cfg->password = value;
            have_password = true;
        } else {
            *err = where + ": unknown name \"" + name + "\" (known: user, password)";
            return false;
        }
    }
    if (ferror(f.get())) {
        *err = "cannot read the relay's log-in file " + path;
        return false;
    }
    if (!have_user || !have_password || cfg->user.empty()) {
        *err = path + " must hold both user=... and password=...";
        cfg->user.clear();
        cfg->password.clear();
        return false;
    }
    return true;
}
