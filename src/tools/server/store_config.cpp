// store_config.cpp - DIR/store.conf, the back ends' addresses and the S3 keys.
#include "tools/server/store_config.h"

#include "common/owner.h"
#include "platform/platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kLineMax = 4096; // longer lines are refused, not cut

std::string conf_path(const std::string& dir) {
    return dir + "/store.conf";
}

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b])))
        b++;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1])))
        e--;
    return s.substr(b, e - b);
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool has_space_or_control(const std::string& s) {
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7f) return true;
    return false;
}

// Calls line(key, value) for each "key=value" line of a file; blank lines
// and lines starting with '#' are skipped. False with *err for a line that is
// too long or has no '=', or when line() says false.
template <class Fn>
bool read_pairs(const std::string& path, std::string* err, Fn line) {
    owner<FILE, fclose> f(plat_fopen_read(path.c_str(), true));
    if (!f) {
        *err = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    char buf[kLineMax + 2];
    int number = 0;
    while (fgets(buf, sizeof buf, f.get())) {
        number++;
        size_t n = strlen(buf);
        if (n > kLineMax) {
            *err = path + ": line " + std::to_string(number) + " is too long";
            return false;
        }
        const std::string text = trimmed(std::string(buf, n));
        if (text.empty() || text[0] == '#') continue;
        size_t eq = text.find('=');
        if (eq == std::string::npos) {
            *err = path + ": line " + std::to_string(number) + " is not \"name=value\"";
            return false;
        }
        if (!line(trimmed(text.substr(0, eq)), trimmed(text.substr(eq + 1)), number)) return false;
    }
    if (ferror(f.get())) {
        *err = "cannot read " + path;
        return false;
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool bucket_name_ok(const std::string& b) {
    if (b.size() < 3 || b.size() > 63) return false;
    for (char c : b)
        if (!(islower(static_cast<unsigned char>(c)) || isdigit(static_cast<unsigned char>(c)) ||
              c == '-' || c == '.'))
            return false;
    return isalnum(static_cast<unsigned char>(b.front())) &&
           isalnum(static_cast<unsigned char>(b.back()));
}

bool region_ok(const std::string& r) {
    if (r.empty() || r.size() > 64) return false;
    for (char c : r)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    return true;
}

bool endpoint_ok(const std::string& e) {
    if (!starts_with(e, "http://") && !starts_with(e, "https://")) return false;
    const size_t host = e.find("//") + 2;
    return e.size() > host && e.size() <= 512 && !has_space_or_control(e) &&
           e.find_first_of("?#@", host) == std::string::npos;
}

bool is_secret_name(const std::string& name) {
    std::string lower;
    for (char c : name)
        lower.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
    return lower.find("key") != std::string::npos || lower.find("secret") != std::string::npos ||
           lower.find("password") != std::string::npos || lower.find("token") != std::string::npos;
}

// A postgresql:// address carries a password as "user:password@" or as a
// password parameter.
bool pg_address_has_password(const std::string& url) {
    const size_t start = url.find("://") + 3;
    const size_t end = url.find_first_of("/?", start);
    const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos
                                                                             : end - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos)
        return true;
    std::string lower;
    for (char c : url)
        lower.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
    return lower.find("password=") != std::string::npos;
}

} // namespace

bool srv_s3_location_parse(const std::string& url, s3_location* out, std::string* err) {
    *out = s3_location();
    if (!starts_with(url, "s3://")) {
        *err = "the block location must start with s3:// (s3://BUCKET?endpoint=URL&region=NAME)";
        return false;
    }
    const std::string rest = url.substr(5);
    const size_t q = rest.find('?');
    out->bucket = rest.substr(0, q);
    if (!bucket_name_ok(out->bucket)) {
        *err = "\"" + out->bucket +
               "\" is no bucket name (3 to 63 lower-case letters, digits, dots and dashes)";
        return false;
    }
    out->region = "us-east-1";
    std::string query = q == std::string::npos ? std::string() : rest.substr(q + 1);
    size_t pos = 0;
    while (pos < query.size()) {
        size_t amp = query.find('&', pos);
        const std::string pair = query.substr(pos, amp == std::string::npos ? amp : amp - pos);
        pos = amp == std::string::npos ? query.size() : amp + 1;
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        const std::string name = pair.substr(0, eq);
        std::string value;
        if (eq == std::string::npos || !percent_decode(pair.substr(eq + 1), &value)) {
            *err = "the block location's parameter \"" + name + "\" has no value that decodes";
            return false;
        }
        if (name == "endpoint") {
            out->endpoint = value;
        } else if (name == "region") {
            out->region = value;
        } else if (is_secret_name(name)) {
            *err = "the block location carries \"" + name +
                   "\": keys never go on a command line; put them in a credentials file "
                   "(--credentials) or in TAVNI_S3_ACCESS_KEY_ID and TAVNI_S3_SECRET_ACCESS_KEY";
            return false;
        } else {
            *err = "the block location has an unknown parameter \"" + name +
                   "\" (known: endpoint, region)";
            return false;
        }
    }
    if (!endpoint_ok(out->endpoint)) {
        *err = "the block location needs endpoint=http://HOST:PORT or endpoint=https://HOST:PORT";
        return false;
    }
    if (!region_ok(out->region)) {
        *err = "\"" + out->region + "\" is no region name";
        return false;
    }
    return true;
}

bool srv_s3_credentials_load(const std::string& file, s3_location* loc, std::string* err) {
    loc->access_key.clear();
    loc->secret_key.clear();
    if (!file.empty()) {
        bool ok = read_pairs(file, err, [&](const std::string& k, const std::string& v, int line) {
            if (k == "access_key") {
                loc->access_key = v;
            } else if (k == "secret_key") {
                loc->secret_key = v;
            } else {
                *err = file + ": line " + std::to_string(line) + ": unknown name \"" + k +
                       "\" (known: access_key, secret_key)";
                return false;
            }
            return true;
        });
        if (!ok) return false;
        if (loc->access_key.empty() || loc->secret_key.empty()) {
            *err = file + " must hold both access_key=... and secret_key=...";
            return false;
        }
        return true;
    }
    const char* pairs[2][2] = {{"TAVNI_S3_ACCESS_KEY_ID", "TAVNI_S3_SECRET_ACCESS_KEY"},
                               {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"}};
    for (const auto& p : pairs) {
        const char* a = getenv(p[0]);
        const char* s = getenv(p[1]);
        if (a && *a && s && *s) {
            loc->access_key = a;
            loc->secret_key = s;
            return true;
        }
    }
    *err = "no S3 keys: give a credentials file (access_key=..., secret_key=...) or set "
           "TAVNI_S3_ACCESS_KEY_ID and TAVNI_S3_SECRET_ACCESS_KEY";
    return false;
}

bool srv_backends_check(const srv_backends& be, std::string* err) {
    if (!be.catalog.empty()) {
        if (!starts_with(be.catalog, "postgresql://") && !starts_with(be.catalog, "postgres://")) {
            *err = "the catalog must be a postgresql:// address (without it: SQLite in the "
                   "store folder)";
            return false;
        }
        if (has_space_or_control(be.catalog) || be.catalog.size() > kLineMax - 16) {
            *err = "the catalog address holds blanks or control characters, or is too long";
            return false;
        }
        if (pg_address_has_password(be.catalog)) {
            *err = "the catalog address carries a password: give it in a password file "
                   "(PGPASSFILE or ~/.pgpass) or in PGPASSWORD instead";
            return false;
        }
    }
    if (!be.blocks.empty()) {
        s3_location loc;
        if (!srv_s3_location_parse(be.blocks, &loc, err)) return false;
        if (be.blocks.size() > kLineMax - 16) {
            *err = "the block location is too long";
            return false;
        }
    } else if (!be.credentials.empty()) {
        *err = "credentials are for S3 blocks (--blocks s3://...)";
        return false;
    }
    if (!be.credentials.empty() &&
        (has_space_or_control(be.credentials) || be.credentials.size() > kLineMax - 16)) {
        *err = "the credentials path holds blanks or control characters, or is too long";
        return false;
    }
    return true;
}

bool srv_backends_write(const std::string& dir, const srv_backends& be, std::string* err) {
    if (be.catalog.empty() && be.blocks.empty()) return true;
    std::string text = "# The back ends of this store (tavni-server init). No secrets here.\n";
    if (!be.catalog.empty()) text += "catalog=" + be.catalog + "\n";
    if (!be.blocks.empty()) text += "blocks=" + be.blocks + "\n";
    if (!be.credentials.empty()) text += "credentials=" + be.credentials + "\n";
    const std::string path = conf_path(dir);
    owner<FILE, fclose> f(plat_open_private(path.c_str(), PLAT_PRIVATE_CREATE_NEW));
    if (!f || fwrite(text.data(), 1, text.size(), f.get()) != text.size() ||
        fflush(f.get()) != 0 || fclose(f.release()) != 0) {
        *err = "cannot write " + path;
        return false;
    }
    return true;
}

bool srv_backends_read(const std::string& dir, srv_backends* be, std::string* err) {
    *be = srv_backends();
    const std::string path = conf_path(dir);
    if (!plat_exists(path.c_str())) return true;
    bool ok = read_pairs(path, err, [&](const std::string& k, const std::string& v, int line) {
        if (k == "catalog") {
            be->catalog = v;
        } else if (k == "blocks") {
            be->blocks = v;
        } else if (k == "credentials") {
            be->credentials = v;
        } else {
            *err = path + ": line " + std::to_string(line) + ": unknown name \"" + k +
                   "\" (known: catalog, blocks, credentials)";
            return false;
        }
        return true;
    });
    if (!ok) return false;
    if (!srv_backends_check(*be, err)) {
        *err = path + ": " + *err;
        return false;
    }
    return true;
}
