// ctl_key.cpp - the installation folder's machine key for tavni-ctl.
#include "tools/ctl/ctl_key.h"

#include "backup/schedule/schedule.h"
#include "common/secret_file.h"
#include "common/text.h"
#include "common/owner.h"
#include "keys/crypt_file.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <system_error>

key_holder::~key_holder() {
    OPENSSL_cleanse(key, sizeof key);
}

int ctl_fail(const std::string& message) {
    fprintf(stderr, "tavni-ctl: %s\n", message.c_str());
    return 1;
}

int ctl_root_key(const std::string& root, bool create, key_holder* k) {
    std::error_code ec;
    const std::filesystem::path etc = std::filesystem::path(root) / "etc";
    const std::string path = (etc / "tavni.ak").string();
    if (create)
        std::filesystem::create_directories(etc, ec);
    else if (!std::filesystem::is_regular_file(path, ec))
        return ctl_fail("no machine key file '" + path + "'");
    if (machine_key_from_file(path.c_str(), k->key) != 0)
        return ctl_fail("cannot load the machine key '" + path + "': " + error_text(errno));
    return 0;
}

int ctl_acckey_file(const std::string& path, std::string* hex) {
    std::string err;
    if (!secret_file_read(path, ACCOUNT_KEY_HEX, hex, &err)) return ctl_fail(err);
    return 0;
}

int ctl_decrypt_file(const unsigned char* key, const std::string& path, std::string* text,
                     std::string* why) {
    text->clear();
    owner<FILE, fclose> f(fopen(path.c_str(), "rb"));
    if (!f) {
        *why = "cannot open '" + path + "': " + error_text(errno);
        return 1;
    }
    crypt_file cf;
    if (crypt_file_open_key(&cf, f.get(), 0, key) != 0) {
        *why = "cannot set up the cipher";
        return 1;
    }
    char buf[4096];
    size_t n;
    while ((n = crypt_file_read(&cf, buf, sizeof buf)) > 0)
        text->append(buf, n);
    OPENSSL_cleanse(buf, sizeof buf);
    const bool damaged = cf.damaged != 0;
    const bool failed = ferror(f.get()) != 0;
    crypt_file_finish(&cf);
    if (damaged || failed) {
        if (!text->empty()) OPENSSL_cleanse(&(*text)[0], text->size());
        text->clear();
        *why = failed ? "cannot read '" + path + "'"
                      : "'" + path +
                            "' does not decrypt with this machine key (damaged or foreign file)";
        return failed ? 1 : 2;
    }
    return 0;
}

bool ctl_schedule_acckey(const std::string& text, std::string* hex) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 7 && compare_nocase_n(line.c_str(), "acckey=", 7) == 0) {
            *hex = line.substr(7);
            OPENSSL_cleanse(&line[0], line.size());
            return true;
        }
        if (!line.empty()) OPENSSL_cleanse(&line[0], line.size());
    }
    return false;
}
