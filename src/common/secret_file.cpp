// secret_file.cpp - a secret read from a file or standard input, with a
// length check before anything is kept.
#include "common/secret_file.h"

#include "common/owner.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

void secret_wipe(std::string* s) {
    if (!s->empty()) OPENSSL_cleanse(&(*s)[0], s->size());
    s->clear();
}

bool secret_file_read(const std::string& path, size_t max, std::string* out, std::string* err) {
    out->clear();
    owner<FILE, fclose> owned;
    FILE* f = stdin;
    const std::string name = path == "-" ? "standard input" : "'" + path + "'";
    if (path != "-") {
        owned.reset(fopen(path.c_str(), "rb"));
        if (!owned) {
            *err = "cannot open " + name + ": " + strerror(errno);
            return false;
        }
        f = owned.get();
    }
    // Room for the longest text, its line end and one byte more, which tells
    // a text that is too long.
    std::string buf(max + 3, '\0');
    size_t n = fread(&buf[0], 1, buf.size(), f);
    bool failed = ferror(f) != 0;
    if (!failed && n < buf.size()) {
        buf.resize(n);
        if (!buf.empty() && buf.back() == '\n') buf.pop_back();
        if (!buf.empty() && buf.back() == '\r') buf.pop_back();
    }
    if (failed || buf.size() > max) {
        *err = failed ? "cannot read " + name
                      : name + " holds more than " + std::to_string(max) + " characters";
        secret_wipe(&buf);
        return false;
    }
    out->swap(buf);
    return true;
}
